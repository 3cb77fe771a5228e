#include "rules/regex_library.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "emlbreaker/trace.h"

namespace {

class LastLineTracer : public CDummyDebugTrace {
 public:
  void Trace(const char* format, ...) override {
    char line[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    last = line;
  }
  std::string last;
};

class RegexLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(library_.Load(EMLB_PATMATCH_DIR)); }

  std::unique_ptr<CARegEx> Compiled(const char* pattern, int32_t flags) {
    std::unique_ptr<CARegEx> regex(library_.NewRegex());
    EXPECT_NE(nullptr, regex);
    EXPECT_EQ(0, regex->Compile(pattern, flags)) << regex->GetError();
    return regex;
  }

  CRegexLibrary library_;
};

TEST_F(RegexLibraryTest, MatchesAnywhereWithOrWithoutCase) {
  const struct { const char* pattern; int32_t flags; std::string text; uint8_t match; } kCases[] = {
      {"viagra", 0, "Buy VIAGRA now", 0},
      {"viagra", 2, "Buy VIAGRA now", 1},
      {"v[i1]agra", 2, "cheap V1AGRA", 1},
      {"^Subject", 0, "x Subject", 0},
      {"caf\xC3\xA9", 2, "CAF\xC3\x89", 1},                   // case folding beyond ASCII
      {"free", 0, std::string("\xFF\xFE free \xC3", 9), 1},   // invalid UTF-8 around a match
      {"\\x{FFFD}", 0, "\xFF", 0},                            // invalid bytes never match a character
      {"a.c", 0, std::string("a\0c", 3), 1},                  // not cut at a zero byte
      {"", 0, "", 1},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.pattern);
    auto regex = Compiled(c.pattern, c.flags);
    EXPECT_EQ(c.match, regex->Match(c.text.data(), static_cast<uint32_t>(c.text.size()), 0, 0));
  }
}

TEST_F(RegexLibraryTest, CompileFailureExplainsItself) {
  std::unique_ptr<CARegEx> regex(library_.NewRegex());
  EXPECT_NE(0, regex->Compile("(unclosed", 0));
  EXPECT_NE(std::string::npos, std::string(regex->GetError()).find("at offset 9"))
      << regex->GetError();
  EXPECT_EQ(0, regex->Match("unclosed", 8, 0, 0));  // nothing compiled: no match
  EXPECT_EQ(0, regex->Compile("ok", 0));
  EXPECT_STREQ("", regex->GetError());
}

TEST_F(RegexLibraryTest, CatastrophicBacktrackingGivesUp) {
  auto regex = Compiled("(a+)+$", 0);
  std::string text(30, 'a');
  text += '!';
  EXPECT_EQ(0, regex->Match(text.data(), static_cast<uint32_t>(text.size()), 0, 0));
}

// One engine serves several mails at once, so threads match the same compiled regex
// together; the one whose turn it is not must get its own answer, not a neighbour's.
TEST_F(RegexLibraryTest, ConcurrentMatchesOfOneRegexEachGetTheirOwnAnswer) {
  auto regex = Compiled("fr[e3]{2}\\s+(offer|gift)", 2);
  const std::string hit = "Your FREE  gift inside", miss = "nothing to see here";
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5000; ++i) {
        const bool want = (i + t) % 2 == 0;
        const std::string& text = want ? hit : miss;
        if (regex->Match(text.data(), static_cast<uint32_t>(text.size()), 0, 0) != (want ? 1 : 0))
          ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0, wrong.load());
}

TEST(RegexLibraryLoadTest, MissingLibraryOrExportIsTraced) {
  LastLineTracer tracer;
  CADebugTrace* saved = GetDebugTrace();
  GetDebugTrace() = &tracer;
  CRegexLibrary library;
  EXPECT_FALSE(library.Load("/nonexistent/"));
  EXPECT_EQ(0u, tracer.last.find("CRegexLibrary::Load - cannot load the Regex library "
                                 "(/nonexistent/libpatmatch.so): "))
      << tracer.last;
  EXPECT_EQ(nullptr, library.NewRegex());
  // A library without the export: the packer stand-in built for the tests.
  EXPECT_FALSE(library.Load(EMLB_NO_EXPORT_DIR));
  EXPECT_EQ(
      "WARNING: invalid Regex DLL library ! The product will run, but with a lot less "
      "functionality.",
      tracer.last);
  EXPECT_FALSE(library.IsLoaded());
  GetDebugTrace() = saved;
  EXPECT_EQ("dir\\libpatmatch.so", CRegexLibrary::LibraryPath("dir\\"));
  EXPECT_EQ("dir/libpatmatch.so", CRegexLibrary::LibraryPath("dir"));
}

}  // namespace
