#include "mail/components/parts_tree.h"

#include <new>

namespace nsEmlComponents {

CPartsTree::~CPartsTree() {
  // Children before parents, without recursion and without allocating: the
  // parent links, no longer needed, first thread a stack of nodes still to be
  // expanded and then a list of expanded nodes. Each node is prepended to that
  // list after its parent, so the list runs children first.
  CNode* pending = root;
  if (pending != nullptr) pending->parent = nullptr;
  CNode* expanded = nullptr;
  while (pending != nullptr) {
    CNode* node = pending;
    pending = node->parent;
    for (CNode* child : node->children) {
      child->parent = pending;
      pending = child;
    }
    node->parent = expanded;
    expanded = node;
  }
  while (expanded != nullptr) {
    CNode* next = expanded->parent;
    delete expanded->part;
    delete expanded;
    expanded = next;
  }
}

CPartsTree::CNode* CPartsTree::SetRoot(CPart* part) {
  if (root != nullptr) return nullptr;
  root = new (std::nothrow) CNode(part, nullptr);
  if (root == nullptr) return nullptr;
  maxDepth = 0;
  InvalidateLists();
  return root;
}

CPartsTree::CNode* CPartsTree::AddChild(CNode* parent, CPart* part, int32_t depth) {
  if (depth > kMaxPartDepth) return parent;
  if (parent == nullptr) {
    delete part;
    return nullptr;
  }
  CNode* node = new (std::nothrow) CNode(part, parent);
  if (node == nullptr || parent->children.Add(node) != 0) {
    delete part;
    delete node;
    return nullptr;
  }
  if (depth > maxDepth) maxDepth = depth;
  InvalidateLists();
  return node;
}

}  // namespace nsEmlComponents
