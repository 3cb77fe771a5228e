// URL extraction and decoding, and the reference tables the HTML scanner
// reads. Expected values are the addresses a rule writer would expect to see.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/charset_converter.h"
#include "mail/components/html_tables.h"
#include "mail/components/text_analysis.h"

namespace nsEmlComponents {
namespace {

std::u16string W(const std::string& text) { return std::u16string(text.begin(), text.end()); }
std::string N(const ascommon::usstring& text) {
  std::string out;
  for (size_t i = 0; i < text.Length(); ++i) out.push_back(static_cast<char>(text.c_str()[i]));
  return out;
}

std::vector<std::string> RawUrls(const std::string& text) {
  ascommon::CArray<CUrl, 64> urls;
  EXPECT_EQ(0, ExtractTextUrls(W(text).c_str(), urls));
  std::vector<std::string> raw;
  for (size_t i = 0; i < urls.GetSize(); ++i) raw.push_back(N(urls[i].raw));
  return raw;
}

using Urls = std::vector<std::string>;

TEST(ExtractTextUrlsTest, EndsAndTrailingPunctuation) {
  const struct {
    const char* text;
    Urls urls;
  } kCases[] = {
      {"see www.example.com", {"www.example.com"}},
      {"see www.", {}},
      {"see http:// now", {}},
      {"Visit http://a.example/x.", {"http://a.example/x"}},
      {"(http://a.example/x)", {"http://a.example/x"}},
      {"go http://a.example/x!? now", {"http://a.example/x"}},
      {"HTTP://A.EXAMPLE/ is shouted", {}},
      {"xxwww.example.org", {"www.example.org"}},
      {"two: www.one.example, http://two.example/p?q=1;", {"www.one.example", "http://two.example/p?q=1"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.urls, RawUrls(c.text));
  }
}

TEST(ExtractTextUrlsTest, BracketedAndQuotedUrls) {
  // Wrapped over two lines inside angle brackets: joined, indentation gone.
  EXPECT_EQ(Urls{"http://a.example/very/long/path"},
            RawUrls("link: <http://a.example/very/\n    long/path> end"));
  EXPECT_EQ(Urls{"http://a.example/q"}, RawUrls("href= \"http://a.example/q\" rest"));
  // No closing character: up to the first blank, as for a bare URL.
  EXPECT_EQ(Urls{"http://a.example/open"}, RawUrls("<http://a.example/open"));
  EXPECT_EQ(Urls{"http://a.example/open"}, RawUrls("\"http://a.example/open and more"));
}

TEST(DecodeUrlTest, EscapesAndTheEncodedFlag) {
  const struct {
    const char* raw;
    const char* decoded;
    uint8_t encoded;
  } kCases[] = {
      {"http://%77%77%77.example.com", "http://www.example.com", 1},
      {"&#104;ttp://x.example", "http://x.example", 1},
      {"http://x.example/a%20b", "http://x.example/a b", 0},
      {"http://x.example/?a=1&b=2", "http://x.example/?a=1&b=2", 0},
      {"http://x.example/&#1044;", "http://x.example/h;", 1},  // fourth digit dropped
      {"http://x.example/%2", "http://x.example/", 0},          // open escape dropped
      {"http://x.example/&#31;x", "http://x.example/x", 0},     // control value dropped
      {"http://x.example/%4g", "http://x.example/@", 0},        // "4" then a non-hex digit
      {"http://x.example/&%41", "http://x.example/&A", 1},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.raw);
    CUrl url;
    ASSERT_EQ(0, url.raw.Assign(W(c.raw).c_str()));
    uint8_t encoded = 0;
    ASSERT_EQ(0, DecodeUrl(url, encoded));
    EXPECT_EQ(c.decoded, N(url.decoded));
    EXPECT_EQ(c.encoded, encoded);
  }
}

TEST(AnalyseTextPartTest, StoresTextUtf8AndLowerCasedUrls) {
  ascommon::CCharsetConverter converter;
  converter.Init(ascommon::usstring(u""));
  CPartBodyTextPlain body;
  const std::u16string text = u"Caf\u00e9: Visit HTTP://X.example or http://Shop.EXAMPLE/Buy.";
  ASSERT_EQ(0, AnalyseTextPart(body, text.c_str(), static_cast<uint32_t>(text.size() + 1),
                               converter));
  EXPECT_EQ(text, std::u16string(body.text.c_str(), body.text.Length()));
  EXPECT_STREQ("Caf\xc3\xa9: Visit HTTP://X.example or http://Shop.EXAMPLE/Buy.",
               body.utf8Text.c_str());
  ASSERT_EQ(1u, body.urls.GetSize());
  EXPECT_EQ("http://Shop.EXAMPLE/Buy", N(body.urls[0].raw));
  EXPECT_EQ("http://shop.example/buy", N(body.urls[0].decoded));
}

TEST(HtmlReferenceTablesTest, EntityNamesAndEmptyElements) {
  CHtmlEntityTable entities;
  EXPECT_EQ(-1, entities.Lookup(u"amp", 3));  // not built yet
  ASSERT_EQ(0, entities.Build());
  ASSERT_EQ(0, entities.Build());  // a second build changes nothing
  const struct {
    const char16_t* name;
    int32_t code;
  } kEntities[] = {{u"Cent", 162}, {u"cent", -1}, {u"nbsp", 32},  {u"amp", 38},
                   {u"AMP", -1},   {u"times", 215}, {u"divide", 247}, {u"Ouml", 214},
                   {u"Oslash", 216}, {u"yuml", 255}, {u"iquest", 191}, {u"euro", -1}};
  for (const auto& e : kEntities) {
    SCOPED_TRACE(std::string(e.name, e.name + std::char_traits<char16_t>::length(e.name)));
    EXPECT_EQ(e.code, entities.Lookup(e.name, std::char_traits<char16_t>::length(e.name)));
  }
  CHtmlEmptyTagSet empty;
  ASSERT_EQ(0, empty.Build());
  for (const char16_t* name : {u"p", u"BR", u"img", u"BaseFont", u"param"})
    EXPECT_TRUE(empty.Contains(name, std::char_traits<char16_t>::length(name)));
  for (const char16_t* name : {u"div", u"A", u"IMGX", u"BAS", u"TD"})
    EXPECT_FALSE(empty.Contains(name, std::char_traits<char16_t>::length(name)));
}

}  // namespace
}  // namespace nsEmlComponents
