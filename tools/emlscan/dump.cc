#include "tools/emlscan/dump.h"

#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include "emlbreaker/broken_mail.h"
#include "emlbreaker/packer.h"
#include "emlbreaker/parts_tree.h"
#include "tools/emlscan/dump_bodies.h"
#include "tools/emlscan/dump_headers.h"
#include "tools/emlscan/part_numbers.h"

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

const CPartsTree* TreeOf(MailItem& item) {
  return GetPartsTree(item.box);
}

// One place where the mail was cut to a limit: which limit, where (a part
// number as the dump gives them) and the limit's value when it is ours to know.
struct Cut {
  const char* limit;
  std::string at;
  uint64_t max = 0;  // 0: the packer's limit (docs/LIMITS.md)
  std::string what;  // for a person
  std::string header = std::string();  // the header cut, for a "header" cut
};

// Bytes of the UTF-8 form of a wide text.
size_t Utf8Length(const ascommon::usstring& text) {
  size_t bytes = 0;
  for (size_t i = 0; i < text.Length(); ++i) {
    const char16_t unit = text.c_str()[i];
    bytes += unit < 0x80 ? 1 : unit < 0x800 ? 2 : (unit >= 0xD800 && unit < 0xE000) ? 2 : 3;
  }
  return bytes;
}

// The headers of a part cut to the breaker's bound on one value: none when
// the packer's longest value of the part is within it; else those whose kept
// value reaches to within a UTF-8 sequence of it ("" when none shows it, as
// for a value that is not UTF-8).
void AddHeaderCuts(CAMimePart* source, const nsEmlComponents::CHeaderMap* headers,
                   const std::string& number, std::vector<Cut>* cuts) {
  uint32_t name_length = 0, value_length = 0;
  if (source == nullptr || source->GetMaxHeaderLengths(&name_length, &value_length) == 0 ||
      value_length <= nsEmlComponents::kMaxHeaderValueBytes)
    return;
  const std::string what = "a value longer than " +
                           std::to_string(nsEmlComponents::kMaxHeaderValueBytes) +
                           " bytes was kept up to there";
  size_t found = 0;
  const uint32_t count = headers != nullptr ? headers->GetCount() : 0;
  if (count > 0) {
    auto position = headers->GetStartPosition();
    for (uint32_t i = 0; i < count; ++i) {
      if (i > 0) position.Next();
      const nsEmlComponents::CHeader* header = position.Value();
      if (header == nullptr || Utf8Length(header->value) + 3 < nsEmlComponents::kMaxHeaderValueBytes)
        continue;
      cuts->push_back({"header", number, nsEmlComponents::kMaxHeaderValueBytes, what,
                       position.Key().c_str()});
      ++found;
    }
  }
  if (found == 0) cuts->push_back({"header", number, nsEmlComponents::kMaxHeaderValueBytes, what});
}

std::vector<Cut> CutsOf(const CPartsTree& tree, const nsEmlComponents::CHeaderMap* mail_headers) {
  std::vector<Cut> cuts;
  const CPart& root = *tree.GetRoot()->part;
  const uint32_t defects = root.source != nullptr ? root.source->GetDefects() : 0;
  if (defects & kDefectTooManyParts)
    cuts.push_back({"parts", "1", 0, "parts past the packer's part limit are not shown"});
  if ((defects & kDefectTooDeep) && tree.GetMaxDepth() < nsEmlComponents::kMaxPartDepth)
    cuts.push_back({"depth", "1", 0, "parts past the packer's depth limit are not shown"});
  AddHeaderCuts(root.source, mail_headers, "1", &cuts);
  ForEachNumberedNode(tree, [&](const CPartsTree::CNode& node, const std::string& number) {
    const CPart& part = *node.part;
    if (&part != &root) AddHeaderCuts(part.source, &part.headers, number, &cuts);
    if (part.depth == nsEmlComponents::kMaxPartDepth && part.source != nullptr &&
        part.source->IsMultipart() && part.source->GetChildCount() > 0) {
      cuts.push_back({"depth", number, static_cast<uint64_t>(nsEmlComponents::kMaxPartDepth),
                      "the parts below are not in the tree"});
    }
    const int32_t kind = part.GetKind();
    // Undoing a transfer encoding never makes a body longer, so only a part
    // whose content in the mail is past the bound (or unknown) is looked at.
    const int64_t encoded = part.source != nullptr ? part.source->GetEncodedSize() : -1;
    if ((kind == nsEmlComponents::kBodyTextPlain || kind == nsEmlComponents::kBodyTextHtml) &&
        part.body->file.Length() > 0 &&
        (encoded < 0 || static_cast<uint64_t>(encoded) > nsEmlComponents::kMaxAnalysedBodyBytes)) {
      struct stat st;
      if (stat(part.body->file.c_str(), &st) == 0 &&
          static_cast<uint64_t>(st.st_size) > nsEmlComponents::kMaxAnalysedBodyBytes) {
        cuts.push_back({"body", number, nsEmlComponents::kMaxAnalysedBodyBytes,
                        "text analysed from the first " +
                            std::to_string(nsEmlComponents::kMaxAnalysedBodyBytes) + " of " +
                            std::to_string(st.st_size) + " bytes"});
      }
    }
  });
  return cuts;
}

}  // namespace

nlohmann::json DumpJson(MailItem& item) {
  nlohmann::json mail;
  mail["headers"] = HeadersJson(item);
  nlohmann::json parts = nlohmann::json::array();
  if (const CPartsTree* tree = TreeOf(item)) {
    ForEachNumberedNode(*tree, [&](const CPartsTree::CNode& node, const std::string& number) {
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
  if (const CPartsTree* tree = TreeOf(item); tree != nullptr && tree->GetRoot() != nullptr) {
    nlohmann::json truncated = nlohmann::json::array();
    for (const Cut& cut : CutsOf(*tree, GetMailHeaders(item.box))) {
      nlohmann::json entry = {{"limit", cut.limit}, {"at", cut.at}};
      if (cut.max > 0) entry["max"] = cut.max;
      if (!cut.header.empty()) entry["header"] = cut.header;
      truncated.push_back(std::move(entry));
    }
    if (!truncated.empty()) mail["truncated"] = std::move(truncated);
  }
  return mail;
}

std::string DumpText(MailItem& item) {
  std::string out;
  out.reserve(4096);
  AppendHeadersText(out, item);
  if (const CPartsTree* tree = TreeOf(item)) {
    out.append("parts:\n");
    ForEachNumberedNode(*tree, [&](const CPartsTree::CNode& node, const std::string& number) {
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
    const std::vector<Cut> cuts = tree->GetRoot() != nullptr
                                      ? CutsOf(*tree, GetMailHeaders(item.box))
                                      : std::vector<Cut>();
    if (!cuts.empty()) out.append("truncated:\n");
    for (const Cut& cut : cuts) {
      out.append("  ").append(cut.limit).append(" at ").append(cut.at);
      if (!cut.header.empty()) out.append(" (").append(cut.header).append(")");
      out.append(": ").append(cut.what);
      out.append("\n");
    }
  } else {
    out.append("parts: (none)\n");
  }
  return out;
}

}  // namespace emlscan
