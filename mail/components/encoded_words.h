// RFC 2047 encoded words ("=?charset?B?...?=" and "=?charset?Q?...?=") in
// header values, decoded the lenient way mail in the wild needs: a Base64 text
// with stray characters or a Q text with bad escapes still decodes, and text
// between two words is kept as it is. Stateless; callable from any thread.
#ifndef MAIL_COMPONENTS_ENCODED_WORDS_H_
#define MAIL_COMPONENTS_ENCODED_WORDS_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "emlbreaker/strings.h"

namespace ascommon {
class CCharsetConverter;
}

namespace nsEmlComponents {

// Decodes every encoded word of `text` into `decoded` (wide text); the text
// outside the words is read as ISO-8859-1. `charset` is the charset of the last
// decoded word, empty when there is none. A word that lacks its second or third
// "?" or its closing "?=" is not a word: its "=?" is dropped and the rest read
// on. Returns 0; -10 when memory runs out; -11 for a null argument; -303 when a
// word's bytes cannot be converted from its charset (an unknown charset
// included), in which case `decoded` and `charset` hold what was decoded before
// that word.
int32_t DecodeEncodedWords(const ascommon::CCharsetConverter* converter, std::string_view text,
                           ascommon::usstring* decoded, ascommon::sstring* charset);

// The "B" decoding of encoded words: groups of four characters, a shorter
// remainder ignored; characters outside the alphabet and "=" count as zero
// bits; decoded zero bytes are dropped. Appends to *out.
void DecodeBase64Leniently(std::string_view encoded, std::string* out);

// The "Q" decoding: "_" is a blank, "=XY" one byte 16 * X + Y with each digit
// worth its value and any other character its upper-case code minus 55 (so no
// escape is ever refused); "=" before CR or LF is a soft line break; an "=" too
// close to the end is dropped with what follows; CR, LF and tab are dropped.
// A zero byte is dropped too: wide strings end at their first 0. Appends to *out.
void DecodeQLeniently(std::string_view encoded, std::string* out);

}  // namespace nsEmlComponents

#endif  // MAIL_COMPONENTS_ENCODED_WORDS_H_
