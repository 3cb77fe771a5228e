// The ordered runner behind multi-mail runs: results come out in input
// order, each exactly once, and workers never run far ahead of the output.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/emlscan/scanner.h"

namespace emlscan {
namespace {

TEST(RunOrderedTest, EmitsInOrderOnceAndStaysWithinItsWindow) {
  for (int jobs : {1, 2, 5}) {
    SCOPED_TRACE(jobs);
    const size_t count = 300;
    std::atomic<size_t> started{0}, emitted{0};
    std::atomic<size_t> widest{0};
    std::vector<size_t> order;
    RunOrdered(
        count, jobs,
        [&](size_t index) {
          const size_t ahead = started.fetch_add(1) + 1 - emitted.load();
          size_t seen = widest.load();
          while (ahead > seen && !widest.compare_exchange_weak(seen, ahead)) {
          }
          // Uneven work, so later mails often finish before earlier ones.
          if (index % 7 == 0) std::this_thread::sleep_for(std::chrono::microseconds(300));
          return std::to_string(index);
        },
        [&](size_t index, const std::string& text) {
          EXPECT_EQ(std::to_string(index), text);
          order.push_back(index);
          ++emitted;
        });
    ASSERT_EQ(count, order.size());
    for (size_t i = 0; i < count; ++i) ASSERT_EQ(i, order[i]);
    // The window is 8 mails per job, plus the ones being worked on.
    EXPECT_LE(widest.load(), static_cast<size_t>(jobs) * 9);
  }
}

TEST(RunOrderedTest, NothingToDoReturnsAtOnce) {
  bool called = false;
  RunOrdered(0, 3, [&](size_t) { called = true; return std::string(); },
             [&](size_t, const std::string&) { called = true; });
  EXPECT_FALSE(called);
}

// A stop (a signal's) hands out no new mail: the ones started are finished and
// emitted in order, none is emitted twice or skipped, and the count says so.
TEST(RunOrderedTest, AStopFinishesTheMailsUnderWayOnly) {
  for (int jobs : {1, 2, 5}) {
    SCOPED_TRACE(jobs);
    std::atomic<size_t> started{0};
    std::vector<size_t> order;
    const size_t ran = RunOrdered(
        1000, jobs,
        [&](size_t index) {
          ++started;
          if (index == 20) RequestStop(SIGTERM);
          std::this_thread::sleep_for(std::chrono::microseconds(100));
          return std::to_string(index);
        },
        [&](size_t index, const std::string&) { order.push_back(index); });
    EXPECT_EQ(SIGTERM, StopRequested());
    RequestStop(0);
    EXPECT_EQ(started.load(), ran);
    ASSERT_EQ(ran, order.size());
    for (size_t i = 0; i < order.size(); ++i) ASSERT_EQ(i, order[i]);
    // Mail 20 and at most the ones other workers had already taken.
    EXPECT_GE(ran, 21u);
    EXPECT_LE(ran, 21u + static_cast<size_t>(jobs) * 9);
  }
}

// Folder entries are known regular files (Scan skips its own check for them);
// names given on the command line are passed on as given, checked at scan time.
TEST(CollectMailFilesTest, FoldersAreListedInOrderWithoutHiddenEntries) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::path(::testing::TempDir()) / "emlscan_collect_test";
  fs::remove_all(dir);
  fs::create_directories(dir / "sub");
  fs::create_directories(dir / ".hidden");
  for (const fs::path& name : {dir / "b.eml", dir / "a.eml", dir / "sub" / "c.eml",
                               dir / ".dot.eml", dir / ".hidden" / "d.eml"})
    std::ofstream(name) << "x";
  // A link to a mail is listed; a link to a folder is not followed.
  fs::create_symlink(dir / "a.eml", dir / "sub" / "link.eml");
  fs::create_directory_symlink(dir / "sub", dir / "again");
  const std::vector<MailFile> files =
      CollectMailFiles({dir.string() + "/", (dir / "missing.eml").string()});
  ASSERT_EQ(5u, files.size());
  EXPECT_EQ((dir / "a.eml").string(), files[0].path);
  EXPECT_EQ((dir / "b.eml").string(), files[1].path);
  EXPECT_EQ((dir / "sub" / "c.eml").string(), files[2].path);
  EXPECT_EQ((dir / "sub" / "link.eml").string(), files[3].path);
  for (size_t i = 0; i < 4; ++i) EXPECT_TRUE(files[i].listed);
  EXPECT_EQ((dir / "missing.eml").string(), files[4].path);
  EXPECT_FALSE(files[4].listed);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace emlscan
