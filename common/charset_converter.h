// Converts 8-bit text in a named MIME character set to 16-bit wide text, and
// wide text to UTF-8. Names resolve to code-page numbers through a fixed alias
// table of 68 names; the conversions themselves are strict: a byte sequence
// that is invalid in its character set fails with kInvalidInput, it is never
// replaced or skipped.
//
// One converter belongs to one real breaker and is shared by all the threads
// breaking mails; after Init it is only read. Conversions keep per-thread
// iconv state, so any number of threads may convert at once.
#ifndef COMMON_CHARSET_CONVERTER_H_
#define COMMON_CHARSET_CONVERTER_H_

#include <cstddef>
#include <cstdint>

#include "emlbreaker/strings.h"

namespace ascommon {

class CCharsetConverter {
 public:
  // Return codes.
  enum : int32_t {
    kOk = 0,
    kNullArgument = -1,
    kUnknownCharset = -3,      // unknown or unusable character set, other failure
    kNotReady = -4,            // Init was not called
    kInvalidInput = -50,       // invalid or untranslatable input sequence
    kOutputTooSmall = -51,
    kNoFallbackCharset = -52,  // the fallback library knows neither charset
    kPartial = -53,            // converted only in part (never returned here)
  };

  explicit CCharsetConverter(bool latin1_fallback = true) : latin1Fallback(latin1_fallback) {}
  CCharsetConverter(const CCharsetConverter&) = delete;
  CCharsetConverter& operator=(const CCharsetConverter&) = delete;

  // Marks the converter ready. `libs_path` is where an outside conversion
  // library would be looked for; this platform converts with iconv, so none is
  // loaded.
  void Init(const usstring& libs_path);
  bool IsReady() const { return ready; }

  // The code page of a charset name (ASCII letters folded), or -1.
  static int32_t LookupCodePage(const char* charset);

  // Converts `input_length` bytes to wide text. *output_length is the size of
  // `output` in wide characters on entry and the count produced on return.
  // `partial` is accepted for the callers' sake and changes nothing.
  int32_t ToWide(const char* charset, const char* input, size_t input_length, char16_t* output,
                 size_t* output_length, bool partial) const;

  // Converts wide text to UTF-8. With a null `output` only the length needed
  // is computed (3 bytes per surrogate unit, so it may exceed what a surrogate
  // pair really takes). An unpaired surrogate becomes U+FFFD.
  int32_t ToUtf8(const char16_t* input, size_t length, char* output,
                 size_t* output_length) const;

  // The iconv name this platform uses for a code page, or null when it has
  // none. Exposed for diagnostics and tests.
  static const char* IconvName(int32_t code_page);

 private:
  // The fallback library's wide encoding and its Latin-1 switch keep their places in the
  // layout; iconv needs neither.
  [[maybe_unused]] const char* wideCharset = "UCS-2LE";
  [[maybe_unused]] bool latin1Fallback = false;
  bool ready = false;
};

}  // namespace ascommon

#endif  // COMMON_CHARSET_CONVERTER_H_
