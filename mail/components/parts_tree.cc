#include "emlbreaker/parts_tree.h"

#include <new>

namespace nsEmlComponents {

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
