// Parsing one rule file (".slf") into a map of parsed rules. The scanner is reentrant and
// the parser pure: every parse owns its whole state, so several files may be parsed at
// once on different threads, each with its own parser_state_info.
//
//   parser_state_info state;
//   ParseRuleFile("spam.slf", &state);
//   for each entry of state.get_rules(): CRule::Create(entry value) ...
//
// Every problem the parser or the scanner meets is traced ("[parser] - ...",
// "[lexer] - ...") and also kept in get_messages() with its line, so a caller can print
// "FILE:LINE: message" for each.
#ifndef RULES_LANGUAGE_RULE_PARSER_H_
#define RULES_LANGUAGE_RULE_PARSER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "emlbreaker/map.h"
#include "emlbreaker/strings.h"
#include "rules/language/expression.h"
#include "rules/language/rule_items.h"

// One message of a parse, as traced but without the "[parser] - " or "[lexer] - " prefix
// (and, for a syntax error, without its "syntax error on line N: " lead).
struct RuleFileMessage {
  enum Source { kParser, kLexer };
  Source source;
  int line;    // 1-based line counter when the message was made
  int column;  // 1-based column of the token in hand, 0 when unknown
  std::string text;
};

// What became of one parse. Whatever was committed before the end stays in the rules map
// whatever the status; the rule engine does not look at it.
enum class RuleParseStatus {
  kAccepted,        // the whole input was read
  kAborted,         // a syntax error could not be recovered (end of input inside a rule)
  kStackExhausted,  // nesting beyond kMaxParserStack; "memory exhausted" was reported
  kReadFailed,      // the file could not be opened or read
  kFailed,          // memory ran out or the scanner failed; the parse stopped there
};

// The parser's stack starts at kInitialParserStack entries and doubles up to
// kMaxParserStack; deeper nesting ends the parse with "memory exhausted".
constexpr int kInitialParserStack = 200;
constexpr int kMaxParserStack = 10000;

// The state of one parse: the rules committed so far, the rule being parsed, the
// expression nodes made since that rule began, and the messages. Owns every rule and node
// it holds. Not thread-safe; one per parse.
class parser_state_info {
 public:
  parser_state_info();
  parser_state_info(const parser_state_info&) = delete;
  parser_state_info& operator=(const parser_state_info&) = delete;
  ~parser_state_info();

  // Operations on the rule being parsed. Each throws ASException "%s - no current rule"
  // when there is none (only after a failed allocation) and ASMemException when memory
  // runs out.
  void set_current_rule_name(const char* name);
  void set_current_rule_type(int32_t type);
  void set_current_rule_line(int32_t line);
  void add_to_current_rule(uint32_t generic_type, uint32_t specific_type, uint32_t key,
                           const item_value* value);
  void register_buffer(char* text);

  // Moves the current rule into the map (replacing one of the same name, with a warning)
  // and starts a fresh one; the committed rule now owns the expression nodes. With a
  // commit listener, the listener sees the rule once it is in the map.
  void commit_current_rule();

  // Told of every rule as it is committed, while its items are still in cache: the rule
  // engine builds its loaded rule there and lets the items go. Building from the finished
  // map instead meant two passes over a whole file's worth of cold parse items, so a large
  // file took longer per rule than a small one.
  class CommitListener {
   public:
    virtual ~CommitListener() = default;
    virtual void OnRuleCommitted(rule& committed) = 0;
  };
  void set_commit_listener(CommitListener* listener) { commit_listener = listener; }

  // Discards the current rule with its items, texts and expression nodes.
  void reset_current_rule();
  // Discards everything: the current rule, the committed rules and the nodes.
  void reset();

  // Remembers a node made for the current rule, so a discarded rule frees it.
  void add_expression(expr_t* node);

  uint8_t get_error_flag() const { return error_flag; }
  void set_error_flag() { error_flag = 1; }

  // Committed rules by name; the state keeps owning them.
  const ascommon::CMap<ascommon::sstring, rule*>& get_rules() const { return *rules; }
  const std::vector<RuleFileMessage>& get_messages() const { return messages; }
  void add_message(RuleFileMessage message) { messages.push_back(std::move(message)); }
  // Where the messages of the next commit (duplicate-name warnings) are placed.
  void set_message_position(int line, int column) {
    message_line = line;
    message_column = column;
  }

 private:
  static constexpr uint32_t kRuleBuckets = 1499;

  rule* CurrentRule(const char* where);
  // A fresh current rule; when memory runs out, throws the memory exception naming
  // `where`, the operation that needed it.
  void NewCurrentRule(const char* where);
  void DestroyExpressions();
  void DestroyRules();

  uint8_t error_flag = 0;
  // Held by pointer because a CMap cannot be emptied in place; reset() makes a new one.
  std::unique_ptr<ascommon::CMap<ascommon::sstring, rule*>> rules;
  rule* current_rule = nullptr;
  // A vector, not a growth-16 CArray: one expression may hold millions of nodes, and a
  // CArray's fixed-step growth would copy them n^2/16 times.
  std::vector<expr_t*> expressions;
  std::vector<RuleFileMessage> messages;
  CommitListener* commit_listener = nullptr;
  int message_line = 0;
  int message_column = 0;
};

// Parses text as one rule file into state, with the line counter starting at 1.
RuleParseStatus ParseRuleText(std::string_view text, parser_state_info* state);

// Reads the file at path and parses it as ParseRuleText does. A file that cannot be read
// gives kReadFailed and adds a message (line 0) saying so.
RuleParseStatus ParseRuleFile(const char* path, parser_state_info* state);

#endif  // RULES_LANGUAGE_RULE_PARSER_H_
