// For tests of the text analyses: UTF-8 literals to the wide text they read,
// and wide results back to UTF-8 for comparison.
#ifndef MAIL_COMPONENTS_TESTING_WIDE_TEXT_H_
#define MAIL_COMPONENTS_TESTING_WIDE_TEXT_H_

#include <string>

#include "emlbreaker/strings.h"

namespace nsEmlComponents {

inline std::u16string Wide(const std::string& utf8) {
  return std::u16string(ascommon::usstring::FromUtf8(utf8).View());
}
inline std::string Narrow(const ascommon::usstring& wide) {
  return ascommon::sstring(wide).c_str();
}

}  // namespace nsEmlComponents

#endif  // MAIL_COMPONENTS_TESTING_WIDE_TEXT_H_
