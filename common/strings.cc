// sstring and usstring share one implementation, written once over the unit type
// in StringImpl; the two classes only forward to it.
#include "emlbreaker/strings.h"

#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>

#include "common/wide_scan.h"

namespace ascommon {

namespace {

using Traits8 = std::char_traits<char>;
using Traits16 = std::char_traits<char16_t>;

// Every buffer gets one hidden unit past its capacity, always 0, so that even a
// scratch buffer from Fill(n, 0) that its writer filled to the brim stays terminated.
template <class Ch>
Ch* AllocateUnits(size_t capacity) {
  if (capacity >= std::numeric_limits<ptrdiff_t>::max() / sizeof(Ch) - 1) return nullptr;
  Ch* units = new (std::nothrow) Ch[capacity + 1];
  if (units != nullptr) units[capacity] = 0;
  return units;
}

// Length of text up to its first 0, looking at no more than n units.
size_t BoundedLength(const char* text, size_t n) {
  if (n == 0) return 0;
  if (n == std::numeric_limits<size_t>::max()) return Traits8::length(text);
  const void* zero = std::memchr(text, 0, n);
  return zero != nullptr ? static_cast<const char*>(zero) - text : n;
}

size_t BoundedLength(const char16_t* text, size_t n) {
  if (n == std::numeric_limits<size_t>::max()) return Traits16::length(text);
  return FindUnit(text, n, u'\0');
}

inline uint32_t FoldAscii(uint32_t c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }
inline uint32_t UpperAscii(uint32_t c) { return c >= 'a' && c <= 'z' ? c - 32 : c; }

// -1/0/1 of two unit sequences compared as unsigned values, the shorter one first
// on a common prefix (as the terminated strings they are).
template <class Ch, class Fold>
int CompareUnits(const Ch* a, size_t a_len, const Ch* b, size_t b_len, Fold fold) {
  using U = std::make_unsigned_t<Ch>;
  const size_t n = a_len < b_len ? a_len : b_len;
  for (size_t i = 0; i < n; ++i) {
    const uint32_t x = fold(static_cast<U>(a[i]));
    const uint32_t y = fold(static_cast<U>(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a_len == b_len ? 0 : (a_len < b_len ? -1 : 1);
}

struct NoFold {
  uint32_t operator()(uint32_t c) const { return c; }
};
struct AsciiFold {
  uint32_t operator()(uint32_t c) const { return FoldAscii(c); }
};
struct WideFold {
  uint32_t operator()(uint32_t c) const { return FoldCase16(static_cast<char16_t>(c)); }
};

// Knuth-Morris-Pratt, so a search stays linear in the haystack whatever the needle:
// both sides may come from a mail.
template <class Ch, class Fold>
bool SearchUnits(const Ch* hay, size_t n, const Ch* needle, size_t m, Fold fold, size_t* at) {
  using U = std::make_unsigned_t<Ch>;
  auto unit = [&fold](const Ch* s, size_t i) { return fold(static_cast<U>(s[i])); };
  if (m == 0) {
    *at = 0;
    return true;
  }
  if (m > n) return false;
  size_t small_table[64];
  std::unique_ptr<size_t[]> big_table;
  size_t* failure = small_table;
  if (m > 64) {
    big_table.reset(new (std::nothrow) size_t[m]);
    failure = big_table.get();
  }
  if (failure == nullptr) {  // no memory for the table: fall back to the plain scan
    for (size_t i = 0; i + m <= n; ++i) {
      size_t j = 0;
      while (j < m && unit(hay, i + j) == unit(needle, j)) ++j;
      if (j == m) {
        *at = i;
        return true;
      }
    }
    return false;
  }
  failure[0] = 0;
  for (size_t i = 1, k = 0; i < m; ++i) {
    while (k > 0 && unit(needle, i) != unit(needle, k)) k = failure[k - 1];
    if (unit(needle, i) == unit(needle, k)) ++k;
    failure[i] = k;
  }
  for (size_t i = 0, k = 0; i < n; ++i) {
    while (k > 0 && unit(hay, i) != unit(needle, k)) k = failure[k - 1];
    if (unit(hay, i) == unit(needle, k)) ++k;
    if (k == m) {
      *at = i + 1 - m;
      return true;
    }
  }
  return false;
}

// Decodes one UTF-8 sequence at text[*i], advancing *i; -1 when it is invalid
// (stray continuation, truncated, overlong, surrogate, above U+10FFFF).
int32_t DecodeUtf8(const unsigned char* text, size_t n, size_t* i) {
  const unsigned char lead = text[(*i)++];
  if (lead < 0x80) return lead;
  int extra;
  int32_t cp;
  int32_t min;
  if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1, cp = lead & 0x1F, min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2, cp = lead & 0x0F, min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3, cp = lead & 0x07, min = 0x10000;
  } else {
    return -1;
  }
  if (n - *i < static_cast<size_t>(extra)) return -1;
  for (int k = 0; k < extra; ++k) {
    const unsigned char next = text[(*i)++];
    if ((next & 0xC0) != 0x80) return -1;
    cp = (cp << 6) | (next & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
  return cp;
}

// Decodes one code point of UTF-16 at text[*i]; -1 for an unpaired surrogate.
int32_t DecodeUtf16(const char16_t* text, size_t n, size_t* i) {
  const uint32_t unit = text[(*i)++];
  if (unit < 0xD800 || unit > 0xDFFF) return static_cast<int32_t>(unit);
  if (unit > 0xDBFF || *i == n) return -1;
  const uint32_t low = text[*i];
  if (low < 0xDC00 || low > 0xDFFF) return -1;
  ++*i;
  return static_cast<int32_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
}

}  // namespace

char16_t FoldCase16(char16_t unit) {
  const uint32_t c = unit;
  if (c < 0x80) return static_cast<char16_t>(FoldAscii(c));
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 0x20);
  if (c >= 0x100 && c <= 0x17F) {  // Latin Extended-A: upper/lower pairs
    if (c == 0x130) return u'i';
    if (c == 0x178) return 0xFF;
    if (c == 0x138 || c == 0x149 || c == 0x17F) return unit;
    const bool odd_is_upper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    const bool is_upper = odd_is_upper ? (c & 1) != 0 : (c & 1) == 0;
    return static_cast<char16_t>(is_upper ? c + 1 : c);
  }
  if (c >= 0x386 && c <= 0x3AB) {  // Greek
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return static_cast<char16_t>(c + 0x20);
    if (c == 0x386) return 0x3AC;
    if (c >= 0x388 && c <= 0x38A) return static_cast<char16_t>(c + 37);
    if (c == 0x38C) return 0x3CC;
    if (c == 0x38E || c == 0x38F) return static_cast<char16_t>(c + 63);
    return unit;
  }
  if (c >= 0x400 && c <= 0x40F) return static_cast<char16_t>(c + 0x50);  // Cyrillic
  if (c >= 0x410 && c <= 0x42F) return static_cast<char16_t>(c + 0x20);
  return unit;
}

// The shared body of both string classes; S is sstring or usstring.
struct StringImpl {
  template <class S>
  using Unit = typename S::char_type;

  template <class S>
  static void Release(S& s) {
    delete[] s.buffer;
    s.buffer = nullptr;
    s.length = 0;
    s.capacity = 0;
  }

  // Makes s hold the n units of text, which contain no 0. The buffer is reused
  // when it is large enough; text may point into it.
  template <class S>
  static int SetUnits(S& s, const Unit<S>* text, size_t n) {
    if (s.buffer != nullptr && s.capacity > n) {
      std::memmove(s.buffer, text, n * sizeof(Unit<S>));
    } else {
      Unit<S>* units = AllocateUnits<Unit<S>>(n + 1);
      if (units == nullptr) {
        s.error = -2;
        return -2;
      }
      std::memcpy(units, text, n * sizeof(Unit<S>));
      delete[] s.buffer;
      s.buffer = units;
      s.capacity = n + 1;
    }
    s.buffer[n] = 0;
    s.length = n;
    s.error = 0;
    return 0;
  }

  template <class S>
  static int Assign(S& s, const Unit<S>* text, size_t max) {
    if (text == nullptr) {
      Release(s);
      s.error = 0;
      return 0;
    }
    return SetUnits(s, text, BoundedLength(text, max));
  }

  template <class S>
  static void CopyConstruct(S& s, const S& other) {
    if (other.buffer == nullptr) return;
    Unit<S>* units = AllocateUnits<Unit<S>>(other.capacity);
    if (units == nullptr) {
      s.error = -2;
      return;
    }
    std::memcpy(units, other.buffer, other.capacity * sizeof(Unit<S>));
    s.buffer = units;
    s.length = other.length;
    s.capacity = other.capacity;
  }

  template <class S>
  static void CopyAssign(S& s, const S& other) {
    if (&s == &other) return;
    S copy(other);
    if (copy.error != 0) {
      s.error = -2;
      return;
    }
    MoveAssign(s, copy);
  }

  template <class S>
  static void MoveConstruct(S& s, S& other) {
    s.buffer = other.buffer;
    s.length = other.length;
    s.capacity = other.capacity;
    s.error = other.error;
    other.buffer = nullptr;
    other.length = 0;
    other.capacity = 0;
    other.error = 0;
  }

  template <class S>
  static void MoveAssign(S& s, S& other) {
    if (&s == &other) return;
    delete[] s.buffer;
    MoveConstruct(s, other);
  }

  template <class S>
  static int Fill(S& s, size_t n, Unit<S> ch) {
    if (n == 0) return 0;
    const size_t capacity = ch != 0 ? n + 1 : n;
    Unit<S>* units =
        n < std::numeric_limits<size_t>::max() ? AllocateUnits<Unit<S>>(capacity) : nullptr;
    if (units == nullptr) {
      s.error = -2;
      return -2;
    }
    for (size_t i = 0; i < n; ++i) units[i] = ch;
    units[n] = 0;
    delete[] s.buffer;
    s.buffer = units;
    s.length = ch != 0 ? n : 0;
    s.capacity = capacity;
    s.error = 0;
    return 0;
  }

  template <class S>
  static int Append(S& s, const Unit<S>* text, size_t max) {
    if (s.buffer == nullptr) return Assign(s, text, max);
    if (text == nullptr) return 0;
    const size_t n = BoundedLength(text, max);
    if (n > std::numeric_limits<size_t>::max() - s.length - 1) {
      s.error = -2;
      return -2;
    }
    Unit<S>* units = AllocateUnits<Unit<S>>(s.length + n + 1);
    if (units == nullptr) {
      s.error = -2;
      return -2;
    }
    std::memcpy(units, s.buffer, s.length * sizeof(Unit<S>));
    std::memcpy(units + s.length, text, n * sizeof(Unit<S>));  // text may be s itself
    units[s.length + n] = 0;
    delete[] s.buffer;
    s.buffer = units;
    s.length += n;
    s.capacity = s.length + 1;
    s.error = 0;
    return 0;
  }

  template <class S>
  static S Concat(const S& left, const S& right) {
    S result;
    if (left.length == 0 && right.length == 0) return result;
    if (left.buffer != nullptr) result.Append(left);
    result.Append(right);
    return result;
  }

  // Outcome of a comparison operator when either side is unset or both are the same
  // object; false in *decided means the texts must be compared.
  template <class S>
  static bool Trivial(const S& a, const S& b, bool when_same, bool one_unset, bool* decided) {
    *decided = true;
    if (&a == &b) return when_same;
    const bool a_set = a.buffer != nullptr;
    const bool b_set = b.buffer != nullptr;
    if (!a_set && !b_set) return false;
    if (a_set != b_set) return one_unset;
    *decided = false;
    return false;
  }

  template <class S, class Fold>
  static int Order(const S& a, const S& b, Fold fold) {
    return CompareUnits(a.buffer, a.length, b.buffer, b.length, fold);
  }

  template <class S, class Fold>
  static bool Find(const S& s, const Unit<S>* sub, size_t* pos, size_t from, Fold fold) {
    if (s.buffer == nullptr || sub == nullptr || from > s.length) return false;
    size_t at = 0;
    const size_t m = std::char_traits<Unit<S>>::length(sub);
    if (!SearchUnits(s.buffer + from, s.length - from, sub, m, fold, &at)) return false;
    if (pos != nullptr) *pos = from + at;
    return true;
  }

  template <class S>
  static bool FindChar(const S& s, Unit<S> ch, size_t* pos, size_t from) {
    if (s.buffer == nullptr || ch == 0 || from >= s.length) return false;
    const Unit<S>* hit = std::char_traits<Unit<S>>::find(s.buffer + from, s.length - from, ch);
    if (hit == nullptr) return false;
    if (pos != nullptr) *pos = hit - s.buffer;
    return true;
  }

  template <class S>
  static bool ReverseFindChar(const S& s, Unit<S> ch, size_t* pos) {
    if (s.buffer == nullptr || ch == 0) return false;
    for (size_t i = s.length; i > 0; --i) {
      if (s.buffer[i - 1] == ch) {
        if (pos != nullptr) *pos = i - 1;
        return true;
      }
    }
    return false;
  }

  template <class S, class Widen>
  static uint32_t Hash(const S& s, Widen widen) {
    if (s.length == 0) return 0;
    uint32_t h = 5381;
    for (size_t i = 0; i < s.length; ++i) h = (h * 33) ^ widen(s.buffer[i]);
    return h;
  }

  template <class S, class Map>
  static void MapUnits(S& s, Map map) {
    for (size_t i = 0; i < s.length; ++i) s.buffer[i] = static_cast<Unit<S>>(map(s.buffer[i]));
  }

  template <class S>
  static void UpdateLength(S& s) {
    if (s.buffer != nullptr) s.length = std::char_traits<Unit<S>>::length(s.buffer);
  }

  static void FromUtf16(sstring& s, const char16_t* wide, size_t n) {
    // As in FromUtf8: the leading ASCII run is narrowed without decoding, in both passes.
    const size_t ascii = AsciiPrefix(wide, n);
    size_t bytes = ascii;
    for (size_t i = ascii; i < n;) {
      const int32_t cp = DecodeUtf16(wide, n, &i);
      if (cp < 0) return;
      bytes += cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    }
    char* out = AllocateUnits<char>(bytes + 1);
    if (out == nullptr) {
      s.error = -2;
      return;
    }
    NarrowAscii(wide, ascii, out);
    size_t o = ascii;
    for (size_t i = ascii; i < n;) {
      const uint32_t cp = static_cast<uint32_t>(DecodeUtf16(wide, n, &i));
      if (cp < 0x80) {
        out[o++] = static_cast<char>(cp);
      } else if (cp < 0x800) {
        out[o++] = static_cast<char>(0xC0 | (cp >> 6));
        out[o++] = static_cast<char>(0x80 | (cp & 0x3F));
      } else if (cp < 0x10000) {
        out[o++] = static_cast<char>(0xE0 | (cp >> 12));
        out[o++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[o++] = static_cast<char>(0x80 | (cp & 0x3F));
      } else {
        out[o++] = static_cast<char>(0xF0 | (cp >> 18));
        out[o++] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out[o++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[o++] = static_cast<char>(0x80 | (cp & 0x3F));
      }
    }
    out[o] = 0;
    s.buffer = out;
    s.length = bytes;
    s.capacity = bytes + 1;
  }

  static void FromUtf8(usstring& s, const char* narrow, size_t n) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(narrow);
    // Header values and most text are ASCII: its leading run is widened unit by unit,
    // without decoding, in both passes.
    const size_t ascii = AsciiPrefix(bytes, n);
    size_t units = ascii;
    for (size_t i = ascii; i < n;) {
      const int32_t cp = DecodeUtf8(bytes, n, &i);
      if (cp < 0) return;
      units += cp < 0x10000 ? 1 : 2;
    }
    char16_t* out = AllocateUnits<char16_t>(units + 1);
    if (out == nullptr) {
      s.error = -2;
      return;
    }
    WidenBytes(bytes, ascii, out);
    size_t o = ascii;
    for (size_t i = ascii; i < n;) {
      const uint32_t cp = static_cast<uint32_t>(DecodeUtf8(bytes, n, &i));
      if (cp < 0x10000) {
        out[o++] = static_cast<char16_t>(cp);
      } else {
        out[o++] = static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
        out[o++] = static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
      }
    }
    out[o] = 0;
    s.buffer = out;
    s.length = units;
    s.capacity = units + 1;
  }
};

namespace {
constexpr size_t kNoLimit = std::numeric_limits<size_t>::max();
uint32_t WidenSigned(char c) {
  return static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(c)));
}
uint32_t WidenUnit(char16_t c) { return c; }
}  // namespace

// ---- sstring ----

sstring::sstring(const char* text) { StringImpl::Assign(*this, text, kNoLimit); }
sstring::sstring(const char* text, size_t n) { StringImpl::Assign(*this, text, n); }
sstring::sstring(std::string_view text) { StringImpl::Assign(*this, text.data(), text.size()); }
sstring::sstring(const usstring& wide) {
  if (wide.IsSet()) StringImpl::FromUtf16(*this, wide.GetBuffer(), wide.Length());
}
sstring::sstring(const sstring& other) : CBlackBoxObject(other) {
  StringImpl::CopyConstruct(*this, other);
}
sstring::sstring(sstring&& other) noexcept { StringImpl::MoveConstruct(*this, other); }
sstring::~sstring() { delete[] buffer; }

sstring& sstring::operator=(const sstring& other) {
  StringImpl::CopyAssign(*this, other);
  return *this;
}
sstring& sstring::operator=(sstring&& other) noexcept {
  StringImpl::MoveAssign(*this, other);
  return *this;
}

sstring sstring::FromUtf16(std::u16string_view wide) {
  sstring result;
  if (wide.data() == nullptr) return result;
  StringImpl::FromUtf16(result, wide.data(), BoundedLength(wide.data(), wide.size()));
  return result;
}

int sstring::Assign(const char* text) { return StringImpl::Assign(*this, text, kNoLimit); }
int sstring::Assign(const char* text, size_t n) { return StringImpl::Assign(*this, text, n); }
int sstring::Fill(size_t n, char ch) { return StringImpl::Fill(*this, n, ch); }
int sstring::Append(const char* text) { return StringImpl::Append(*this, text, kNoLimit); }
int sstring::Append(const sstring& other) {
  return StringImpl::Append(*this, other.buffer, other.length);
}
int sstring::Append(std::string_view text) {
  return StringImpl::Append(*this, text.data(), text.size());
}

int sstring::Compare(const sstring& other, bool ignore_case) const {
  return Compare(other.buffer, ignore_case);
}

int sstring::Compare(const char* other, bool ignore_case) const {
  if (buffer == nullptr) return -3;
  if (other == nullptr) return -2;
  const size_t other_length = Traits8::length(other);
  return ignore_case ? CompareUnits(buffer, length, other, other_length, AsciiFold())
                     : CompareUnits(buffer, length, other, other_length, NoFold());
}

bool sstring::operator==(const sstring& other) const {
  bool decided;
  const bool trivial = StringImpl::Trivial(*this, other, true, false, &decided);
  if (decided) return trivial;
  return length == other.length && std::memcmp(buffer, other.buffer, length) == 0;
}

bool sstring::operator!=(const sstring& other) const {
  bool decided;
  const bool trivial = StringImpl::Trivial(*this, other, false, true, &decided);
  if (decided) return trivial;
  return length != other.length || std::memcmp(buffer, other.buffer, length) != 0;
}

bool sstring::operator<(const sstring& other) const {
  bool decided;
  const bool trivial = StringImpl::Trivial(*this, other, false, true, &decided);
  if (decided) return trivial;
  return StringImpl::Order(*this, other, NoFold()) < 0;
}

bool sstring::Find(const char* sub, size_t* pos, size_t from) const {
  if (buffer == nullptr || sub == nullptr || from > length) return false;
  const void* hit = FindBytes(buffer + from, length - from, sub, Traits8::length(sub));
  if (hit == nullptr) return false;
  if (pos != nullptr) *pos = static_cast<const char*>(hit) - buffer;
  return true;
}

bool sstring::FindNoCase(const char* sub, size_t* pos, size_t from) const {
  return StringImpl::Find(*this, sub, pos, from, AsciiFold());
}
bool sstring::FindChar(char ch, size_t* pos, size_t from) const {
  return StringImpl::FindChar(*this, ch, pos, from);
}
bool sstring::ReverseFindChar(char ch, size_t* pos) const {
  return StringImpl::ReverseFindChar(*this, ch, pos);
}
uint32_t sstring::Hash() const { return StringImpl::Hash(*this, WidenSigned); }
void sstring::MakeLower() { StringImpl::MapUnits(*this, FoldAscii); }
void sstring::MakeUpper() { StringImpl::MapUnits(*this, UpperAscii); }
void sstring::UpdateLength() { StringImpl::UpdateLength(*this); }

sstring operator+(const sstring& left, const sstring& right) {
  return StringImpl::Concat(left, right);
}

// ---- usstring ----

usstring::usstring(const char16_t* text) { StringImpl::Assign(*this, text, kNoLimit); }
usstring::usstring(const char16_t* text, size_t n) { StringImpl::Assign(*this, text, n); }
usstring::usstring(std::u16string_view text) {
  StringImpl::Assign(*this, text.data(), text.size());
}
usstring::usstring(const sstring& narrow) {
  if (narrow.IsSet()) StringImpl::FromUtf8(*this, narrow.GetBuffer(), narrow.Length());
}
usstring::usstring(const usstring& other) : CBlackBoxObject(other), ignoreCase(other.ignoreCase) {
  StringImpl::CopyConstruct(*this, other);
}
usstring::usstring(usstring&& other) noexcept : ignoreCase(other.ignoreCase) {
  StringImpl::MoveConstruct(*this, other);
}
usstring::~usstring() { delete[] buffer; }

usstring& usstring::operator=(const usstring& other) {
  if (this == &other) return *this;
  StringImpl::CopyAssign(*this, other);
  if (error == 0) ignoreCase = other.ignoreCase;
  return *this;
}
usstring& usstring::operator=(usstring&& other) noexcept {
  if (this == &other) return *this;
  ignoreCase = other.ignoreCase;
  StringImpl::MoveAssign(*this, other);
  return *this;
}

usstring usstring::FromUtf8(std::string_view narrow) {
  usstring result;
  if (narrow.data() == nullptr) return result;
  StringImpl::FromUtf8(result, narrow.data(), BoundedLength(narrow.data(), narrow.size()));
  return result;
}

int usstring::Assign(const char16_t* text) { return StringImpl::Assign(*this, text, kNoLimit); }
int usstring::Assign(const char16_t* text, size_t n) { return StringImpl::Assign(*this, text, n); }
int usstring::Fill(size_t n, char16_t ch) { return StringImpl::Fill(*this, n, ch); }
int usstring::Append(const char16_t* text) { return StringImpl::Append(*this, text, kNoLimit); }
int usstring::Append(const usstring& other) {
  return StringImpl::Append(*this, other.buffer, other.length);
}
int usstring::Append(std::u16string_view text) {
  return StringImpl::Append(*this, text.data(), text.size());
}

bool usstring::operator==(const usstring& other) const {
  bool decided;
  const bool trivial = StringImpl::Trivial(*this, other, true, false, &decided);
  if (decided) return trivial;
  if (length != other.length) return false;
  return ignoreCase ? StringImpl::Order(*this, other, WideFold()) == 0
                    : Traits16::compare(buffer, other.buffer, length) == 0;
}

bool usstring::operator!=(const usstring& other) const {
  bool decided;
  const bool trivial = StringImpl::Trivial(*this, other, false, true, &decided);
  if (decided) return trivial;
  if (length != other.length) return true;
  return ignoreCase ? StringImpl::Order(*this, other, WideFold()) != 0
                    : Traits16::compare(buffer, other.buffer, length) != 0;
}

bool usstring::operator<(const usstring& other) const {
  bool decided;
  const bool trivial = StringImpl::Trivial(*this, other, false, true, &decided);
  if (decided) return trivial;
  return (ignoreCase ? StringImpl::Order(*this, other, WideFold())
                     : StringImpl::Order(*this, other, NoFold())) < 0;
}

bool usstring::operator>(const usstring& other) const {
  bool decided;
  const bool trivial = StringImpl::Trivial(*this, other, false, false, &decided);
  if (decided) return trivial;
  return (ignoreCase ? StringImpl::Order(*this, other, WideFold())
                     : StringImpl::Order(*this, other, NoFold())) > 0;
}

bool usstring::Find(const char16_t* sub, size_t* pos, size_t from) const {
  return StringImpl::Find(*this, sub, pos, from, NoFold());
}
bool usstring::FindNoCase(const char16_t* sub, size_t* pos, size_t from) const {
  return StringImpl::Find(*this, sub, pos, from, AsciiFold());
}
bool usstring::FindChar(char16_t ch, size_t* pos, size_t from) const {
  return StringImpl::FindChar(*this, ch, pos, from);
}
bool usstring::ReverseFindChar(char16_t ch, size_t* pos) const {
  return StringImpl::ReverseFindChar(*this, ch, pos);
}
uint32_t usstring::Hash() const { return StringImpl::Hash(*this, WidenUnit); }
void usstring::MakeLower() { StringImpl::MapUnits(*this, FoldAscii); }
void usstring::MakeUpper() { StringImpl::MapUnits(*this, UpperAscii); }
void usstring::UpdateLength() { StringImpl::UpdateLength(*this); }

usstring operator+(const usstring& left, const usstring& right) {
  usstring result = StringImpl::Concat(left, right);
  result.SetIgnoreCase(left.IgnoreCase());
  return result;
}

}  // namespace ascommon
