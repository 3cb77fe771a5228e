// The heuristics of our own on small hand-made mails: headers parsed by the header
// parser from an in-memory part (which also stands as the mail's source for the header
// walks), bodies analysed by the text and HTML stages.
#include "engines/mail_heuristics.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "emlbreaker/blackbox.h"
#include "engines/testing/test_mail.h"
#include "engines/url_db.h"
#include "mail/components/html_scanner.h"

namespace {

using namespace nsEmlComponents;
using ascommon::usstring;

// A test mail that runs one heuristic of kMailHeuristics by name.
class HeuristicMail : public TestMail {
 public:
  using TestMail::TestMail;

  double Run(const char* name, const CURLDB& db) const {
    for (size_t i = 0; i < kMailHeuristicCount; ++i) {
      if (std::strcmp(kMailHeuristics[i].name, name) == 0)
        return kMailHeuristics[i].function(view(), db);
    }
    ADD_FAILURE() << "no heuristic " << name;
    return -1.0;
  }
};

HeuristicMail Html(const std::string& html) {
  return HeuristicMail({{"From", "a@b.example"}}, html, true);
}

// An anchor whose link goes to `href`, showing `label`.
std::string Anchor(const std::string& href, const std::string& label) {
  return "<a href=\"" + href + "\">" + label + "</a> ";
}

TEST(MailHeuristicsTest, LinkTextNamingAnotherDomain) {
  CURLDB db;
  // Hits: a host, a URL with a path, a bare host; misses: the same registrable domain
  // under another host and case, text that is no host, a file name, an address.
  const std::string html = "<html><body>" +
                           Anchor("http://evil.example.net/x", "www.paypal.com") +
                           Anchor("http://login.example.org/", "https://bank.example.com/sign-in") +
                           Anchor("http://www.shop.example.co.uk/", "offers.shop.example.co.uk") +
                           Anchor("http://www.paypal.com/", "PayPal.COM") +
                           Anchor("https://www.paypal.com/", "paypal.com") +
                           Anchor("http://track.example.net/", "Click here to see") +
                           Anchor("http://files.example.net/t.pdf", "terms.pdf") +
                           Anchor("http://mail.example.net/", "help@paypal.com") +
                           Anchor("http://track.example.net/", "Shop.example.org") +
                           "</body></html>";
  // A bare host counts as a host, but not as a text written as a URL.
  const HeuristicMail mail = Html(html);
  EXPECT_EQ(3.0, mail.Run("H_LINK_TEXT_OTHER_DOMAIN", db));
  EXPECT_EQ(2.0, mail.Run("H_LINK_URL_OTHER_DOMAIN", db));
  EXPECT_EQ(0.0, Html(Anchor("http://a.example.com/", "b.example.com")).Run(
                     "H_LINK_TEXT_OTHER_DOMAIN", db));
}

TEST(MailHeuristicsTest, WhatLinkTextCountsAsAHost) {
  const struct {
    const char16_t* text;
    const char16_t* host;
  } kCases[] = {
      {u"  www.Example.com. ", u"www.example.com"},
      {u"<HTTPS://Secure.Example.org:443/login?x=1>", u"secure.example.org"},
      {u"example.network", u""},  // a last label longer than six letters
      {u"shop.example.de/offer", u"shop.example.de"},
      {u"www.server.local123", u"www.server.local123"},
      {u"report.docx", u""},
      {u"v1.2", u""},
      {u"example..com", u""},
      {u"visit example.com", u""},
      {u"me@example.com", u""},
      {u"http://", u""},
      {u"", u""},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(std::u16string(c.host), HostOfLinkText(c.text))
        << ascommon::sstring(usstring(c.text)).c_str();
  }
  bool written_as_url = true;
  EXPECT_EQ(u"shop.example.de", HostOfLinkText(u"Shop.Example.de", &written_as_url));
  EXPECT_FALSE(written_as_url);
  HostOfLinkText(u"WWW.example.de", &written_as_url);
  EXPECT_TRUE(written_as_url);
}

TEST(MailHeuristicsTest, FromDisplayNames) {
  CURLDB db;
  const struct {
    const char* from;
    double other_domain;
    double is_address;
  } kCases[] = {
      {"\"support@paypal.com\" <x@evil.example.net>", 1, 1},
      // The same registrable domain, written in another case and under a subdomain.
      {"\"John@Mail.Example.co.uk\" <john@example.co.uk>", 0, 1},
      {"\"Mail from bob@other.org now\" <a@b.example>", 1, 0},
      {"John Smith <john@example.com>", 0, 0},
      {"\"@twitter.com\" <x@y.example>", 0, 0},
      {"no-name@example.com", 0, 0},
      // Two entries, both naming another domain.
      {"\"a@one.example\" <a@two.example>, \"b@three.example\" <b@four.example>", 2, 2},
  };
  for (const auto& c : kCases) {
    HeuristicMail mail({{"From", c.from}}, "text", false);
    EXPECT_EQ(c.other_domain, mail.Run("H_FROM_NAME_OTHER_DOMAIN", db)) << c.from;
    EXPECT_EQ(c.is_address, mail.Run("H_FROM_NAME_IS_ADDRESS", db)) << c.from;
  }
  HeuristicMail no_from({{"To", "a@b.example"}}, "text", false);
  EXPECT_EQ(0.0, no_from.Run("H_FROM_NAME_OTHER_DOMAIN", db));
}

// A database listing `domains`, loaded from a base file written as `emlscan urldb` does.
class ListedDomains {
 public:
  explicit ListedDomains(std::vector<std::u16string> domains) {
    const std::string dir = ::testing::TempDir();
    base_ = dir + "h4-listed-" + std::to_string(getpid()) + ".dat";
    {
      CURLDB writer;
      EXPECT_EQ(0, writer.OpenOutput(usstring::FromUtf8(base_).c_str()));
      for (const std::u16string& domain : domains) {
        CURL item{usstring(domain)};
        EXPECT_EQ(0, writer.AddItem(&item));
      }
    }
    const usstring temp = usstring::FromUtf8(dir);
    EXPECT_EQ(0, db.Update(usstring::FromUtf8(base_).c_str(), u"/nonexistent", temp.c_str()));
  }
  ~ListedDomains() { std::filesystem::remove(base_); }

  CURLDB db;

 private:
  std::string base_;
};

TEST(MailHeuristicsTest, UrlsOfListedDomains) {
  ListedDomains listed({u"evil.example", u"bad.co.uk"});
  ASSERT_EQ(2u, listed.db.GetListed().GetCount());
  HeuristicMail plain({}, "see http://www.evil.example/a and http://good.example/ or "
                     "www.shop.bad.co.uk/x, http://bad.co.uk.good.example/", false);
  EXPECT_EQ(2.0, plain.Run("H_URL_LISTED", listed.db));
  // Anchor links are upper case as the HTML stage copies them; each counts once.
  HeuristicMail html({}, Anchor("HTTP://A.B.EVIL.EXAMPLE/", "offer") +
                        Anchor("http://notevil.example/", "other"), true);
  EXPECT_EQ(1.0, html.Run("H_URL_LISTED", listed.db));
  CURLDB empty;
  EXPECT_EQ(0.0, plain.Run("H_URL_LISTED", empty));
}

TEST(MailHeuristicsTest, TextCountsAgreeWithTheHtmlStage) {
  // Markup of every kind the stage drops, entities, and nothing hidden: both counts agree,
  // so the hidden share of an honest mail is 0.
  const std::string honest =
      "<!DOCTYPE html><html><head><title>News &amp; more</title>"
      "<style>p { color: red }</style><script>var a = '<b>x</b>';</script></head>"
      "<body><!-- a comment <p>with a tag</p> --><p>Caf&eacute; &#233;t&eacute; "
      "&nbsp;open</p><br/><div class=\"x\">line two</div></body></html>";
  const usstring source = usstring::FromUtf8(honest);
  auto body = std::make_unique<CPartBodyTextHtml>();
  ASSERT_EQ(0, AnalyseHtmlPart(*body, source.c_str(), source.Length() + 1, &TestHtmlTables(),
                               TestConverter()));
  EXPECT_EQ(body->info.visibleChars, CountHtmlTextUnits(source.View()));
  EXPECT_EQ(0, CountHtmlTextUnits(u"<p>  \r\n\t</p><!-- text -->"));
}

TEST(MailHeuristicsTest, ShareOfHiddenHtmlText) {
  CURLDB db;
  const std::string salad(200, 'w');  // 200 hidden units beside 40 visible ones
  const std::string seen(40, 'v');
  HeuristicMail hidden({}, "<p>" + seen + "</p><font size=0>" + salad + "</font>", true);
  const double share = hidden.Run("H_HTML_HIDDEN_SHARE", db);
  EXPECT_NEAR(200.0 / 240.0, share, 1e-9);
  EXPECT_EQ(share, hidden.Run("H_HTML_MOSTLY_HIDDEN", db));

  // Less than half hidden: a share, but not "mostly".
  HeuristicMail some({}, "<p>" + std::string(400, 'v') + "</p><font size=0>" + salad + "</font>",
                     true);
  EXPECT_NEAR(200.0 / 600.0, some.Run("H_HTML_HIDDEN_SHARE", db), 1e-9);
  EXPECT_EQ(0.0, some.Run("H_HTML_MOSTLY_HIDDEN", db));

  // A few hidden characters (a preheader) stay below the floor.
  const std::string few(kMinHiddenUnits - 1, 'w');
  HeuristicMail preheader({}, "<font size=0>" + few + "</font><p>" + seen + "</p>", true);
  EXPECT_EQ(0.0, preheader.Run("H_HTML_HIDDEN_SHARE", db));
  HeuristicMail plain({}, "nothing hidden", false);
  EXPECT_EQ(0.0, plain.Run("H_HTML_HIDDEN_SHARE", db));
}

TEST(MailHeuristicsTest, HeadersWrittenTwice) {
  CURLDB db;
  const struct {
    std::vector<CFakeMimePart::Header> headers;
    double from_twice;
    double single_twice;
  } kCases[] = {
      {{{"From", "a@good.example"}, {"To", "x@y.example"}, {"from", "b@evil.example"}}, 2, 1},
      {{{"Subject", "a"}, {"Date", "x"}, {"SUBJECT", "b"}, {"Date", "y"}, {"From", "a@b.c"}}, 0, 2},
      // Names that may repeat, and names that only begin like a single one.
      {{{"Received", "a"}, {"Received", "b"}, {"From-Address", "a"}, {"From-Address", "b"},
        {"Resent-From", "a"}, {"Resent-From", "b"}, {"From", "a@b.example"}}, 0, 0},
  };
  for (const auto& c : kCases) {
    HeuristicMail mail(c.headers, "text", false);
    EXPECT_EQ(c.from_twice, mail.Run("H_HDR_FROM_TWICE", db));
    EXPECT_EQ(c.single_twice, mail.Run("H_HDR_SINGLE_TWICE", db));
    // A second call gives the same answer (the counts are kept for the mail).
    EXPECT_EQ(c.single_twice, mail.Run("H_HDR_SINGLE_TWICE", db));
  }
}

}  // namespace
