// The per-mail side of the rules on hand-built mails: the context's binding,
// what the conditions and actions refuse, the execution unit's checks, and the
// header actions' value expansion and folding. Rules on mails the breaker
// broke are tested in tests/breaker_test.cc.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "emlbreaker/broken_mail.h"
#include "emlbreaker/mail_item.h"
#include "framework/base/testing/outcome.h"
#include "mail/components/headers.h"
#include "rules/actions.h"
#include "rules/conditions.h"
#include "rules/eml_context.h"
#include "rules/engines_interface.h"
#include "rules/execution_unit.h"
#include "rules/language/rule_test_util.h"

namespace {

using emlbtest::Outcome;
using namespace nsEmlComponents;

// A mail item holding a multipart root, a plain-text part and an HTML part
// with two anchors, and a header map with one plain header.
class HandMadeMail {
 public:
  HandMadeMail() {
    auto* headers = new CHeaderMap(64, nullptr);
    auto* note = new CHeaderOther;
    note->text.Assign("a");
    note->value.Assign(u"a");
    headers->Insert("X-NOTE", note);
    item.box.SetObject(headers, kMailHeadersId, false);
    auto* tree = new CPartsTree;
    auto* root = new CPart(nullptr, 0);
    root->body = new CPartBodyMultipart;
    CPartsTree::CNode* node = tree->SetRoot(root);
    plain = new CPartBodyTextPlain;
    auto* plain_part = new CPart(nullptr, 1);
    plain_part->body = plain;
    tree->AddChild(node, plain_part, 1);
    html = new CPartBodyTextHtml;
    for (const char16_t* label : {u"first", u"second"}) {
      CHtmlAHref anchor;
      anchor.label.Assign(label);
      html->info.anchors.Add(anchor);
    }
    auto* html_part = new CPart(nullptr, 1);
    html_part->body = html;
    tree->AddChild(node, html_part, 1);
    item.box.SetObject(tree, kPartsTreeId, false);
  }
  ~HandMadeMail() {
    DeleteHeaders(GetMailHeaders(item.box));
    item.box.Remove(kMailHeadersId);
  }

  MailItem item;
  CPartBodyTextPlain* plain;
  CPartBodyTextHtml* html;
};

TEST(EmlContextTest, BindsToTheMailOnceAndKeepsItsVariables) {
  rules_testing::RecordingTracer tracer;
  CEmlContextInterface context;
  EXPECT_EQ("-1 CEmlContextInterface::SetDirty - invalid reference to dirty flag",
            Outcome([&] { context.SetDirty(true); }));
  EXPECT_EQ("-1 CEmlContextInterface::GetDirty - invalid reference to dirty flag",
            Outcome([&] { context.GetDirty(); }));
  MailItem empty;
  EXPECT_EQ("-1 CEmlContextInterface::SetStructs - invalid black box - could not get headers "
            "and parts!",
            Outcome([&] { context.SetStructs(&empty); }));
  EXPECT_EQ(nullptr, context.GetFacilitator());

  HandMadeMail mail;
  context.SetStructs(&mail.item);
  const CBlackBoxFacilitator* facilitator = context.GetFacilitator();
  ASSERT_NE(nullptr, facilitator);
  context.SetStructs(&mail.item);
  EXPECT_EQ(facilitator, context.GetFacilitator());
  EXPECT_EQ(GetPartsTree(mail.item.box), context.GetParts());
  // The lists hold the plain and HTML bodies, the anchors in order.
  ASSERT_EQ(1u, facilitator->GetPlainBodies().GetSize());
  EXPECT_EQ(mail.plain, facilitator->GetPlainBodies()[0]);
  EXPECT_EQ(&mail.html->source, facilitator->GetHtmlSources()[0]);
  ASSERT_EQ(2u, facilitator->GetAnchors().GetSize());
  EXPECT_EQ(u"second", facilitator->GetAnchors()[1]->label.View());

  context.SetDirty(true);
  EXPECT_TRUE(mail.item.modified);
  context.SetIntValue("SCORE", 5);
  context.SetIntValue("SCORE", 7);
  context.SetStringValue("CATEGORY", "spam");
  EXPECT_EQ(7, context.GetIntValue("SCORE"));
  EXPECT_STREQ("spam", context.GetStringValue("CATEGORY").c_str());
  EXPECT_EQ("-1 CEmlContextInterface::GetIntValue - variable with given name does not exist",
            Outcome([&] { context.GetIntValue("CATEGORY"); }));
}

TEST(ConditionsTest, RefuseWhatTheyCannotReadAndMatchAroundBadBytes) {
  rules_testing::RecordingTracer tracer;
  CEnginesInterface engines;
  engines.SetupRxLibHandle(EMLB_PATMATCH_DIR);
  CEmlContextInterface unbound;
  HandMadeMail mail;
  CEmlContextInterface context;
  context.SetStructs(&mail.item);
  // Bytes that are not UTF-8 around a word that is.
  mail.plain->utf8Text.Assign("\xff\xfe caf\xc3\xa9 \xc3");

  MatchCondition regex("caf\xc3\xa9", WHERE_PARTS_TEXT_PLAIN, "", HOW_REGEX, 0);
  regex.Init(&engines);
  MatchCondition dot("f.\\s", WHERE_PARTS_ALL, "", HOW_REGEX, MODE_RAW);
  dot.Init(&engines);
  MatchCondition not_compiled("x", WHERE_PARTS_ALL, "", HOW_REGEX, MODE_RAW);
  MatchCondition exact("x", WHERE_HEADERS_ALL, "", HOW_EXACT, 0);
  ExistsCondition exists_url(WHERE_URLS, "");
  IsEmptyCondition empty_url(WHERE_URLS, "");
  IsEmptyCondition empty_html(WHERE_PARTS_TEXT_HTML, "");
  ExecCondition exec("H_NEWS_DOMAIN2");
  KNNCategCondition knn(KNN_GIVEN, "spam");
  ScoreGreaterCondition score(1, P_COMPARE_CONSTANT, "", "SCORE");
  const struct {
    ACondition* condition;
    CEmlContextInterface* context;
    std::string outcome;  // a number: the value
  } kCases[] = {
      {&regex, &context, "1"},
      {&dot, &context, "1"},  // é is one character
      {&regex, nullptr, "-1 MatchCondition::Evaluate - invalid context handle"},
      {&regex, &unbound, "-1 MatchCondition::RegexMatch - invalid pointer to parts tree"},
      {&not_compiled, &context, "-1 MatchCondition::RegexMatch - invalid regex - maybe init failed"},
      {&exact, &unbound, "-1 MatchCondition::ExactMatch - invalid pointer to parts tree"},
      {&exists_url, &context, "-1 ExistsCondition::Evaluate - invalid id to ExistsCondition ( 220 )"},
      {&empty_url, &context, "-1 IsEmptyCondition::Evaluate - invalid id to IsEmptyCondition ( 220 )"},
      {&empty_html, &context, "1"},  // its visible text was never set
      {&exec, &context, "-1 ExecCondition::Evaluate - invalid handle to code heur engine"},
      {&knn, &context, "-1 KNNCategCondition::Evaluate - invalid handle to KNN engine"},
      {&score, nullptr, "-1 ScoreGreaterCondition::Evaluate - invalid context handle"},
  };
  for (const auto& c : kCases) {
    double value = -1;
    std::string outcome = Outcome([&] { value = c.condition->Evaluate(&engines, c.context); });
    if (outcome == "none") outcome = std::to_string(static_cast<int>(value));
    EXPECT_EQ(c.outcome, outcome) << c.condition->GetSpecificType();
  }
}

TEST(ActionsTest, RefuseWhatTheyCannotReachAndLeaveVariableForms) {
  rules_testing::RecordingTracer tracer;
  CEnginesInterface engines;
  CEmlContextInterface unbound;
  HandMadeMail mail;
  CEmlContextInterface context;
  context.SetStructs(&mail.item);
  AddHeaderAction add("X-NOTE", P_HEADER_NAME_LITERAL, "b");
  AddToHeaderAction by_name("X-NOTE", P_HEADER_NAME_VARIABLE, "c");
  AddToHeaderAction extend("X-NOTE", P_HEADER_NAME_LITERAL, "d");
  ExecAction exec("H_NEWS_DOMAIN2");
  SetCategoryAction category("CAT", P_CATEGORY_VARIABLE);
  MarkAction mark(0, P_MARK_SCORE_VARIABLE, "S", "spam", P_MARK_CATEGORY_LITERAL);
  const struct {
    AAction* action;
    CEmlContextInterface* context;
    const char* outcome;
  } kCases[] = {
      {&add, nullptr, "-1 AddHeaderAction::Execute - invalid context handle"},
      {&add, &unbound, "-1 AddHeaderAction::Execute - invalid handle to headers map"},
      {&exec, &context, "-1 ExecAction::Execute - invalid handle to code heur engine"},
      {&add, &context, "none"},
      {&by_name, &context, "none"},  // a name in a variable: nothing happens
      {&extend, &context, "none"},
      {&category, &context, "none"},
      {&mark, &context, "none"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(c.outcome, Outcome([&] { c.action->Execute(&engines, c.context); }))
        << c.action->GetSpecificType();
  }
  auto* note = static_cast<CHeaderOther*>(*GetMailHeaders(mail.item.box)->Lookup("X-NOTE"));
  EXPECT_STREQ("bd", note->text.c_str());
  EXPECT_STREQ("spam", context.GetStringValue("CATEGORY").c_str());
  EXPECT_EQ("-1 CEmlContextInterface::GetIntValue - variable with given name does not exist",
            Outcome([&] { context.GetIntValue("SCORE"); }));
}

TEST(HeaderActionTest, ExpandsTheRuleNameWithinTheBufferAndFoldsAtBlanks) {
  const std::string name = "R1";
  const std::string long_name(40, 'n');
  const struct {
    std::string value;
    std::string rule;
    std::string expanded;
  } kExpansions[] = {
      {"", name, ""},
      {"word $(RuleName)", name, "word R1"},
      {"$(RuleName)$(RuleName)-$(RuleName", name, "R1R1-$(RuleName"},
      // At most 1024 bytes are read, 1023 kept.
      {std::string(1100, 'a'), name, std::string(1023, 'a')},
      {std::string(1013, 'a') + "$(RuleName)" + "tail", name, std::string(1013, 'a') + "R1"},
      {std::string(1000, 'a') + "$(RuleName)", long_name,
       std::string(1000, 'a') + std::string(23, 'n')},
  };
  for (const auto& e : kExpansions) {
    EXPECT_EQ(e.expanded, HeaderAction::ExpandValue(e.value, e.rule)) << e.value.substr(0, 40);
  }

  const std::string words = "w000 w001 w002 w003 w004 w005 w006 w007 w008 w009 w010 w011 w012 "
                            "w013 w014 w015 w016 w017 w018 w019";
  const struct {
    std::string text;
    std::string folded;
  } kFolds[] = {
      {words, words.substr(0, 74) + "\n\t" + words.substr(74)},
      {std::string(100, 'x'), std::string(100, 'x')},  // no blank: one line
      {std::string(78, 'x'), std::string(78, 'x')},
      {std::string(78, 'x') + " y", std::string(78, 'x') + "\n\t y"},
      {" " + std::string(99, 'x'), " " + std::string(99, 'x')},  // a blank at 0 does not count
      {std::string(160, ' '), std::string(78, ' ') + "\n\t" + std::string(78, ' ') + "\n\t    "},
  };
  for (const auto& f : kFolds) EXPECT_EQ(f.folded, HeaderAction::Fold(f.text));
}

TEST(ExecutionUnitTest, NamesWhatItLacks) {
  rules_testing::RecordingTracer tracer;
  CEnginesInterface no_rules;
  CEmlContextInterface context;
  CExecutionUnit without_context(nullptr, &no_rules);
  CExecutionUnit without_engines(&context, nullptr);
  CExecutionUnit without_rules(&context, &no_rules);
  const struct {
    CExecutionUnit* unit;
    std::function<void(CAExecutionUnit*)> call;
    const char* outcome;
  } kCases[] = {
      {&without_context, [](CAExecutionUnit* u) { u->ExecRule("R"); },
       "CExecutionUnit::ExecRule - invalid reference to structs interface"},
      {&without_engines, [](CAExecutionUnit* u) { u->ExecRule("R"); },
       "CExecutionUnit::ExecRule - invalid reference to engines interface"},
      {&without_rules, [](CAExecutionUnit* u) { u->ExecRule("R"); },
       "CEnginesInterface::ExecRule - invalid reference to ASSL engine"},
      {&without_context, [](CAExecutionUnit* u) { u->AutoExecRule("R", 1); },
       "CExecutionUnit::AutoExecRule - invalid reference to structs interface"},
      {&without_rules, [](CAExecutionUnit* u) { u->AutoExecRule("R", 1); },
       "CEnginesInterface::AutoExecRule - invalid reference to ASSL engine"},
      {&without_engines, [](CAExecutionUnit* u) { u->GetNNetRules(); },
       "CExecutionUnit::GetNNetRules - invalid reference to engines interface"},
      {&without_rules, [](CAExecutionUnit* u) { u->GetSignatures(); },
       "CExecutionUnit::GetSignatures - invalid reference to ASSL engine"},
      {&without_engines, [](CAExecutionUnit* u) { u->GetHitRules(); },
       "CExecutionUnit::GetHitRules - invalid reference to ASSL engine"},
      {&without_rules, [](CAExecutionUnit* u) { u->GetHitRules(); },
       "CEnginesInterface::GetHitRules - invalid handle to ASSL engine"},
      {&without_context, [](CAExecutionUnit* u) { u->GetIntValue("SCORE"); },
       "CExecutionUnit::GetIntValue - invalid HCONTEXT"},
      {&without_context, [](CAExecutionUnit* u) { u->GetStringValue("CATEGORY"); },
       "CExecutionUnit::GetStringValue - invalid HCONTEXT"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(std::string("-1 ") + c.outcome, Outcome([&] { c.call(c.unit); }));
  }
}

TEST(ExecutionUnitTest, VariablesInterfaceAnswersWithoutThrowing) {
  CEnginesInterface engines;
  CEmlContextInterface context;
  CExecutionUnit unit(&context, &engines);
  CAExecutionUnit* published = &unit;
  auto* variables = dynamic_cast<CAExecutionUnitVariables*>(published);
  ASSERT_NE(nullptr, variables);

  int32_t score = 41;
  ascommon::sstring category("left");
  EXPECT_FALSE(variables->FindIntValue("SCORE", &score));
  EXPECT_FALSE(variables->FindStringValue("CATEGORY", &category));
  EXPECT_EQ(41, score);
  EXPECT_STREQ("left", category.c_str());

  context.SetIntValue("SCORE", -3);
  context.SetStringValue("CATEGORY", "phishing");
  EXPECT_TRUE(variables->FindIntValue("SCORE", &score));
  EXPECT_TRUE(variables->FindStringValue("CATEGORY", &category));
  EXPECT_EQ(-3, score);
  EXPECT_STREQ("phishing", category.c_str());
  // Names are exact: the getters would throw for these too.
  EXPECT_FALSE(variables->FindIntValue("score", &score));
  EXPECT_FALSE(variables->FindIntValue("CATEGORY", &score));

  CExecutionUnit without_context(nullptr, &engines);
  EXPECT_EQ("-1 CExecutionUnit::GetIntValue - invalid HCONTEXT",
            Outcome([&] { without_context.FindIntValue("SCORE", &score); }));
}

}  // namespace
