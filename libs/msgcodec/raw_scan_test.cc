// The raw-byte scans that locate what GMime reports no offset for.
#include "raw_scan.h"

#include <gmime/gmime.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <tuple>

#include "mail.h"
#include "packer_test_util.h"

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

TEST(RawScanTest, HeaderBlocksLeftToGMime) {
  std::vector<RawField> fields;
  size_t end = 0;
  using namespace std::string_literals;
  const std::string kLeft[] = {
      "A: 1\nB: 2"s,                                     // no empty line
      "bad line\nA: 1\n\n"s, " A: 1\n\n"s, "\n\nbody"s,  // no field first
      "A: 1\n: 2\n\n"s,                                  // an empty name
      "A: 1\nB: \0\n\n"s,                                // a NUL
  };
  for (const std::string& mail : kLeft)
    EXPECT_FALSE(ScanHeaderBlock(mail, 0, &fields, &end)) << mail;
  // A line whose name runs past kMaxScannedLine is GMime's; a long value is not.
  const std::string long_name = "A" + std::string(kMaxScannedLine, 'x') + ": 1\n\n";
  EXPECT_FALSE(ScanHeaderBlock(long_name, 0, &fields, &end));
  const std::string long_value = "A: " + std::string(kMaxScannedLine, 'x') + "\n\n";
  ASSERT_TRUE(ScanHeaderBlock(long_value, 0, &fields, &end));
  EXPECT_EQ(long_value.size() - 1, fields[0].end);
  const std::string mail = "A : 1\r\n folded\r\nbad line\r\n more\r\nB:2\r\n\r\nbody";
  ASSERT_TRUE(ScanHeaderBlock(mail, 0, &fields, &end));
  EXPECT_EQ(mail.find("\r\n\r\n") + 2, end);
  ASSERT_EQ(2u, fields.size());
  EXPECT_EQ("A", mail.substr(fields[0].offset, fields[0].name_end));
  EXPECT_EQ(" 1\r\n folded\r\n",
            mail.substr(fields[0].colon + 1, fields[0].end - fields[0].colon - 1));
  EXPECT_EQ(mail.find("B:"), fields[1].offset);
}

// Each corpus mail's top header block, where the raw scan reads it, gives
// the fields GMime's message parser gives: names, raw names, raw values and
// offsets, in the same order.
// Whether the raw scan reads `bytes` (true) and, when it does, expects the
// fields GMime's message parser gives: names, raw names, raw values and
// offsets, in the same order, and the same end of the block.
bool ExpectReadAsGMime(const std::string& bytes) {
  using Row = std::tuple<gint64, std::string, std::string, std::string>;
  std::vector<RawField> fields;
  size_t end = 0;
  if (!ScanHeaderBlock(bytes, 0, &fields, &end)) return false;
  GMimeStream* stream = g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size());
  GMimeParser* parser = g_mime_parser_new_with_stream(stream);
  GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
  EXPECT_NE(nullptr, message);
  EXPECT_EQ(static_cast<gint64>(end), g_mime_parser_get_headers_end(parser));
  std::vector<Row> theirs, ours;
  for (GMimeObject* owner :
       {GMIME_OBJECT(message), message ? g_mime_message_get_mime_part(message) : nullptr}) {
    GMimeHeaderList* list = owner ? g_mime_object_get_header_list(owner) : nullptr;
    for (int i = 0; list && i < g_mime_header_list_get_count(list); i++) {
      GMimeHeader* h = g_mime_header_list_get_header_at(list, i);
      theirs.emplace_back(g_mime_header_get_offset(h), g_mime_header_get_name(h),
                          g_mime_header_get_raw_name(h), g_mime_header_get_raw_value(h));
    }
  }
  std::stable_sort(theirs.begin(), theirs.end(),
                   [](const Row& a, const Row& b) { return std::get<0>(a) < std::get<0>(b); });
  for (const RawField& f : fields) {
    ours.emplace_back(static_cast<gint64>(f.offset), bytes.substr(f.offset, f.name_end - f.offset),
                      bytes.substr(f.offset, f.colon - f.offset),
                      bytes.substr(f.colon + 1, f.end - f.colon - 1));
  }
  EXPECT_EQ(theirs, ours);
  if (message) g_object_unref(message);
  g_object_unref(parser);
  g_object_unref(stream);
  return true;
}

TEST(RawScanTest, CorpusHeaderBlocksReadAsGMimeReadsThem) {
  std::string dir = msgcodec_test::CorpusDir();
  if (dir.empty()) GTEST_SKIP() << "mail corpus not found";
  EnsureGMime();
  size_t scanned = 0, mails = 0;
  for (const std::string& file : msgcodec_test::CorpusFiles(dir)) {
    mails++;
    SCOPED_TRACE(file);
    if (ExpectReadAsGMime(msgcodec_test::ReadFile(file))) scanned++;
  }
  std::printf("raw scan: %zu of %zu corpus header blocks read without GMime\n", scanned, mails);
  EXPECT_GT(scanned, mails * 9 / 10);
}

// Lines longer than GMime's 4 KiB buffer, which it reads in pieces: long
// values, long continuation lines, long invalid lines, lone CRs, after
// fields that put the long line's start at different places in the buffer.
TEST(RawScanTest, LongLinesReadAsGMimeReadsThem) {
  EnsureGMime();
  for (size_t length : {size_t{4095}, size_t{4097}, size_t{8192}, size_t{300000}}) {
    for (const char* nl : {"\n", "\r\n"}) {
      for (size_t pad : {size_t{0}, size_t{100}, size_t{4090}}) {
        std::string head = pad ? "X-Pad: " + std::string(pad, 'p') + nl : "";
        std::string v(length, 'A');
        for (size_t k = 500; k < v.size(); k += 777) v[k] = ' ';
        const std::string kShapes[] = {
            head + "Subject: " + v + nl + "From: a@b" + nl + nl + "body",
            head + "To: a@b," + nl + " " + v + nl + "\t" + v + nl + "X: y" + nl + nl + "b",
            head + "S: x" + nl + "bad name " + v + nl + "X: y" + nl + nl + "b",
            head + "S: x" + nl + "Y:" + v + "\r\r" + nl + "X: y" + nl + nl + "b",
        };
        for (const std::string& mail : kShapes) {
          SCOPED_TRACE(mail.substr(0, 40) + " length " + std::to_string(length));
          EXPECT_TRUE(ExpectReadAsGMime(mail));
        }
      }
    }
  }
}

}  // namespace
}  // namespace msgcodec
