// Code-unit tests of the HTML analysis (the scanner, the tag features and the
// URL host rules), ASCII only and without the C library's locale: tag names,
// attribute names and the values the rules compare are ASCII.
#ifndef MAIL_COMPONENTS_HTML_UNITS_H_
#define MAIL_COMPONENTS_HTML_UNITS_H_

#include <cstddef>

namespace nsEmlComponents {

inline char16_t AsciiUpper(char16_t c) { return c >= u'a' && c <= u'z' ? c - (u'a' - u'A') : c; }

inline bool IsAsciiDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// True when the NUL-terminated `text` starts with `name` (ASCII case folded)
// directly followed by `separator`.
inline bool StartsWithName(const char16_t* text, const char16_t* name, char16_t separator) {
  size_t i = 0;
  for (; name[i] != 0; ++i) {
    if (AsciiUpper(text[i]) != AsciiUpper(name[i])) return false;
  }
  return text[i] == separator;
}

}  // namespace nsEmlComponents

#endif  // MAIL_COMPONENTS_HTML_UNITS_H_
