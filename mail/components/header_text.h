// Small text helpers shared by the header parsers. Internal to mail/components.
#ifndef MAIL_COMPONENTS_HEADER_TEXT_H_
#define MAIL_COMPONENTS_HEADER_TEXT_H_

#include <cstdint>
#include <string_view>

#include "emlbreaker/strings.h"

namespace nsEmlComponents {

// Return codes of the header parsers.
enum : int32_t {
  kHeaderOk = 0,
  kHeaderNoMemory = -10,         // memory or storage failure
  kHeaderInvalidPointer = -11,   // no converter, no source, no map
  kHeaderMapInconsistent = -12,  // a replaced key could not be found again
  kHeaderConversionFailed = -303,
};

// The white space the header parsers skip: blank, tab, CR, LF.
inline bool IsHeaderSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
inline bool IsHeaderSpace(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

template <class Char>
std::basic_string_view<Char> SkipHeaderSpace(std::basic_string_view<Char> text) {
  size_t start = 0;
  while (start < text.size() && IsHeaderSpace(text[start])) ++start;
  return text.substr(start);
}

template <class Char>
std::basic_string_view<Char> TrimHeaderSpace(std::basic_string_view<Char> text) {
  text = SkipHeaderSpace(text);
  size_t end = text.size();
  while (end > 0 && IsHeaderSpace(text[end - 1])) --end;
  return text.substr(0, end);
}

inline char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

// True when both are equal with the ASCII letters folded.
inline bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
  }
  return true;
}

// Stores text (up to its first 0) as a set string: 0, or kHeaderNoMemory.
inline int32_t StoreText(ascommon::sstring* target, std::string_view text) {
  const int result = target->Assign(text.data() != nullptr ? text.data() : "", text.size());
  return result == 0 ? kHeaderOk : kHeaderNoMemory;
}
inline int32_t StoreText(ascommon::usstring* target, std::u16string_view text) {
  const int result = target->Assign(text.data() != nullptr ? text.data() : u"", text.size());
  return result == 0 ? kHeaderOk : kHeaderNoMemory;
}

// A raw header value as wide text. The process runs in the "C" locale, so the
// value is read as UTF-8 (strings.h); bytes that are not valid UTF-8 give an
// empty value rather than a guess. 0, or kHeaderNoMemory.
int32_t WideHeaderValue(std::string_view raw, ascommon::usstring* wide);

}  // namespace nsEmlComponents

#endif  // MAIL_COMPONENTS_HEADER_TEXT_H_
