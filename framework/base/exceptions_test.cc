#include "emlbreaker/exceptions.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <string>
#include <vector>

#include "emlbreaker/trace.h"

namespace {

// Records every trace line so tests can see what an exception wrote.
class RecordingTracer : public CADebugTrace {
 public:
  void SetLevel(uint16_t) override {}
  void Print(const char*, ...) override {}
  void Flush() override {}
  void Trace(const char* format, ...) override {
    char line[4096];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    lines.emplace_back(line);
  }
  std::vector<std::string> lines;
};

class ExceptionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = GetDebugTrace();
    GetDebugTrace() = &tracer_;
  }
  void TearDown() override { GetDebugTrace() = saved_; }

  RecordingTracer tracer_;
  CADebugTrace* saved_ = nullptr;
};

struct Expected {
  int32_t code;
  bool fatal;
  std::string message;
  std::string trace;  // empty: no trace line
};

void ExpectException(const ASException& e, const Expected& want,
                     const std::vector<std::string>& lines) {
  EXPECT_EQ(want.code, e.GetErrorCode());
  EXPECT_EQ(want.fatal, e.IsFatal());
  EXPECT_EQ(want.message, e.what());
  if (want.trace.empty()) {
    EXPECT_TRUE(lines.empty()) << lines.front();
  } else {
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(want.trace, lines[0]);
  }
}

TEST_F(ExceptionTest, EachClassHasItsCodeFatalFlagAndTraceLine) {
  auto check = [&](const ASException& e, const Expected& want) {
    SCOPED_TRACE(want.message);
    ExpectException(e, want, tracer_.lines);
    tracer_.lines.clear();
  };
  check(ASException(), {-1, false, "unknown exception", ""});
  check(ASException("a %d", 1), {-1, false, "a 1", "EXCEPTION: a 1"});
  check(ASException(-7, "b %s", "x"), {-7, false, "b x", "EXCEPTION: b x( Err Code: -7)"});
  check(ASFatalException(-8, "c"), {-8, true, "c", "EXCEPTION (fatal): [retcode -8] c"});
  check(ASFatalException("d"), {-1, true, "d", "EXCEPTION (fatal): d"});
  check(ASFileException(-13, "e"), {-13, false, "e", "EXCEPTION (file): [retcode -13] e"});
  check(ASMemException(), {-2, false, "AS Memory Exception", ""});
  check(ASMemException("f"), {-2, false, "f", "EXCEPTION (memory): f"});
  check(ASInternalException(), {-3, false, "AS Internal Exception", ""});
  check(ASInternalException(0, "g"), {0, false, "g", "EXCEPTION (internal): [retcode 0] g"});
  check(ASBadPtrException("h"), {-1, false, "h", "EXCEPTION (bad ptr): h"});
  check(ASBadCastException("i"), {-1, false, "i", "EXCEPTION (invalid cast): i"});
  check(InvalidIndexException(),
        {-301, false, "Array index out of bounds exception",
         "EXCEPTION: Array index out of bounds exception"});
  check(CBreakerException(-10, "j"), {-10, false, "j", ""});
  check(CStreamerException("k"), {-1, false, "k", "EXCEPTION: k"});
}

TEST_F(ExceptionTest, MessagesAreCutAtOneThousandCharacters) {
  std::string long_text(1500, 'x');
  ASException e("%s", long_text.c_str());
  EXPECT_EQ(std::string(1000, 'x'), e.what());
  ASException copy(e);
  EXPECT_EQ(1000u, std::string(copy.what()).size());
  ASException assigned;
  assigned = e;
  EXPECT_EQ(std::string(1000, 'x'), assigned.what());
  EXPECT_EQ(-1, assigned.GetErrorCode());
}

TEST_F(ExceptionTest, NullFormatLeavesEmptyMessageAndCodeZero) {
  ASException e(-5, nullptr);
  EXPECT_EQ(0, e.GetErrorCode());
  EXPECT_STREQ("unknown exception", e.what());
}

TEST_F(ExceptionTest, EveryClassIsCaughtAsTheFamilyBases) {
  auto caught_as_family = [](auto thrower) {
    int hits = 0;
    try { thrower(); } catch (const ASException&) { ++hits; }
    try { thrower(); } catch (const AException&) { ++hits; }
    try { thrower(); } catch (const std::exception&) { ++hits; }
    return hits;
  };
  EXPECT_EQ(3, caught_as_family([] { throw InvalidIndexException(); }));
  EXPECT_EQ(3, caught_as_family([] { throw CBreakerException(-20, "x"); }));
  EXPECT_EQ(3, caught_as_family([] { throw ASMemException(); }));
  try {
    throw InvalidIndexException();
  } catch (const ASException& e) {
    EXPECT_EQ(-301, e.GetErrorCode());
  }
}

TEST(TracerTest, WithoutTracerLibraryExceptionsAreSilentAndWork) {
  // The default tracer is the dummy: building exceptions must not fail.
  CADebugTrace* tracer = GetDebugTrace();
  ASSERT_NE(nullptr, tracer);
  EXPECT_NE(nullptr, dynamic_cast<CDummyDebugTrace*>(tracer));
  try {
    throw ASFatalException(-1, "%s - memory problems", "X::Y");
  } catch (const AException& e) {
    EXPECT_TRUE(e.IsFatal());
  }
}

}  // namespace
