// Feeds arbitrary text through the URL finder, as the text analysis runs it
// over a plain-text part, and through the URL decoder, both on every URL found
// and on the whole input taken as one address (as an HREF would hand it over).
// Bytes become wide text one unit per byte pair (UTF-16LE) when the first byte
// is odd, else one unit per byte, so every unit value can be reached.
#include <cstddef>
#include <cstdint>
#include <string>

#include "emlbreaker/array.h"
#include "emlbreaker/parts_tree.h"
#include "mail/components/url_finder.h"

namespace {

// URLs are short; longer inputs only repeat paths already taken.
constexpr size_t kFuzzMaxBytes = 64 << 10;

std::u16string ToWide(const uint8_t* data, size_t size) {
  std::u16string wide;
  if (size == 0) return wide;
  if (data[0] & 1) {
    for (size_t i = 1; i + 1 < size; i += 2)
      wide.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  } else {
    wide.assign(data + 1, data + size);
  }
  return wide;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kFuzzMaxBytes) return 0;
  const std::u16string text = ToWide(data, size);

  ascommon::CArray<nsEmlComponents::CUrl, 64> urls;
  nsEmlComponents::ExtractTextUrls(text.c_str(), urls);
  const size_t length = std::char_traits<char16_t>::length(text.c_str());
  for (auto& url : urls) {
    // A URL is a piece of the text, at most as long as it.
    if (url.raw.Length() > length || url.decoded.Length() > url.raw.Length()) __builtin_trap();
  }

  nsEmlComponents::CUrl whole;
  whole.raw.Assign(text.c_str());
  uint8_t encoded = 0;
  nsEmlComponents::DecodeUrl(whole, encoded);
  if (whole.decoded.Length() > whole.raw.Length()) __builtin_trap();
  return 0;
}
