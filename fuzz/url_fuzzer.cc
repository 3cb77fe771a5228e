// Text in (pairs of bytes as 16-bit units), URLs out: the extractor and the
// decoder must stay inside their strings whatever the text holds.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "mail/components/text_part.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<char16_t> text(size / 2 + 1, u'\0');
  for (size_t i = 0; i + 1 < size; i += 2)
    text[i / 2] = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
  ascommon::CArray<nsEmlComponents::CUrl, 64> urls;
  nsEmlComponents::ExtractTextUrls(text.data(), urls);
  for (size_t i = 0; i < urls.GetSize(); ++i) {
    uint8_t encoded = 0;
    nsEmlComponents::DecodeUrl(urls[i], encoded);
    if (urls[i].decoded.Length() > urls[i].raw.Length()) __builtin_trap();
  }
  return 0;
}
