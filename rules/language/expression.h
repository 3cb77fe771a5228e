// The expression tree of a meta-rule's condition. The parser builds the nodes (their rule
// names point into the parsed rule's token buffers); the expression condition owns a deep
// copy whose names it owns too. Trees come from rule files and may be deep (a chain of
// 100000 "||" is one left-leaning path), so copying uses an explicit stack and destroying
// rotates the tree in place; neither recurses. Not thread-safe while being built;
// read-only afterwards.
#ifndef RULES_LANGUAGE_EXPRESSION_H_
#define RULES_LANGUAGE_EXPRESSION_H_

#include <cstdint>

// Operator codes of expr_t::op.
enum : int32_t {
  OP_OR = 1,
  OP_ALL_OR = 2,
  OP_AND = 3,
  OP_ALL_AND = 4,
  OP_EQ = 5,
  OP_NE = 6,
  OP_NOT = 7,
};

// Leaf kinds of expr_t::leaf_type.
enum : int32_t {
  LEAF_BOOLEAN = 1,
  LEAF_RULE_NAME = 2,
};

// One node: a leaf (a boolean constant or a rule name) or an operator over one (NOT) or
// two operands.
struct expr_t {
  int32_t is_leaf = 0;
  int32_t leaf_type = 0;
  union {
    int32_t boolean;   // LEAF_BOOLEAN: 1 or 0
    const char* name;  // LEAF_RULE_NAME: NUL-terminated rule name
  } value = {0};
  int32_t op = 0;
  expr_t* parent = nullptr;
  expr_t* operand[2] = {nullptr, nullptr};
  // LEAF_RULE_NAME: the rule engine's handle for the named rule, found once when the
  // expression is initialised so that running it needs no name lookup; null until then.
  // Not copied with the tree.
  void* resolved = nullptr;
};

// Deletes root and every node below it; with free_names also the rule-name texts, which
// must then have been allocated with new char[]. Null does nothing. Never throws.
void DestroyExpressionTree(expr_t* root, bool free_names);

// A deep copy of the tree under root whose rule names are fresh new char[] copies (destroy
// it with free_names true). Null gives null; throws std::bad_alloc and leaves nothing
// behind when memory runs out.
expr_t* CopyExpressionTree(const expr_t* root);

#endif  // RULES_LANGUAGE_EXPRESSION_H_
