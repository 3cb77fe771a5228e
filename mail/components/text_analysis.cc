#include "mail/components/text_analysis.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include "common/charset_converter.h"
#include "mail/components/url_finder.h"

namespace nsEmlComponents {

int ConvertToUtf8(const ascommon::usstring& text, const ascommon::CCharsetConverter& converter,
                  ascommon::sstring* utf8) {
  size_t needed = 0;
  if (converter.ToUtf8(text.c_str(), text.Length(), nullptr, &needed) != 0) return -53;
  if (needed == SIZE_MAX) return -10;
  ascommon::sstring converted;
  if (converted.Fill(needed + 1, 0) != 0) return -10;
  size_t written = needed;
  if (converter.ToUtf8(text.c_str(), text.Length(), converted.GetBuffer(), &written) != 0) {
    return -53;
  }
  converted.GetBuffer()[written] = 0;
  converted.UpdateLength();
  *utf8 = std::move(converted);
  return 0;
}

int AnalyseTextPart(CPartBodyTextPlain& body, const char16_t* text, uint32_t length_with_nul,
                    const ascommon::CCharsetConverter& converter) {
  if (text == nullptr) return -11;
  const size_t length = length_with_nul > 0 ? length_with_nul - 1 : 0;
  if (body.text.Assign(text, length) != 0) return -10;
  int code = ConvertToUtf8(body.text, converter, &body.utf8Text);
  if (code != 0) return code;
  // The text was taken up to its first zero unit.
  code = ExtractTextUrls(std::u16string_view(body.text.c_str(), body.text.Length()), body.urls);
  if (code != 0) return code;
  for (CUrl& url : body.urls) url.decoded.MakeLower();
  return 0;
}

}  // namespace nsEmlComponents
