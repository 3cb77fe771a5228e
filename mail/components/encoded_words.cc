#include "mail/components/encoded_words.h"

#include <algorithm>
#include <new>

#include "common/charset_converter.h"
#include "mail/components/header_text.h"

namespace nsEmlComponents {
namespace {

// Value of one character of the Base64 alphabet; anything else (the padding
// "=" included) counts as zero bits, which is what lets sloppy mailers through.
uint32_t Base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return 0;
}

// A Q hex digit as the decoder has always read it: digits by value, anything
// else as its upper-case code minus 55, unchecked.
int QDigit(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - 32);
  return static_cast<int>(c) - 55;
}

// Widens ISO-8859-1 text; zero bytes cannot live in a wide string and are dropped.
void AppendLatin1(std::string_view text, std::u16string* out) {
  for (char c : text) {
    if (c != 0) out->push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  }
}

// Converts the decoded bytes of one word into *wide. No charset the converter
// knows yields more than one wide unit per byte; the retry guards against one
// that does.
int32_t ConvertWord(const ascommon::CCharsetConverter& converter, const char* charset,
                    const std::string& bytes, std::u16string* wide) {
  size_t capacity = bytes.size() + 8;
  for (int attempt = 0; attempt < 2; ++attempt, capacity = bytes.size() * 4 + 16) {
    wide->resize(capacity);
    size_t produced = capacity;
    const int32_t code =
        converter.ToWide(charset, bytes.data(), bytes.size(), wide->data(), &produced, false);
    if (code == ascommon::CCharsetConverter::kOk) {
      wide->resize(std::min(produced, capacity));
      return kHeaderOk;
    }
    if (code != ascommon::CCharsetConverter::kOutputTooSmall) break;
  }
  return kHeaderConversionFailed;
}

int32_t Store(const std::u16string& result, std::string_view last_charset,
              ascommon::usstring* decoded, ascommon::sstring* charset) {
  if (StoreText(decoded, result) != kHeaderOk) return kHeaderNoMemory;
  return StoreText(charset, last_charset);
}

}  // namespace

void DecodeBase64Leniently(std::string_view encoded, std::string* out) {
  const size_t groups = encoded.size() / 4;
  for (size_t g = 0; g < groups; ++g) {
    uint32_t bits = 0;
    for (size_t k = 0; k < 4; ++k) {
      bits = (bits << 6) | Base64Value(static_cast<unsigned char>(encoded[g * 4 + k]));
    }
    for (int shift = 16; shift >= 0; shift -= 8) {
      const char byte = static_cast<char>((bits >> shift) & 0xFF);
      if (byte != 0) out->push_back(byte);
    }
  }
}

void DecodeQLeniently(std::string_view encoded, std::string* out) {
  for (size_t i = 0; i < encoded.size(); ++i) {
    const char c = encoded[i];
    if (c == '_') {
      out->push_back(' ');
    } else if (c == '=') {
      const size_t left = encoded.size() - i - 1;
      if (left >= 1 && (encoded[i + 1] == '\r' || encoded[i + 1] == '\n')) {
        ++i;  // soft line break
      } else if (left < 2) {
        break;  // a truncated escape goes with what little follows it
      } else {
        const int value = 16 * QDigit(static_cast<unsigned char>(encoded[i + 1])) +
                          QDigit(static_cast<unsigned char>(encoded[i + 2]));
        const char byte = static_cast<char>(static_cast<unsigned char>(value & 0xFF));
        if (byte != 0) out->push_back(byte);
        i += 2;
      }
    } else if (c != '\r' && c != '\n' && c != '\t' && c != 0) {
      out->push_back(c);
    }
  }
}

int32_t DecodeEncodedWords(const ascommon::CCharsetConverter* converter, std::string_view text,
                           ascommon::usstring* decoded, ascommon::sstring* charset) {
  if (converter == nullptr || decoded == nullptr || charset == nullptr) {
    return kHeaderInvalidPointer;
  }
  constexpr size_t npos = std::string_view::npos;
  try {
    std::u16string result;
    result.reserve(text.size());
    std::string bytes;
    std::u16string wide;
    std::string_view last_charset;
    // A search for "?=" that failed from some offset fails from every later
    // one: remembering it keeps a value full of unterminated words linear.
    size_t no_terminator_from = npos;
    size_t pos = 0;
    while (pos < text.size()) {
      const size_t start = text.find("=?", pos);
      if (start == npos) {
        AppendLatin1(text.substr(pos), &result);
        break;
      }
      AppendLatin1(text.substr(pos, start - pos), &result);
      const size_t charset_begin = start + 2;
      pos = charset_begin;  // where the next pass starts when this is no word
      const size_t charset_end = text.find('?', charset_begin);
      if (charset_end == npos) continue;
      const size_t letter_end = text.find('?', charset_end + 1);
      if (letter_end == npos) continue;
      const size_t encoded_begin = letter_end + 1;
      size_t encoded_end = npos;
      if (no_terminator_from == npos || encoded_begin < no_terminator_from) {
        encoded_end = text.find("?=", encoded_begin);
        if (encoded_end == npos) no_terminator_from = encoded_begin;
      }
      if (encoded_end == npos) continue;

      const std::string_view word_charset = text.substr(charset_begin, charset_end - charset_begin);
      const std::string_view letter = text.substr(charset_end + 1, letter_end - charset_end - 1);
      const std::string_view encoded = text.substr(encoded_begin, encoded_end - encoded_begin);
      bytes.clear();
      if (letter == "B" || letter == "b") {
        DecodeBase64Leniently(encoded, &bytes);
      } else if (letter == "Q" || letter == "q") {
        DecodeQLeniently(encoded, &bytes);
      } else {
        bytes.assign(encoded.data(), encoded.size());
      }
      const ascommon::sstring charset_name(word_charset);
      if (charset_name.GetError() != 0) return kHeaderNoMemory;
      if (ConvertWord(*converter, charset_name.c_str(), bytes, &wide) != kHeaderOk) {
        const int32_t stored = Store(result, last_charset, decoded, charset);
        return stored != kHeaderOk ? stored : kHeaderConversionFailed;
      }
      for (char16_t unit : wide) {
        if (unit != 0) result.push_back(unit);
      }
      last_charset = word_charset;
      pos = encoded_end + 2;
    }
    return Store(result, last_charset, decoded, charset);
  } catch (const std::bad_alloc&) {
    return kHeaderNoMemory;
  }
}

}  // namespace nsEmlComponents
