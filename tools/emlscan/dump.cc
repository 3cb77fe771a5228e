#include "tools/emlscan/dump.h"

#include <string>
#include <utility>
#include <vector>

#include "emlbreaker/broken_mail.h"
#include "emlbreaker/packer.h"
#include "emlbreaker/parts_tree.h"
#include "tools/emlscan/dump_bodies.h"
#include "tools/emlscan/dump_headers.h"

namespace emlscan {
namespace {

using nsEmlComponents::CPart;
using nsEmlComponents::CPartsTree;

const char* KindName(int32_t kind) {
  switch (kind) {
    case nsEmlComponents::kBodyBinary: return "binary";
    case nsEmlComponents::kBodyTextPlain: return "text";
    case nsEmlComponents::kBodyTextHtml: return "html";
    case nsEmlComponents::kBodyMultipart: return "multipart";
    default: return "none";
  }
}

std::string MediaType(const CPart& part) {
  if (part.source == nullptr) return "";
  char type[256];
  int32_t length = part.source->GetContentType(type, sizeof(type));
  return length > 0 ? std::string(type, static_cast<size_t>(length)) : std::string();
}

// Visits the tree in document order with an explicit stack (the tree may be
// as deep as the breaker allows; the host's stack is not the limit).
template <class Visit>
void ForEachNode(const CPartsTree& tree, Visit visit) {
  std::vector<std::pair<const CPartsTree::CNode*, std::string>> stack;
  if (tree.GetRoot() != nullptr) stack.emplace_back(tree.GetRoot(), "1");
  while (!stack.empty()) {
    auto [node, number] = stack.back();
    stack.pop_back();
    visit(*node, number);
    for (size_t i = node->children.GetSize(); i-- > 0;)
      stack.emplace_back(node->children[i], number + "." + std::to_string(i + 1));
  }
}

const CPartsTree* TreeOf(MailItem& item) {
  return GetPartsTree(item.box);
}

}  // namespace

nlohmann::json DumpJson(MailItem& item) {
  nlohmann::json mail;
  mail["headers"] = HeadersJson(item);
  nlohmann::json parts = nlohmann::json::array();
  if (const CPartsTree* tree = TreeOf(item)) {
    ForEachNode(*tree, [&](const CPartsTree::CNode& node, const std::string& number) {
      const CPart& part = *node.part;
      nlohmann::json entry;
      entry["part"] = number;
      entry["depth"] = part.depth;
      entry["kind"] = KindName(part.GetKind());
      entry["content_type"] = MediaType(part);
      if (part.removed) entry["removed"] = true;
      if (part.headers.GetCount() > 0) entry["headers"] = PartHeadersJson(part.headers);
      AddBodyJson(part, &entry);
      parts.push_back(std::move(entry));
    });
  }
  mail["parts"] = std::move(parts);
  return mail;
}

std::string DumpText(MailItem& item) {
  std::string out;
  out.reserve(4096);
  AppendHeadersText(out, item);
  if (const CPartsTree* tree = TreeOf(item)) {
    out.append("parts:\n");
    ForEachNode(*tree, [&](const CPartsTree::CNode& node, const std::string& number) {
      const CPart& part = *node.part;
      out.append("  ")
          .append(static_cast<size_t>(part.depth) * 2, ' ')
          .append(number)
          .append("  ")
          .append(KindName(part.GetKind()))
          .append("  ")
          .append(MediaType(part))
          .append(part.removed ? "  (removed)\n" : "\n");
      BodyText(part, std::string(static_cast<size_t>(part.depth) * 2 + 6, ' '), 160, out);
    });
  } else {
    out.append("parts: (none)\n");
  }
  return out;
}

}  // namespace emlscan
