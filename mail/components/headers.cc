#include "mail/components/headers.h"

#include <utility>

#include "mail/components/header_text.h"

namespace nsEmlComponents {

int32_t WideHeaderValue(std::string_view raw, ascommon::usstring* wide) {
  ascommon::usstring converted = ascommon::usstring::FromUtf8(raw);
  if (converted.GetError() != 0) return kHeaderNoMemory;
  if (!converted.IsSet()) return StoreText(wide, std::u16string_view());
  *wide = std::move(converted);
  return wide->GetError() == 0 ? kHeaderOk : kHeaderNoMemory;
}

void DeleteHeaders(CHeaderMap* headers) {
  if (headers == nullptr || headers->GetCount() == 0) return;
  const uint32_t count = headers->GetCount();
  CHeaderMap::Position position = headers->GetStartPosition();
  for (uint32_t i = 0; i < count; ++i) {
    delete position.Value();
    position.Value() = nullptr;
    if (i + 1 < count) position.Next();
  }
}

}  // namespace nsEmlComponents
