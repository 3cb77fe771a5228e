#include "mail/components/text_part.h"

#include <cstring>
#include <string>
#include <vector>

namespace nsEmlComponents {
namespace {

constexpr int32_t kNoMemory = -10;
constexpr int32_t kConversionFailed = -53;

bool IsBlank(char16_t c) { return c == u' ' || c == u'\n' || c == u'\t' || c == u'\r'; }

bool IsTrailing(char16_t c) {
  static constexpr char16_t kSet[] = u".;:)([],!?|'\"_";
  for (const char16_t* p = kSet; *p != u'\0'; ++p)
    if (*p == c) return true;
  return false;
}

// The first occurrence of `needle` in [from, end), or end.
const char16_t* Search(const char16_t* from, const char16_t* end, const char16_t* needle,
                       size_t length) {
  for (const char16_t* p = from; p + length <= end; ++p) {
    if (p[0] == needle[0] && std::memcmp(p, needle, length * sizeof(char16_t)) == 0) return p;
  }
  return end;
}

bool IsHex(char16_t c) {
  return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}
int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  return c - u'A' + 10;
}

// What an escape may spell to hide an address from a plain-text search.
bool Matters(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
         c == u':' || c == u'/' || c == u'\\';
}

}  // namespace

int32_t DecodeUrl(CUrl& url, uint8_t& encodedFlag) {
  const char16_t* raw = url.raw.c_str();
  const size_t length = url.raw.Length();
  std::u16string out;
  try {
    out.reserve(length);
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  }
  enum { kNormal, kAmpersand, kNumeric, kPercent } state = kNormal;
  char16_t collected[4];
  size_t count = 0;
  auto decoded = [&](char16_t c) {
    if (Matters(c)) encodedFlag = 1;
    out.push_back(c);
  };
  for (size_t i = 0; i < length; ++i) {
    const char16_t c = raw[i];
    switch (state) {
      case kNormal:
        if (c == u'&') {
          state = kAmpersand;
        } else if (c == u'%') {
          state = kPercent;
          count = 0;
        } else {
          out.push_back(c);
        }
        break;
      case kAmpersand:
        if (c == u'#') {
          state = kNumeric;
          count = 0;
        } else if (c == u'%') {
          out.push_back(u'&');
          state = kPercent;
          count = 0;
        } else {
          out.push_back(u'&');
          out.push_back(c);
          state = kNormal;
        }
        break;
      case kNumeric:
        collected[count++] = c;
        if (c == u';' || count == 4) {
          // The last collected unit (the ";" or the fourth) is dropped.
          unsigned value = 0;
          for (size_t k = 0; k + 1 < count && collected[k] >= u'0' && collected[k] <= u'9'; ++k)
            value = value * 10 + static_cast<unsigned>(collected[k] - u'0');
          if (value >= 32) decoded(static_cast<char16_t>(value));
          state = kNormal;
        }
        break;
      case kPercent:
        collected[count++] = c;
        if (count == 2) {
          int value = 0;
          if (IsHex(collected[0])) {
            value = HexValue(collected[0]) * 16;
            if (IsHex(collected[1])) value += HexValue(collected[1]);
          }
          if (value != 0) decoded(static_cast<char16_t>(value));
          state = kNormal;
        }
        break;
    }
  }
  // An escape still open at the end is dropped.
  return url.decoded.Assign(out.c_str(), out.size()) == 0 ? 0 : kNoMemory;
}

int32_t ExtractTextUrls(const char16_t* text, ascommon::CArray<CUrl, 64>& urls) {
  if (text == nullptr) return 0;
  const char16_t* const end = text + std::char_traits<char16_t>::length(text);
  const char16_t* search = text;
  while (search < end) {
    const char16_t* http = Search(search, end, u"http://", 7);
    const char16_t* www = Search(search, end, u"www.", 4);
    if (http == end && www == end) break;
    const char16_t* start = http <= www ? http : www;
    const size_t prefix = http <= www ? 7 : 4;

    // Step left over blanks for a "<" or a double quote that opens the URL.
    const char16_t* left = start > search ? start - 1 : start;
    while (left > search && IsBlank(*left)) --left;
    const char16_t* stop = end;
    bool delimited = false;
    if (*left == u'<' || *left == u'"') {
      const char16_t close = *left == u'<' ? u'>' : u'"';
      for (const char16_t* p = start + 1; p < end; ++p) {
        if (*p == close) {
          stop = p;
          delimited = true;
          break;
        }
      }
    }
    if (!delimited) {
      stop = start;
      while (stop < end && !IsBlank(*stop)) ++stop;
    }
    while (stop > start && IsTrailing(stop[-1])) --stop;

    if (static_cast<size_t>(stop - start) > prefix) {
      CUrl url;
      int stored = 0;
      if (delimited) {
        std::u16string joined;
        for (const char16_t* p = start; p < stop; ++p)
          if (!IsBlank(*p)) joined.push_back(*p);
        stored = url.raw.Assign(joined.c_str(), joined.size());
      } else {
        stored = url.raw.Assign(start, static_cast<size_t>(stop - start));
      }
      uint8_t encoded = 0;
      if (stored != 0 || DecodeUrl(url, encoded) != 0 || urls.Add(std::move(url)) != 0)
        return kNoMemory;
    }
    search = stop > start ? stop : start + 1;
    // A too-short match at `start` must not be found again.
    if (search <= start) search = start + 1;
  }
  return 0;
}

int32_t AnalyseTextPart(CPartBodyTextPlain& body, const char16_t* text, uint32_t lengthWithNul,
                        const ascommon::CCharsetConverter& converter) {
  const size_t length = lengthWithNul > 0 ? lengthWithNul - 1 : 0;
  if (body.text.Assign(text != nullptr ? text : u"", length) != 0) return kNoMemory;
  size_t needed = 0;
  if (converter.ToUtf8(body.text.c_str(), body.text.Length(), nullptr, &needed) != 0)
    return kConversionFailed;
  std::vector<char> utf8;
  try {
    utf8.assign(needed + 1, '\0');
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  }
  size_t written = needed + 1;
  if (converter.ToUtf8(body.text.c_str(), body.text.Length(), utf8.data(), &written) != 0)
    return kConversionFailed;
  if (written > needed) written = needed;
  if (body.utf8Text.Assign(utf8.data(), written) != 0) return kNoMemory;
  const int32_t code = ExtractTextUrls(body.text.c_str(), body.urls);
  if (code != 0) return code;
  for (size_t i = 0; i < body.urls.GetSize(); ++i) {
    ascommon::usstring& decoded = body.urls[i].decoded;
    char16_t* units = decoded.GetBuffer();
    for (size_t k = 0; units != nullptr && k < decoded.Length(); ++k)
      units[k] = ascommon::FoldCase16(units[k]);
  }
  return 0;
}

}  // namespace nsEmlComponents
