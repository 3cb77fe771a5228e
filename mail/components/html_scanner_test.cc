#include "mail/components/html_scanner.h"

#include <gtest/gtest.h>

#include <string>

#include "emlbreaker/strings.h"
#include "mail/components/testing/wide_text.h"

namespace nsEmlComponents {
namespace {

using ascommon::sstring;
using ascommon::usstring;


TEST(HtmlAttributesTest, TagAttributesAndStyleProperties) {
  const struct {
    const char16_t* tag;
    const char16_t* name;
    const char* value;
  } kCases[] = {
      {u"A HREF=\"HTTP://X\" TARGET=_BLANK", u"HREF", "HTTP://X"},
      {u"A HREF=HTTP://X TARGET=_BLANK", u"HREF", "HTTP://X TARGET=_BLANK"},  // unquoted runs on
      {u"A HREF=HTTP://X TARGET=_BLANK", u"target", "_BLANK"},
      {u"A TITLE=\"HREF=NO\" HREF=YES", u"HREF", "YES"},
      {u"A\r\nHREF= \"X\"", u"HREF", "X"},
      {u"A HREF=A;B", u"HREF", "A"},
      {u"A HREF=1 HREF=2", u"HREF", "2"},  // the last one wins
      {u"A XHREF=1", u"HREF", ""},
      {u"HREF=1", u"HREF", ""},  // the first word is the tag's name
      {u"A HREF", u"HREF", ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(sstring(usstring(c.tag)).c_str());
    CHtmlValue value;
    GetTagAttribute(c.tag, c.name, value);
    EXPECT_EQ(c.value, Narrow(usstring(value.data())));
  }
  const struct {
    const char16_t* style;
    const char* value;
  } kStyles[] = {
      {u"font-size:12px", "12px"},
      {u" 'FONT-SIZE: 3pt", "3pt"},
      {u"color:red; font-size:\"9px\"", "9px"},
      {u"color:red;\r\n\tfont-size:7", "7"},
      {u"font-size :7", ""},
      {u"x-font-size:7", ""},
  };
  for (const auto& c : kStyles) {
    SCOPED_TRACE(sstring(usstring(c.style)).c_str());
    CHtmlValue value;
    GetStyleProperty(c.style, u"FONT-SIZE", value);
    EXPECT_EQ(c.value, Narrow(usstring(value.data())));
  }
}

}  // namespace
}  // namespace nsEmlComponents
