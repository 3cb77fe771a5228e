// What the breaker learns from a text/html part: the visible text (tags
// removed, character references resolved, script, style and invisible text
// dropped), the link and image URLs, the anchors and labels, and a summary of
// the tricks unsolicited mail plays with HTML (CHtmlInfo).
//
// The work is shared out: the scanner (html_scanner.h) reads the source once
// and writes the visible text, handing each tag to the tag features
// (html_tag_features.h), which fill most of the summary and run the addresses
// of links and images through the host rules (url_host_rules.h); the URL
// finder (url_finder.h) then adds the URLs of the visible text.
//
// Stateless apart from the tables, which are only read: any number of threads
// may scan at once, each into its own part.
#ifndef MAIL_COMPONENTS_HTML_ANALYSIS_H_
#define MAIL_COMPONENTS_HTML_ANALYSIS_H_

#include <cstddef>
#include <cstdint>

#include "emlbreaker/parts_tree.h"
#include "mail/components/html_tables.h"

namespace ascommon {
class CCharsetConverter;
}

namespace nsEmlComponents {

// Fills `body` from the decoded HTML of its part: `source` (the first
// length_with_nul - 1 units, up to the first NUL), the visible text, both UTF-8
// copies and the summary `info` (reset first). Returns 0; -11 for a null
// source; -12 when `tables` is null or not built; -10 when memory runs out;
// -53 when a UTF-8 conversion fails.
int AnalyseHtmlPart(CPartBodyTextHtml& body, const char16_t* source, uint32_t length_with_nul,
                    const CHtmlTables* tables, const ascommon::CCharsetConverter& converter);

// Scans the NUL-terminated `source` into `output` (capacity code units; the
// visible text starts with one space and never passes the last unit, which
// later characters overwrite; it is NUL-terminated) and fills `info`, which the
// caller has reset. URLs of the visible text are appended to info.links; every
// link's `decoded` is lower-cased at the end. Returns 0; -12 when `tables` is
// null or not built (nothing is written); -11 for a null buffer or a capacity
// below 2; -10 when memory runs out.
int ScanHtml(const char16_t* source, char16_t* output, size_t capacity, CHtmlInfo& info,
             const CHtmlTables* tables);

}  // namespace nsEmlComponents

#endif  // MAIL_COMPONENTS_HTML_ANALYSIS_H_
