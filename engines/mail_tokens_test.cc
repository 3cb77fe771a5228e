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
#include "emlbreaker/broken_mail.h"
#include "engines/blackbox_facilitator.h"
#include "engines/url_db.h"
#include "mail/components/header_parser.h"
#include "mail/components/headers.h"
#include "mail/components/html_analysis.h"
#include "mail/components/html_scanner.h"
#include "mail/components/testing/converter.h"
#include "mail/components/testing/fake_part.h"
#include "mail/components/testing/html_tables.h"
#include "mail/components/text_analysis.h"

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

// A mail of a text/plain or text/html root, or a multipart root with that body as its
// first child and an attachment (headers only) as its second.
class TestMail {
 public:
  TestMail(Headers headers, const std::string& body, bool html,
           Headers attachment_headers = {})
      : source_(std::move(headers), html ? "text/html" : "text/plain") {
    CHeaderParser parser;
    parser.SetConverter(&TestConverter());
    auto* map = new CHeaderMap(64, nullptr);
    EXPECT_EQ(0, parser.ParseHeaders(&source_, map));
    EXPECT_EQ(0, box_.SetObject(map, kMailHeadersId, false));
    auto* tree = new CPartsTree;
    auto* root = new CPart(&source_, 0);
    CPartBody* analysed = Analyse(body, html);
    CPartsTree::CNode* root_node = tree->SetRoot(root);
    if (attachment_headers.empty()) {
      root->body = analysed;
    } else {
      root->body = new CPartBodyMultipart;
      auto* text_part = new CPart(&source_, 1);
      text_part->body = analysed;
      tree->AddChild(root_node, text_part, 1);
      attachment_ = std::make_unique<CFakeMimePart>(std::move(attachment_headers),
                                                    "application/octet-stream");
      auto* file_part = new CPart(attachment_.get(), 1);
      EXPECT_EQ(0, parser.ParseHeaders(attachment_.get(), &file_part->headers));
      file_part->body = new CPartBodyBinary;
      tree->AddChild(root_node, file_part, 1);
    }
    EXPECT_EQ(0, box_.SetObject(tree, kPartsTreeId, false));
    view_.Gather();
  }
  ~TestMail() {
    DeleteHeaders(GetMailHeaders(box_));
    box_.Remove(kMailHeadersId);
    box_.Remove(kPartsTreeId);
  }

  // The readable tokens, sorted by text.
  std::vector<std::string> Tokens() const {
    std::vector<learning::TokenHash> hashes;
    std::vector<std::string> texts;
    learning::MailTokens(view_, Domains(), &hashes, &texts);
    EXPECT_EQ(hashes.size(), texts.size());
    EXPECT_TRUE(std::is_sorted(hashes.begin(), hashes.end()));
    EXPECT_EQ(hashes.end(), std::adjacent_find(hashes.begin(), hashes.end()));
    for (size_t i = 0; i < hashes.size(); ++i) {
      EXPECT_EQ(learning::HashToken(texts[i][0], texts[i].substr(2)), hashes[i]) << texts[i];
    }
    std::sort(texts.begin(), texts.end());
    return texts;
  }

 private:
  static CPartBody* Analyse(const std::string& body, bool html) {
    const usstring text = usstring::FromUtf8(body);
    if (html) {
      auto* analysed = new CPartBodyTextHtml;
      EXPECT_EQ(0, AnalyseHtmlPart(*analysed, text.c_str(), text.Length() + 1, &TestHtmlTables(),
                                   TestConverter()));
      return analysed;
    }
    auto* analysed = new CPartBodyTextPlain;
    EXPECT_EQ(0, AnalyseTextPart(*analysed, text.c_str(), text.Length() + 1, TestConverter()));
    return analysed;
  }

  CFakeMimePart source_;
  std::unique_ptr<CFakeMimePart> attachment_;
  ascommon::CBlackBox box_;
  CBlackBoxFacilitator view_{&box_};
};

bool Has(const std::vector<std::string>& tokens, const std::string& token) {
  return std::find(tokens.begin(), tokens.end(), token) != tokens.end();
}

size_t CountKind(const std::vector<std::string>& tokens, char kind) {
  return std::count_if(tokens.begin(), tokens.end(),
                       [&](const std::string& t) { return t[0] == kind; });
}

TEST(MailTokensTest, WordsAreLoweredDigitsCollapsedAndBounded) {
  const TestMail mail({{"Subject", "Cheap WATCHES 50% off"}},
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
  const TestMail with({{"From", "Shop <news@mail.shop.example.co.uk>"},
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

  const TestMail without({{"From", "a@example.org"}, {"Reply-To", "b@example.org"}},
                         "Hello there\n", false);
  const std::vector<std::string> bare = without.Tokens();
  EXPECT_TRUE(Has(bare, "m:none"));
  EXPECT_TRUE(Has(bare, "h:hops0"));
  EXPECT_TRUE(Has(bare, "r:example.org"));
  EXPECT_FALSE(Has(bare, "r:other"));  // the same domain as From
}

TEST(MailTokensTest, LinksHtmlTricksAndAttachments) {
  const TestMail mail(
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
