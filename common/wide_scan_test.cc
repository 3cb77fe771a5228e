#include "common/wide_scan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ascommon {
namespace {

// The block loops and their scalar tails must agree with a plain search for
// every length and every position of the unit looked for, across the eight-
// unit block boundaries.
TEST(WideScanTest, BlockAndTailAgreeWithPlainSearch) {
  for (size_t length = 0; length <= 40; ++length) {
    for (size_t at = 0; at <= length; ++at) {
      std::u16string text(length, u'a');
      if (at < length) text[at] = u'\u00E9';
      // One unit past the range that would be found if the range were overrun.
      std::u16string padded = text + u'\u00E9';
      EXPECT_EQ(AsciiPrefix(padded.data(), length), at) << length << " " << at;
      EXPECT_EQ(FindUnit(padded.data(), length, u'\u00E9'), at) << length << " " << at;
    }
  }
  // Narrowing and the UTF-8 bound over the same boundaries: 1, 2 or 3 bytes
  // a unit.
  for (size_t length = 0; length <= 40; ++length) {
    std::u16string text;
    std::string narrow;
    size_t bytes = 0;
    for (size_t i = 0; i < length; ++i) {
      text.push_back(i % 7 == 3 ? u'\u0100' : i % 11 == 5 ? u'\u4E2D' : char16_t(u'a' + i % 26));
      bytes += text.back() < 0x80 ? 1 : text.back() < 0x800 ? 2 : 3;
    }
    EXPECT_EQ(Utf8Bound(text.data(), length), bytes) << length;
    std::u16string ascii(length, u'q');
    std::string out(length, '\0');
    NarrowAscii(ascii.data(), length, out.data());
    EXPECT_EQ(out, std::string(length, 'q'));
  }
  // 0xFF80 has a high byte but a low byte below 0x80: still not ASCII.
  const std::u16string tricky = u"abcdefghij\uFF00k";
  EXPECT_EQ(AsciiPrefix(tricky.data(), tricky.size()), 10u);
}

TEST(WideScanTest, ByteRunsAndWideningAcrossBlocks) {
  for (size_t length = 0; length <= 40; ++length) {
    for (size_t at = 0; at <= length; ++at) {
      std::basic_string<unsigned char> bytes(length + 1, 'a');
      if (at < length) bytes[at] = 0xE9;
      bytes[length] = 0xE9;  // past the range
      EXPECT_EQ(AsciiPrefix(bytes.data(), length), at) << length << " " << at;
      std::u16string wide(length, u'\0');
      WidenBytes(bytes.data(), length, wide.data());
      for (size_t i = 0; i < length; ++i) ASSERT_EQ(wide[i], bytes[i]) << length << " " << i;
    }
  }
}

TEST(WideScanTest, FindWideMatchesTheStandardSearch) {
  const std::u16string text = u"xx http:/ http://a www. www.b http://";
  for (std::u16string pattern : {u"http://", u"www.", u"h", u">", u"//"}) {
    for (size_t from = 0; from <= text.size() + 1; ++from) {
      EXPECT_EQ(FindWide(text, pattern, from), std::u16string_view(text).find(pattern, from))
          << from;
    }
  }
  const std::u16string short_text = u"htt";
  EXPECT_EQ(FindWide(short_text, u"http://", 0), std::u16string_view::npos);
}

// Every pattern of up to four letters of a two-letter alphabet in every text of up
// to 40: matches at every position across the sixteen-byte blocks, near misses where
// only the first and last bytes agree, patterns longer than the text.
TEST(WideScanTest, FindBytesMatchesMemmem) {
  std::vector<std::string> patterns;
  for (size_t n = 1; n <= 4; ++n) {
    for (unsigned bits = 0; bits < (1u << n); ++bits) {
      std::string p;
      for (size_t k = 0; k < n; ++k) p += (bits >> k & 1) ? 'b' : 'a';
      patterns.push_back(p);
    }
  }
  for (size_t length = 0; length <= 40; ++length) {
    for (size_t seed = 0; seed < 8; ++seed) {
      std::string text(length, 'a');
      for (size_t k = 0; k < length; ++k) {
        if ((k * 7 + seed * 13 + k * k * seed) % 5 == 0) text[k] = 'b';
      }
      // A byte past the range that would complete a match if the range were overrun.
      const std::string padded = text + "b";
      for (const std::string& p : patterns) {
        const void* expected = memmem(padded.data(), length, p.data(), p.size());
        EXPECT_EQ(expected, FindBytes(padded.data(), length, p.data(), p.size()))
            << text << " / " << p;
      }
    }
  }
  // A pattern longer than a block, found after several blocks; cut short by one byte.
  const std::string text = std::string(100, 'x') + "needle in a haystack";
  EXPECT_EQ(text.data() + 100, FindBytes(text.data(), text.size(), "needle in a haystack", 20));
  EXPECT_EQ(nullptr, FindBytes(text.data(), text.size() - 1, "needle in a haystack", 20));
}

}  // namespace
}  // namespace ascommon
