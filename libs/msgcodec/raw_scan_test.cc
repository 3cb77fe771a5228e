// The raw-byte scans that locate what GMime reports no offset for.
#include "raw_scan.h"

#include <gtest/gtest.h>

namespace msgcodec {
namespace {

TEST(RawScanTest, DelimiterLines) {
  const struct {
    const char* line;
    bool close;
    bool is_delimiter;
  } kCases[] = {
      {"--b", false, true},    {"--b  \t", false, true}, {"--b--", false, false},
      {"--b--", true, true},   {"--b-- ", true, true},   {"--bx", false, false},
      {"-b", false, false},    {"--", false, false},     {"--b\r", false, true},
      {"--b--x", true, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(c.is_delimiter, IsDelimiterLine(c.line, "b", c.close));
  }
}

TEST(RawScanTest, HeaderFieldsAndBlocks) {
  const std::string mail = "A: 1\r\n folded\r\n\tagain\r\nB:2\nC : 3\n\nbody\n";
  EXPECT_EQ(mail.find("B:"), HeaderFieldEnd(mail, 0));
  EXPECT_EQ(mail.find("C :"), HeaderFieldEnd(mail, mail.find("B:")));
  EXPECT_EQ(mail.find("C :"), FindHeaderField(mail, 0, mail.size(), "C "));
  EXPECT_EQ(kNotFound, FindHeaderField(mail, 0, mail.size(), "folded"));
  EXPECT_EQ(mail.find("\n\nbody") + 1, FindEmptyLine(mail, 0));
  EXPECT_EQ(kNotFound, FindEmptyLine("A: 1\nB: 2", 0));
  EXPECT_EQ(2u, EmptyLineLength("\r\nx", 0));
  EXPECT_EQ(0u, EmptyLineLength("x\n", 0));
}

TEST(RawScanTest, FindsTheDelimiterAroundAPart) {
  const std::string mail = "x\n--b\nH: 1\n\nbody\n--inner\n--a--\n--b--\n";
  EXPECT_EQ(2u, FindDelimiterBefore(mail, mail.find("H:"), 0, "b"));
  EXPECT_EQ(kNotFound, FindDelimiterBefore(mail, mail.find("H:"), 3, "b"));
  const std::string_view kOuter[] = {"b", "a"};
  EXPECT_EQ(mail.find("--a--"), FindAnyDelimiter(mail, mail.find("body"), kOuter, 2));
  EXPECT_EQ(mail.find("--b--"), FindAnyDelimiter(mail, mail.find("body"), kOuter, 1));
  EXPECT_EQ(kNotFound, FindAnyDelimiter(mail, mail.find("body"), kOuter + 1, 0));
}

}  // namespace
}  // namespace msgcodec
