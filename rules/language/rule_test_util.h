// Helpers shared by the rule-language tests: a tracer that keeps every line, and compact
// dumps of parsed rules ("A/0 c=102{120:'x',121:200,122:230} a=1002{1041:'spam',1043:10}").
#ifndef RULES_LANGUAGE_RULE_TEST_UTIL_H_
#define RULES_LANGUAGE_RULE_TEST_UTIL_H_

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "emlbreaker/trace.h"
#include "rules/language/rule_parser.h"

namespace rules_testing {

// Installs itself as the process-wide tracer for its lifetime and keeps every line.
class RecordingTracer : public CADebugTrace {
 public:
  RecordingTracer() : saved_(GetDebugTrace()) { GetDebugTrace() = this; }
  ~RecordingTracer() override { GetDebugTrace() = saved_; }
  void SetLevel(uint16_t) override {}
  void Print(const char*, ...) override {}
  void Flush() override {}
  void Trace(const char* format, ...) override {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string line(static_cast<size_t>(length > 0 ? length : 0), '\0');
    vsnprintf(line.data(), line.size() + 1, format, args);
    va_end(args);
    lines.push_back(std::move(line));
  }
  // The lines without the "committing" ones, joined by " | ".
  std::string Problems() const;

  std::vector<std::string> lines;

 private:
  CADebugTrace* saved_;
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
