// match(..., OBFUSCATED) on a hand-made mail: the places and texts it searches, the
// threshold the context carries, and what happens without a word finder. What counts as
// a disguised word is tested with the word finder (engines/word_finder_test.cc).
#include <gtest/gtest.h>

#include <string>

#include "emlbreaker/broken_mail.h"
#include "emlbreaker/mail_item.h"
#include "framework/base/testing/outcome.h"
#include "mail/components/headers.h"
#include "rules/conditions.h"
#include "rules/eml_context.h"
#include "rules/engines_interface.h"
#include "rules/language/rule_test_util.h"

namespace {

using emlbtest::Outcome;
using namespace nsEmlComponents;

// A mail with a subject, a plain-text part with a URL and a part header, and an HTML
// part whose source and visible text differ.
class DisguisedMail {
 public:
  DisguisedMail() {
    auto* headers = new CHeaderMap(64, nullptr);
    auto* subject = new CHeaderSubject;
    subject->text.Assign("=?utf-8?q?C1ALIS?=");
    subject->decoded.Assign(u"cheap C1ALIS");
    headers->Insert("SUBJECT", subject);
    auto* from = new CHeaderOther;
    from->value.Assign(u"Niagara Travel");
    headers->Insert("FROM", from);
    item.box.SetObject(headers, kMailHeadersId, false);

    auto* tree = new CPartsTree;
    auto* root = new CPart(nullptr, 0);
    root->body = new CPartBodyMultipart;
    CPartsTree::CNode* node = tree->SetRoot(root);
    plain = new CPartBodyTextPlain;
    plain->text.Assign(u"Hello, buy v1@gra now!\r\nRegards");
    CUrl url;
    url.decoded.Assign(u"http://www.ca$ino-royal.example/");
    plain->urls.Add(url);
    auto* plain_part = new CPart(nullptr, 1);
    plain_part->body = plain;
    auto* note = new CHeaderOther;
    note->value.Assign(u"m0rtgage offer");
    plain_part->headers.Insert("X-NOTE", note);
    tree->AddChild(node, plain_part, 1);
    html = new CPartBodyTextHtml;
    html->source.Assign(u"<p>V<b>.</b>I.A.G.R.A <i>pharmacy</i></p>");
    html->visibleText.Assign(u"V.I.A.G.R.A pharmacy");
    auto* html_part = new CPart(nullptr, 1);
    html_part->body = html;
    tree->AddChild(node, html_part, 1);
    item.box.SetObject(tree, kPartsTreeId, false);
  }
  ~DisguisedMail() {
    DeleteHeaders(GetMailHeaders(item.box));
    item.box.Remove(kMailHeadersId);
  }

  MailItem item;
  CPartBodyTextPlain* plain;
  CPartBodyTextHtml* html;
};

double Obfuscated(CEnginesInterface* engines, CEmlContextInterface* context, const char* word,
                  uint32_t where, const char* header = "", uint32_t mode = 0) {
  MatchCondition match(word, where, header, HOW_OBFUSCATED, mode);
  match.Init(engines);
  return match.Evaluate(engines, context);
}

TEST(ObfuscatedMatchTest, SearchesTheTextsOfTheExactMatch) {
  rules_testing::RecordingTracer tracer;
  CEnginesInterface engines;
  engines.SetupWordFinder(EMLB_WORD_FINDER_CONF);
  DisguisedMail mail;
  CEmlContextInterface context;
  context.SetStructs(&mail.item);
  context.SetWordFinderThreshold(0.2f);

  const struct {
    const char* word;
    uint32_t where;
    const char* header;
    uint32_t mode;
    double value;
  } kCases[] = {
      {"viagra", WHERE_PARTS_TEXT, "", MODE_DECODED, 1.0},   // plain "v1@gra"
      {"viagra", WHERE_PARTS_TEXT_HTML, "", MODE_DECODED, 1.0},
      {"viagra", WHERE_PARTS_TEXT_HTML, "", MODE_RAW, 0.0},  // tags split the word
      {"pharmacy", WHERE_PARTS_TEXT_PLAIN, "", 0, 0.0},      // HTML only
      {"pharmacy", WHERE_PARTS_ALL, "", MODE_RAW, 1.0},
      {"cialis", WHERE_HEADERS_ALL, "", 0, 1.0},             // the decoded subject
      {"cialis", WHERE_HEADER_NAMED, "SUBJECT", 0, 1.0},     // decoded here too
      {"cialis", WHERE_HEADER_NAMED, "Subject", 0, 0.0},     // names are upper case
      {"casino", WHERE_URLS, "", 0, 1.0},
      {"casino", WHERE_PARTS_TEXT, "", MODE_DECODED, 0.0},   // URLs are not the text
      {"mortgage", WHERE_PART_HEADERS_ALL, "", 0, 1.0},
      {"mortgage", WHERE_PART_HEADER_NAMED, "X-NOTE", 0, 1.0},
      {"mortgage", WHERE_HEADERS_ALL, "", 0, 0.0},            // not a mail header
      {"viagra", WHERE_HEADERS_ALL, "", 0, 0.0},
      {"agra", WHERE_HEADERS_ALL, "", 0, 0.0},                // "Niagara"
      {"niagara", WHERE_HEADER_NAMED, "FROM", 0, 1.0},
      {"via", WHERE_PARTS_TEXT, "", MODE_DECODED, 1.0},       // "V.I.A" ends softly
      {"", WHERE_PARTS_TEXT, "", MODE_DECODED, 0.0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.word) + " at " + std::to_string(c.where) + " " + c.header);
    EXPECT_EQ(c.value, Obfuscated(&engines, &context, c.word, c.where, c.header, c.mode));
  }
}

TEST(ObfuscatedMatchTest, ThresholdAndMissingWordFinder) {
  rules_testing::RecordingTracer tracer;
  DisguisedMail mail;
  mail.plain->text.Assign(u"get v.1.@.9.r.@ here");
  CEmlContextInterface context;
  context.SetStructs(&mail.item);

  // Without a word finder nothing hits, and nothing is thrown.
  CEnginesInterface engines;
  EXPECT_EQ(0.0, Obfuscated(&engines, &context, "viagra", WHERE_PARTS_TEXT_PLAIN));
  // A file that cannot be loaded leaves no word finder.
  EXPECT_EQ("-551 CASFile constructor - /nonexistent/aswfconf.dat - No such file or directory",
            Outcome([&] { engines.SetupWordFinder("/nonexistent/aswfconf.dat"); }));
  EXPECT_EQ(nullptr, engines.GetWordFinder());
  EXPECT_EQ(0.0, Obfuscated(&engines, &context, "viagra", WHERE_PARTS_TEXT_PLAIN));

  // Four look-alikes and five dots cost 0.65: within 0.2 per letter of "viagra", not
  // within the default 0.1. Each context reads its own threshold, over the same text.
  engines.SetupWordFinder(EMLB_WORD_FINDER_CONF);
  EXPECT_EQ(0.0, Obfuscated(&engines, &context, "viagra", WHERE_PARTS_TEXT_PLAIN));
  CEmlContextInterface aggressive;
  aggressive.SetStructs(&mail.item);
  aggressive.SetWordFinderThreshold(0.2f);
  EXPECT_EQ(1.0, Obfuscated(&engines, &aggressive, "viagra", WHERE_PARTS_TEXT_PLAIN));

  EXPECT_EQ("-1 MatchCondition::ObfuscatedMatch - invalid pointer to parts tree",
            Outcome([&] {
              CEmlContextInterface unbound;
              Obfuscated(&engines, &unbound, "viagra", WHERE_PARTS_TEXT_PLAIN);
            }));
}

}  // namespace
