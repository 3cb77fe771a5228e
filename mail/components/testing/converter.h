// The charset converter that unit tests and fuzz targets of the mail analysis
// hand to the code they drive: Latin-1 fallback on, made ready on first use
// and never destroyed, so every case of a test program and every run of a fuzz
// target shares one. It is only read after that, from any number of threads.
#ifndef MAIL_COMPONENTS_TESTING_CONVERTER_H_
#define MAIL_COMPONENTS_TESTING_CONVERTER_H_

#include "common/charset_converter.h"
#include "emlbreaker/strings.h"

namespace nsEmlComponents {

inline const ascommon::CCharsetConverter& TestConverter() {
  static const ascommon::CCharsetConverter* const converter = [] {
    auto* ready = new ascommon::CCharsetConverter(true);
    ready->Init(ascommon::usstring(u""));
    return ready;
  }();
  return *converter;
}

}  // namespace nsEmlComponents

#endif  // MAIL_COMPONENTS_TESTING_CONVERTER_H_
