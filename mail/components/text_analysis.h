// What the breaker learns from a text/plain part: the wide text, its UTF-8
// copy and the URLs written in it (found by url_finder.h). The UTF-8 writer is
// shared with the HTML analysis.
//
// Everything here is stateless; the functions may run on any number of threads
// at once as long as each works on its own part and list.
#ifndef MAIL_COMPONENTS_TEXT_ANALYSIS_H_
#define MAIL_COMPONENTS_TEXT_ANALYSIS_H_

#include <cstdint>

#include "emlbreaker/parts_tree.h"

namespace ascommon {
class CCharsetConverter;
}

namespace nsEmlComponents {

// Fills `body` from the decoded text of its part: `text` (the first
// length_with_nul - 1 units of `text`, up to its first NUL), `utf8Text`, and
// `urls` with every decoded URL lower-cased. Returns 0; -11 for a null text;
// -10 when memory runs out; -53 when the UTF-8 conversion fails.
int AnalyseTextPart(CPartBodyTextPlain& body, const char16_t* text, uint32_t length_with_nul,
                    const ascommon::CCharsetConverter& converter);

// Replaces *utf8 by the UTF-8 form of `text`, as both analyses store it beside
// the wide text. 0; -10 when memory runs out; -53 when the converter fails
// (*utf8 is then left as it was).
int ConvertToUtf8(const ascommon::usstring& text, const ascommon::CCharsetConverter& converter,
                  ascommon::sstring* utf8);

}  // namespace nsEmlComponents

#endif  // MAIL_COMPONENTS_TEXT_ANALYSIS_H_
