// The MIME parts tree of a broken mail, stored in the mail's black box under
// id 2 (blackbox_ids.h): one CPart per MIME part with its own header map and a
// body object whose class follows the part's content type, and the listener
// interfaces through which filters and rules walk it. The filters read these
// objects in place, so the public fields keep their order and names.
//
// What a filter calls is defined in this header or reached through a virtual
// slot: the kinds, the fields, GetRoot and the nodes' children, the walks and
// the part lists. Building the tree (the CPart constructor, SetRoot, AddChild)
// and freeing its parts belong to the breaker and are defined in the plug-in;
// a filter never builds or frees a tree, the black box does that through the
// virtual destructor.
#ifndef EMLBREAKER_PARTS_TREE_H_
#define EMLBREAKER_PARTS_TREE_H_

#include <cstdint>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "emlbreaker/analysis.h"
#include "emlbreaker/array.h"
#include "emlbreaker/blackbox_object.h"
#include "emlbreaker/headers.h"
#include "emlbreaker/map.h"
#include "emlbreaker/strings.h"

class CAMimePart;

namespace nsEmlComponents {

// Body kinds, as GetKind answers them.
enum : int32_t {
  kBodyBinary = 51,
  kBodyTextPlain = 52,
  kBodyTextHtml = 53,
  kBodyMultipart = 54,
};

// What a part's content is, by kind. `file` is the path of the file in which
// the packer left the decoded content (empty for a multipart): the packer owns
// that file and deletes it when the mail is closed. Not thread-safe: a body
// belongs to one mail, which one thread breaks at a time.
class CPartBody {
 public:
  CPartBody() = default;
  CPartBody(const CPartBody&) = delete;
  CPartBody& operator=(const CPartBody&) = delete;
  virtual ~CPartBody() = default;
  virtual int32_t GetKind() const = 0;
  // Drops what a failed analysis left behind, so no reader sees half a result.
  virtual void Reset() = 0;

  ascommon::sstring file;

 protected:
  // Zero-fills the whole buffer, not just the text, so that what a failed
  // analysis decoded does not stay readable behind the terminator.
  static void WipeText(ascommon::usstring* text) {
    if (text->GetBuffer() == nullptr) return;
    std::memset(text->GetBuffer(), 0, text->Capacity() * sizeof(char16_t));
    text->UpdateLength();
  }
};

class CPartBodyBinary : public CPartBody {
 public:
  int32_t GetKind() const override { return kBodyBinary; }
  void Reset() override {}
};

class CPartBodyMultipart : public CPartBody {
 public:
  int32_t GetKind() const override { return kBodyMultipart; }
  void Reset() override {}
};

// A text/plain part. The text analysis fills every field after `file`.
class CPartBodyTextPlain : public CPartBody {
 public:
  int32_t GetKind() const override { return kBodyTextPlain; }
  // Clears `text` (its buffer zero-filled, so no decoded text lingers in it)
  // and frees `urls`; the UTF-8 copy and the words are left as they are.
  void Reset() override {
    WipeText(&text);
    urls.SetSize(0, false);
  }

  ascommon::usstring text;
  ascommon::sstring utf8Text;
  ascommon::CArray<CUrl, 64> urls;
  ascommon::CArray<CWordInfo, 64> words;
};

// A text/html part. The HTML analysis fills every field after `file`.
class CPartBodyTextHtml : public CPartBody {
 public:
  int32_t GetKind() const override { return kBodyTextHtml; }
  // Clears the visible text (buffer zero-filled) and resets the summary; the
  // source and the UTF-8 copies are left as they are.
  void Reset() override {
    WipeText(&visibleText);
    info.Reset();
  }

  ascommon::usstring source;       // the decoded HTML as received
  ascommon::usstring visibleText;  // tags removed, references resolved
  ascommon::sstring utf8VisibleText;
  ascommon::sstring utf8Source;
  ascommon::CArray<CWordInfo, 64> words;
  CHtmlInfo info;
};

// Header map of a part: the upper-cased header name to the header object.
using CPartHeaderMap = ascommon::CMap<ascommon::sstring, CHeader*>;

// One MIME part. The part owns its headers (deleted with it) and its body;
// `source`, the packer's object for the part, is borrowed and stays valid until
// the mail is closed. The root part's map stays empty: the mail's own headers
// are the header map of the black box. Not thread-safe.
class CPart {
 public:
  // Throws std::bad_alloc when the header map cannot get its buckets.
  CPart(CAMimePart* part_source, int32_t part_depth);
  CPart(const CPart&) = delete;
  CPart& operator=(const CPart&) = delete;
  // Frees the part's headers and its body.
  ~CPart();

  // The body's kind, or 0 while the part has no body.
  int32_t GetKind() const { return body != nullptr ? body->GetKind() : 0; }

  CPartHeaderMap headers;
  CPartBody* body = nullptr;
  CAMimePart* source = nullptr;
  int32_t depth = -1;  // 0 for the root, parent's + 1 below it; -1 until placed
  uint8_t removed = 0;
};

// Parts nest at most this many levels below the root. The packer shows 64
// levels; no legitimate mail comes near 20, and every reader of the tree (the
// text and HTML stages, the rules) then has a small fixed bound.
inline constexpr int32_t kMaxPartDepth = 20;

// The text and HTML stages read at most this many bytes of a body (300 KiB):
// spam puts what it says first, and the analysis of one part stays bounded
// however large the part.
inline constexpr size_t kMaxAnalysedBodyBytes = 307200;

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
  // Frees every node with its part (CPart's destructor is the plug-in's).
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
  bool IsDone(int32_t kind) const {
    if (kind == kBodyTextPlain) return textDone != 0;
    if (kind == kBodyTextHtml) return htmlDone != 0;
    return true;
  }
  void SetDone(int32_t kind, bool done) {
    if (kind == kBodyTextPlain) textDone = done ? 1 : 0;
    if (kind == kBodyTextHtml) htmlDone = done ? 1 : 0;
  }

  // The plain-text (or HTML) parts in document order, the root excluded,
  // leaving out removed parts and parts deeper than `depth_limit` together
  // with everything below them. The list is cached per limit and rebuilt when
  // another limit is asked for or the tree changed through SetRoot, AddChild or
  // MarkRemoved. Null on failure, with the code in *error (which may be null);
  // the list stays valid until the next call that rebuilds it.
  const CPartList* GetTextParts(int32_t depth_limit, int32_t* error) {
    return GetParts(kBodyTextPlain, &textParts, &textPartsValid, &textPartsDepth, depth_limit,
                    error);
  }
  const CPartList* GetHtmlParts(int32_t depth_limit, int32_t* error) {
    return GetParts(kBodyTextHtml, &htmlParts, &htmlPartsValid, &htmlPartsDepth, depth_limit,
                    error);
  }

  // Marks the node's part removed: walks and lists leave it and its subtree
  // out, and the breaker takes it out of the mail when changes are committed.
  // 0, or -11 for a null node.
  int32_t MarkRemoved(CNode* node) {
    if (node == nullptr) return kPartsTreeNullArgument;
    node->part->removed = 1;
    InvalidateLists();
    return 0;
  }

  // Depth-first, children in order, from the root: visits every part down to
  // `depth_limit` that is not removed; a removed part's subtree is skipped.
  // -11 for a null listener, -10 when the walk's stack cannot grow, else 0
  // (nothing is visited without a root or with a negative limit).
  int32_t Walk(CAPartsTreeListenerR* listener, int32_t depth_limit);
  // As Walk, but removed parts are visited too (their subtrees still are not).
  int32_t WalkForUpdate(CAPartsTreeListenerRW* listener, int32_t depth_limit);

 private:
  // What a walk does after handing a node to its visitor; negative values
  // stop the walk and are its result.
  enum : int32_t { kSkipSubtree = 0, kDescend = 1 };

  // Visits in document order every node reached from the root down to
  // depth_limit, handing each to visit, which answers one of the above.
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

inline CPart::~CPart() {
  const uint32_t count = headers.GetCount();
  if (count > 0) {
    auto position = headers.GetStartPosition();
    for (uint32_t i = 0; i < count; ++i) {
      delete position.Value();
      if (i + 1 < count) position.Next();
    }
  }
  delete body;
}

inline CPartsTree::~CPartsTree() {
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

template <class Visitor>
int32_t CPartsTree::WalkNodes(int32_t depth_limit, Visitor visit) {
  if (root == nullptr || depth_limit < 0) return 0;
  // Each frame is a node whose children are being walked and the next child.
  std::vector<std::pair<CNode*, size_t>> stack;
  try {
    int32_t action = visit(root);
    if (action < 0) return action;
    // Most mails are one part: their walks, a few dozen per mail, allocate nothing.
    if (action == kDescend && root->children.GetSize() > 0) {
      stack.reserve(kMaxPartDepth + 2);
      stack.emplace_back(root, 0);
    }
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

inline int32_t CPartsTree::Walk(CAPartsTreeListenerR* listener, int32_t depth_limit) {
  if (listener == nullptr) return kPartsTreeNullArgument;
  return WalkNodes(depth_limit, [listener](CNode* node) {
    if (node->part->removed != 0) return static_cast<int32_t>(kSkipSubtree);
    listener->Visit(node->part);
    return static_cast<int32_t>(kDescend);
  });
}

inline int32_t CPartsTree::WalkForUpdate(CAPartsTreeListenerRW* listener, int32_t depth_limit) {
  if (listener == nullptr) return kPartsTreeNullArgument;
  return WalkNodes(depth_limit, [listener](CNode* node) {
    listener->Visit(node->part, node);
    return static_cast<int32_t>(node->part->removed != 0 ? kSkipSubtree : kDescend);
  });
}

inline const CPartList* CPartsTree::GetParts(int32_t kind, CPartList* list, uint8_t* valid,
                                             int32_t* list_depth, int32_t depth_limit,
                                             int32_t* error) {
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

#endif  // EMLBREAKER_PARTS_TREE_H_
