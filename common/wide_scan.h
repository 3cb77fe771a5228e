// Scans over mail text sixteen bytes at a time (eight 16-bit units, or
// sixteen bytes). Mail text is mostly ASCII and the searches in it are for
// one unit ("h" of "http://", a zero), so these loops carry the converters
// and the URL finder; the standard library's char16_t searches go one unit
// at a time.
#ifndef EMLBREAKER_COMMON_WIDE_SCAN_H_
#define EMLBREAKER_COMMON_WIDE_SCAN_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ascommon {

// The first position of `unit` in [text, text + length), or length. Reads
// nothing outside the range.
inline size_t FindUnit(const char16_t* text, size_t length, char16_t unit) {
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i wanted = _mm_set1_epi16(static_cast<short>(unit));
  for (; i + 8 <= length; i += 8) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
    const int mask = _mm_movemask_epi8(_mm_cmpeq_epi16(block, wanted));
    if (mask != 0) return i + static_cast<size_t>(__builtin_ctz(mask)) / 2;
  }
#endif
  for (; i < length; ++i) {
    if (text[i] == unit) return i;
  }
  return length;
}

// The number of units at the start of [text, text + length) below 0x80.
inline size_t AsciiPrefix(const char16_t* text, size_t length) {
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i high = _mm_set1_epi16(static_cast<short>(0xFF80));
  for (; i + 8 <= length; i += 8) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
    const __m128i wide = _mm_cmpeq_epi16(_mm_and_si128(block, high), _mm_setzero_si128());
    const int mask = _mm_movemask_epi8(wide) ^ 0xFFFF;  // set where a unit is >= 0x80
    if (mask != 0) return i + static_cast<size_t>(__builtin_ctz(mask)) / 2;
  }
#endif
  for (; i < length; ++i) {
    if (text[i] >= 0x80) return i;
  }
  return length;
}

// Writes the bytes of `count` units below 0x80 to out.
inline void NarrowAscii(const char16_t* text, size_t count, char* out) {
  size_t i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= count; i += 16) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i + 8));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(low, high));
  }
#endif
  for (; i < count; ++i) out[i] = static_cast<char>(text[i]);
}

// The number of bytes at the start of [bytes, bytes + length) below 0x80.
inline size_t AsciiPrefix(const unsigned char* bytes, size_t length) {
  size_t i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= length; i += 16) {
    const int mask =
        _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i)));
    if (mask != 0) return i + static_cast<size_t>(__builtin_ctz(mask));
  }
#endif
  for (; i < length; ++i) {
    if (bytes[i] >= 0x80) return i;
  }
  return length;
}

// Widens `count` bytes to units, each unit the byte's value.
inline void WidenBytes(const unsigned char* bytes, size_t count, char16_t* out) {
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  for (; i + 16 <= count; i += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi8(block, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), _mm_unpackhi_epi8(block, zero));
  }
#endif
  for (; i < count; ++i) out[i] = bytes[i];
}

// Copies the ASCII run at the start of [in, in + in_left), as far as out_left
// units of out allow, widened to out's unit; returns its length.
inline size_t CopyAsciiRun(const unsigned char* in, size_t in_left, char16_t* out,
                           size_t out_left) {
  const size_t run = AsciiPrefix(in, in_left < out_left ? in_left : out_left);
  WidenBytes(in, run, out);
  return run;
}

// The same from units to bytes.
inline size_t CopyAsciiRun(const char16_t* in, size_t in_left, char* out, size_t out_left) {
  const size_t run = AsciiPrefix(in, in_left < out_left ? in_left : out_left);
  NarrowAscii(in, run, out);
  return run;
}

// The bytes [text, text + length) takes in UTF-8, counting each unit of a
// surrogate pair as three (so an upper bound when there are pairs).
inline size_t Utf8Bound(const char16_t* text, size_t length) {
  size_t bytes = 0;
  for (size_t i = 0; i < length; ++i) {
    const size_t run = AsciiPrefix(text + i, length - i);
    bytes += run;
    i += run;
    if (i == length) break;
    bytes += text[i] < 0x800 ? 2 : 3;
  }
  return bytes;
}

// The first position at or after `from` where `pattern` (not empty) starts
// in `text`, or npos.
inline size_t FindWide(std::u16string_view text, std::u16string_view pattern, size_t from) {
  const size_t n = pattern.size();
  while (from < text.size() && text.size() - from >= n) {
    const size_t at =
        from + FindUnit(text.data() + from, text.size() - from - (n - 1), pattern[0]);
    if (at + n > text.size()) break;
    if (std::memcmp(text.data() + at + 1, pattern.data() + 1, (n - 1) * sizeof(char16_t)) == 0) {
      return at;
    }
    from = at + 1;
  }
  return std::u16string_view::npos;
}

// The first occurrence of [pattern, pattern + n) in [text, text + length), or null;
// memmem's answer. Sixteen candidate positions at a time: a position is looked at
// only when both the pattern's first and last bytes stand where they would, which in
// mail text and the prefilter's literals is seldom, so the scan runs at vector speed
// where memmem reads every byte through its shift table.
inline const char* FindBytes(const char* text, size_t length, const char* pattern, size_t n) {
  if (n == 0) return text;
  if (n > length) return nullptr;
  if (n == 1) return static_cast<const char*>(std::memchr(text, pattern[0], length));
  size_t i = 0;
  const size_t last = n - 1;
#if defined(__SSE2__)
  const __m128i first_byte = _mm_set1_epi8(pattern[0]);
  const __m128i last_byte = _mm_set1_epi8(pattern[last]);
  // Block i covers the starts i .. i + 15, whose last bytes end at i + 15 + last.
  for (; i + 16 + last <= length; i += 16) {
    const __m128i firsts = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
    const __m128i lasts = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i + last));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_and_si128(_mm_cmpeq_epi8(firsts, first_byte), _mm_cmpeq_epi8(lasts, last_byte))));
    while (mask != 0) {
      const size_t at = i + static_cast<size_t>(__builtin_ctz(mask));
      if (std::memcmp(text + at + 1, pattern + 1, last - 1) == 0) return text + at;
      mask &= mask - 1;
    }
  }
#endif
  for (; i + n <= length; ++i) {
    if (text[i] == pattern[0] && text[i + last] == pattern[last] &&
        std::memcmp(text + i + 1, pattern + 1, last - 1) == 0) {
      return text + i;
    }
  }
  return nullptr;
}

}  // namespace ascommon

#endif  // EMLBREAKER_COMMON_WIDE_SCAN_H_
