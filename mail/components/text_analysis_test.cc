#include "mail/components/text_analysis.h"

#include <gtest/gtest.h>

#include <string>

#include "common/charset_converter.h"
#include "mail/components/testing/wide_text.h"

namespace nsEmlComponents {
namespace {

using ascommon::sstring;
using ascommon::usstring;


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
