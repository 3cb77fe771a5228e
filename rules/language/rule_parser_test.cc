#include "rules/language/rule_parser.h"

#include <gtest/gtest.h>

#include <string>

#include "rules/language/rule_test_util.h"

namespace {

using rules_testing::DumpRules;
using rules_testing::RecordingTracer;

// A rule with empty sections around the given condition.
std::string Simple(const std::string& name, const std::string& condition) {
  return "rule " + name + " { condition: " + condition + " actions: none; metadata: none; }\n";
}
std::string Meta(const std::string& name, const std::string& condition) {
  return "metarule " + name + " { condition: " + condition + " actions: none; metadata: none; }\n";
}

struct Case {
  std::string text;
  std::string rules;     // DumpRules of the result
  std::string problems;  // traced lines other than the commits, " | "-joined
};

void ExpectParses(const Case& c) {
  SCOPED_TRACE(c.text);
  RecordingTracer tracer;
  parser_state_info state;
  ParseRuleText(c.text, &state);
  EXPECT_EQ(c.rules, DumpRules(state));
  EXPECT_EQ(c.problems, tracer.Problems());
}

TEST(RuleLexerTest, KeywordsAreWholeWordsAndCaseSensitive) {
  const Case kCases[] = {
      {Simple("rules", "none;"), "rules/0 c=100{100:100}", ""},
      {Simple("a-b.c$1", "exec(exec.x);"), "a-b.c$1/0 c=105{150:'exec.x'}", ""},
      {Simple("_$x", "exec(Text2);"), "_$x/0 c=105{150:'Text2'}", ""},
      {Simple("A", "match(\"x\", Headers::all, EXACT);"), "",
       "[parser] - syntax error on line 1: syntax error, unexpected NAME, expecting "
       "STRING_LITERAL or ALL | [parser] - syntax error: invalid match condition | "
       "[parser] - discarding simple rule A because it contains errors"},
      {Simple("A", "match_knn_categ(ANY);"), "",
       "[parser] - syntax error on line 1: syntax error, unexpected NAME, expecting "
       "STRING_LITERAL or ANY | [parser] - syntax error: invalid match KNN category condition | "
       "[parser] - discarding simple rule A because it contains errors"},
      {Simple("A", "match_knn_categ(any);"), "A/0 c=106{160:162}", ""},
      {Simple("A", "exists(Parts::Text);"), "A/0 c=103{130:211}", ""},
      {Simple("A", "is_empty(Headers::\"TO\");"), "A/0 c=104{140:201,202:'TO'}", ""},
      // "1abc" is CONSTANT 1 then NAME abc.
      {"rule A { condition: none; actions: none; metadata: relevance = 1abc; }", "",
       "[parser] - syntax error on line 1: syntax error, unexpected NAME, expecting ';' | "
       "[parser] - invalid metainfo item | "
       "[parser] - discarding simple rule A because it contains errors"},
  };
  for (const Case& c : kCases) ExpectParses(c);
}

TEST(RuleLexerTest, StringLiteralsKeepTheirTextAsWritten) {
  const Case kCases[] = {
      {Simple("A", R"(match("a\"b", Urls::ALL, REGEX);)"),
       R"(A/0 c=102{120:'a\"b',121:220,122:233})", ""},
      {Simple("A", R"(match("x\\y\n", PartHeaders::"X-A", OBFUSCATED);)"),
       R"(A/0 c=102{120:'x\\y\n',121:261,122:232,262:'X-A'})", ""},
      {Simple("A", R"(match("", PartHeaders::ALL, EXACT);)"), "A/0 c=102{120:'',121:260,122:230}",
       ""},
      // A quote with no closing quote on its line is skipped; the rest of the line scans.
      {"\" " + Simple("A", "none;") + Simple("B", "exec(x\");"),
       "A/0 c=100{100:100}; B/0 c=105{150:'x'}", ""},
      {"\"/* a comment\n over two lines */ " + Simple("A", "exec(f);"), "A/0 c=105{150:'f'}", ""},
      {"\"\\\"\\\"\\\" \n" + Simple("A", "match_knn_categ(\"cat\");"),
       "A/0 c=106{160:161,163:'cat'}", ""},
  };
  for (const Case& c : kCases) ExpectParses(c);
}

TEST(RuleLexerTest, ConstantsHaveNoSignAndNoFraction) {
  const Case kCases[] = {
      {"rule A { condition: none; actions: increase_score(SCORE, -5); metadata: none; }",
       "A/0 c=100{100:100} a=1001{1030:'SCORE',1032:5}", ""},
      {"rule A { condition: none; actions: none; metadata: priority = 2147483647; }",
       "A/0 c=100{100:100} m=2003{2050:2147483647}", ""},
      {"rule A { condition: none; actions: none; metadata: priority = 99999999999; }",
       "A/0 c=100{100:100} m=2003{2050:-2147483648}", ""},
      {"rule A { condition: none; actions: none; metadata: relevance = 1.5; }", "",
       "[parser] - syntax error on line 1: syntax error, unexpected CONSTANT, expecting ';' | "
       "[parser] - invalid metainfo item | "
       "[parser] - discarding simple rule A because it contains errors"},
  };
  for (const Case& c : kCases) ExpectParses(c);
}

TEST(RuleLexerTest, CommentsAndLineCounting) {
  const Case kCases[] = {
      {"/* rule X { } */" + Simple("A", "none;") + "/**/ /* * / ** */", "A/0 c=100{100:100}", ""},
      // Line feeds inside comments count.
      {"/*\n\n*/ rule A\n{ condition none; }", "",
       "[parser] - syntax error on line 4: syntax error, unexpected NONE, expecting ':' | "
       "[parser] - invalid body structure - check sections! | "
       "[parser] - discarding simple rule A because it contains errors"},
      // An unclosed comment ends the file; what was committed stays.
      {Simple("A", "none;") + "/* " + Simple("B", "none;"), "A/0 c=100{100:100}",
       "[lexer] - C-style comment not closed before end of file"},
      {Simple("A", "none;") + "rule B { /* ", "A/0 c=100{100:100}",
       "[lexer] - C-style comment not closed before end of file | "
       "[parser] - syntax error on line 2: syntax error, unexpected $end, expecting CONDITION"},
  };
  for (const Case& c : kCases) ExpectParses(c);
}

TEST(RuleParserTest, ExpressionPrecedenceAndAssociativity) {
  const struct {
    const char* expression;
    const char* tree;
  } kCases[] = {
      {"a || b && c", "(|| a (&& b c))"},
      {"a && b || c && d", "(|| (&& a b) (&& c d))"},
      {"a == b != c", "(!= (== a b) c)"},
      {"a || b ||| c", "(||| (|| a b) c)"},
      {"a &&& b && c", "(&& (&&& a b) c)"},
      {"a && b == c", "(&& a (== b c))"},
      {"!a && b", "(&& (! a) b)"},
      {"!(!x)", "(! (! x))"},
      {"(a || b) && true", "(&& (|| a b) true)"},
      {"false", "false"},
  };
  for (const auto& c : kCases) {
    ExpectParses({Meta("M", std::string(c.expression) + ";"),
                  std::string("M/1 c=101{250:") + c.tree + "}", ""});
  }
  ExpectParses({Meta("M", "!!x;"), "",
                "[parser] - syntax error on line 1: syntax error, unexpected NOT_OP, expecting "
                "NAME or TRUE or FALSE or '(' | "
                "[parser] - invalid condition expression - check your syntax! | "
                "[parser] - discarding meta-rule M because it contains errors"});
  ExpectParses({Meta("M", "none;"), "M/1 c=100{100:100}", ""});
}

TEST(RuleParserTest, EveryConstructRecordsItsItems) {
  const Case kCases[] = {
      {Simple("A", R"(match("w", Headers::"SUBJECT", EXACT_INSENSITIVE);)"),
       "A/0 c=102{120:'w',121:201,122:231,202:'SUBJECT'}", ""},
      {Simple("A", R"(match("w", Parts::TextHTML, REGEX_INSENSITIVE, DECODED);)"),
       "A/0 c=102{120:'w',121:213,122:234,123:241}", ""},
      {Simple("A", "score_greater_than(SCORE, LIMIT);"), "A/0 c=107{170:'SCORE',171:'LIMIT'}", ""},
      {"rule A { condition: score_greater_than(S, 10); actions: set_category(\"spam\"); "
       "exec(f); add_header(\"X-A\", \"v $(RuleName)\"); add_to_header(H, \"w\"); "
       "mark(CAT, N); increase_score(T, V); metadata: enabled = false; comment = \"c\"; }",
       "A/0 c=107{170:'S',172:10} a=1000{1021:'spam'} a=1003{1050:'f'} "
       "a=1004{1060:'X-A',1062:'v $(RuleName)'} a=1005{1061:'H',1062:'w'} "
       "a=1002{1040:'CAT',1042:'N'} a=1001{1030:'T',1031:'V'} m=2000{2020:0} m=2002{2040:'c'}",
       ""},
      // "actions:" followed directly by "metadata:" is an empty actions section.
      {"rule A { condition: none; actions: metadata: enabled = true; relevance = 3; }",
       "A/0 c=100{100:100} m=2000{2020:1} m=2001{2030:3}", ""},
  };
  for (const Case& c : kCases) ExpectParses(c);
}

TEST(RuleParserTest, RepeatedActionsMergeIntoOneItem) {
  const Case kCases[] = {
      {"rule A { condition: none; actions: mark(\"spam\", 10); mark(\"ham\", 20); "
       "metadata: none; }",
       "A/0 c=100{100:100} a=1002{1041:'ham',1043:20}", ""},
      {"rule A { condition: none; actions: increase_score(SCORE, 10); "
       "increase_score(SCORE, 10); metadata: priority = 1; priority = 2; }",
       "A/0 c=100{100:100} a=1001{1030:'SCORE',1032:10} m=2003{2050:2}", ""},
      // Both forms of set_category land in one item; the factory refuses it later.
      {"rule A { condition: none; actions: set_category(\"x\"); set_category(Y); "
       "metadata: none; }",
       "A/0 c=100{100:100} a=1000{1020:'Y',1021:'x'}", ""},
  };
  for (const Case& c : kCases) ExpectParses(c);
}

// Each error alternative traces its own line and discards only the rule it is in.
TEST(RuleParserTest, ErrorAlternativesDiscardOnlyTheBrokenRule) {
  const std::string kBefore = Simple("A", "none;");
  const std::string kAfter = Simple("C", "none;");
  const struct {
    std::string broken;
    std::string problems;
  } kCases[] = {
      {"rule B { garbage }",
       "syntax error, unexpected NAME, expecting CONDITION | "
       "[parser] - invalid body structure - check sections!"},
      {Meta("B", "a b;"),
       "syntax error, unexpected NAME, expecting ';' | "
       "[parser] - invalid condition expression - check your syntax!"},
      {Simple("B", "frob;"), "syntax error, unexpected NAME | [parser] - invalid condition"},
      {Simple("B", "score_greater_than(S, \"x\");"),
       "syntax error, unexpected STRING_LITERAL, expecting NAME or CONSTANT | "
       "[parser] - invalid condition"},
      {Simple("B", "match(\"x\", Urls::ALL);"),
       "syntax error, unexpected ')', expecting ',' | "
       "[parser] - syntax error: invalid match condition"},
      {Simple("B", "exists(Headers::ALL);"),
       "syntax error, unexpected ALL, expecting STRING_LITERAL | "
       "[parser] - syntax error: invalid exists condition"},
      {Simple("B", "is_empty(Urls::ALL);"),
       "syntax error, unexpected URLS, expecting "
       "HEADERS or PARTS | "
       "[parser] - syntax error: invalid is_empty condition"},
      {Simple("B", "exec(\"f\");"),
       "syntax error, unexpected STRING_LITERAL, expecting NAME | "
       "[parser] - syntax error: invalid execute condition"},
      {"rule B { condition: none; actions: exec(1); metadata: none; }",
       "syntax error, unexpected CONSTANT, expecting NAME | "
       "[parser] - syntax error: invalid execute condition"},
      {Simple("B", "match_knn_categ(1);"),
       "syntax error, unexpected CONSTANT, expecting STRING_LITERAL or ANY | "
       "[parser] - syntax error: invalid match KNN category condition"},
      {"rule B { condition: none; actions: set_category(1); metadata: none; }",
       "syntax error, unexpected CONSTANT, expecting NAME or STRING_LITERAL | "
       "[parser] - syntax error: invalid set_category action"},
      {"rule B { condition: none; actions: increase_score(S); metadata: none; }",
       "syntax error, unexpected ')', expecting ',' | "
       "[parser] - syntax error: invalid increase_score action"},
      {"rule B { condition: none; actions: mark(\"x\"); metadata: none; }",
       "syntax error, unexpected ')', expecting ',' | "
       "[parser] - syntax error: invalid mark action"},
      {"rule B { condition: none; actions: add_header(\"X\", V); metadata: none; }",
       "syntax error, unexpected NAME, expecting STRING_LITERAL | "
       "[parser] - syntax error: invalid add header action"},
      {"rule B { condition: none; actions: add_to_header(); metadata: none; }",
       "syntax error, unexpected ')', expecting NAME or STRING_LITERAL | "
       "[parser] - syntax error: invalid add to header action"},
      {"rule B { condition: none; actions: frob; metadata: none; }",
       "syntax error, unexpected NAME | [parser] - invalid action item"},
      {"rule B { condition: none; actions: none; metadata: enabled = 1; }",
       "syntax error, unexpected CONSTANT, expecting TRUE or FALSE | "
       "[parser] - invalid metainfo item"},
  };
  for (const auto& c : kCases) {
    const bool is_meta = c.broken.rfind("metarule", 0) == 0;
    ExpectParses({kBefore + c.broken + "\n" + kAfter, "A/0 c=100{100:100}; C/0 c=100{100:100}",
                  "[parser] - syntax error on line 2: " + c.problems + " | [parser] - discarding " +
                      (is_meta ? "meta-rule" : "simple rule") + " B because it contains errors"});
  }
}

TEST(RuleParserTest, RecoveryBetweenRulesAndAtTheEnd) {
  const Case kCases[] = {
      {"junk " + Simple("A", "none;"), "A/0 c=100{100:100}",
       "[parser] - syntax error on line 1: syntax error, unexpected NAME, expecting $end or RULE "
       "or METARULE | [parser] - input error: text outside rules?"},
      {"rule A condition", "",
       "[parser] - syntax error on line 1: syntax error, unexpected CONDITION, expecting '{' | "
       "[parser] - input error: text outside rules?"},
      // The input ends inside a body: that rule is not committed.
      {Simple("A", "none;") + "rule B { condition: none;", "A/0 c=100{100:100}",
       "[parser] - syntax error on line 2: syntax error, unexpected $end, expecting ACTIONS"},
      // Errors within three tokens of the last one are not reported again.
      {Simple("A", "match(1 2 3 4);"), "",
       "[parser] - syntax error on line 1: syntax error, unexpected CONSTANT, expecting "
       "STRING_LITERAL | [parser] - syntax error: invalid match condition | "
       "[parser] - discarding simple rule A because it contains errors"},
      {"rule A { condition: frob; actions: frob; metadata: frob; }", "",
       "[parser] - syntax error on line 1: syntax error, unexpected NAME | "
       "[parser] - invalid condition | "
       "[parser] - syntax error on line 1: syntax error, unexpected NAME | "
       "[parser] - invalid action item | "
       "[parser] - syntax error on line 1: syntax error, unexpected NAME | "
       "[parser] - invalid metainfo item | "
       "[parser] - discarding simple rule A because it contains errors"},
  };
  for (const Case& c : kCases) ExpectParses(c);
}

TEST(RuleParserTest, LaterRuleOfTheSameNameWins) {
  ExpectParses({Simple("A", "exec(first);") + Simple("A", "exec(second);"),
                "A/0 c=105{150:'second'}",
                "[parser] - warning: A - a rule with the same name already exists | "
                "[parser] - warning: previous rule will be discarded and replaced with the new "
                "one"});
}

TEST(RuleParserTest, MessagesCarryTheirLines) {
  RecordingTracer tracer;
  parser_state_info state;
  ParseRuleText(Simple("A", "none;") + "\n" + Simple("A", "frob;") + "/*", &state);
  std::string dump;
  for (const RuleFileMessage& m : state.get_messages()) {
    dump += std::to_string(m.line) + ":" + std::to_string(m.column) + " " +
            (m.source == RuleFileMessage::kLexer ? "lexer " : "") + m.text + "\n";
  }
  EXPECT_EQ(
      "3:21 syntax error, unexpected NAME\n"
      "3:25 invalid condition\n"
      "3:58 discarding simple rule A because it contains errors\n"
      "4:1 lexer C-style comment not closed before end of file\n",
      dump);
}

TEST(RuleParserTest, ParserStackLimit) {
  const struct {
    int depth;
    bool is_exhausted;
  } kCases[] = {{9000, false}, {10000, true}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.depth);
    RecordingTracer tracer;
    parser_state_info state;
    const std::string text =
        Meta("M", std::string(c.depth, '(') + "a" + std::string(c.depth, ')') + ";");
    const RuleParseStatus status = ParseRuleText(text, &state);
    EXPECT_EQ(c.is_exhausted ? RuleParseStatus::kStackExhausted : RuleParseStatus::kAccepted,
              status);
    EXPECT_EQ(c.is_exhausted ? 0u : 1u, state.get_rules().GetCount());
    EXPECT_EQ(c.is_exhausted ? "[parser] - syntax error on line 1: memory exhausted" : "",
              tracer.Problems());
  }
}

TEST(RuleParserTest, LongOperatorChainsParseWithoutRecursion) {
  std::string chain = "r0";
  for (int i = 1; i < 200000; ++i) chain += " || r" + std::to_string(i);
  RecordingTracer tracer;
  parser_state_info state;
  EXPECT_EQ(RuleParseStatus::kAccepted, ParseRuleText(Meta("M", chain + ";"), &state));
  EXPECT_EQ(1u, state.get_rules().GetCount());
}

TEST(RuleParserTest, UnreadableFileIsReported) {
  RecordingTracer tracer;
  parser_state_info state;
  EXPECT_EQ(RuleParseStatus::kReadFailed, ParseRuleFile("/nonexistent/x.slf", &state));
  ASSERT_EQ(1u, state.get_messages().size());
  EXPECT_EQ("cannot read rule file /nonexistent/x.slf", state.get_messages()[0].text);
}

}  // namespace
