#include "mail/components/html_analysis.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string_view>

#include "common/wide_scan.h"
#include "mail/components/html_scanner.h"
#include "mail/components/html_tag_features.h"
#include "mail/components/text_analysis.h"
#include "mail/components/url_finder.h"

namespace nsEmlComponents {

int ScanHtml(const char16_t* source, char16_t* output, size_t capacity, CHtmlInfo& info,
             const CHtmlTables* tables) {
  if (tables == nullptr || !tables->IsBuilt()) return -12;
  if (source == nullptr || output == nullptr || capacity < 2) return -11;
  try {
    auto scanner = std::make_unique<CHtmlScanner>(*tables, output, capacity, info);
    CHtmlTagFeatures features(*scanner, info);
    scanner->Run(source, features);
    scanner->Finish();
    features.Finish();
    // A character reference may have put a zero unit in the text; the URLs are
    // looked for before it.
    const char16_t* text = scanner->Text();
    const int code = ExtractTextUrls(
        std::u16string_view(text, ascommon::FindUnit(text, scanner->TextLength(), u'\0')),
        info.links);
    for (CUrl& link : info.links) link.decoded.MakeLower();
    return code;
  } catch (const std::bad_alloc&) {
    output[0] = 0;
    return -10;
  }
}

int AnalyseHtmlPart(CPartBodyTextHtml& body, const char16_t* source, uint32_t length_with_nul,
                    const CHtmlTables* tables, const ascommon::CCharsetConverter& converter) {
  if (source == nullptr) return -11;
  const size_t length = length_with_nul > 0 ? length_with_nul - 1 : 0;
  if (body.source.Assign(source, length) != 0) return -10;
  // Every source unit yields at most one visible unit, after the leading space.
  const size_t capacity = body.source.Length() + 2;
  if (body.visibleText.Fill(capacity, 0) != 0) return -10;
  if (body.info.Reset() != 0) return -10;
  int code =
      ScanHtml(body.source.c_str(), body.visibleText.GetBuffer(), capacity, body.info, tables);
  body.visibleText.UpdateLength();
  if (code != 0) return code;
  code = ConvertToUtf8(body.visibleText, converter, &body.utf8VisibleText);
  if (code != 0) return code;
  return ConvertToUtf8(body.source, converter, &body.utf8Source);
}

}  // namespace nsEmlComponents
