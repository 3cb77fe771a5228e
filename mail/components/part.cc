#include "emlbreaker/parts_tree.h"

#include "mail/components/headers.h"

namespace nsEmlComponents {
namespace {

// A part's header map is small: a MIME part carries a handful of headers.
constexpr uint32_t kPartHeaderBuckets = 16;

}  // namespace

CPart::CPart(CAMimePart* part_source, int32_t part_depth)
    : headers(kPartHeaderBuckets, nullptr), source(part_source), depth(part_depth) {}

}  // namespace nsEmlComponents
