// Helpers shared by the rule-language tests: a tracer that keeps every line, and compact
// dumps of parsed rules ("A/0 c=102{120:'x',121:200,122:230} a=1002{1041:'spam',1043:10}").
#ifndef RULES_LANGUAGE_RULE_TEST_UTIL_H_
#define RULES_LANGUAGE_RULE_TEST_UTIL_H_

#include <string>

#include "framework/base/testing/recording_tracer.h"
#include "rules/language/rule_parser.h"

namespace rules_testing {

// The process tracer's lines while it lives (emlbtest::RecordingTracer), and what the
// parser complained of.
class RecordingTracer : public emlbtest::RecordingTracer {
 public:
  // The lines without the "committing" ones, joined by " | ".
  std::string Problems() const;
};

// An expression as an s-expression: "(|| a (&& b true))".
std::string DumpExpression(const expr_t* node);
// One item black box: "specific{key:value,...}" with texts quoted.
std::string DumpItem(const ascommon::CBlackBox* item);
// One parsed rule: "name/type c=... a=... m=...".
std::string DumpRule(const rule& parsed);
// Every committed rule, by name order, joined by "; ".
std::string DumpRules(const parser_state_info& state);

}  // namespace rules_testing

#endif  // RULES_LANGUAGE_RULE_TEST_UTIL_H_
