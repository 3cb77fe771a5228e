// The URLs written in mail text: the finder, which picks them out of a text
// part or of the visible text of an HTML part, and the decoder, which resolves
// the escapes of a URL's raw text (the HTML analysis runs it on the addresses
// of its tags as well). The lists they fill, and those of the HTML summary,
// grow with AppendGrowing.
//
// Everything here is stateless; the functions may run on any number of threads
// at once as long as each works on its own list.
#ifndef MAIL_COMPONENTS_URL_FINDER_H_
#define MAIL_COMPONENTS_URL_FINDER_H_

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include "emlbreaker/array.h"
#include "emlbreaker/parts_tree.h"

namespace nsEmlComponents {

// Appends `element` to `array`. CArray grows by its fixed chunk, so a list built
// one element at a time costs time quadratic in its length, and one mail can
// carry tens of thousands of URLs or anchors: when the array is full, this
// reserves twice its capacity first (falling back on the plain chunk when that
// much memory is not there). 0, or -2 when the element cannot be stored.
template <class T, size_t N>
int AppendGrowing(ascommon::CArray<T, N>& array, T&& element) {
  if (array.GetSize() + 1 >= array.GetCapacity()) {
    const size_t doubled = array.GetCapacity() < N ? N : 2 * array.GetCapacity();
    array.SetSize(doubled, false);
  }
  return array.Add(std::move(element));
}

// Appends every URL of the NUL-terminated `text` to `urls`, in order of
// occurrence: spans starting at "http://" or "www." (case-sensitive, also in the
// middle of a word), ending at white space, or at the closing ">" or double
// quote when the URL stands after "<" or a double quote (white space inside
// such a span is dropped, which joins URLs a mailer wrapped over lines), less
// trailing punctuation. `decoded` is filled by DecodeUrl and keeps its case.
// Returns 0; -11 for a null text; -10 when memory runs out (the URLs found so
// far stay in the list). Linear in the length of the text.
int ExtractTextUrls(const char16_t* text, ascommon::CArray<CUrl, 64>& urls);
// The same over a text whose length is known and that holds no zero unit.
int ExtractTextUrls(std::u16string_view text, ascommon::CArray<CUrl, 64>& urls);

// Fills url.decoded from url.raw, resolving "%XY" and "&#NNN;" escapes (a
// "&" that starts no numeric reference is copied as it stands). Sets
// encoded_flag to 1, and never clears it, when an escape spelt a letter, a
// digit, ":", "/" or "\": a plain character written as an escape is how
// addresses hide from word filters. Returns 0, or -10 when memory runs out.
int DecodeUrl(CUrl& url, uint8_t& encoded_flag);

}  // namespace nsEmlComponents

#endif  // MAIL_COMPONENTS_URL_FINDER_H_
