#include "rules/language/rule_items.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "emlbreaker/exceptions.h"
#include "rules/actions.h"
#include "rules/conditions.h"
#include "rules/language/rule_parser.h"
#include "rules/language/rule_test_util.h"
#include "rules/rule_runner.h"

namespace {

using rules_testing::RecordingTracer;

// The rule of a one-rule file.
class Parsed {
 public:
  explicit Parsed(const std::string& text) { ParseRuleText(text, &state_); }
  const rule& Get() const {
    EXPECT_EQ(1u, state_.get_rules().GetCount());
    return *state_.get_rules().GetStartPosition().Value();
  }

 private:
  parser_state_info state_;
};

std::string Rule(const std::string& condition, const std::string& actions = "none;",
                 const std::string& metadata = "none;") {
  return "rule R { condition: " + condition + " actions: " + actions + " metadata: " + metadata +
         " }";
}

TEST(RuleTest, SetValueMergesByItemAndGetValueFindsIt) {
  rule parsed;
  const item_value ten = IntItemValue(10), twenty = IntItemValue(20);
  parsed.set_value(GENERIC_ACTION, ACT_MARK, P_MARK_SCORE_CONSTANT, &ten);
  parsed.set_value(GENERIC_ACTION, ACT_INCREASE_SCORE, P_INCREMENT_CONSTANT, &ten);
  parsed.set_value(GENERIC_ACTION, ACT_MARK, P_MARK_SCORE_CONSTANT, &twenty);
  // Condition parameters share the one condition item, whatever their specific type.
  parsed.set_value(GENERIC_CONDITION, COND_EXEC, P_EXEC_FUNCTION, &ten);
  parsed.set_value(GENERIC_CONDITION, COND_MATCH, P_MATCH_HOW, &twenty);
  EXPECT_EQ(2u, parsed.get_actions().GetSize());
  const struct {
    uint32_t generic, specific, key;
    int result;
    int32_t value;
  } kLookups[] = {
      {GENERIC_ACTION, ACT_MARK, P_MARK_SCORE_CONSTANT, 0, 20},
      {GENERIC_ACTION, ACT_INCREASE_SCORE, P_INCREMENT_CONSTANT, 0, 10},
      {GENERIC_ACTION, ACT_SET_CATEGORY, P_CATEGORY_LITERAL, -1, 0},  // no such action
      {GENERIC_ACTION, ACT_MARK, P_MARK_CATEGORY_LITERAL, -1, 0},     // no such key
      {GENERIC_CONDITION, COND_EXEC, P_MATCH_HOW, 0, 20},
      {GENERIC_CONDITION, COND_MATCH, P_MATCH_HOW, -1, 0},  // the item is an exec item
      {GENERIC_METAINFO, META_STATE, P_STATE, -1, 0},
  };
  for (const auto& l : kLookups) {
    SCOPED_TRACE(l.specific);
    item_value value = 0;
    EXPECT_EQ(l.result, parsed.get_value(l.generic, l.specific, l.key, &value));
    EXPECT_EQ(l.value, ItemValueInt(value));
  }
}

TEST(RuleTest, UnknownGenericTypeThrows) {
  RecordingTracer tracer;
  rule parsed;
  const item_value one = IntItemValue(1);
  item_value value;
  const struct {
    bool is_set;
    const char* message;
  } kCases[] = {{true, "rule::set_value - unknown generic item type"},
                {false, "rule::get_value - unknown generic item type"}};
  for (const auto& c : kCases) {
    try {
      if (c.is_set) {
        parsed.set_value(23, 1, 1, &one);
      } else {
        parsed.get_value(19, 1, 1, &value);
      }
      ADD_FAILURE() << "no exception";
    } catch (const ASException& e) {
      EXPECT_STREQ(c.message, e.what());
    }
  }
}

// Every refusal of a factory, with the trace line it writes (if any).
TEST(ItemFactoryTest, BrokenItemsGiveNull) {
  const struct {
    std::string text;
    bool is_action;  // else the condition
    std::string trace;
  } kCases[] = {
      {Rule("none;", "set_category(\"x\"); set_category(Y);"), true, ""},
      {Rule("none;", "increase_score(S, 1); increase_score(S, V);"), true, ""},
      {Rule("none;", "mark(\"a\", 1); mark(B, 1);"), true, ""},
      {Rule("none;", "mark(\"a\", 1); mark(\"a\", N);"), true, ""},
      {Rule("none;", "add_header(\"X\", \"v\"); add_header(X, \"v\");"), true, ""},
      {Rule("none;", "add_to_header(\"X\", \"v\"); add_to_header(X, \"v\");"), true, ""},
      {Rule("score_greater_than(S, 1); "), false, ""},  // fine: the control row below
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    Parsed parsed(c.text);
    RecordingTracer tracer;
    if (c.is_action) {
      ASSERT_EQ(1u, parsed.Get().get_actions().GetSize());
      EXPECT_EQ(nullptr, AAction::Create(parsed.Get().get_actions()[0]));
    } else {
      std::unique_ptr<ACondition> condition(ACondition::Create(parsed.Get().get_condition()));
      EXPECT_NE(nullptr, condition);
    }
    EXPECT_EQ(c.trace, tracer.Problems());
  }
}

// Items the parser cannot produce, built by hand.
TEST(ItemFactoryTest, MissingKeysAreTracedByTheFactory) {
  const item_value text = PointerItemValue("w"), place = IntItemValue(WHERE_HEADER_NAMED),
                   part_place = IntItemValue(WHERE_PART_HEADER_NAMED),
                   how = IntItemValue(HOW_EXACT);
  const struct {
    std::vector<std::pair<uint32_t, const item_value*>> keys;
    const char* trace;
  } kMatches[] = {
      {{{P_MATCH_WHERE, &place}, {P_MATCH_HOW, &how}},
       "ACondition::Create - missing what to match"},
      {{{P_MATCH_WHAT, &text}, {P_MATCH_HOW, &how}}, "ACondition::Create - missing where to match"},
      {{{P_MATCH_WHAT, &text}, {P_MATCH_WHERE, &place}}, "ACondition::Create - missing match type"},
      {{{P_MATCH_WHAT, &text}, {P_MATCH_WHERE, &place}, {P_MATCH_HOW, &how}},
       "ACondition::Create - specific header name not present"},
      {{{P_MATCH_WHAT, &text}, {P_MATCH_WHERE, &part_place}, {P_MATCH_HOW, &how}},
       "ACondition::Create - specific part header name not present"},
  };
  for (const auto& c : kMatches) {
    SCOPED_TRACE(c.trace);
    rule parsed;
    for (const auto& [key, value] : c.keys)
      parsed.set_value(GENERIC_CONDITION, COND_MATCH, key, value);
    RecordingTracer tracer;
    EXPECT_EQ(nullptr, ACondition::Create(parsed.get_condition()));
    EXPECT_EQ(c.trace, tracer.Problems());
  }

  ascommon::CBlackBox untyped;
  ascommon::CBlackBox generic_only;
  generic_only.SetElement(ITEM_GENERIC_TYPE, {ascommon::BBE_VALUE, new int32_t(21), 4}, true);
  RecordingTracer tracer;
  EXPECT_EQ(nullptr, AAction::Create(&untyped));
  EXPECT_EQ(nullptr, AMetainfo::Create(&untyped));
  EXPECT_EQ(nullptr, ACondition::Create(&generic_only));
  const std::string kTraced =
      "AAction::Create - blackbox missing generic item type | "
      "AMetainfo::Create - blackbox missing generic item type | "
      "ACondition::Create - blackbox missing specific item type";
  EXPECT_EQ(kTraced, tracer.Problems());

  // An item of another section is refused silently.
  Parsed parsed(Rule("none;", "exec(f);", "priority = 1;"));
  EXPECT_EQ(nullptr, ACondition::Create(parsed.Get().get_actions()[0]));
  EXPECT_EQ(nullptr, AAction::Create(parsed.Get().get_metainfo()[0]));
  EXPECT_EQ(nullptr, AMetainfo::Create(parsed.Get().get_condition()));
  EXPECT_EQ(kTraced, tracer.Problems());
}

TEST(ItemFactoryTest, MatchConditionFields) {
  const struct {
    const char* condition;
    uint32_t where;
    const char* header;
    uint32_t part_mode;
  } kCases[] = {
      {"match(\"w\", Parts::TextHTML, EXACT);", WHERE_PARTS_TEXT_HTML, "", MODE_RAW},
      {"match(\"w\", Parts::ALL, EXACT, DECODED);", WHERE_PARTS_ALL, "", MODE_DECODED},
      {"match(\"w\", Parts::TextPlain, EXACT, DECODED);", WHERE_PARTS_TEXT_PLAIN, "", 0},
      {"match(\"w\", Headers::\"SUBJECT\", EXACT, RAW);", WHERE_HEADER_NAMED, "SUBJECT", 0},
      {"match(\"w\", PartHeaders::\"X-A\", EXACT);", WHERE_PART_HEADER_NAMED, "X-A", 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.condition);
    Parsed parsed(Rule(c.condition));
    std::unique_ptr<ACondition> made(ACondition::Create(parsed.Get().get_condition()));
    auto* match = dynamic_cast<MatchCondition*>(made.get());
    ASSERT_NE(nullptr, match);
    EXPECT_EQ(c.where, match->GetWhere());
    EXPECT_STREQ(c.header, match->GetHeaderName().c_str());
    EXPECT_EQ(c.part_mode, match->GetPartMode());
    EXPECT_EQ(u"w", match->GetWideWhat().View());
  }
}

TEST(ItemFactoryTest, SourcesOfValuesAreRemembered) {
  Parsed parsed(Rule("score_greater_than(SCORE, LIMIT);",
                     "mark(CAT, 7); increase_score(T, V); add_header(\"X-A\", \"v\");",
                     "enabled = false; comment = \"c\";"));
  std::unique_ptr<ACondition> condition(ACondition::Create(parsed.Get().get_condition()));
  auto* score = dynamic_cast<ScoreGreaterCondition*>(condition.get());
  ASSERT_NE(nullptr, score);
  EXPECT_EQ(P_COMPARE_VARIABLE, score->GetThresholdSource());
  EXPECT_STREQ("LIMIT", score->GetThresholdVariable().c_str());
  EXPECT_STREQ("SCORE", score->GetScoreVariable().c_str());

  const auto& actions = parsed.Get().get_actions();
  std::unique_ptr<AAction> mark_item(AAction::Create(actions[0]));
  auto* mark = dynamic_cast<MarkAction*>(mark_item.get());
  ASSERT_NE(nullptr, mark);
  EXPECT_EQ(P_MARK_CATEGORY_VARIABLE, mark->GetCategorySource());
  EXPECT_EQ(P_MARK_SCORE_CONSTANT, mark->GetScoreSource());
  EXPECT_EQ(7, mark->GetScore());
  std::unique_ptr<AAction> increase_item(AAction::Create(actions[1]));
  auto* increase = dynamic_cast<IncreaseScoreAction*>(increase_item.get());
  ASSERT_NE(nullptr, increase);
  EXPECT_EQ(P_INCREMENT_VARIABLE, increase->GetIncrementSource());
  EXPECT_STREQ("V", increase->GetIncrementVariable().c_str());
  std::unique_ptr<AAction> header_item(AAction::Create(actions[2]));
  auto* header = dynamic_cast<AddHeaderAction*>(header_item.get());
  ASSERT_NE(nullptr, header);
  EXPECT_EQ(P_HEADER_NAME_LITERAL, header->GetHeaderNameSource());

  std::unique_ptr<AMetainfo> state(AMetainfo::Create(parsed.Get().get_metainfo()[0]));
  ASSERT_NE(nullptr, dynamic_cast<StateMetainfo*>(state.get()));
  EXPECT_FALSE(static_cast<StateMetainfo*>(state.get())->IsEnabled());
}

// Records the rules an expression runs and answers their values from a table.
class FakeRunner : public ARuleRunner {
 public:
  void InitRule(const char* name, CEnginesInterface*) override {
    log += std::string("i:") + name + " ";
  }
  double ExecRule(const char* name, CEnginesInterface*, CEmlContextInterface*) override {
    log += std::string(name) + " ";
    return name[0] == 'h' ? 1.0 : 0.0;  // rules named h... hit
  }
  std::string log;
};

std::unique_ptr<ACondition> ExpressionOf(const std::string& expression) {
  Parsed parsed("metarule M { condition: " + expression + "; actions: none; metadata: none; }");
  // The condition is built from the parsed rule, which dies at the end of this function.
  return std::unique_ptr<ACondition>(ACondition::Create(parsed.Get().get_condition()));
}

TEST(ExprConditionTest, OperatorsAndWhichRulesRun) {
  const struct {
    const char* expression;
    double value;
    const char* ran;
  } kCases[] = {
      {"h1 || m2", 1.0, "h1 "},    {"h1 ||| m2", 1.0, "h1 m2 "}, {"m1 || h2", 1.0, "m1 h2 "},
      {"m1 && h2", 0.0, "m1 "},    {"m1 &&& h2", 0.0, "m1 h2 "}, {"h1 && h2", 1.0, "h1 h2 "},
      {"m1 == m2", 1.0, "m1 m2 "}, {"h1 == m2", 0.0, "h1 m2 "},  {"h1 != m2", 1.0, "h1 m2 "},
      {"!m1", 1.0, "m1 "},         {"!h1 || false", 0.0, "h1 "}, {"true && !(false)", 1.0, ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.expression);
    std::unique_ptr<ACondition> condition = ExpressionOf(c.expression);
    auto* expression = dynamic_cast<ExprCondition*>(condition.get());
    ASSERT_NE(nullptr, expression);
    FakeRunner runner;
    EXPECT_EQ(c.value, expression->EvaluateNodes(&runner, nullptr, nullptr));
    EXPECT_EQ(c.ran, runner.log);
  }
}

// A runner that hands out handles: once initialised, an expression runs its rules
// through them, without their names being looked up again.
class ResolvingRunner : public FakeRunner {
 public:
  void* ResolveRule(const char* name) override { return name[0] == 'u' ? nullptr : &handle; }
  double ExecResolved(void* found, const char* name, CEnginesInterface*,
                      CEmlContextInterface*) override {
    log += std::string(found == &handle ? "r:" : "?:") + name + " ";
    return 1.0;
  }
  int handle = 0;
};

TEST(ExprConditionTest, InitialisedExpressionsRunResolvedRules) {
  std::unique_ptr<ACondition> condition = ExpressionOf("h1 &&& u2");
  auto* expression = dynamic_cast<ExprCondition*>(condition.get());
  ASSERT_NE(nullptr, expression);
  ResolvingRunner runner;
  expression->InitNodes(&runner, nullptr);
  runner.log.clear();
  // u2 has no handle: it still runs by name.
  EXPECT_EQ(0.0, expression->EvaluateNodes(&runner, nullptr, nullptr));
  EXPECT_EQ("r:h1 u2 ", runner.log);
}

TEST(ExprConditionTest, DepthLimit) {
  // "!(" nests one NOT node per level: the leaf of n levels sits at depth n.
  const struct {
    int depth;
    bool is_refused;
  } kCases[] = {{99, false}, {100, true}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.depth);
    std::string text = "h";
    for (int i = 0; i < c.depth; ++i) text = "!(" + text + ")";
    std::unique_ptr<ACondition> condition = ExpressionOf(text);
    auto* expression = dynamic_cast<ExprCondition*>(condition.get());
    ASSERT_NE(nullptr, expression);
    RecordingTracer tracer;
    FakeRunner runner;
    for (const bool is_init : {true, false}) {
      const std::string where = is_init ? "ExprCondition::InitNode" : "ExprCondition::ExecuteNode";
      try {
        if (is_init) {
          expression->InitNodes(&runner, nullptr);
        } else {
          expression->EvaluateNodes(&runner, nullptr, nullptr);
        }
        EXPECT_FALSE(c.is_refused) << where;
      } catch (const ASException& e) {
        EXPECT_TRUE(c.is_refused) << where;
        EXPECT_EQ(where + " - reached the maximum expression depth", e.what());
      }
    }
  }
}

TEST(ExprConditionTest, EngineHandlesAreChecked) {
  RecordingTracer tracer;
  std::unique_ptr<ACondition> condition = ExpressionOf("h1");
  const struct {
    CEnginesInterface* engines;
    bool is_init;
    const char* message;
  } kCases[] = {
      {nullptr, true, "ExprCondition::Init - invalid engines handle"},
      {nullptr, false, "ExprCondition::Evaluate - invalid engines handle"},
  };
  for (const auto& c : kCases) {
    try {
      if (c.is_init) {
        condition->Init(c.engines);
      } else {
        condition->Evaluate(c.engines, nullptr);
      }
      ADD_FAILURE() << c.message;
    } catch (const ASException& e) {
      EXPECT_STREQ(c.message, e.what());
    }
  }
  ExprCondition empty(nullptr);
  EXPECT_EQ(0.0, empty.Evaluate(nullptr, nullptr));
  EXPECT_EQ(1.0, NoCondition().Evaluate(nullptr, nullptr));
}

}  // namespace
