#include "common/charset_converter.h"

#include <gtest/gtest.h>

#include <string>

namespace ascommon {
namespace {

class ConverterTest : public ::testing::Test {
 protected:
  void SetUp() override { converter_.Init(usstring(u"/unused")); }

  // Converts and answers the code and the text.
  std::pair<int32_t, std::u16string> Wide(const char* charset, const std::string& bytes,
                                          size_t capacity = 256) {
    std::u16string out(capacity, u'\0');
    size_t length = capacity;
    int32_t code = converter_.ToWide(charset, bytes.data(), bytes.size(), out.data(), &length, true);
    out.resize(code == 0 ? length : 0);
    return {code, out};
  }
  std::pair<int32_t, std::string> Utf8(const std::u16string& text, size_t capacity = 256) {
    std::string out(capacity, '\0');
    size_t length = capacity;
    int32_t code = converter_.ToUtf8(text.data(), text.size(), out.data(), &length);
    out.resize(code == 0 ? length : 0);
    return {code, out};
  }

  CCharsetConverter converter_;
};

TEST(CharsetAliasTest, NamesResolveWithoutRegardToCase) {
  const struct { const char* name; int32_t code_page; } kCases[] = {
      {"UTF-8", 65001}, {"Utf-8", 65001}, {"utf-8", 65001}, {"utf8", -1},
      {"MACCYRILLIC", 10007}, {"maccyrillic", 10007}, {"Windows-1251", 1251},
      {"ISO-8859-15", 28605}, {"iso-8859-10", -1}, {"GBK", 936}, {"Shift_JIS", 932},
      {"us-ascii", 20127}, {"", -1}, {" utf-8", -1}, {nullptr, -1},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name ? c.name : "(null)");
    EXPECT_EQ(c.code_page, CCharsetConverter::LookupCodePage(c.name));
  }
}

TEST(CharsetConverterBeforeInit, EveryConversionIsRefused) {
  CCharsetConverter converter;
  char16_t wide[8];
  size_t length = 8;
  EXPECT_EQ(-4, converter.ToWide("utf-8", "abc", 3, wide, &length, false));
  char narrow[8];
  length = 8;
  EXPECT_EQ(-4, converter.ToUtf8(u"abc", 3, narrow, &length));
  EXPECT_EQ(-4, converter.ToUtf8(u"abc", 3, nullptr, &length));
}

TEST_F(ConverterTest, ToWideIsStrictAboutInvalidInput) {
  const struct { const char* charset; std::string bytes; int32_t code; std::u16string text; } kCases[] = {
      {"utf-8", "caf\xC3\xA9", 0, u"caf\u00E9"},
      {"utf-8", "\xF0\x9F\x98\x80", 0, u"\U0001F600"},        // becomes a surrogate pair
      {"utf-8", "caf\xC3", -50, u""},                          // truncated sequence
      {"utf-8", "\xC0\xAF", -50, u""},                         // overlong "/"
      {"utf-8", "\xED\xA0\x80", -50, u""},                     // encoded surrogate
      {"utf-8", "\xF4\x90\x80\x80", -50, u""},                 // above U+10FFFF
      {"utf-8", "a\xFF", -50, u""},
      {"us-ascii", "plain", 0, u"plain"},
      {"us-ascii", "caf\xE9", -50, u""},
      {"iso-8859-1", "caf\xE9", 0, u"caf\u00E9"},
      {"windows-1252", "\x80", 0, u"\u20AC"},
      {"windows-1252", "\x81", -50, u""},                      // unassigned in cp1252
      {"utf8", "abc", -3, u""},
      {"no-such-charset", "abc", -3, u""},
      {"MacArabic", "abc", -3, u""},                           // in the table, not in this iconv
      {"hz-gb-2312", "abc", -3, u""},
      {"utf-8", "", 0, u""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.charset) + ": " + c.bytes);
    auto [code, text] = Wide(c.charset, c.bytes);
    EXPECT_EQ(c.code, code);
    EXPECT_EQ(c.text, text);
  }
}

TEST_F(ConverterTest, CyrillicAndJapaneseRoundTrip) {
  // "Привет" in KOI8-R and windows-1251, "日本語" in Shift_JIS, EUC-JP and ISO-2022-JP.
  const std::string kUtf8Cyrillic = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82";
  const std::string kUtf8Japanese = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E";
  const struct { const char* charset; std::string bytes; const std::string* utf8; } kCases[] = {
      {"koi8-r", "\xF0\xD2\xC9\xD7\xC5\xD4", &kUtf8Cyrillic},
      {"windows-1251", "\xCF\xF0\xE8\xE2\xE5\xF2", &kUtf8Cyrillic},
      {"shift_jis", "\x93\xFA\x96\x7B\x8C\xEA", &kUtf8Japanese},
      {"euc-jp", "\xC6\xFC\xCB\xDC\xB8\xEC", &kUtf8Japanese},
      {"iso-2022-jp", "\x1B$BF|K\\8l\x1B(B", &kUtf8Japanese},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.charset);
    auto [code, wide] = Wide(c.charset, c.bytes);
    ASSERT_EQ(0, code);
    auto [utf8_code, utf8] = Utf8(wide);
    ASSERT_EQ(0, utf8_code);
    EXPECT_EQ(*c.utf8, utf8);
  }
}

TEST_F(ConverterTest, OutputBufferTooSmall) {
  EXPECT_EQ(-51, Wide("utf-8", "abcd", 3).first);
  EXPECT_EQ(-51, Wide("iso-8859-1", "abcd", 3).first);
  EXPECT_EQ(-51, Wide("koi8-r", "\xF0\xD2\xC9\xD7", 3).first);
  EXPECT_EQ(-51, Wide("utf-8", "\xF0\x9F\x98\x80", 1).first);  // a pair needs two units
  EXPECT_EQ(0, Wide("utf-8", "abcd", 4).first);
  EXPECT_EQ(-51, Utf8(u"\u00E9\u00E9", 3).first);
}

TEST_F(ConverterTest, Utf8LengthComputation) {
  size_t length = 99;
  EXPECT_EQ(0, converter_.ToUtf8(u"A\u00E9\u20AC", 3, nullptr, &length));
  EXPECT_EQ(6u, length);
  EXPECT_EQ(0, converter_.ToUtf8(u"\U0001F600", 2, nullptr, &length));
  EXPECT_EQ(6u, length);  // surrogates count three bytes each
  EXPECT_EQ(0, converter_.ToUtf8(u"", 0, nullptr, &length));
  EXPECT_EQ(0u, length);
  // The real conversion never writes more than the computed length.
  const std::u16string lone = {0xD83D, 0xDE00, 0xD800, u'x'};
  auto [code, text] = Utf8(lone);
  EXPECT_EQ(0, code);
  EXPECT_EQ("\xF0\x9F\x98\x80\xEF\xBF\xBDx", text);  // the lone surrogate becomes U+FFFD
}

}  // namespace
}  // namespace ascommon
