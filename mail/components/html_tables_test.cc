#include "mail/components/html_tables.h"

#include <gtest/gtest.h>

#include <string>

#include "emlbreaker/strings.h"

namespace nsEmlComponents {
namespace {

using ascommon::sstring;
using ascommon::usstring;

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

}  // namespace
}  // namespace nsEmlComponents
