#include "mail/components/break_parts.h"

#include <strings.h>

#include <memory>
#include <new>
#include <vector>

#include "emlbreaker/blackbox.h"
#include "emlbreaker/exceptions.h"
#include "emlbreaker/packer.h"
#include "mail/components/header_parser.h"
#include "mail/components/headers.h"

namespace nsEmlComponents {
namespace {

using CNode = CPartsTree::CNode;

constexpr int32_t kNoMemory = -10;

// What WalkPart works from: the parser, the root's media type, and the two
// strings every part needs, made once per mail.
struct WalkContext {
  CPartsTree* tree;
  const CHeaderParser& parser;
  const ascommon::sstring& root_content_type;
  ascommon::sstring content_type_key;
  ascommon::sstring text_plain;
};

// The media type that decides a leaf's body: the root's comes from the mail's
// headers; any other part's from its own Content-Type, text/plain without one.
const ascommon::sstring* MediaTypeOf(const CPart& part, const WalkContext& context) {
  if (part.depth == 0) return &context.root_content_type;
  CHeader* const* header = part.headers.Lookup(context.content_type_key);
  if (header == nullptr) return &context.text_plain;
  const auto* content_type = dynamic_cast<const CHeaderContentType*>(*header);
  return content_type != nullptr ? &content_type->type : &context.text_plain;
}

// A new body for a leaf of this media type (compared without regard to case;
// an empty or unset type gives a binary body).
CPartBody* NewLeafBody(const char* media_type) {
  if (strcasecmp(media_type, "text/plain") == 0) return new CPartBodyTextPlain;
  if (strcasecmp(media_type, "text/html") == 0) return new CPartBodyTextHtml;
  return new CPartBodyBinary;
}

// The body of a leaf: by the media type of its header, except for a leaf whose
// header names a multipart. The packer shows a multipart whose boundary opens
// no part as a leaf of the content that a reader still shows, and says as what
// (text/plain): that content must reach the text analysis.
CPartBody* NewLeafBody(CAMimePart* source, const CPart& part, const WalkContext& context) {
  const char* declared = MediaTypeOf(part, context)->c_str();
  char shown[64];
  if (strncasecmp(declared, "multipart/", 10) == 0 &&
      source->GetContentType(shown, sizeof(shown)) > 0) {
    return NewLeafBody(shown);
  }
  return NewLeafBody(declared);
}

// Makes the part of `source`, reads its headers and body file, and places it
// below `parent`. *placed is its node, or `parent` when it is too deep to be
// kept (its children then hang on `parent` too, and are cut as well).
int32_t PlacePart(CAMimePart* source, CNode* parent, int32_t depth, bool is_multipart,
                  const WalkContext& context, CNode** placed) {
  auto part = std::make_unique<CPart>(source, depth);
  if (depth > 0) {
    const int32_t code = context.parser.ParseHeaders(source, &part->headers);
    if (code != 0) return code;
  }
  if (is_multipart) {
    part->body = new CPartBodyMultipart;
  } else {
    char path[kPackerMaxPath];
    if (source->GetBodyFile(path) == 0) return kPartNoBodyFile;
    part->body = NewLeafBody(source, *part, context);
    if (part->body->file.Assign(path) != 0) return kNoMemory;
  }
  if (depth == 0) {
    *placed = context.tree->SetRoot(part.get());
    if (*placed == nullptr) return kNoMemory;
    part.release();
    return 0;
  }
  if (depth > kMaxPartDepth) {
    *placed = parent;  // the part is discarded with `part`
    return 0;
  }
  *placed = context.tree->AddChild(parent, part.release(), depth);
  return *placed == nullptr ? kNoMemory : 0;  // a null node has freed the part
}

// One multipart being walked: its node and the child reached last.
struct Frame {
  CAMimePart* source;
  CNode* node;
  int32_t depth;
  CAMimePart* child;
};

int32_t WalkFrom(CAMimePart* source, CNode* parent, int32_t depth, const WalkContext& context) {
  CNode* node = nullptr;
  bool is_multipart = source->IsMultipart() != 0;
  int32_t code = PlacePart(source, parent, depth, is_multipart, context, &node);
  if (code != 0 || !is_multipart) return code;
  std::vector<Frame> stack;
  stack.reserve(kMaxPartDepth + 2);
  stack.push_back({source, node, depth, nullptr});
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.source->NextChild(&frame.child) == 0) {
      stack.pop_back();
      continue;
    }
    CAMimePart* child = frame.child;
    const int32_t child_depth = frame.depth + 1;
    is_multipart = child->IsMultipart() != 0;
    code = PlacePart(child, frame.node, child_depth, is_multipart, context, &node);
    if (code != 0) return code;
    if (is_multipart) stack.push_back({child, node, child_depth, nullptr});  // `frame` dies here
  }
  return 0;
}

}  // namespace

int32_t WalkPart(CAMimePart* source, CPartsTree* tree, CNode* parent, int32_t depth,
                 const ascommon::sstring& root_content_type, const CHeaderParser& parser) {
  try {
    WalkContext context{tree, parser, root_content_type, ascommon::sstring("CONTENT-TYPE"),
                        ascommon::sstring("text/plain")};
    if (context.content_type_key.GetError() != 0 || context.text_plain.GetError() != 0) {
      return kNoMemory;
    }
    return WalkFrom(source, parent, depth, context);
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  }
}

void BreakParts(ascommon::CBlackBox* box, CAMimePart* top, const CHeaderParser& parser) {
  if (ascommon::CBlackBoxObject* existing = box->GetObject(kPartsTreeId)) {
    if (dynamic_cast<CPartsTree*>(existing) != nullptr) return;
    throw CBreakerException(-301, "Another object with the same id already exists strIn BBInt");
  }

  const auto* mail_headers = dynamic_cast<const CPartHeaderMap*>(box->GetObject(kMailHeadersId));
  if (mail_headers == nullptr) {
    throw CBreakerException(-12, "Unknown problem occured: Mail headers should have been in BBInt");
  }
  ascommon::sstring root_content_type("text/plain");
  const ascommon::sstring content_type_key("CONTENT-TYPE");
  if (CHeader* const* header = mail_headers->Lookup(content_type_key)) {
    if (const auto* content_type = dynamic_cast<const CHeaderContentType*>(*header)) {
      root_content_type = content_type->type;
    }
  }
  if (root_content_type.GetError() != 0 || content_type_key.GetError() != 0) {
    throw CBreakerException(-10,
                            "Memory allocation error while trying to establish root part "
                            "Content-Type");
  }

  if (top == nullptr) throw CBreakerException(-11, "Invalid packer");

  std::unique_ptr<CPartsTree> tree(new (std::nothrow) CPartsTree);
  if (tree == nullptr) {
    throw CBreakerException(-10, "Allocation error when creating objecst to hold the parts");
  }
  const int32_t code = WalkPart(top, tree.get(), nullptr, 0, root_content_type, parser);
  if (code == 0 && box->SetObject(tree.get(), kPartsTreeId, true) == 0) {
    tree.release();  // the box owns it now
    return;
  }
  throw CBreakerException(code, "Problems when iterating through parts");
}

}  // namespace nsEmlComponents
