#include "mail/components/url_finder.h"

#include <gtest/gtest.h>

#include <string>

#include "mail/components/testing/wide_text.h"

namespace nsEmlComponents {
namespace {

using ascommon::sstring;
using ascommon::usstring;


// The raw texts of the URLs found, each in brackets.
std::string FoundUrls(const std::string& text) {
  ascommon::CArray<CUrl, 64> urls;
  EXPECT_EQ(0, ExtractTextUrls(Wide(text).c_str(), urls));
  std::string found;
  for (const CUrl& url : urls) found += "[" + Narrow(url.raw) + "]";
  return found;
}

TEST(ExtractTextUrlsTest, WhereUrlsStartAndEnd) {
  const struct {
    const char* text;
    const char* urls;
  } kCases[] = {
      {"see www.example.com", "[www.example.com]"},
      {"see www.", ""},  // the full stop goes, leaving nothing after the prefix
      {"http:// and more", ""},
      {"Visit http://a.com/x.", "[http://a.com/x]"},
      {"(see http://a.com/x)", "[http://a.com/x]"},
      {"wow http://a.com!?", "[http://a.com]"},
      {"end http://a.com/_'\"", "[http://a.com/]"},
      {"HTTP://A.COM and Www.a.com", ""},  // the search is case-sensitive
      {"awww.b.com", "[www.b.com]"},
      {"xhttp://www.a.com", "[http://www.a.com]"},  // the earlier prefix wins
      {"http://a.com\thttp://b.com\r\nwww.c.com", "[http://a.com][http://b.com][www.c.com]"},
      {"a www.x.com; b", "[www.x.com]"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.urls, FoundUrls(c.text));
  }
}

TEST(ExtractTextUrlsTest, DelimitedUrlsJoinWrappedLines) {
  const struct {
    const char* text;
    const char* urls;
  } kCases[] = {
      {"<http://a.com/very/\n   long/path>", "[http://a.com/very/long/path]"},
      {"< \n http://a.com/x>", "[http://a.com/x]"},  // blanks after the bracket
      {"\"http://a.com/x y\" tail", "[http://a.com/xy]"},
      {"\"http://a.com/x\"http://b.com/", "[http://a.com/x][http://b.com/]"},
      {"<http://a.com/x", "[http://a.com/x]"},    // no closing bracket: up to the end
      {"<http://a.com/x y", "[http://a.com/x]"},  // ... or to the next blank
      {"<http://a.com/ x http://b.com/>", "[http://a.com/xhttp://b.com/]"},
      {"x<y http://a.com/z>", "[http://a.com/z>]"},  // "<" must be next to the URL
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.urls, FoundUrls(c.text));
  }
}

TEST(ExtractTextUrlsTest, ManyUnclosedDelimitersStayLinear) {
  // Every "<" asks for a ">" that never comes; every quote closes the last.
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "<http://a.b/ ";
  for (int i = 0; i < 20000; ++i) text += "\"www.c.d ";
  ascommon::CArray<CUrl, 64> urls;
  ASSERT_EQ(0, ExtractTextUrls(Wide(text).c_str(), urls));
  EXPECT_EQ(40000u, urls.GetSize());
  EXPECT_EQ(-11, ExtractTextUrls(nullptr, urls));
}

TEST(DecodeUrlTest, OnlyEscapedPlainCharactersSetTheFlag) {
  const struct {
    const char* raw;
    const char* decoded;
    int flag;
  } kCases[] = {
      {"http://%77%77%77.a.com", "http://www.a.com", 1},
      {"&#104;ttp://a", "http://a", 1},
      {"a%20b", "a b", 0},  // a blank is no plain character in disguise
      {"a&amp;b", "a&amp;b", 0},
      {"&#1044;", "h;", 1},     // three digits count; the fourth closes the reference
      {"&#31;x&#;y", "xy", 0},  // below 32: dropped
      {"%4gx", "@x", 0},        // the first hex digit alone weighs 16
      {"%00x%g1", "x", 0},
      {"&%41", "&A", 1},
      {"%2F%5c%3A", "/\\:", 1},
      {"abc%4", "abc", 0},  // an escape open at the end is dropped
      {"x&#65", "x", 0},
      {"&&#65;", "&&#65;", 0},
      {"", "", 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.raw);
    CUrl url;
    url.raw = usstring::FromUtf8(c.raw);
    uint8_t flag = 0;
    ASSERT_EQ(0, DecodeUrl(url, flag));
    EXPECT_EQ(c.decoded, Narrow(url.decoded));
    EXPECT_EQ(c.flag, flag);
  }
  CUrl plain;
  plain.raw = u"http://a";
  uint8_t flag = 1;
  ASSERT_EQ(0, DecodeUrl(plain, flag));
  EXPECT_EQ(1, flag);  // never cleared
}

}  // namespace
}  // namespace nsEmlComponents
