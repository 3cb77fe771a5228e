#include "emlbreaker/locker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <string>
#include <thread>

#include "emlbreaker/exceptions.h"
#include "emlbreaker/trace.h"

namespace {

using ascommon::auto_locker;
using ascommon::CResourceLocker;
using namespace std::chrono_literals;

// Long enough for a blocked thread to have run into its wait on a loaded
// machine; a wrong locker lets the thread through long before it.
constexpr auto kSettle = 100ms;

TEST(ResourceLockerTest, WriterWaitsForEveryReader) {
  CResourceLocker locker;
  locker.LockReadOnly();
  locker.LockReadOnly();
  std::atomic<bool> writer_in{false};
  std::thread writer([&] {
    locker.LockExclusive();
    writer_in = true;
    locker.UnlockExclusive();
  });
  std::this_thread::sleep_for(kSettle);
  EXPECT_FALSE(writer_in);
  locker.UnlockReadOnly();
  std::this_thread::sleep_for(kSettle);
  EXPECT_FALSE(writer_in) << "writer entered with one reader left";
  locker.UnlockReadOnly();
  writer.join();
  EXPECT_TRUE(writer_in);
}

TEST(ResourceLockerTest, ReaderArrivingBehindWaitingWriterBlocks) {
  CResourceLocker locker;
  locker.LockReadOnly();
  std::atomic<int> order{0};
  std::atomic<int> writer_at{0}, late_reader_at{0};
  std::thread writer([&] {
    locker.LockExclusive();
    writer_at = ++order;
    std::this_thread::sleep_for(kSettle);
    locker.UnlockExclusive();
  });
  std::this_thread::sleep_for(kSettle);  // the writer now waits, holding the state lock
  std::thread late_reader([&] {
    locker.LockReadOnly();
    late_reader_at = ++order;
    locker.UnlockReadOnly();
  });
  std::this_thread::sleep_for(kSettle);
  EXPECT_EQ(0, late_reader_at) << "a reader overtook the waiting writer";
  locker.UnlockReadOnly();
  writer.join();
  late_reader.join();
  EXPECT_EQ(1, writer_at);
  EXPECT_EQ(2, late_reader_at);
}

TEST(ResourceLockerTest, ExclusiveLockBlocksNewReadersUntilReleased) {
  CResourceLocker locker;
  locker.LockExclusive();
  std::atomic<bool> reader_in{false};
  std::thread reader([&] {
    locker.LockReadOnly();
    reader_in = true;
    locker.UnlockReadOnly();
  });
  std::this_thread::sleep_for(kSettle);
  EXPECT_FALSE(reader_in);
  locker.UnlockExclusive();
  reader.join();
  EXPECT_TRUE(reader_in);
}

TEST(ResourceLockerTest, ManyReadersAndWritersKeepTheCountConsistent) {
  CResourceLocker locker;
  int shared_value = 0;  // written only under the exclusive lock
  std::atomic<bool> torn{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        if ((i + t) % 10 == 0) {
          auto_locker hold(&locker, auto_locker::kExclusive, true);
          shared_value += 1;
          shared_value += 1;
        } else {
          auto_locker hold(&locker, auto_locker::kReadOnly, true);
          if (shared_value % 2 != 0) torn = true;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(torn);
  EXPECT_EQ(2 * 4 * 200, shared_value);
  EXPECT_EQ(0, locker.ReaderCount());
}

TEST(ResourceLockerTest, DeletingLockerRefusesLocks) {
  CResourceLocker locker;
  locker.SetDeleting();
  for (bool exclusive : {false, true}) {
    try {
      exclusive ? locker.LockExclusive() : locker.LockReadOnly();
      ADD_FAILURE() << "lock granted on a locker being deleted";
    } catch (const ASInternalException& e) {
      EXPECT_EQ(0, e.GetErrorCode());
      EXPECT_STREQ("Unable to lock resource read only because it is being deleted!", e.what());
    }
  }
}

class CountingTracer : public CDummyDebugTrace {
 public:
  void Trace(const char* format, ...) override { last = format; }
  std::string last;
};

TEST(ResourceLockerTest, DestroyingWithReaderHeldWarns) {
  CountingTracer tracer;
  CADebugTrace* saved = GetDebugTrace();
  GetDebugTrace() = &tracer;
  {
    CResourceLocker locker;
    locker.LockReadOnly();
  }
  GetDebugTrace() = saved;
  EXPECT_EQ("WARNING: Destroying the resource locker without releasing all the Read Only Locks!",
            tracer.last);
}

TEST(AutoLockerTest, ExceptionLeavingTheScopeReleasesTheLock) {
  CResourceLocker locker;
  for (int32_t mode : {auto_locker::kReadOnly, auto_locker::kExclusive}) {
    try {
      auto_locker hold(&locker, mode, true);
      throw ASException(-1, "leave");
    } catch (const ASException&) {
    }
    EXPECT_EQ(0, locker.ReaderCount());
    // Both kinds of lock must be free again: an exclusive lock from another
    // thread gets through at once.
    std::thread other([&] {
      locker.LockExclusive();
      locker.UnlockExclusive();
    });
    other.join();
  }
}

TEST(AutoLockerTest, NullLockerAndDeferredLocking) {
  EXPECT_THROW(auto_locker(nullptr, auto_locker::kReadOnly, false), ASInternalException);
  CResourceLocker locker;
  auto_locker hold(&locker, auto_locker::kReadOnly, false);
  EXPECT_EQ(0, locker.ReaderCount());
  hold.Lock();
  hold.Lock();  // a second Lock is a no-op, not a second reader
  EXPECT_EQ(1, locker.ReaderCount());
  hold.Unlock();
  hold.Unlock();
  EXPECT_EQ(0, locker.ReaderCount());
}

}  // namespace
