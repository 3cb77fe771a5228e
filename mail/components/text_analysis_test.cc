#include "mail/components/text_analysis.h"

#include <gtest/gtest.h>

#include <string>

#include "common/charset_converter.h"
#include "mail/components/html_tables.h"

namespace nsEmlComponents {
namespace {

using ascommon::sstring;
using ascommon::usstring;

std::u16string Wide(const std::string& utf8) {
  return std::u16string(usstring::FromUtf8(utf8).View());
}
std::string Narrow(const usstring& wide) { return sstring(wide).c_str(); }

TEST(HtmlTablesTest, EntityNamesAreExact) {
  CHtmlEntityTable table;
  EXPECT_EQ(-1, table.Lookup(u"amp", 3));  // not built yet
  ASSERT_EQ(0, table.Build());
  ASSERT_EQ(0, table.Build());
  const struct {
    const char16_t* name;
    int code;
  } kCases[] = {
      {u"Cent", 162},   {u"cent", -1},    {u"nbsp", 32},  {u"amp", 38},     {u"quot", 34},
      {u"AElig", 198},  {u"aelig", 230},  {u"Ouml", 214}, {u"Oslash", 216}, {u"times", 215},
      {u"divide", 247}, {u"oslash", 248}, {u"yuml", 255}, {u"iquest", 191}, {u"frac34", 190},
      {u"Quot", -1},    {u"quo", -1},     {u"quott", -1}, {u"", -1},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(sstring(usstring(c.name)).c_str()));
    EXPECT_EQ(c.code, table.Lookup(c.name, std::char_traits<char16_t>::length(c.name)));
  }
}

TEST(HtmlTablesTest, EmptyElementsIgnoreCase) {
  CHtmlEmptyTagSet set;
  EXPECT_FALSE(set.Contains(u"BR", 2));
  ASSERT_EQ(0, set.Build());
  for (const char16_t* name : {u"P", u"br", u"Img", u"BASEFONT", u"isindex", u"PARAM"}) {
    EXPECT_TRUE(set.Contains(name, std::char_traits<char16_t>::length(name)));
  }
  for (const char16_t* name : {u"B", u"PP", u"BASEFON", u"DIV", u"A"}) {
    EXPECT_FALSE(set.Contains(name, std::char_traits<char16_t>::length(name)));
  }
  EXPECT_FALSE(set.Contains(u"", 0));
}

TEST(AnalyseTextPartTest, StoresTextCopyAndLowerCasedUrls) {
  ascommon::CCharsetConverter converter;
  converter.Init(usstring(u""));
  CPartBodyTextPlain body;
  const std::u16string text = Wide("Caf\xC3\xA9 at www.Example.COM/%41 or HTTP://X");
  ASSERT_EQ(0, AnalyseTextPart(body, text.c_str(), text.size() + 1, converter));
  EXPECT_EQ(text, std::u16string(body.text.View()));
  EXPECT_STREQ("Caf\xC3\xA9 at www.Example.COM/%41 or HTTP://X", body.utf8Text.c_str());
  ASSERT_EQ(1u, body.urls.GetSize());
  EXPECT_EQ("www.Example.COM/%41", Narrow(body.urls[0].raw));
  EXPECT_EQ("www.example.com/a", Narrow(body.urls[0].decoded));

  ascommon::CCharsetConverter not_ready;
  CPartBodyTextPlain other;
  EXPECT_EQ(-53, AnalyseTextPart(other, text.c_str(), text.size() + 1, not_ready));
  EXPECT_EQ(-11, AnalyseTextPart(other, nullptr, 1, converter));
}

}  // namespace
}  // namespace nsEmlComponents
