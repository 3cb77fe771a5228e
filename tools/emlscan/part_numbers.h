// The numbers emlscan gives the parts of a broken mail: "1" for the root,
// "1.2" for its second child, "1.2.1" below that, as the dump shows them and
// messages name them.
#ifndef TOOLS_EMLSCAN_PART_NUMBERS_H_
#define TOOLS_EMLSCAN_PART_NUMBERS_H_

#include <string>
#include <utility>
#include <vector>

#include "emlbreaker/parts_tree.h"

namespace emlscan {

// Calls visit(node, number) for every node in document order, with an
// explicit stack (the tree may be as deep as the breaker allows; the host's
// stack is not the limit).
template <class Visit>
void ForEachNumberedNode(const nsEmlComponents::CPartsTree& tree, Visit visit) {
  using Node = nsEmlComponents::CPartsTree::CNode;
  std::vector<std::pair<const Node*, std::string>> stack;
  if (tree.GetRoot() != nullptr) stack.emplace_back(tree.GetRoot(), "1");
  while (!stack.empty()) {
    auto [node, number] = stack.back();
    stack.pop_back();
    visit(*node, number);
    for (size_t i = node->children.GetSize(); i-- > 0;)
      stack.emplace_back(node->children[i], number + "." + std::to_string(i + 1));
  }
}

}  // namespace emlscan

#endif  // TOOLS_EMLSCAN_PART_NUMBERS_H_
