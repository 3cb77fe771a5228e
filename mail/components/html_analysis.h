// What the breaker learns from a text/html part: the visible text (tags
// removed, character references resolved, script, style and invisible text
// dropped), the link and image URLs, the anchors and labels, and a summary of
// the tricks unsolicited mail plays with HTML (CHtmlInfo).
//
// The scanner reads the source once, one code unit at a time, with fixed-size
// working buffers and no recursion: hostile HTML (megabytes of "<", tags or
// comments that never close) costs time linear in its length. Malformed HTML is
// never an error: unmatched end tags are ignored, unclosed elements stay open,
// and nesting past kHtmlMaxDepth ends the scan with what was found so far.
//
// Stateless apart from the tables, which are only read: any number of threads
// may scan at once, each into its own part.
#ifndef MAIL_COMPONENTS_HTML_ANALYSIS_H_
#define MAIL_COMPONENTS_HTML_ANALYSIS_H_

#include <array>
#include <cstddef>
#include <cstdint>

#include "mail/components/html_tables.h"
#include "mail/components/part.h"

namespace ascommon {
class CCharsetConverter;
}

namespace nsEmlComponents {

// A tag's text (name and attributes) is kept up to this many code units; a
// longer tag keeps overwriting its last unit. Attribute values are cut to it.
constexpr size_t kHtmlTagMax = 767;
// The scan ends when this many elements (an open character reference counting
// as one) are open: no legitimate mail nests that deep, and a fixed stack keeps
// a page of "<div>" from costing memory.
constexpr int kHtmlMaxDepth = 148;
// Comments remembered for the word-splitting count; later ones are ignored.
constexpr size_t kHtmlCommentSlots = 500;

// An attribute or style value as GetTagAttribute and GetStyleProperty hand it
// out: NUL-terminated, empty (first unit 0) when absent.
using CHtmlValue = std::array<char16_t, kHtmlTagMax + 1>;

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

// The value of attribute `name` (compared without regard to ASCII case) in a
// tag's text "NAME ATTR=VALUE ...". Tokens are separated by spaces (CR and LF
// count as spaces), a double quote keeping a token together up to the closing
// quote; a token "NAME=" holds the value, which starts after any quotes and
// blanks and ends at a double quote, ";", CR, LF or the end, at most
// kHtmlTagMax units. So an unquoted value runs on over the next attributes,
// and a style value ends at its first ";". The last matching token wins.
void GetTagAttribute(const char16_t* tag, const char16_t* name, CHtmlValue& value);

// The value of property `name` in a style declaration list "A:1; B:2", read
// like an attribute value; the last declaration of that name wins.
void GetStyleProperty(const char16_t* style, const char16_t* name, CHtmlValue& value);

}  // namespace nsEmlComponents

#endif  // MAIL_COMPONENTS_HTML_ANALYSIS_H_
