#include "mail/components/header_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/charset_converter.h"
#include "mail/components/header_limits.h"
#include "mail/components/headers.h"
#include "mail/components/testing/fake_part.h"

namespace nsEmlComponents {
namespace {

using Headers = std::vector<CFakeMimePart::Header>;

std::string Utf8(const ascommon::usstring& wide) {
  return std::string(ascommon::sstring(wide).View());
}

class HeaderParserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    converter_.Init(ascommon::usstring(u""));
    parser_.SetConverter(&converter_);
  }
  void TearDown() override { DeleteHeaders(&map_); }

  int32_t Parse(const Headers& headers) {
    CFakeMimePart part(headers);
    return parser_.ParseHeaders(&part, &map_);
  }
  template <class T>
  T* Find(const char* key) {
    CHeader** header = map_.Lookup(ascommon::sstring(key));
    return header != nullptr ? dynamic_cast<T*>(*header) : nullptr;
  }

  ascommon::CCharsetConverter converter_;
  CHeaderParser parser_;
  CHeaderMap map_{64, nullptr};
};

// The tally sees the repeats the map merges; a name only beginning like a tallied one,
// or holding a blank, is not counted.
TEST_F(HeaderParserTest, TallyCountsRepeatsTheMapMerges) {
  const char* const names[] = {"From", "Subject", "To"};
  int counts[3] = {7, 7, 7};
  CHeaderParser::NameTally tally;
  tally.names = names;
  tally.count = 3;
  tally.counts = counts;
  CFakeMimePart part({{"From", "a@good.example"}, {"from", "b@evil.example"},
                      {"From-Address", "c@d.example"}, {"Resent-From", "e@f.example"},
                      {"SUBJECT", "x"}, {"From ", "g@h.example"}, {"Fro", "i@j.example"}});
  ASSERT_EQ(0, parser_.ParseHeaders(&part, &map_, &tally));
  EXPECT_TRUE(tally.complete);
  EXPECT_EQ(2, counts[0]);
  EXPECT_EQ(1, counts[1]);
  EXPECT_EQ(0, counts[2]);
}

TEST_F(HeaderParserTest, NameSelectsTheClass) {
  const struct {
    const char* name;
    const char* key;
    int32_t type;
  } kCases[] = {
      {"From", "FROM", kHeaderAddress},
      {"tO", "TO", kHeaderAddress},
      {"cc", "CC", kHeaderAddress},
      {"BCC", "BCC", kHeaderAddress},
      {"Reply-To", "REPLY-TO", kHeaderAddress},
      {"resent-cc", "RESENT-CC", kHeaderAddress},
      {"Resent-From", "RESENT-FROM", kHeaderAddress},
      {"Resent-Bcc", "RESENT-BCC", kHeaderAddress},
      {"Delivered-To", "DELIVERED-TO", kHeaderAddress},
      {"Resent-To", "RESENT-TO", kHeaderAddress},
      {"RESENT-SENDER", "RESENT-SENDER", kHeaderAddress},
      {"Sender", "SENDER", kHeaderOther},
      {"Date", "DATE", kHeaderDate},
      {"received", "RECEIVED", kHeaderReceived},
      {"Content-type", "CONTENT-TYPE", kHeaderContentType},
      {"Content-Disposition", "CONTENT-DISPOSITION", kHeaderContentDisposition},
      {"Message-ID", "MESSAGE-ID", kHeaderIdentification},
      {"content-id", "CONTENT-ID", kHeaderIdentification},
      {"In-Reply-To", "IN-REPLY-TO", kHeaderIdentification},
      {"References", "REFERENCES", kHeaderIdentification},
      {"SUBJECT", "SUBJECT", kHeaderSubject},
      {"X-Mailer", "X-MAILER", kHeaderOther},
  };
  Headers headers;
  for (const auto& c : kCases) headers.emplace_back(c.name, "v");
  headers.emplace_back("Bad Name", "skipped");
  headers.emplace_back("Bad\tName", "skipped");
  ASSERT_EQ(0, Parse(headers));
  EXPECT_EQ(sizeof(kCases) / sizeof(kCases[0]), map_.GetCount());
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    CHeader** header = map_.Lookup(ascommon::sstring(c.key));
    ASSERT_NE(nullptr, header);
    EXPECT_EQ(c.type, (*header)->GetType());
    EXPECT_EQ(c.type == kHeaderAddress, parser_.IsAddressName(c.name));
  }
}

TEST_F(HeaderParserTest, FieldsOfEachClass) {
  ASSERT_EQ(0, Parse({
                   {"Subject", " \t=?utf-8?Q?Gr=C3=BC=C3=9Fe?= aus Berlin"},
                   {"Message-Id", "  <abc@example.com>"},
                   {"In-Reply-To", "no-brackets@example.com"},
                   {"References", "<a@x> <b@x>"},
                   {"Content-Id", ""},
                   {"X-Raw", "=?utf-8?Q?kept?=  as is "},
                   {"X-Latin1", "caf\xE9"},
                   {"Date", "Tue, 1 Jul 2008 10:52:37 +0200"},
                   {"To", "\"Doe, John\" <john@example.com>, jane@example.org"},
                   {"Content-Type", "text/html; charset=\"koi8-r\""},
                   {"Content-Disposition", "attachment; filename=a.txt"},
               }));
  auto* subject = Find<CHeaderSubject>("SUBJECT");
  ASSERT_NE(nullptr, subject);
  EXPECT_STREQ("=?utf-8?Q?Gr=C3=BC=C3=9Fe?= aus Berlin", subject->GetText());
  EXPECT_EQ("Grüße aus Berlin", Utf8(subject->decoded));
  EXPECT_STREQ("utf-8", subject->charset.c_str());
  EXPECT_EQ(" \t=?utf-8?Q?Gr=C3=BC=C3=9Fe?= aus Berlin", Utf8(subject->value));
  EXPECT_EQ(0, subject->modified);

  EXPECT_STREQ("abc@example.com", Find<CHeaderIdentification>("MESSAGE-ID")->id.c_str());
  EXPECT_STREQ("no-brackets@example.com", Find<CHeaderIdentification>("IN-REPLY-TO")->id.c_str());
  EXPECT_STREQ("a@x> <b@x", Find<CHeaderIdentification>("REFERENCES")->id.c_str());
  EXPECT_FALSE(Find<CHeaderIdentification>("CONTENT-ID")->id.IsSet());

  EXPECT_STREQ("=?utf-8?Q?kept?=  as is ", Find<CHeaderOther>("X-RAW")->GetText());
  auto* latin1 = Find<CHeaderOther>("X-LATIN1");
  EXPECT_STREQ("caf\xE9", latin1->text.c_str());
  EXPECT_TRUE(latin1->value.IsSet() && latin1->value.IsEmpty());  // not UTF-8: empty value

  EXPECT_EQ(120, Find<CHeaderDate>("DATE")->date.zone);
  auto* to = Find<CHeaderAddress>("TO");
  ASSERT_EQ(2u, to->addresses.GetSize());
  EXPECT_EQ("Doe, John", Utf8(to->addresses[0].name));
  EXPECT_EQ("jane@example.org", Utf8(to->addresses[1].address));
  EXPECT_STREQ("koi8-r", Find<CHeaderContentType>("CONTENT-TYPE")->charset.c_str());
  EXPECT_STREQ("a.txt", Find<CHeaderContentDisposition>("CONTENT-DISPOSITION")->filename.c_str());
}

TEST_F(HeaderParserTest, UndecodableWordsKeepTheHeader) {
  ASSERT_EQ(0, Parse({{"Subject", "a =?x-unknown?Q?b?= c"}, {"From", "=?utf-8?Q?=FF?= <a@b>"}}));
  auto* subject = Find<CHeaderSubject>("SUBJECT");
  ASSERT_NE(nullptr, subject);
  EXPECT_EQ("a ", Utf8(subject->decoded));
  EXPECT_STREQ("a =?x-unknown?Q?b?= c", subject->GetText());
  auto* from = Find<CHeaderAddress>("FROM");
  ASSERT_NE(nullptr, from);
  EXPECT_EQ(0u, from->addresses.GetSize());
}

// A header that counts its destruction, standing for one parsed earlier.
class CountedHeader : public CHeaderOther {
 public:
  explicit CountedHeader(int* destroyed) : destroyed_(destroyed) {}
  ~CountedHeader() override { ++*destroyed_; }

 private:
  int* destroyed_;
};

TEST_F(HeaderParserTest, LastHeaderOfANameWins) {
  int destroyed = 0;
  ASSERT_EQ(0, map_.Insert(ascommon::sstring("X-SPAM"), new CountedHeader(&destroyed)));
  // Both Subjects are parsed; ASan's leak check catches a first one not freed.
  ASSERT_EQ(0, Parse({{"Subject", "first"}, {"x-spam", "new"}, {"SUBJECT", "second"}}));
  EXPECT_EQ(1, destroyed);
  EXPECT_EQ(2u, map_.GetCount());
  EXPECT_STREQ("second", Find<CHeaderSubject>("SUBJECT")->GetText());
  EXPECT_STREQ("new", Find<CHeaderOther>("X-SPAM")->GetText());
}

TEST_F(HeaderParserTest, ReceivedHeadersAccumulate) {
  ASSERT_EQ(0, Parse({{"Received", "from a (h1 [192.0.2.1]) by b; Tue, 1 Jul 2008 10:52:37 +0200"},
                      {"Subject", "between"},
                      {"RECEIVED", "from c by d"},
                      {"received", "by e; 1 Jan 08 10:00 GMT"}}));
  ASSERT_EQ(0, Parse({{"Received", "by f"}}));  // a later parse into the same map appends
  ASSERT_EQ(2u, map_.GetCount());
  auto* received = Find<CHeaderReceived>("RECEIVED");
  ASSERT_NE(nullptr, received);
  EXPECT_EQ(
      "from a (h1 [192.0.2.1]) by b; Tue, 1 Jul 2008 10:52:37 +0200\nfrom c by d\n"
      "by e; 1 Jan 08 10:00 GMT\nby f",
      Utf8(received->value));
  ASSERT_EQ(4u, received->hops.GetSize());
  EXPECT_STREQ("h1", received->hops[0].hostName.c_str());
  EXPECT_EQ(2008, received->hops[0].date.year);
  EXPECT_STREQ("c", received->hops[1].hostName.c_str());
  EXPECT_EQ(1, received->hops[1].date.valid);
  EXPECT_EQ(0, received->hops[1].date.year);
  EXPECT_EQ(1, received->hops[2].date.obsolete);
  EXPECT_STREQ("by f", received->hops[3].byText.c_str());
}

TEST_F(HeaderParserTest, ReceivedLimitsAndEmptyValues) {
  Headers headers = {{"Received", "caf\xE9"}, {"Received", ""}, {"Received", "x"}};
  for (size_t i = headers.size(); i <= kMaxReceivedHops; ++i) headers.emplace_back("Received", "y");
  ASSERT_EQ(0, Parse(headers));
  auto* received = Find<CHeaderReceived>("RECEIVED");
  ASSERT_NE(nullptr, received);
  EXPECT_EQ(kMaxReceivedHops, received->hops.GetSize());
  // A value that is no UTF-8 joins as empty text; "\n" comes only after text.
  const std::string value = Utf8(received->value);
  EXPECT_EQ("x\ny\n", value.substr(0, 4));
  EXPECT_EQ(1 + 2 * (kMaxReceivedHops - 3), value.size());
}

// A value past kMaxHeaderTextBytes keeps its start; one at the bound, and
// every other header, is whole.
TEST_F(HeaderParserTest, LongValuesAreCut) {
  // "é" is two bytes, and the bound falls after its first byte: the cut goes
  // before the sequence, so the kept text still converts.
  const std::string subject = std::string(kMaxHeaderTextBytes - 1, 'a') + "\xC3\xA9tail";
  const std::string at_bound(kMaxHeaderTextBytes, 'b');
  std::string addresses;
  while (addresses.size() <= kMaxHeaderTextBytes) addresses += "someone@example.com, ";
  ASSERT_EQ(0, Parse({{"Subject", subject},
                      {"X-Exact", at_bound},
                      {"To", addresses},
                      {"Received", "from a by b"},
                      {"Received", "from " + std::string(kMaxHeaderTextBytes, 'c')},
                      {"Date", "Tue, 1 Jul 2008 10:52:37 +0200"}}));

  auto* cut_subject = Find<CHeaderSubject>("SUBJECT");
  ASSERT_NE(nullptr, cut_subject);
  EXPECT_EQ(kMaxHeaderTextBytes - 1, cut_subject->text.Length());
  EXPECT_EQ(kMaxHeaderTextBytes - 1, cut_subject->value.Length());  // not emptied as bad UTF-8
  EXPECT_EQ(kMaxHeaderTextBytes - 1, cut_subject->decoded.Length());

  auto* exact = Find<CHeaderOther>("X-EXACT");
  ASSERT_NE(nullptr, exact);
  EXPECT_EQ(at_bound.size(), exact->text.Length());

  auto* to = Find<CHeaderAddress>("TO");
  ASSERT_NE(nullptr, to);
  EXPECT_LE(to->value.Length(), kMaxHeaderTextBytes);
  ASSERT_GT(to->addresses.GetSize(), 0u);
  EXPECT_EQ("someone@example.com", Utf8(to->addresses[0].address));

  auto* received = Find<CHeaderReceived>("RECEIVED");
  ASSERT_NE(nullptr, received);
  EXPECT_EQ(2u, received->hops.GetSize());
  EXPECT_LE(received->value.Length(), 2 * kMaxHeaderTextBytes);
  ASSERT_NE(nullptr, Find<CHeaderDate>("DATE"));
}

TEST_F(HeaderParserTest, ManyDistinctNames) {
  Headers headers;
  for (int i = 0; i < 20000; ++i) headers.emplace_back("X-" + std::to_string(i), "v");
  ASSERT_EQ(0, Parse(headers));
  EXPECT_EQ(20000u, map_.GetCount());
  EXPECT_GT(map_.GetBucketCount(), 64u);  // the chains were kept short
  EXPECT_NE(nullptr, Find<CHeaderOther>("X-19999"));
}

TEST(HeaderParserArguments, MissingPiecesAreRefused) {
  CHeaderParser parser;
  CFakeMimePart part(Headers{{"Subject", "x"}});
  CHeaderMap map(16, nullptr);
  EXPECT_EQ(-11, parser.ParseHeaders(&part, &map));  // no converter yet
  ascommon::CCharsetConverter converter;
  converter.Init(ascommon::usstring(u""));
  parser.SetConverter(&converter);
  EXPECT_EQ(-11, parser.ParseHeaders(nullptr, &map));
  EXPECT_EQ(-11, parser.ParseHeaders(&part, nullptr));
  CHeaderMap no_buckets(0, nullptr);
  EXPECT_EQ(-10, parser.ParseHeaders(&part, &no_buckets));
  EXPECT_EQ(0u, map.GetCount());
}

}  // namespace
}  // namespace nsEmlComponents
