// What the text and HTML analyses left in a part's body: the decoded text and
// its URLs for plain text; the visible text, links, images, anchors, labels
// and every summary flag and count for HTML.
#ifndef TOOLS_EMLSCAN_DUMP_BODIES_H_
#define TOOLS_EMLSCAN_DUMP_BODIES_H_

#include <nlohmann/json.hpp>
#include <string>

#include "emlbreaker/parts_tree.h"

namespace emlscan {

// Adds the body's analysis to a part's JSON entry (whole texts); nothing for
// other kinds or bodies no stage analysed.
void AddBodyJson(const nsEmlComponents::CPart& part, nlohmann::json* entry);

// The same as indented text lines under the part's line, texts shortened to
// `text_limit` characters, appended to `out`.
void BodyText(const nsEmlComponents::CPart& part, const std::string& indent, size_t text_limit,
              std::string& out);

}  // namespace emlscan

#endif  // TOOLS_EMLSCAN_DUMP_BODIES_H_
