// The two string classes every part of the system keeps its text in: sstring holds
// 8-bit text, usstring 16-bit wide text (char16_t units).
//
// A string is either unset (no buffer at all) or set (a buffer that is always
// terminated by a 0 unit). Unset and empty are different states: an unset string
// compares unequal to everything, even to another unset string, which is why a
// CMap keyed by strings never finds an unset key. Text stops at its first 0 unit:
// every way of putting text in (pointer, pointer and count, view) copies up to the
// first 0 at most, so Length() always equals the length of the C string. A null
// pointer, or a view without data (a default std::string_view), gives an unset string.
//
// Nothing here throws. A failed allocation in a constructor or an assignment sets
// GetError() to -2 and leaves the string unset (constructors) or unchanged
// (assignments); the operations that return int return 0 or -2.
//
// Conversion between the classes is strict UTF-8 <-> UTF-16: the process runs in
// the "C" locale, where the C library's multibyte conversion would refuse every
// non-ASCII character, so this system fixes the 8-bit side of a conversion to
// UTF-8. Invalid input (bad or overlong sequences, surrogates encoded in UTF-8,
// unpaired surrogates in UTF-16) yields an unset string.
//
// Strings are values: one string may be read from several threads at once, but a
// string that is being changed must not be touched by another thread.
#ifndef EMLBREAKER_STRINGS_H_
#define EMLBREAKER_STRINGS_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "emlbreaker/blackbox_object.h"
#include "emlbreaker/platform.h"

namespace ascommon {

class usstring;
struct StringImpl;

// 8-bit text. Comparisons and searches work on unsigned byte values; the
// case-insensitive ones fold the ASCII letters only.
class sstring : public CBlackBoxObject {
 public:
  using char_type = char;

  sstring() = default;
  // Copies a terminated text; null gives an unset string.
  sstring(const char* text);  // NOLINT: implicit, as a string literal is a string
  // Copies at most n characters of text, stopping at its first 0.
  sstring(const char* text, size_t n);
  explicit sstring(std::string_view text);
  // Strict UTF-16 -> UTF-8; an unset source or invalid UTF-16 gives an unset string.
  explicit sstring(const usstring& wide);
  sstring(const sstring& other);
  sstring(sstring&& other) noexcept;
  ~sstring() override;

  sstring& operator=(const sstring& other);
  sstring& operator=(sstring&& other) noexcept;

  static sstring FromUtf16(std::u16string_view wide);

  // Copies text; null frees the buffer and makes the string unset.
  int Assign(const char* text);
  // Copies at most n characters of text (up to its first 0) and terminates.
  int Assign(const char* text, size_t n);
  // n characters ch (length n), or with ch 0 a zeroed scratch buffer of n characters
  // (length 0, capacity n) to write into through GetBuffer(); n 0 does nothing.
  int Fill(size_t n, char ch);
  // Appending to an unset string assigns; otherwise the buffer is replaced by one
  // of exactly the joined length.
  int Append(const char* text);
  int Append(const sstring& other);
  int Append(std::string_view text);

  // -3 when this string is unset, -2 when other is null or unset, otherwise -1, 0
  // or 1 by unsigned byte order (ASCII case folded when ignore_case is true).
  int Compare(const sstring& other, bool ignore_case) const;
  int Compare(const char* other, bool ignore_case) const;

  // An object equals itself. When exactly one side is unset, == is false and != and
  // < are true; when both are unset, all three are false.
  bool operator==(const sstring& other) const;
  bool operator!=(const sstring& other) const;
  bool operator<(const sstring& other) const;

  // Searches answer true and the position in *pos (pos may be null) of the first
  // match at or after from; an unset string or a null argument finds nothing, and
  // the character 0 is never found.
  bool Find(const char* sub, size_t* pos, size_t from = 0) const;
  bool FindNoCase(const char* sub, size_t* pos, size_t from = 0) const;  // ASCII folded
  bool FindChar(char ch, size_t* pos, size_t from = 0) const;
  bool ReverseFindChar(char ch, size_t* pos) const;  // last occurrence

  // 0 for an unset or empty string; otherwise h = 5381, then h = h * 33 ^ c for each
  // byte taken as a signed char widened to 32 bits.
  uint32_t Hash() const;

  // Change the ASCII letters only.
  void MakeLower();
  void MakeUpper();

  bool IsSet() const { return buffer != nullptr; }
  bool IsEmpty() const { return length == 0; }  // unset or ""
  size_t Length() const { return length; }
  size_t Capacity() const { return capacity; }
  int32_t GetError() const { return error; }
  // The buffer itself: null when unset. Writing through it (after Fill(n, 0)) must
  // stay within Capacity() characters; call UpdateLength() afterwards.
  const char* GetBuffer() const { return buffer; }
  char* GetBuffer() { return buffer; }
  void UpdateLength();
  // Never null: "" for an unset string.
  const char* c_str() const { return buffer != nullptr ? buffer : ""; }
  std::string_view View() const { return std::string_view(c_str(), length); }

 private:
  friend struct StringImpl;

  char* buffer = nullptr;
  size_t length = 0;
  size_t capacity = 0;  // characters allocated for buffer, terminator included
  int32_t error = 0;
};

// Builds a new string from both; unset when both are unset or empty.
sstring operator+(const sstring& left, const sstring& right);

// 16-bit wide text. With ignoreCase set, the comparison operators of this string
// (as left-hand operand) fold both sides with FoldCase16 below, as _wcsicmp does.
class usstring : public CBlackBoxObject {
 public:
  using char_type = char16_t;

  usstring() = default;
  usstring(const char16_t* text);  // NOLINT: implicit, as a string literal is a string
  usstring(const char16_t* text, size_t n);
  explicit usstring(std::u16string_view text);
  // Strict UTF-8 -> UTF-16; an unset source or invalid UTF-8 gives an unset string.
  explicit usstring(const sstring& narrow);
  usstring(const usstring& other);
  usstring(usstring&& other) noexcept;
  ~usstring() override;

  usstring& operator=(const usstring& other);
  usstring& operator=(usstring&& other) noexcept;

  static usstring FromUtf8(std::string_view narrow);

  int Assign(const char16_t* text);
  int Assign(const char16_t* text, size_t n);
  int Fill(size_t n, char16_t ch);
  int Append(const char16_t* text);
  int Append(const usstring& other);
  int Append(std::u16string_view text);

  bool operator==(const usstring& other) const;
  bool operator!=(const usstring& other) const;
  bool operator<(const usstring& other) const;
  bool operator>(const usstring& other) const;  // false when either side is unset

  bool Find(const char16_t* sub, size_t* pos, size_t from = 0) const;
  bool FindNoCase(const char16_t* sub, size_t* pos, size_t from = 0) const;  // ASCII folded
  bool FindChar(char16_t ch, size_t* pos, size_t from = 0) const;
  bool ReverseFindChar(char16_t ch, size_t* pos) const;

  // As sstring::Hash, each unit entering as its unsigned 16-bit value.
  uint32_t Hash() const;

  void MakeLower();  // ASCII letters only
  void MakeUpper();

  bool IgnoreCase() const { return ignoreCase; }
  void SetIgnoreCase(bool value) { ignoreCase = value; }

  bool IsSet() const { return buffer != nullptr; }
  bool IsEmpty() const { return length == 0; }
  size_t Length() const { return length; }
  size_t Capacity() const { return capacity; }
  int32_t GetError() const { return error; }
  const char16_t* GetBuffer() const { return buffer; }
  char16_t* GetBuffer() { return buffer; }
  void UpdateLength();
  const char16_t* c_str() const { return buffer != nullptr ? buffer : u""; }
  std::u16string_view View() const { return std::u16string_view(c_str(), length); }

 private:
  friend struct StringImpl;

  char16_t* buffer = nullptr;
  size_t length = 0;
  size_t capacity = 0;
  bool ignoreCase = false;
  int32_t error = 0;
};

usstring operator+(const usstring& left, const usstring& right);

// The case folding of usstring's case-insensitive comparisons: simple lower-casing
// of one 16-bit unit, independent of the locale. It covers ASCII, Latin-1, Latin
// Extended-A, basic Greek and basic Cyrillic; every other unit is left as it is.
char16_t FoldCase16(char16_t unit);

}  // namespace ascommon

#endif  // EMLBREAKER_STRINGS_H_
