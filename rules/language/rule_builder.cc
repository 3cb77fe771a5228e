// The recording steps of the rule grammar and the scanner's bookkeeping (RuleBuilder).
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "emlbreaker/exceptions.h"
#include "emlbreaker/trace.h"
#include "rules/language/rule_parser_internal.h"

char* RuleBuilder::TokenText(const char* text, size_t length) {
  char* copy = new char[length + 1];
  std::memcpy(copy, text, length);
  copy[length] = '\0';
  state_->register_buffer(copy);  // frees copy itself when it cannot keep it
  return copy;
}

int32_t RuleBuilder::Constant(const char* digits) {
  const double value = std::strtod(digits, nullptr);
  // Digits only, so value is never negative. Beyond 32 bits the truncation yields the
  // x86 "integer indefinite" value, as a hardware conversion would; it is spelled out
  // because the C++ conversion of an out-of-range double is undefined.
  if (!(value < 2147483648.0)) return INT32_MIN;
  return static_cast<int32_t>(value);
}

void RuleBuilder::Trace(RuleFileMessage::Source source, std::string text) {
  GetDebugTrace()->Trace(source == RuleFileMessage::kLexer ? "[lexer] - %s" : "[parser] - %s",
                         text.c_str());
  state_->add_message(RuleFileMessage{source, line_, token_column_, std::move(text)});
}

void RuleBuilder::CommentNotClosed() {
  Trace(RuleFileMessage::kLexer, "C-style comment not closed before end of file");
}

void RuleBuilder::ScannerFailed(const char* reason) { Trace(RuleFileMessage::kLexer, reason); }

void RuleBuilder::RecordInt(uint32_t generic, uint32_t specific, uint32_t key, int32_t value) {
  if (state_->get_error_flag() == 1) return;
  const item_value slot = IntItemValue(value);
  state_->add_to_current_rule(generic, specific, key, &slot);
}

void RuleBuilder::RecordText(uint32_t generic, uint32_t specific, uint32_t key, const char* text) {
  if (state_->get_error_flag() == 1) return;
  const item_value slot = PointerItemValue(text);
  state_->add_to_current_rule(generic, specific, key, &slot);
}

void RuleBuilder::RecordExpression(expr_t* root) {
  if (state_->get_error_flag() == 1) return;
  const item_value slot = PointerItemValue(root);
  state_->add_to_current_rule(GENERIC_CONDITION, COND_EXPR, P_EXPR, &slot);
}

void RuleBuilder::RecordNamedPlace(uint32_t specific, uint32_t key, uint32_t where,
                                   uint32_t name_key, const char* name) {
  RecordInt(GENERIC_CONDITION, specific, key, static_cast<int32_t>(where));
  RecordText(GENERIC_CONDITION, specific, name_key, name);
}

void RuleBuilder::RecordKnnCategory(const char* category) {
  RecordInt(GENERIC_CONDITION, COND_KNN_CATEG, P_KNN_MODE, KNN_GIVEN);
  RecordText(GENERIC_CONDITION, COND_KNN_CATEG, P_KNN_CATEGORY, category);
}

expr_t* RuleBuilder::NewBooleanLeaf(int32_t value) {
  expr_t* node = new expr_t;
  node->is_leaf = 1;
  node->leaf_type = LEAF_BOOLEAN;
  node->value.boolean = value;
  state_->add_expression(node);
  return node;
}

expr_t* RuleBuilder::NewNameLeaf(const char* name) {
  expr_t* node = new expr_t;
  node->is_leaf = 1;
  node->leaf_type = LEAF_RULE_NAME;
  node->value.name = name;
  state_->add_expression(node);
  return node;
}

expr_t* RuleBuilder::NewOperator(int32_t op, expr_t* left, expr_t* right) {
  expr_t* node = new expr_t;
  node->op = op;
  node->operand[0] = left;
  node->operand[1] = right;
  state_->add_expression(node);
  if (left != nullptr) left->parent = node;
  if (right != nullptr) right->parent = node;
  return node;
}

void RuleBuilder::FinishRule(int32_t type, const char* name, int name_line) {
  is_input_error_traced_ = false;
  const bool is_meta = type == RULE_TYPE_META;
  state_->set_message_position(line_, token_column_);
  if (state_->get_error_flag() != 1) {
    state_->set_current_rule_name(name);
    state_->set_current_rule_type(type);
    state_->set_current_rule_line(name_line);
    GetDebugTrace()->Trace(
        is_meta ? "[parser] - committing meta-rule %s" : "[parser] - committing simple rule %s",
        name);
    state_->commit_current_rule();
    return;
  }
  // The name is one of the rule's own texts: use it before the rule goes.
  Trace(RuleFileMessage::kParser,
        std::string(is_meta ? "discarding meta-rule " : "discarding simple rule ") + name +
            " because it contains errors");
  state_->reset_current_rule();
}

void RuleBuilder::ErrorAlternative(const char* what) {
  Trace(RuleFileMessage::kParser, what);
  state_->set_error_flag();
}

void RuleBuilder::InputError() {
  // Every token discarded while recovering between rules sends the parser back through
  // the error token, and so through this step: trace the recovery once.
  if (is_input_error_traced_) return;
  is_input_error_traced_ = true;
  Trace(RuleFileMessage::kParser, "input error: text outside rules?");
}

void RuleBuilder::SyntaxError(const char* message) {
  is_input_error_traced_ = false;
  GetDebugTrace()->Trace("[parser] - syntax error on line %d: %s", line_, message);
  state_->add_message(RuleFileMessage{RuleFileMessage::kParser, line_, token_column_, message});
}
