#include "mail/components/parts_tree.h"

#include <new>
#include <utility>
#include <vector>

namespace nsEmlComponents {
namespace {

// What a walk does after handing a node to its visitor.
enum : int32_t {
  kSkipSubtree = 0,
  kDescend = 1,
  // Negative values stop the walk and are its result.
};

}  // namespace

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

bool CPartsTree::IsDone(int32_t kind) const {
  if (kind == kBodyTextPlain) return textDone != 0;
  if (kind == kBodyTextHtml) return htmlDone != 0;
  return true;
}

void CPartsTree::SetDone(int32_t kind, bool done) {
  if (kind == kBodyTextPlain) textDone = done ? 1 : 0;
  if (kind == kBodyTextHtml) htmlDone = done ? 1 : 0;
}

int32_t CPartsTree::MarkRemoved(CNode* node) {
  if (node == nullptr) return kPartsTreeNullArgument;
  node->part->removed = 1;
  InvalidateLists();
  return 0;
}

template <class Visitor>
int32_t CPartsTree::WalkNodes(int32_t depth_limit, Visitor visit) {
  if (root == nullptr || depth_limit < 0) return 0;
  // Each frame is a node whose children are being walked and the next child.
  std::vector<std::pair<CNode*, size_t>> stack;
  try {
    stack.reserve(kMaxPartDepth + 2);
    int32_t action = visit(root);
    if (action < 0) return action;
    if (action == kDescend) stack.emplace_back(root, 0);
    while (!stack.empty()) {
      auto& [node, next] = stack.back();
      if (next == node->children.GetSize()) {
        stack.pop_back();
        continue;
      }
      CNode* child = node->children[next++];
      if (child->part->depth > depth_limit) continue;
      action = visit(child);
      if (action < 0) return action;
      if (action == kDescend) stack.emplace_back(child, 0);  // `node` and `next` die here
    }
  } catch (const std::bad_alloc&) {
    return kPartsTreeNoMemory;
  }
  return 0;
}

int32_t CPartsTree::Walk(CAPartsTreeListenerR* listener, int32_t depth_limit) {
  if (listener == nullptr) return kPartsTreeNullArgument;
  return WalkNodes(depth_limit, [listener](CNode* node) {
    if (node->part->removed != 0) return kSkipSubtree;
    listener->Visit(node->part);
    return kDescend;
  });
}

int32_t CPartsTree::WalkForUpdate(CAPartsTreeListenerRW* listener, int32_t depth_limit) {
  if (listener == nullptr) return kPartsTreeNullArgument;
  return WalkNodes(depth_limit, [listener](CNode* node) {
    listener->Visit(node->part, node);
    return node->part->removed != 0 ? kSkipSubtree : kDescend;
  });
}

const CPartList* CPartsTree::GetTextParts(int32_t depth_limit, int32_t* error) {
  return GetParts(kBodyTextPlain, &textParts, &textPartsValid, &textPartsDepth, depth_limit, error);
}

const CPartList* CPartsTree::GetHtmlParts(int32_t depth_limit, int32_t* error) {
  return GetParts(kBodyTextHtml, &htmlParts, &htmlPartsValid, &htmlPartsDepth, depth_limit, error);
}

const CPartList* CPartsTree::GetParts(int32_t kind, CPartList* list, uint8_t* valid,
                                      int32_t* list_depth, int32_t depth_limit, int32_t* error) {
  if (error != nullptr) *error = 0;
  if (*valid != 0 && *list_depth == depth_limit) return list;
  *valid = 0;
  list->SetSize(0, false);
  const CNode* const list_root = root;
  // The root itself is never listed, removed or not; the walk starts below it.
  const int32_t result = WalkNodes(depth_limit, [&](CNode* node) {
    if (node == list_root) return static_cast<int32_t>(kDescend);
    if (node->part->removed != 0) return static_cast<int32_t>(kSkipSubtree);
    if (node->part->GetKind() == kind && list->Add(node->part) != 0) return kPartsTreeNoMemory;
    return static_cast<int32_t>(kDescend);
  });
  if (result != 0) {
    list->SetSize(0, false);
    if (error != nullptr) *error = result;
    return nullptr;
  }
  *valid = 1;
  *list_depth = depth_limit;
  return list;
}

}  // namespace nsEmlComponents
