// Building the parts tree of one mail from the MIME packer's parts: the parts
// stage of the real breaker.
#ifndef MAIL_COMPONENTS_BREAK_PARTS_H_
#define MAIL_COMPONENTS_BREAK_PARTS_H_

#include <cstdint>

#include "emlbreaker/broken_mail.h"
#include "emlbreaker/parts_tree.h"
#include "emlbreaker/strings.h"

class CAMimePart;

namespace ascommon {
class CBlackBox;
}

namespace nsEmlComponents {

class CHeaderParser;

// Return code of WalkPart when the packer gives a leaf part no body file.
inline constexpr int32_t kPartNoBodyFile = -302;

// Adds `source` and every part below it to `tree`: `source` becomes the root
// when depth is 0, else a child of `parent` at `depth`. Each part but the root
// gets its own headers through `parser`; each leaf gets a body chosen by its
// media type (the root's is `root_content_type`, a part without Content-Type is
// text/plain) holding the path of the packer's decoded body file. Parts deeper
// than kMaxPartDepth are read but left out of the tree. Returns 0, the first
// code of ParseHeaders, -302 (no body file) or -10 (memory); the parts placed
// before a failure stay in the tree. Walks with an explicit stack: the packer
// bounds the nesting, not the call stack.
int32_t WalkPart(CAMimePart* source, CPartsTree* tree, CPartsTree::CNode* parent, int32_t depth,
                 const ascommon::sstring& root_content_type, const CHeaderParser& parser);

// The parts stage once the mail's headers are in `box` under id 1: builds the
// tree of the mail whose top part is `top` and stores it under id 2, which then
// owns it. Does nothing when id 2 already holds a parts tree. Throws
// CBreakerException: -301 another object under id 2, -12 no header map under
// id 1, -11 null `top`, -10 memory, or the code of WalkPart (0 when the box
// refused the tree), with the breaker's messages.
void BreakParts(ascommon::CBlackBox* box, CAMimePart* top, const CHeaderParser& parser);

}  // namespace nsEmlComponents

#endif  // MAIL_COMPONENTS_BREAK_PARTS_H_
