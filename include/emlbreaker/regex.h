// The regular-expression object that libpatmatch.so hands out through its
// export NewRegEx. A rule condition owns one object per pattern: it compiles
// the pattern once when the rule set loads and matches mail text with it many
// times. An object is used by one thread at a time; different objects may be
// used concurrently.
//
// The slot order is the binary interface between the plug-in and the library.
#ifndef EMLBREAKER_REGEX_H_
#define EMLBREAKER_REGEX_H_

#include <cstdint>

// Flags of CARegEx::Compile.
inline constexpr int32_t kRegexCaseInsensitive = 2;

class CARegEx {
 public:
  // slot 0: deleting destructor.
  virtual ~CARegEx() = default;
  // slot 1: compiles `pattern` (terminated UTF-8; PCRE2 syntax). Returns 0 on
  // success, otherwise non-zero and keeps the reason for GetError.
  virtual int32_t Compile(const char* pattern, int32_t flags) = 0;
  // slot 2: the last compile error as "message at offset N", or "" when the
  // last Compile succeeded. Valid until the next Compile on this object.
  virtual const char* GetError() = 0;
  // slot 3: 1 when the compiled pattern occurs in the `length` bytes at
  // `text`, 0 otherwise (also when nothing is compiled, or the match gives up
  // at its limits). The text need not be valid UTF-8 nor terminated.
  virtual uint8_t Match(const char* text, uint32_t length, int32_t reserved1,
                        int32_t reserved2) = 0;
};

extern "C" {
// "NewRegEx": a new, empty regex object, or null when memory is short.
typedef CARegEx* (*NewRegExFn)();
}

#endif  // EMLBREAKER_REGEX_H_
