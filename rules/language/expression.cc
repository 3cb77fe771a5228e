#include "rules/language/expression.h"

#include <cstring>
#include <utility>
#include <vector>

void DestroyExpressionTree(expr_t* root, bool free_names) {
  // Rotate every left operand up into its parent's right side until the node has none,
  // then free it and go right: linear time, no stack, nothing that can fail.
  expr_t* node = root;
  while (node != nullptr) {
    expr_t* left = node->operand[0];
    if (left != nullptr) {
      node->operand[0] = left->operand[1];
      left->operand[1] = node;
      node = left;
      continue;
    }
    expr_t* next = node->operand[1];
    if (free_names && node->is_leaf != 0 && node->leaf_type == LEAF_RULE_NAME) {
      delete[] node->value.name;
    }
    delete node;
    node = next;
  }
}

namespace {

char* DuplicateName(const char* name) {
  if (name == nullptr) return nullptr;
  const size_t length = std::strlen(name);
  char* copy = new char[length + 1];
  std::memcpy(copy, name, length + 1);
  return copy;
}

expr_t* CopyNode(const expr_t& source) {
  expr_t* copy = new expr_t;
  copy->is_leaf = source.is_leaf;
  copy->leaf_type = source.leaf_type;
  copy->op = source.op;
  if (source.is_leaf != 0 && source.leaf_type == LEAF_RULE_NAME) {
    try {
      copy->value.name = DuplicateName(source.value.name);
    } catch (...) {
      delete copy;
      throw;
    }
  } else {
    copy->value = source.value;
  }
  return copy;
}

}  // namespace

expr_t* CopyExpressionTree(const expr_t* root) {
  if (root == nullptr) return nullptr;
  expr_t* copy_root = CopyNode(*root);
  // Pairs of (source node, its copy) whose operands are still to be copied.
  std::vector<std::pair<const expr_t*, expr_t*>> pending;
  try {
    pending.emplace_back(root, copy_root);
    while (!pending.empty()) {
      const auto [source, copy] = pending.back();
      pending.pop_back();
      for (int i = 0; i < 2; ++i) {
        if (source->operand[i] == nullptr) continue;
        expr_t* child = CopyNode(*source->operand[i]);
        child->parent = copy;
        copy->operand[i] = child;  // linked first, so a throw below frees it with the tree
        pending.emplace_back(source->operand[i], child);
      }
    }
  } catch (...) {
    DestroyExpressionTree(copy_root, true);
    throw;
  }
  return copy_root;
}
