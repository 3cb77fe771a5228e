// The tokens of small hand-made mails: headers parsed by the header parser from in-memory
// parts, bodies analysed by the text and HTML stages, one token kind after another.
#include "engines/mail_tokens.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "emlbreaker/blackbox.h"
#include "engines/stat_classifier.h"
#include "engines/testing/test_mail.h"
#include "engines/url_db.h"
#include "mail/components/html_scanner.h"

namespace {

using namespace nsEmlComponents;
using ascommon::usstring;
using Headers = std::vector<CFakeMimePart::Header>;

const CDomainTable& Domains() {
  static const CDomainTable* const table = [] {
    auto* built = new CDomainTable(1024, nullptr);
    FillDomainTable(built);
    return built;
  }();
  return *table;
}

// A test mail that lists its tokens.
class TokenMail : public TestMail {
 public:
  using TestMail::TestMail;

  // The readable tokens, sorted by text.
  std::vector<std::string> Tokens() const {
    std::vector<learning::TokenHash> hashes;
    std::vector<std::string> texts;
    learning::MailTokens(view(), Domains(), &hashes, &texts);
    EXPECT_EQ(hashes.size(), texts.size());
    EXPECT_TRUE(std::is_sorted(hashes.begin(), hashes.end()));
    EXPECT_EQ(hashes.end(), std::adjacent_find(hashes.begin(), hashes.end()));
    for (size_t i = 0; i < hashes.size(); ++i) {
      EXPECT_EQ(learning::HashToken(texts[i][0], texts[i].substr(2)), hashes[i]) << texts[i];
    }
    // The classifier's order: the same tokens, each once, hashed alike whether their
    // texts are kept or not (words take a path of their own without them).
    std::vector<learning::TokenHash> first_met;
    std::vector<learning::TokenHash> first_met_with_texts;
    std::vector<std::string> first_met_texts;
    learning::MailTokens(view(), Domains(), &first_met, nullptr, learning::TokenOrder::kFirstMet);
    learning::MailTokens(view(), Domains(), &first_met_with_texts, &first_met_texts,
                         learning::TokenOrder::kFirstMet);
    EXPECT_EQ(first_met_with_texts, first_met);
    EXPECT_EQ(first_met.size(), first_met_texts.size());
    for (size_t i = 0; i < first_met.size() && i < first_met_texts.size(); ++i) {
      EXPECT_EQ(learning::HashToken(first_met_texts[i][0], first_met_texts[i].substr(2)),
                first_met[i]) << first_met_texts[i];
    }
    std::sort(first_met.begin(), first_met.end());
    EXPECT_EQ(hashes, first_met);
    std::sort(texts.begin(), texts.end());
    return texts;
  }
};

bool Has(const std::vector<std::string>& tokens, const std::string& token) {
  return std::find(tokens.begin(), tokens.end(), token) != tokens.end();
}

size_t CountKind(const std::vector<std::string>& tokens, char kind) {
  return std::count_if(tokens.begin(), tokens.end(),
                       [&](const std::string& t) { return t[0] == kind; });
}

TEST(MailTokensTest, WordsAreLoweredDigitsCollapsedAndBounded) {
  const TokenMail mail({{"Subject", "Cheap WATCHES 50% off"}},
                      "Buy Cheap watches now: only $1999.99 at Ümlaut-Ärger!\n"
                      "ab abc supercalifragilisticexpialidocious mp3 mp3 MP3\n",
                      false);
  const std::vector<std::string> tokens = mail.Tokens();
  EXPECT_TRUE(Has(tokens, "w:buy"));
  EXPECT_TRUE(Has(tokens, "w:cheap"));
  EXPECT_TRUE(Has(tokens, "w:watches"));
  EXPECT_TRUE(Has(tokens, "w:abc"));
  EXPECT_TRUE(Has(tokens, "w:mp0"));  // all three spellings, once
  EXPECT_TRUE(Has(tokens, "w:ümlaut"));
  EXPECT_TRUE(Has(tokens, "w:ärger"));
  EXPECT_FALSE(Has(tokens, "w:ab"));  // too short
  EXPECT_FALSE(Has(tokens, "w:supercalifragilisticexpialidocious"));  // too long
  EXPECT_FALSE(Has(tokens, "w:0"));
  // Subject words are their own kind: the same word says more there.
  EXPECT_TRUE(Has(tokens, "s:cheap"));
  EXPECT_TRUE(Has(tokens, "s:watches"));
  EXPECT_TRUE(Has(tokens, "s:off"));
  EXPECT_FALSE(Has(tokens, "s:buy"));
}

TEST(MailTokensTest, HeaderTokens) {
  const TokenMail with({{"From", "Shop <news@mail.shop.example.co.uk>"},
                       {"Reply-To", "orders@other.example"},
                       {"X-Mailer", "Microsoft Outlook Express 6.00.2900"},
                       {"Received", "from helo.example (host.example [192.0.2.1]) by mx; "
                                    "Mon, 1 Jan 2024 00:00:00 +0000"},
                       {"Received", "from x by y; Mon, 1 Jan 2024 00:00:00 +0000"},
                       {"Content-Type", "text/plain; charset=ISO-8859-1"}},
                      "Hello there\n", false);
  const std::vector<std::string> tokens = with.Tokens();
  EXPECT_TRUE(Has(tokens, "f:example.co.uk"));
  EXPECT_TRUE(Has(tokens, "r:other.example"));
  EXPECT_TRUE(Has(tokens, "r:other"));
  EXPECT_TRUE(Has(tokens, "m:microsoft outlook express 0.0.0"));
  EXPECT_TRUE(Has(tokens, "h:hops2"));
  EXPECT_TRUE(Has(tokens, "h:ip:some"));
  EXPECT_TRUE(Has(tokens, "h:net:192.0"));
  EXPECT_TRUE(Has(tokens, "n:x-mailer"));
  EXPECT_TRUE(Has(tokens, "n:reply-to"));
  EXPECT_EQ(5u, CountKind(tokens, 'n'));  // the two Received are one name
  EXPECT_TRUE(Has(tokens, "c:text/plain"));
  EXPECT_TRUE(Has(tokens, "c:charset=iso-8859-1"));
  EXPECT_TRUE(Has(tokens, "t:no-to"));
  EXPECT_TRUE(Has(tokens, "t:rcpt0"));
  EXPECT_TRUE(Has(tokens, "i:none"));
  // Header names, and only they, carry the mark the classifier counts them by.
  for (const std::string& token : tokens) {
    const learning::TokenHash hash = learning::HashToken(token[0], token.substr(2));
    EXPECT_EQ(token[0] == 'n', learning::IsHeaderName(hash)) << token;
  }

  const TokenMail without({{"From", "a@example.org"}, {"Reply-To", "b@example.org"}},
                         "Hello there\n", false);
  const std::vector<std::string> bare = without.Tokens();
  EXPECT_TRUE(Has(bare, "m:none"));
  EXPECT_TRUE(Has(bare, "h:hops0"));
  EXPECT_TRUE(Has(bare, "r:example.org"));
  EXPECT_FALSE(Has(bare, "r:other"));  // the same domain as From

  const TokenMail addressed({{"From", "News <news@shop.example.com>"},
                             {"To", "a@shop.example.com, Bea <b@example.org>"},
                             {"Cc", "c@example.org"},
                             {"Message-ID", "<20240101.AbC12x.99@mx.shop.example.com>"}},
                            "Hello there\n", false);
  const std::vector<std::string> sent = addressed.Tokens();
  EXPECT_TRUE(Has(sent, "t:dom:example.com"));  // of the first To address only
  EXPECT_FALSE(Has(sent, "t:dom:example.org"));
  EXPECT_TRUE(Has(sent, "t:from-domain"));
  EXPECT_TRUE(Has(sent, "t:unnamed"));
  EXPECT_TRUE(Has(sent, "t:rcpt3-5"));
  EXPECT_TRUE(Has(sent, "i:0.AaA0a.0"));
  EXPECT_TRUE(Has(sent, "i:dom:example.com"));
  EXPECT_TRUE(Has(sent, "i:from-domain"));
}

TEST(MailTokensTest, LinksHtmlTricksAndAttachments) {
  const TokenMail mail(
      {{"From", "a@example.org"}, {"Content-Type", "multipart/mixed; boundary=b"}},
      "<html><body><p>Your account</p>"
      "<a href=\"https://login.bank.example.com/x\"><img src=\"http://img.cdn.example.net/a.gif\">"
      "</a> <a href=\"http://192.0.2.7/verify\">click here</a></body></html>",
      true,
      {{"Content-Type", "application/octet-stream; name=\"invoice.PDF.exe\""},
       {"Content-Disposition", "attachment; filename=\"invoice.PDF.exe\""}});
  const std::vector<std::string> tokens = mail.Tokens();
  EXPECT_TRUE(Has(tokens, "u:example.com"));
  EXPECT_TRUE(Has(tokens, "u:img:example.net"));
  EXPECT_TRUE(Has(tokens, "l:anchors1-2"));
  EXPECT_TRUE(Has(tokens, "l:image-link"));
  EXPECT_TRUE(Has(tokens, "w:account"));
  EXPECT_TRUE(Has(tokens, "a:exe"));
  EXPECT_TRUE(Has(tokens, "c:application/octet-stream"));
  EXPECT_TRUE(Has(tokens, "c:multipart/mixed"));
}

TEST(MailTokensTest, KindsKeepEqualTextsApart) {
  EXPECT_NE(learning::HashToken('w', "cheap"), learning::HashToken('s', "cheap"));
  EXPECT_NE(learning::HashToken('w', "cheap"), learning::HashToken('w', "cheaq"));
  EXPECT_EQ(learning::HashToken('w', "cheap"), learning::HashToken('w', "cheap"));
}

}  // namespace
