#include "mail/components/received_parser.h"

#include <gtest/gtest.h>

#include <string>

#include "mail/components/headers.h"

namespace nsEmlComponents {
namespace {

TEST(ReceivedParserTest, FromClause) {
  const struct {
    const char* value;
    const char* helo;
    const char* host;
    const char* ip;
    const char* by;
  } kCases[] = {
      {"from mx.example (relay.example [192.0.2.1]) by mail.local with ESMTP id 1; "
       "Tue, 1 Jul 2008 10:52:37 +0200",
       "mx.example", "relay.example", "192.0.2.1", "by mail.local with ESMTP id 1"},
      {"from mx.example ([192.0.2.1]) by b", "", "mx.example", "192.0.2.1", "by b"},
      {"from mx.example (HELO greeting.example) (192.0.2.7) by b", "greeting.example", "mx.example",
       "192.0.2.7", "by b"},
      // Only a HELO comment lets the second comment in.
      {"from a (h [192.0.2.1]) (x [192.0.2.9]) by b", "a", "h", "192.0.2.1",
       "(x [192.0.2.9]) by b"},
      {"from a by b", "", "a", "", "by b"},
      {"from a (unclosed [192.0.2.1]", "a", "unclosed", "192.0.2.1", ""},
      {"by mail.local; Tue, 1 Jul 2008", "", "", "", "by mail.local"},
      {"From a by b", "", "", "", "From a by b"},  // "from" is matched as written
      {"  from\ta\t(b c)  ;", "a", "b", "c", ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.value);
    ReceivedData hop;
    ASSERT_EQ(0, ParseReceived(c.value, &hop));
    EXPECT_STREQ(c.helo, hop.heloName.c_str());
    EXPECT_STREQ(c.host, hop.hostName.c_str());
    EXPECT_STREQ(c.ip, hop.ip.c_str());
    EXPECT_STREQ(c.by, hop.byText.c_str());
  }
}

TEST(ReceivedParserTest, DateAfterTheFirstSemicolon) {
  ReceivedData hop;
  ASSERT_EQ(0, ParseReceived(" from a by b ; id 7; Tue, 1 Jul 2008 10:52:37 +0200 ", &hop));
  EXPECT_STREQ("from a by b", hop.fromText.c_str());
  EXPECT_EQ(0, hop.date.valid);  // the date is all of the text after the first ";"

  ASSERT_EQ(0, ParseReceived("from a by b;Tue, 1 Jul 2008 10:52:37 +0200", &hop));
  EXPECT_EQ(2008, hop.date.year);
  EXPECT_EQ(1, hop.date.complete);

  ASSERT_EQ(0, ParseReceived("from a by b", &hop));  // no ";": no date
  EXPECT_EQ(0, hop.date.year);
  EXPECT_EQ(0, hop.date.day);
  EXPECT_EQ(1, hop.date.valid);
}

}  // namespace
}  // namespace nsEmlComponents
