// The resource locker that guards a module's shared data, and its scoped
// guard auto_locker.
//
// Many threads may hold the locker read-only at once (breaking or streaming
// mails); ApplySharedSettings takes it exclusively and waits until no reader is
// left. A waiting writer holds the state lock while it waits, so readers that
// arrive after it block until it is done; otherwise writers are not preferred.
// A thread holding a read-only lock must not ask for the exclusive lock of the
// same locker: it would wait for itself.
#ifndef EMLBREAKER_LOCKER_H_
#define EMLBREAKER_LOCKER_H_

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "emlbreaker/platform.h"

namespace ascommon {

// An auto-reset event: Set wakes one waiter (or the next one to wait), and a
// successful Wait resets it. Created signalled.
class CAutoResetEvent {
 public:
  CAutoResetEvent() = default;
  CAutoResetEvent(const CAutoResetEvent&) = delete;
  CAutoResetEvent& operator=(const CAutoResetEvent&) = delete;

  void Set();
  // Leaves `held` (a locked mutex of the caller), waits without time limit
  // for the event, then takes `held` again.
  void WaitReleasing(std::mutex& held);

 private:
  std::mutex mutex_;
  std::condition_variable signal_;
  bool signalled_ = true;
};

class CResourceLocker {
 public:
  CResourceLocker() = default;
  // Traces a warning when read-only locks are still held.
  ~CResourceLocker();
  CResourceLocker(const CResourceLocker&) = delete;
  CResourceLocker& operator=(const CResourceLocker&) = delete;

  // Throw ASInternalException (0) when the owner is being destroyed.
  void LockReadOnly();
  void UnlockReadOnly();
  void LockExclusive();
  void UnlockExclusive();

  // Marks the locker as going away: every later lock request throws.
  void SetDeleting();
  int32_t ReaderCount();

 private:
  // Fields in the order the framework lays them out. Lock order is always
  // stateLock before countLock.
  CAutoResetEvent noReaders;
  std::recursive_mutex stateLock;
  int32_t readers = 0;
  std::mutex countLock;
  uint8_t deleting = 0;
};

// Takes the locker in its mode on Lock (or at construction when lock_now is
// set) and releases it on Unlock or destruction, also when an exception passes.
class auto_locker {
 public:
  enum Mode : int32_t { kReadOnly = 0, kExclusive = 1 };

  // A null locker throws ASInternalException (0, "Null locker data in auto_locker!").
  auto_locker(CResourceLocker* locker, int32_t mode, bool lock_now);
  ~auto_locker() { Unlock(); }
  auto_locker(const auto_locker&) = delete;
  auto_locker& operator=(const auto_locker&) = delete;

  void Lock();
  void Unlock();

 private:
  int32_t locked = 0;
  int32_t mode;
  CResourceLocker* data;
};

}  // namespace ascommon

#endif  // EMLBREAKER_LOCKER_H_
