// What the generated scanner (rule_lexer.l) and parser (rule_grammar.y) call: every
// grammar action and every value-carrying token is one call on the RuleBuilder of the
// parse. Only those two files and rule_parser.cc include this header.
#ifndef RULES_LANGUAGE_RULE_PARSER_INTERNAL_H_
#define RULES_LANGUAGE_RULE_PARSER_INTERNAL_H_

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "rules/language/expression.h"
#include "rules/language/rule_parser.h"
#include "rules/language/rule_vocabulary.h"

// Thrown by the scanner when it cannot go on (no memory, a read error); the parse entry
// catches it and ends that parse only.
class RuleScannerFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The recording steps of the grammar and the scanner's bookkeeping for one parse: the
// line counter, the token texts and the messages. Borrows the parser_state_info, which
// must outlive it. One per parse; not thread-safe.
class RuleBuilder {
 public:
  explicit RuleBuilder(parser_state_info* state) : state_(state) {}

  // --- scanner side
  // A new copy of a token's text, owned by the current rule.
  char* TokenText(const char* text, size_t length);
  // A CONSTANT's digits as a double truncated to 32 bits.
  static int32_t Constant(const char* digits);
  void LineFeed() {
    ++line_;
    column_ = 1;
  }
  // Advances the column over a matched token and answers where the token began.
  int StartToken(size_t length) {
    token_column_ = column_;
    column_ += static_cast<int>(length);
    return token_column_;
  }
  void BackUp(size_t length) { column_ -= static_cast<int>(length); }
  void CommentNotClosed();
  void ScannerFailed(const char* reason);
  int line() const { return line_; }
  // Set from an unclosed double quote to the end of its line: no string can start there.
  bool quote_free_line = false;

  // --- parser side
  // Records one parameter unless the current rule has seen an error.
  void RecordInt(uint32_t generic, uint32_t specific, uint32_t key, int32_t value);
  void RecordText(uint32_t generic, uint32_t specific, uint32_t key, const char* text);
  void RecordExpression(expr_t* root);
  // A place (where value) under key, and for the named forms then the name under name_key.
  void RecordNamedPlace(uint32_t specific, uint32_t key, uint32_t where, uint32_t name_key,
                        const char* name);
  void RecordKnnCategory(const char* category);

  // Expression nodes; built even after an error, so recovery never meets a null operand.
  expr_t* NewBooleanLeaf(int32_t value);
  expr_t* NewNameLeaf(const char* name);
  expr_t* NewOperator(int32_t op, expr_t* left, expr_t* right);

  // The closing brace of a rule: commit it, or discard it when it saw an error.
  // name_line is the line the rule's name stands on, kept with the rule for reports.
  void FinishRule(int32_t type, const char* name, int name_line);
  // An error alternative was reduced: trace its line and mark the rule broken.
  void ErrorAlternative(const char* what);
  // The error token was taken between rules.
  void InputError();
  // The parser's message for a token it cannot accept.
  void SyntaxError(const char* message);

 private:
  void Trace(RuleFileMessage::Source source, std::string text);

  parser_state_info* state_;
  int line_ = 1;
  int column_ = 1;
  int token_column_ = 0;
  bool is_input_error_traced_ = false;
};

#endif  // RULES_LANGUAGE_RULE_PARSER_INTERNAL_H_
