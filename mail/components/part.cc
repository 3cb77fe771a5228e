#include "emlbreaker/parts_tree.h"

#include <cstring>

#include "mail/components/headers.h"

namespace nsEmlComponents {
namespace {

// A part's header map is small: a MIME part carries a handful of headers.
constexpr uint32_t kPartHeaderBuckets = 16;

// Zero-fills the whole buffer, not just the text, so that what a failed
// analysis decoded does not stay readable behind the terminator.
void WipeText(ascommon::usstring* text) {
  if (text->GetBuffer() == nullptr) return;
  std::memset(text->GetBuffer(), 0, text->Capacity() * sizeof(char16_t));
  text->UpdateLength();
}

}  // namespace

CPartBody::~CPartBody() = default;

CPartBodyTextPlain::~CPartBodyTextPlain() = default;

void CPartBodyTextPlain::Reset() {
  WipeText(&text);
  urls.SetSize(0, false);
}

CPartBodyTextHtml::~CPartBodyTextHtml() = default;

void CPartBodyTextHtml::Reset() {
  WipeText(&visibleText);
  info.Reset();
}

CPart::CPart(CAMimePart* part_source, int32_t part_depth)
    : headers(kPartHeaderBuckets, nullptr), source(part_source), depth(part_depth) {}

}  // namespace nsEmlComponents
