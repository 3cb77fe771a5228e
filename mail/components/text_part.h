// Plain-text part analysis: the decoded text of a text/plain part, its UTF-8
// copy, and the URLs written in it, each kept as written and decoded. The
// URL extraction and decoding here also serve the HTML analysis.
#ifndef MAIL_COMPONENTS_TEXT_PART_H_
#define MAIL_COMPONENTS_TEXT_PART_H_

#include <cstdint>

#include "common/charset_converter.h"
#include "emlbreaker/array.h"
#include "mail/components/part.h"

namespace nsEmlComponents {

// Stores `text` (lengthWithNul units, the terminator included) in the body,
// its UTF-8 copy, and the URLs found in it with their decoded forms in lower
// case. 0; -10 out of memory; -53 when the UTF-8 conversion fails.
int32_t AnalyseTextPart(CPartBodyTextPlain& body, const char16_t* text, uint32_t lengthWithNul,
                        const ascommon::CCharsetConverter& converter);

// Appends every URL of the NUL-terminated `text` to `urls`: spans starting at
// "http://" or "www." (case-sensitive, anywhere, even inside a word), ended
// by white space or, when a "<" or a double quote stands before them, by the
// matching ">" or quote (white space inside is then dropped, so a URL wrapped
// over lines is joined), with trailing punctuation stripped. 0, or -10 when
// memory runs out (the URLs found so far stay in the list).
int32_t ExtractTextUrls(const char16_t* text, ascommon::CArray<CUrl, 64>& urls);

// Fills url.decoded from url.raw, resolving percent escapes and "&#NNN;"
// references. Sets encodedFlag to 1 (never clears it) when an escape spelled
// a letter, digit, ":", "/" or "\" - a hidden address. 0, or -10.
int32_t DecodeUrl(CUrl& url, uint8_t& encodedFlag);

}  // namespace nsEmlComponents

#endif  // MAIL_COMPONENTS_TEXT_PART_H_
