#include "mail/components/content_params.h"

#include <gtest/gtest.h>

#include <string>

#include "mail/components/headers.h"

namespace nsEmlComponents {
namespace {

TEST(ContentParamsTest, ContentType) {
  const struct {
    const char* value;
    const char* fields;  // type|charset|boundary|name
  } kCases[] = {
      {"text/plain; charset=\"utf-8\"", "text/plain|utf-8||"},
      {"Multipart/Mixed; BOUNDARY=\"=_b;1\"", "Multipart/Mixed||=_b|"},  // quoted ";" splits
      {"multipart/mixed; boundary=\"b 1\"; name=a.txt", "multipart/mixed||b 1|a.txt"},
      {"type=text/html", "text/html|||"},
      {"text/plain; type=text/html", "text/plain|||"},
      {"; type=text/html; text/plain", "text/html|||"},         // the bare token comes too late
      {"text/plain; charset= utf-8 ", "text/plain| utf-8 ||"},  // blanks are kept
      {"text/plain; charset=a; charset=b; x-other=c", "text/plain|b||"},
      {"text/plain; \"charset\"=\"\"koi8-r\"tail", "text/plain|koi8-r||"},
      {"", "|||"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.value);
    CHeaderContentType header;
    ASSERT_EQ(0, ParseContentType(c.value, &header));
    EXPECT_EQ(c.fields, std::string(header.type.View()) + "|" + std::string(header.charset.View()) +
                            "|" + std::string(header.boundary.View()) + "|" +
                            std::string(header.name.View()));
  }
}

TEST(ContentParamsTest, ContentDisposition) {
  const struct {
    const char* value;
    const char* filename;
  } kCases[] = {
      {"attachment; filename=\"report.pdf\"", "report.pdf"},
      {"inline; FileName=a b.txt", "a b.txt"},
      {"attachment; name=x.txt", ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.value);
    CHeaderContentDisposition header;
    header.disposition = "stale";
    ASSERT_EQ(0, ParseContentDisposition(c.value, &header));
    EXPECT_STREQ(c.filename, header.filename.c_str());
    EXPECT_TRUE(header.disposition.IsEmpty());
  }
}

}  // namespace
}  // namespace nsEmlComponents
