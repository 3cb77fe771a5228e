// The MIME parts tree of one broken mail, stored in the mail's black box under
// id 2, and the listener interfaces through which rules and the breaker walk it.
#ifndef MAIL_COMPONENTS_PARTS_TREE_H_
#define MAIL_COMPONENTS_PARTS_TREE_H_

#include <cstdint>

#include "emlbreaker/array.h"
#include "emlbreaker/blackbox_object.h"
#include "mail/components/part.h"

namespace nsEmlComponents {

// Parts nest at most this many levels below the root. The packer shows 64
// levels; no legitimate mail comes near 20, and every reader of the tree (the
// text and HTML stages, the rules) then has a small fixed bound.
inline constexpr int32_t kMaxPartDepth = 20;

// Return codes of the tree.
inline constexpr int32_t kPartsTreeNoMemory = -10;
inline constexpr int32_t kPartsTreeNullArgument = -11;

// Cached part lists: the parts are the tree's, the list only points at them.
using CPartList = ascommon::CArray<CPart*, 64>;

class CAPartsTreeListenerR;
class CAPartsTreeListenerRW;

// The tree of one mail: it owns every node, and through them every part, body
// and part header; destroying the tree frees them all, children before parents.
// Built by one thread and then read by one thread at a time (the mail's); the
// part lists are caches, so even the Get* calls below are not safe to share.
// No operation recurses: walks keep an explicit stack as deep as the tree.
class CPartsTree : public ascommon::CBlackBoxObject {
 public:
  // A node: it owns its part; the children are owned by the tree.
  struct CNode {
    CNode(CPart* node_part, CNode* node_parent) : part(node_part), parent(node_parent) {}
    CNode(const CNode&) = delete;
    CNode& operator=(const CNode&) = delete;

    CPart* part;
    ascommon::CArray<CNode*, 8> children;
    CNode* parent;  // null for the root
  };

  CPartsTree() = default;
  CPartsTree(const CPartsTree&) = delete;
  CPartsTree& operator=(const CPartsTree&) = delete;
  ~CPartsTree() override;

  // Makes `part` the root (depth 0). Null when there is a root already or no
  // memory; the part then stays the caller's.
  CNode* SetRoot(CPart* part);
  // Appends `part` at `depth` below `parent` and returns its node. A depth past
  // kMaxPartDepth adds nothing and returns `parent`: the part stays the
  // caller's to discard. Null when `parent` is null or memory ran out; the part
  // has then been freed.
  CNode* AddChild(CNode* parent, CPart* part, int32_t depth);

  CNode* GetRoot() const { return root; }
  int32_t GetMaxDepth() const { return maxDepth; }

  // Whether the text (kind 52) or HTML (kind 53) stage has run; true for any
  // other kind, which no stage analyses. SetDone ignores other kinds.
  bool IsDone(int32_t kind) const;
  void SetDone(int32_t kind, bool done);

  // The plain-text (or HTML) parts in document order, the root excluded,
  // leaving out removed parts and parts deeper than `depth_limit` together
  // with everything below them. The list is cached per limit and rebuilt when
  // another limit is asked for or the tree changed through SetRoot, AddChild or
  // MarkRemoved. Null on failure, with the code in *error (which may be null);
  // the list stays valid until the next call that rebuilds it.
  const CPartList* GetTextParts(int32_t depth_limit, int32_t* error);
  const CPartList* GetHtmlParts(int32_t depth_limit, int32_t* error);

  // Marks the node's part removed: walks and lists leave it and its subtree
  // out, and the breaker takes it out of the mail when changes are committed.
  // 0, or -11 for a null node.
  int32_t MarkRemoved(CNode* node);

  // Depth-first, children in order, from the root: visits every part down to
  // `depth_limit` that is not removed; a removed part's subtree is skipped.
  // -11 for a null listener, -10 when the walk's stack cannot grow, else 0
  // (nothing is visited without a root or with a negative limit).
  int32_t Walk(CAPartsTreeListenerR* listener, int32_t depth_limit);
  // As Walk, but removed parts are visited too (their subtrees still are not).
  int32_t WalkForUpdate(CAPartsTreeListenerRW* listener, int32_t depth_limit);

 private:
  // Visits in document order every node reached from the root down to
  // depth_limit, handing each to visit; a node for which visit answers false
  // is not descended into.
  template <class Visitor>
  int32_t WalkNodes(int32_t depth_limit, Visitor visit);
  const CPartList* GetParts(int32_t kind, CPartList* list, uint8_t* valid, int32_t* list_depth,
                            int32_t depth_limit, int32_t* error);
  void InvalidateLists() { textPartsValid = htmlPartsValid = 0; }

  CNode* root = nullptr;
  int32_t maxDepth = -1;
  uint8_t textDone = 0;
  uint8_t htmlDone = 0;
  CPartList textParts;
  uint8_t textPartsValid = 0;
  int32_t textPartsDepth = -1;
  CPartList htmlParts;
  uint8_t htmlPartsValid = 0;
  int32_t htmlPartsDepth = -1;
};

// A read-only visitor. Visit must not change the tree's shape.
class CAPartsTreeListenerR {
 public:
  virtual ~CAPartsTreeListenerR() = default;
  virtual void Visit(CPart* part) = 0;
};

// A visitor that may change the mail (not the tree's shape): it also gets the
// part's node, and sees removed parts.
class CAPartsTreeListenerRW {
 public:
  virtual ~CAPartsTreeListenerRW() = default;
  virtual void Visit(CPart* part, CPartsTree::CNode* node) = 0;
};

}  // namespace nsEmlComponents

#endif  // MAIL_COMPONENTS_PARTS_TREE_H_
