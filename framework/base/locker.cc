#include "emlbreaker/locker.h"

#include "emlbreaker/exceptions.h"
#include "emlbreaker/trace.h"

namespace ascommon {

void CAutoResetEvent::Set() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    signalled_ = true;
  }
  signal_.notify_one();
}

void CAutoResetEvent::WaitReleasing(std::mutex& held) {
  // Take the event's mutex before leaving the caller's lock: a Set that comes
  // in between is then seen as the signalled state, never lost.
  std::unique_lock<std::mutex> hold(mutex_);
  held.unlock();
  signal_.wait(hold, [this] { return signalled_; });
  signalled_ = false;
  hold.unlock();
  held.lock();
}

CResourceLocker::~CResourceLocker() {
  deleting = 1;
  if (ReaderCount() > 0) {
    GetDebugTrace()->Trace(
        "WARNING: Destroying the resource locker without releasing all the Read Only Locks!");
  }
}

void CResourceLocker::SetDeleting() {
  std::lock_guard<std::recursive_mutex> hold(stateLock);
  deleting = 1;
}

int32_t CResourceLocker::ReaderCount() {
  std::lock_guard<std::mutex> hold(countLock);
  return readers;
}

void CResourceLocker::LockReadOnly() {
  {
    std::lock_guard<std::recursive_mutex> state(stateLock);
    if (deleting) {
      throw ASInternalException(0, "Unable to lock resource read only because it is being deleted!");
    }
  }
  std::lock_guard<std::mutex> count(countLock);
  ++readers;
}

void CResourceLocker::UnlockReadOnly() {
  std::lock_guard<std::mutex> count(countLock);
  if (--readers == 0) noReaders.Set();
}

void CResourceLocker::LockExclusive() {
  stateLock.lock();
  if (deleting) {
    stateLock.unlock();
    throw ASInternalException(0, "Unable to lock resource read only because it is being deleted!");
  }
  countLock.lock();
  // The event is auto-reset and may carry a stale signal: recheck after
  // every wake-up.
  while (readers != 0) noReaders.WaitReleasing(countLock);
}

void CResourceLocker::UnlockExclusive() {
  countLock.unlock();
  stateLock.unlock();
}

auto_locker::auto_locker(CResourceLocker* locker, int32_t lock_mode, bool lock_now)
    : mode(lock_mode), data(locker) {
  if (locker == nullptr) throw ASInternalException(0, "Null locker data in auto_locker!");
  if (lock_now) Lock();
}

void auto_locker::Lock() {
  if (locked) return;
  if (mode == kReadOnly) {
    data->LockReadOnly();
  } else {
    data->LockExclusive();
  }
  locked = 1;
}

void auto_locker::Unlock() {
  if (!locked) return;
  if (mode == kReadOnly) {
    data->UnlockReadOnly();
  } else {
    data->UnlockExclusive();
  }
  locked = 0;
}

}  // namespace ascommon
