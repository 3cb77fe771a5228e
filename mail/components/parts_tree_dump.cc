#include "mail/components/parts_tree_dump.h"

#include <strings.h>

#include <utility>
#include <vector>

#include "emlbreaker/packer.h"
#include "emlbreaker/parts_tree.h"

namespace nsEmlComponents {
namespace {

// Media types longer than this are cut in the dump; RFC 6838 allows 127 + 1 + 127.
constexpr uint32_t kMaxDumpedType = 256;

int32_t KindOfType(const char* type) {
  if (strcasecmp(type, "text/plain") == 0) return kBodyTextPlain;
  if (strcasecmp(type, "text/html") == 0) return kBodyTextHtml;
  if (strncasecmp(type, "multipart/", 10) == 0) return kBodyMultipart;
  return kBodyBinary;
}

const char* KindName(int32_t kind) {
  switch (kind) {
    case kBodyBinary:
      return "binary";
    case kBodyTextPlain:
      return "text";
    case kBodyTextHtml:
      return "html";
    case kBodyMultipart:
      return "multipart";
    default:
      return "none";
  }
}

void AppendPart(const CPart& part, std::string* out) {
  if (part.removed != 0) out->push_back('-');
  const int32_t kind = part.GetKind();
  char type[kMaxDumpedType + 1] = {};
  if (part.source == nullptr || part.source->GetContentType(type, sizeof(type)) <= 0) {
    out->append(KindName(kind));
    return;
  }
  out->append(type);
  if (kind != KindOfType(type)) {
    out->push_back('=');
    out->append(KindName(kind));
  }
}

}  // namespace

std::string DumpPartsTree(const CPartsTree& tree) {
  std::string out;
  const CPartsTree::CNode* root = tree.GetRoot();
  if (root == nullptr) return out;
  // Frames: a node whose children are being written and the next child.
  std::vector<std::pair<const CPartsTree::CNode*, size_t>> stack;
  AppendPart(*root->part, &out);
  stack.emplace_back(root, 0);
  while (!stack.empty()) {
    auto& [node, next] = stack.back();
    const size_t count = node->children.GetSize();
    if (next == count) {
      if (count > 0) {
        out.push_back(')');
      } else if (node->part->GetKind() == kBodyMultipart) {
        out.append("()");
      }
      stack.pop_back();
      continue;
    }
    out.push_back(next == 0 ? '(' : ',');
    const CPartsTree::CNode* child = node->children[next++];
    AppendPart(*child->part, &out);
    stack.emplace_back(child, 0);  // `node` and `next` are not used after this
  }
  return out;
}

}  // namespace nsEmlComponents
