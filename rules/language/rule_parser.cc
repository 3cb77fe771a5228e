// parser_state_info and the parse entry points, which drive the generated scanner
// (rule_lexer.l) and parser (rule_grammar.y).
#include "rules/language/rule_parser.h"

#include <climits>
#include <cstdio>
#include <new>
#include <string>
#include <utility>

#include "emlbreaker/exceptions.h"
#include "emlbreaker/trace.h"
#include "rules/language/rule_parser_internal.h"
// Generated in the build tree.
#include "rule_grammar.h"
#define YYSTYPE RULE_YYSTYPE
#define YYLTYPE RULE_YYLTYPE
#include "rule_lexer.h"

using ascommon::CMap;
using ascommon::sstring;

namespace {

std::unique_ptr<CMap<sstring, rule*>> NewRuleMap(uint32_t buckets) {
  try {
    return std::make_unique<CMap<sstring, rule*>>(buckets, nullptr);
  } catch (const std::bad_alloc&) {
    throw ASMemException("%s - memory problems", "parser_state_info::parser_state_info");
  }
}

}  // namespace

parser_state_info::parser_state_info() : rules(NewRuleMap(kRuleBuckets)) {
  NewCurrentRule("parser_state_info::parser_state_info");
}

parser_state_info::~parser_state_info() {
  delete current_rule;
  DestroyRules();
  DestroyExpressions();
}

rule* parser_state_info::CurrentRule(const char* where) {
  if (current_rule == nullptr) throw ASException("%s - no current rule", where);
  return current_rule;
}

void parser_state_info::NewCurrentRule(const char* where) {
  current_rule = new (std::nothrow) rule;
  if (current_rule == nullptr) throw ASMemException("%s - memory problems", where);
}

void parser_state_info::DestroyExpressions() {
  // Every node of the current rule is listed once, operator nodes and leaves alike; the
  // names belong to the rule's texts.
  for (expr_t* node : expressions) delete node;
  expressions.clear();
}

void parser_state_info::DestroyRules() {
  const uint32_t count = rules->GetCount();
  if (count == 0) return;
  auto position = rules->GetStartPosition();
  for (uint32_t i = 0; i < count; ++i) {
    delete position.Value();
    position.Value() = nullptr;
    if (i + 1 < count) position.Next();
  }
}

void parser_state_info::set_current_rule_name(const char* name) {
  CurrentRule("parser_state_info::set_current_rule_name")->set_name(name);
}

void parser_state_info::set_current_rule_type(int32_t type) {
  CurrentRule("parser_state_info::set_current_rule_type")->set_type(type);
}

void parser_state_info::set_current_rule_line(int32_t line) {
  CurrentRule("parser_state_info::set_current_rule_line")->set_line(line);
}

void parser_state_info::add_to_current_rule(uint32_t generic_type, uint32_t specific_type,
                                            uint32_t key, const item_value* value) {
  CurrentRule("parser_state_info::add_to_current_rule")
      ->set_value(generic_type, specific_type, key, value);
}

void parser_state_info::register_buffer(char* text) {
  if (current_rule == nullptr) {
    delete[] text;
    throw ASException("%s - no current rule", "parser_state_info::register_buffer");
  }
  current_rule->register_buffer(text);
}

void parser_state_info::add_expression(expr_t* node) {
  try {
    expressions.push_back(node);
  } catch (const std::bad_alloc&) {
    delete node;
    throw ASMemException("%s - memory problems", "parser_state_info::add_expression");
  }
}

void parser_state_info::commit_current_rule() {
  static const char kWhere[] = "parser_state_info::commit_current_rule";
  rule* committed = CurrentRule(kWhere);
  const sstring& name = committed->get_name();
  if (rule** previous = rules->Lookup(name)) {
    const std::string duplicate =
        std::string("warning: ") + name.c_str() + " - a rule with the same name already exists";
    const std::string replaced =
        "warning: previous rule will be discarded and replaced with the new one";
    for (const std::string* line : {&duplicate, &replaced}) {
      GetDebugTrace()->Trace("[parser] - %s", line->c_str());
      add_message(RuleFileMessage{RuleFileMessage::kParser, message_line, message_column, *line});
    }
    delete *previous;
    rules->Remove(name);
  }
  if (rules->Insert(name, committed) != 0) throw ASMemException("%s - memory problems", kWhere);
  expressions.clear();  // the committed rule's condition owns the tree now
  current_rule = nullptr;
  NewCurrentRule(kWhere);
  error_flag = 0;
  if (commit_listener != nullptr) commit_listener->OnRuleCommitted(*committed);
}

void parser_state_info::reset_current_rule() {
  error_flag = 0;
  DestroyExpressions();
  delete current_rule;
  current_rule = nullptr;
  NewCurrentRule("parser_state_info::reset_current_rule");
}

void parser_state_info::reset() {
  error_flag = 0;
  delete current_rule;
  current_rule = nullptr;
  DestroyRules();
  DestroyExpressions();
  rules = NewRuleMap(kRuleBuckets);
  NewCurrentRule("parser_state_info::reset");
}

namespace {

// Owns one scanner.
class Scanner {
 public:
  explicit Scanner(RuleBuilder* builder) {
    if (rule_yylex_init_extra(builder, &scanner_) != 0) scanner_ = nullptr;
  }
  Scanner(const Scanner&) = delete;
  Scanner& operator=(const Scanner&) = delete;
  ~Scanner() {
    if (scanner_ != nullptr) rule_yylex_destroy(scanner_);
  }
  yyscan_t get() const { return scanner_; }

 private:
  yyscan_t scanner_ = nullptr;
};

RuleParseStatus Run(std::string_view text, RuleBuilder* builder) {
  // flex counts buffer sizes in int.
  if (text.size() > static_cast<size_t>(INT_MAX - 2)) {
    builder->ScannerFailed("rule file too large");
    return RuleParseStatus::kFailed;
  }
  Scanner scanner(builder);
  if (scanner.get() == nullptr) {
    builder->ScannerFailed("could not create the scanner");
    return RuleParseStatus::kFailed;
  }
  rule_yy_scan_bytes(text.data(), static_cast<int>(text.size()), scanner.get());
  switch (rule_yyparse(scanner.get(), builder)) {
    case 0:
      return RuleParseStatus::kAccepted;
    case 1:
      return RuleParseStatus::kAborted;
    default:
      return RuleParseStatus::kStackExhausted;
  }
}

}  // namespace

RuleParseStatus ParseRuleText(std::string_view text, parser_state_info* state) {
  RuleBuilder builder(state);
  RuleParseStatus status;
  try {
    status = Run(text, &builder);
  } catch (const RuleScannerFailure& failure) {
    builder.ScannerFailed(failure.what());
    status = RuleParseStatus::kFailed;
  } catch (const std::bad_alloc&) {
    builder.ScannerFailed("memory problems");
    status = RuleParseStatus::kFailed;
  } catch (const ASException& failure) {
    // Already traced by the exception itself; keep it with the messages.
    state->add_message(
        RuleFileMessage{RuleFileMessage::kParser, builder.line(), 0, failure.what()});
    status = RuleParseStatus::kFailed;
  }
  // A rule the input ended inside of is not committed.
  state->reset_current_rule();
  return status;
}

RuleParseStatus ParseRuleFile(const char* path, parser_state_info* state) {
  std::string text;
  bool is_read = false;
  if (FILE* file = std::fopen(path, "rb")) {
    char block[65536];
    size_t got;
    while ((got = std::fread(block, 1, sizeof(block), file)) > 0) text.append(block, got);
    is_read = std::ferror(file) == 0;
    std::fclose(file);
  }
  if (!is_read) {
    const std::string message = std::string("cannot read rule file ") + path;
    GetDebugTrace()->Trace("[lexer] - %s", message.c_str());
    state->add_message(RuleFileMessage{RuleFileMessage::kLexer, 0, 0, message});
    return RuleParseStatus::kReadFailed;
  }
  return ParseRuleText(text, state);
}
