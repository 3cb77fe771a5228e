#include "mail/components/encoded_words.h"

#include <gtest/gtest.h>

#include <string>

#include "common/charset_converter.h"

namespace nsEmlComponents {
namespace {

class EncodedWordsTest : public ::testing::Test {
 protected:
  void SetUp() override { converter_.Init(ascommon::usstring(u"")); }

  // Decodes text; the result as UTF-8 so that failures print readably.
  std::string Decode(const std::string& text, std::string* charset, int32_t* code) {
    ascommon::usstring decoded;
    ascommon::sstring word_charset;
    *code = DecodeEncodedWords(&converter_, text, &decoded, &word_charset);
    *charset = std::string(word_charset.View());
    return std::string(ascommon::sstring(decoded).View());
  }

  ascommon::CCharsetConverter converter_;
};

TEST_F(EncodedWordsTest, WordsInManyCharsets) {
  const struct {
    const char* text;
    const char* decoded;
    const char* charset;
  } kCases[] = {
      {"plain text, caf\xE9", "plain text, caf\xC3\xA9", ""},  // outside words: ISO-8859-1
      {"=?UTF-8?B?w6l0w6k=?=", "\xC3\xA9t\xC3\xA9", "UTF-8"},
      {"=?iso-8859-1?q?caf=E9_au_lait?=", "caf\xC3\xA9 au lait", "iso-8859-1"},
      {"=?koi8-r?B?8NLJ18XU?=", "Привет", "koi8-r"},
      {"=?windows-1251?B?z/Do4uXy?=", "Привет", "windows-1251"},
      {"=?shift_jis?B?k/qWe4zq?=", "日本語", "shift_jis"},
      {"=?ISO-2022-JP?B?GyRCRnxLXDhsGyhC?=", "日本語", "ISO-2022-JP"},
      {"=?gb2312?B?1tDOxA==?=", "中文", "gb2312"},
      {"=?big5?B?pKSk5Q==?=", "中文", "big5"},
      {"=?euc-kr?B?x9Gxub7u?=", "한국어", "euc-kr"},
      {"=?iso-8859-2?B?o/NkvA==?=", "Łódź", "iso-8859-2"},
      {"=?iso-8859-7?B?xevr3OTh?=", "Ελλάδα", "iso-8859-7"},
      {"=?iso-8859-15?B?pHVybw==?=", "€uro", "iso-8859-15"},
      // Text between words stays, and the last word names the charset.
      {"=?utf-8?Q?a?= - =?koi8-r?Q?=F0?=", "a - П", "koi8-r"},
      {"Re: =?utf-8?Q?=C3=A9?=!", "Re: \xC3\xA9!", "utf-8"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    std::string charset;
    int32_t code = 1;
    EXPECT_EQ(c.decoded, Decode(c.text, &charset, &code));
    EXPECT_EQ(0, code);
    EXPECT_EQ(c.charset, charset);
  }
}

TEST_F(EncodedWordsTest, LenientAndMalformedWords) {
  const struct {
    const char* text;
    const char* decoded;
    int32_t code;
  } kCases[] = {
      // Base64: characters outside the alphabet are zero bits, zero bytes vanish.
      {"=?us-ascii?B?QUJD****?=", "ABC", 0},
      {"=?us-ascii?B?QU.D?=", "A@\x03", 0},
      {"=?us-ascii?B?QQ==?=", "A", 0},
      {"=?us-ascii?B?QUJDRA?=", "ABC", 0},           // a remainder under four is ignored
      {"=?utf-16?B?aADpAA==?=", "\xEE\xA5\xA8", 0},  // "hé" minus its zero bytes: U+E968
      {"=?us-ascii?B?QUJ?=", "", 0},
      // Q: soft breaks, dropped controls, unchecked digits, short escapes.
      {"=?us-ascii?Q?a=\r\nb=\nc\td?=", "abcd", 0},
      {"=?us-ascii?Q?=5A=ZZ=4?=", "ZS", 0},  // "=ZZ" is 16 * 35 + 35 = 0x253, so "S"
      {"=?iso-8859-1?Q?=e9=00?=", "\xC3\xA9", 0},
      // An unknown encoding letter keeps the encoded text as it is.
      {"=?us-ascii?X?abc=41?=", "abc=41", 0},
      // No word without its question marks and "?=": "=?" goes, the rest stays.
      {"x =?utf-8?Q?abc", "x utf-8?Q?abc", 0},
      {"=?abc", "abc", 0},
      {"=?a?b", "a?b", 0},
      {"=?=?=?", "", 0},
      // Conversion failures keep what came before the word.
      {"a =?x-unknown?Q?b?= c", "a ", -303},
      {"a =?utf-8?Q?=FF?=", "a ", -303},
      {"=??Q?b?=", "", -303},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    std::string charset;
    int32_t code = 1;
    EXPECT_EQ(c.decoded, Decode(c.text, &charset, &code));
    EXPECT_EQ(c.code, code);
  }
}

TEST_F(EncodedWordsTest, UnterminatedWordsStayLinear) {
  // Every "=?" here opens a word that never closes; a search for "?=" per word
  // would take minutes, one remembered failure takes microseconds.
  std::string text;
  for (int i = 0; i < 200000; ++i) text += "=?a?b?c ";
  std::string charset;
  int32_t code = 1;
  const std::string decoded = Decode(text, &charset, &code);
  EXPECT_EQ(0, code);
  EXPECT_EQ(200000u * 6, decoded.size());
}

TEST(EncodedWordsWithoutConverter, IsRefused) {
  ascommon::usstring decoded;
  ascommon::sstring charset;
  EXPECT_EQ(-11, DecodeEncodedWords(nullptr, "x", &decoded, &charset));
  ascommon::CCharsetConverter not_ready;
  EXPECT_EQ(-303, DecodeEncodedWords(&not_ready, "=?utf-8?Q?x?=", &decoded, &charset));
}

}  // namespace
}  // namespace nsEmlComponents
