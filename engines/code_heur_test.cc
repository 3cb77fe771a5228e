// The code heuristics engine on hand-made mails: the function table, when a domain
// dominates the links, which findings the news heuristic publishes, and how it counts
// the addresses of the text. The heuristic on broken corpus mails through the shipped
// rules is tested in tests/news_heuristic_test.py.
#include "engines/code_heur.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "emlbreaker/broken_mail.h"
#include "emlbreaker/mail_item.h"
#include "engines/blackbox_facilitator.h"
#include "engines/mail_tokens.h"
#include "engines/rule_publisher.h"
#include "engines/stat_classifier.h"
#include "framework/base/testing/outcome.h"
#include "mail/components/headers.h"

namespace {

using ascommon::sstring;
using ascommon::usstring;
using emlbtest::Outcome;
using namespace nsEmlComponents;

// Records what a heuristic publishes instead of running rules.
class RecordingPublisher : public ARulePublisher {
 public:
  double AutoExecRule(const char* name, double value, CEmlContextInterface*) override {
    published.push_back(name);
    return value;
  }
  const CBlackBoxFacilitator* FacilitatorOf(CEmlContextInterface* context) const override {
    return context != nullptr ? mail : nullptr;
  }
  size_t Count(const char* name) const {
    return std::count(published.begin(), published.end(), name);
  }

  const CBlackBoxFacilitator* mail = nullptr;
  std::vector<std::string> published;
};

// A mail with a From header, one plain-text part and one HTML part, filled by the test.
class Mail {
 public:
  Mail() {
    auto* headers = new CHeaderMap(64, nullptr);
    from_ = new CHeaderAddress;
    headers->Insert("FROM", from_);
    item_.box.SetObject(headers, kMailHeadersId, false);
    auto* tree = new CPartsTree;
    auto* root = new CPart(nullptr, 0);
    root->body = new CPartBodyMultipart;
    CPartsTree::CNode* node = tree->SetRoot(root);
    plain_ = new CPartBodyTextPlain;
    auto* plain_part = new CPart(nullptr, 1);
    plain_part->body = plain_;
    tree->AddChild(node, plain_part, 1);
    html_ = new CPartBodyTextHtml;
    auto* html_part = new CPart(nullptr, 1);
    html_part->body = html_;
    tree->AddChild(node, html_part, 1);
    item_.box.SetObject(tree, kPartsTreeId, false);
    plain_->text.Assign(u"");
  }
  ~Mail() {
    DeleteHeaders(GetMailHeaders(item_.box));
    item_.box.Remove(kMailHeadersId);
  }

  void AddFrom(const char16_t* address) {
    from_->addresses.Add(FullAddress{usstring(), usstring(address)});
  }
  // count links to url, in the plain-text part or as anchors of the HTML part.
  void AddLinks(bool plain, const std::u16string& url, int count) {
    CHtmlAHref anchor;
    anchor.url.decoded.Assign(url.c_str());
    for (int i = 0; i < count; ++i) {
      if (plain) {
        plain_->urls.Add(anchor.url);
      } else {
        html_->info.anchors.Add(anchor);
      }
    }
  }
  void SetText(const std::u16string& text) { plain_->text.Assign(text.c_str()); }

  // Gathers the mail once all is filled and hands it to publisher.
  void Bind(RecordingPublisher* publisher) {
    facilitator_ = std::make_unique<CBlackBoxFacilitator>(&item_.box);
    facilitator_->Gather();
    publisher->mail = facilitator_.get();
  }

 private:
  MailItem item_;
  CHeaderAddress* from_;
  CPartBodyTextPlain* plain_;
  CPartBodyTextHtml* html_;
  std::unique_ptr<CBlackBoxFacilitator> facilitator_;
};

// Any non-null context: the recording publisher never looks inside it.
CEmlContextInterface* Context() {
  static int dummy;
  return reinterpret_cast<CEmlContextInterface*>(&dummy);
}

struct MainDomainResult {
  std::string domain;
  std::vector<std::string> published;
};

MainDomainResult RunMainDomain(Mail* mail) {
  CCodeHeurEngine engine;
  RecordingPublisher publisher;
  mail->Bind(&publisher);
  usstring domain(u"stale");
  engine.MainDomain(&domain, &publisher, Context());
  return {std::string(sstring(domain).View()), publisher.published};
}

using Names = std::vector<std::string>;

struct Link {
  std::u16string url;
  int count;
  bool plain = false;
};
using Links = std::vector<Link>;

Links DistinctSites(const std::u16string& main, int main_count, int others) {
  Links links{{main, main_count}};
  for (int i = 0; i < others; ++i) {
    links.push_back({u"http://site" + std::u16string(1, u'a' + i) + u".net/", 1});
  }
  return links;
}

TEST(CodeHeurEngineTest, ADomainDominatesWithSixteenLinksOrWithItsRunnerUp) {
  const std::u16string kShop = u"http://www.shop.example.com/a";
  const std::u16string kTracker = u"http://tracker.co.uk/";
  struct Case {
    const char* what;
    Links links;
    std::string domain;
    Names published;
  } cases[] = {
      {"16 of 16, plain and HTML", {{kShop, 10}, {u"http://click.example.com/", 6, true}},
       "example.com", {"H_NEWS_FROM_DOMAIN", "H_NEWS_FROM_DOMAIN"}},
      {"15 of 15: too few", {{kShop, 15}}, "", {}},
      {"15 + 5: the pair", {{kShop, 15}, {kTracker, 5}}, "example.com",
       {"H_NEWS_DOMAIN2", "H_NEWS_FROM_DOMAIN", "H_NEWS_FROM_DOMAIN"}},
      {"15 + 4: the pair is short", {{kShop, 15}, {kTracker, 4}}, "", {}},
      {"16 of 31 is 51 %", DistinctSites(kShop, 16, 15), "example.com",
       {"H_NEWS_FROM_DOMAIN", "H_NEWS_FROM_DOMAIN"}},
      {"16 of 32 is 50 %", DistinctSites(kShop, 16, 16), "", {}},
      {"hostless links do not count", {{kShop, 16}, {u"http://", 20}, {u"", 20, true}},
       "example.com", {"H_NEWS_FROM_DOMAIN", "H_NEWS_FROM_DOMAIN"}},
  };
  for (const Case& c : cases) {
    Mail mail;
    for (const Link& link : c.links) mail.AddLinks(link.plain, link.url, link.count);
    mail.AddFrom(u"offers@example.com");
    mail.AddFrom(u"someone@elsewhere.org");
    mail.AddFrom(u"news@mail.example.com");
    const MainDomainResult result = RunMainDomain(&mail);
    EXPECT_EQ(c.domain, result.domain) << c.what;
    EXPECT_EQ(c.published, result.published) << c.what;
  }

  Mail tie;  // 12 + 12 dominates as a pair; either may be the domain
  tie.AddLinks(false, u"http://one.example/", 12);
  tie.AddLinks(false, u"http://two.example/", 12);
  const MainDomainResult result = RunMainDomain(&tie);
  EXPECT_TRUE(result.domain == "one.example" || result.domain == "two.example") << result.domain;
  EXPECT_EQ(Names{"H_NEWS_DOMAIN2"}, result.published);
}

// What NewsHeur publishes for a text, with or without a dominating domain.
Names News(const std::u16string& text, bool with_domain) {
  Mail mail;
  mail.SetText(text);
  if (with_domain) mail.AddLinks(false, u"http://www.example.com/", 16);
  CCodeHeurEngine engine;
  RecordingPublisher publisher;
  mail.Bind(&publisher);
  EXPECT_EQ(1.0, engine.NewsHeur(&publisher, Context()));
  return publisher.published;
}

std::u16string Repeat(const std::u16string& text, int count) {
  std::u16string all;
  for (int i = 0; i < count; ++i) all += text;
  return all;
}

TEST(CodeHeurEngineTest, CountsTheAddressesOfTheText) {
  const std::u16string address = u"write to bob@mail.net now ";
  EXPECT_EQ(Names{}, News(Repeat(address, 3), false));
  EXPECT_EQ(Names{"H_NEWS_LIKE_MULTIPLE_ADDRESSES1"}, News(Repeat(address, 4), false));
  EXPECT_EQ((Names{"H_NEWS_LIKE_MULTIPLE_ADDRESSES1", "H_NEWS_LIKE_MULTIPLE_ADDRESSES2"}),
            News(Repeat(address, 6), false));
  // The dot must come within the "@" and the 39 characters after it; a blank ends the
  // address before it.
  const std::u16string near = u"@" + std::u16string(38, u'x') + u".net ";
  const std::u16string far = u"@" + std::u16string(39, u'x') + u".net ";
  EXPECT_EQ(Names{"H_NEWS_LIKE_MULTIPLE_ADDRESSES1"}, News(Repeat(near, 4), false));
  EXPECT_EQ(Names{}, News(Repeat(far, 6), false));
  EXPECT_EQ(Names{}, News(Repeat(u"me@ home.net ", 6), false));
  // A second "@" before the dot belongs to the same address.
  EXPECT_EQ(Names{}, News(Repeat(u"a@b@c.d ", 3), false));
  EXPECT_EQ(Names{"H_NEWS_LIKE_MULTIPLE_ADDRESSES1"},
            News(Repeat(u"a@b@c.d ", 3) + u"e@f.g@h.i", false));
}

TEST(CodeHeurEngineTest, PublishesTheMainDomainWhereverItFollowsAnAddress) {
  // Once per "@" that the domain follows anywhere later in the text.
  EXPECT_EQ((Names{"H_NEWS_MAIL_ADDRESS_DOMAIN", "H_NEWS_MAIL_ADDRESS_DOMAIN"}),
            News(u"sales@example.com or help@ourdesk.org, see example.com", true));
  EXPECT_EQ(Names{}, News(u"see example.com or mail help@ourdesk.org", true));
  EXPECT_EQ(Names{}, News(u"sales@example.com", false));
}

TEST(CodeHeurEngineTest, RunsTheTableByNameAndRefusesWhatItCannotRun) {
  CCodeHeurEngine engine;
  Mail mail;
  mail.AddLinks(false, u"http://example.com/", 14);
  mail.AddLinks(true, u"http://example.org/", 6);
  mail.SetText(Repeat(u"x@example.com ", 6));
  RecordingPublisher publisher;
  mail.Bind(&publisher);
  for (const char* name : {"H_NEWS_DOMAIN2", "H_NEWS_FROM_DOMAIN", "H_NEWS_MAIL_ADDRESS_DOMAIN",
                           "H_NEWS_LIKE_MULTIPLE_ADDRESSES1", "H_NEWS_LIKE_MULTIPLE_ADDRESSES2"}) {
    publisher.published.clear();
    EXPECT_EQ(1.0, engine.Execute(name, &publisher, Context())) << name;
    EXPECT_EQ(1u, publisher.Count("H_NEWS_DOMAIN2")) << name;
    EXPECT_EQ(6u, publisher.Count("H_NEWS_MAIL_ADDRESS_DOMAIN")) << name;
    EXPECT_EQ(1u, publisher.Count("H_NEWS_LIKE_MULTIPLE_ADDRESSES2")) << name;
  }
  for (size_t i = 0; i < kMailHeuristicCount; ++i) {
    EXPECT_TRUE(engine.HasHeuristic(kMailHeuristics[i].name)) << kMailHeuristics[i].name;
  }

  EXPECT_EQ("-1 CCodeHeurEngine::Execute - A heuristic function is called from the script but "
            "has no definition!",
            Outcome([&] { engine.Execute("h_news_domain2", &publisher, Context()); }));
  EXPECT_EQ("-1 CCodeHeurEngine::Execute - invalid engines handle",
            Outcome([&] { engine.Execute("H_NEWS_DOMAIN2", nullptr, Context()); }));
  RecordingPublisher without_mail;
  EXPECT_EQ("-1 CCodeHeurEngine::NewsHeur - invalid reference to blackbox facilitator",
            Outcome([&] { engine.Execute("H_NEWS_DOMAIN2", &without_mail, Context()); }));
}

// Counts of one word token, set by the test.
class OneWordStore : public learning::TokenStore {
 public:
  learning::TokenHash word = learning::HashToken('w', "viagra");
  learning::TokenCounts counts;
  learning::StoreTotals totals;

  void Lookup(const std::vector<learning::TokenHash>& tokens,
              std::vector<learning::TokenCounts>* out) override {
    out->assign(tokens.size(), learning::TokenCounts());
    for (size_t i = 0; i < tokens.size(); ++i) {
      if (tokens[i] == word) (*out)[i] = counts;
    }
  }
  learning::StoreTotals Totals() override { return totals; }
  learning::MailClass Learned(const std::string&) override { return learning::MailClass::kNone; }
  learning::LearnOutcome Learn(const std::string&, const std::vector<learning::TokenHash>&,
                               learning::MailClass) override {
    return learning::LearnOutcome::kUnknown;
  }
  const std::string& name() const override { return name_; }

 private:
  std::string name_ = "one word";
};

// One strong token decides alone: with n mails all of one class, f = (0.5 + n) / (1 + n),
// and Fisher's combining of a single f answers f itself.
TEST(CodeHeurEngineTest, StatClassifyPublishesTheBandOfTheProbability) {
  CCodeHeurEngine engine;
  Mail mail;
  mail.SetText(u"Buy viagra now");
  RecordingPublisher publisher;
  mail.Bind(&publisher);
  EXPECT_EQ(0.0, engine.Execute("StatClassify", &publisher, Context()));  // no classifier
  EXPECT_TRUE(publisher.published.empty());

  auto store = std::make_unique<OneWordStore>();
  OneWordStore* counts = store.get();
  const learning::StatClassifier classifier(std::move(store), learning::ClassifierOptions());
  engine.SetClassifier(&classifier);
  counts->totals.spamMails = 199;  // below the minimum: silent
  counts->totals.hamMails = 300;
  counts->counts = {100, 0};
  EXPECT_EQ(0.0, engine.Execute("StatClassify", &publisher, Context()));
  EXPECT_TRUE(publisher.published.empty());

  counts->totals.spamMails = 300;
  const struct {
    learning::TokenCounts counts;
    const char* band;  // f: I of one clue is f, with s = 0.45 and x = 0.5
  } kCases[] = {
      {{100, 0}, "STAT_SPAM_99"},  // 100.225 / 100.45 = 0.998
      {{20, 0}, "STAT_SPAM_90"},   // 20.225 / 20.45 = 0.989
      {{9, 1}, "STAT_SPAM_60"},    // (0.225 + 10 * 0.9) / 10.45 = 0.883
      {{0, 20}, "STAT_HAM_10"},    // 0.225 / 20.45 = 0.011
      {{0, 100}, "STAT_HAM_01"},   // 0.225 / 100.45 = 0.002
      {{5, 5}, nullptr},           // 0.5: unsure, nothing
  };
  for (const auto& test : kCases) {
    publisher.published.clear();
    counts->counts = test.counts;
    EXPECT_EQ(1.0, engine.Execute("StatClassify", &publisher, Context()));
    if (test.band == nullptr) {
      EXPECT_TRUE(publisher.published.empty());
    } else {
      EXPECT_EQ(Names{test.band}, publisher.published);
    }
  }
  engine.SetClassifier(nullptr);
}

}  // namespace
