#include "mail/components/url_finder.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include "common/wide_scan.h"

namespace nsEmlComponents {
namespace {

using ascommon::usstring;

constexpr size_t kNotFound = std::u16string_view::npos;

// Repeated searches for one pattern from positions that only move forward. A
// hit still ahead of the new position is answered from memory, and a search
// that found nothing is never repeated, so a text full of "<http://" without
// any ">" is still read once per pattern rather than once per URL.
class ForwardFinder {
 public:
  ForwardFinder(std::u16string_view text, std::u16string_view pattern)
      : text_(text), pattern_(pattern) {}

  size_t FindFrom(size_t from) {
    if (searched_ && (found_ == kNotFound || found_ >= from)) return found_;
    found_ = ascommon::FindWide(text_, pattern_, from);
    searched_ = true;
    return found_;
  }

 private:
  std::u16string_view text_;
  std::u16string_view pattern_;
  size_t found_ = kNotFound;
  bool searched_ = false;
};

bool IsUrlBlank(char16_t c) { return c == u' ' || c == u'\n' || c == u'\t' || c == u'\r'; }

// What a sentence or a bracket puts after a URL rather than what a URL ends in.
bool IsTrailingPunctuation(char16_t c) {
  return std::u16string_view(u".;:)([],!?|'\"_").find(c) != kNotFound;
}

// An escape that spells one of these is hiding a plain character of the address.
bool IsTellingEscape(uint32_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
         c == u':' || c == u'/' || c == u'\\';
}

int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// The span [start, end) of text as a URL's raw text; for a URL between
// delimiters the white space a mailer wrapped it with is left out.
int CopyRaw(std::u16string_view span, bool drop_blanks, usstring* raw) {
  if (!drop_blanks) return raw->Assign(span.data(), span.size()) == 0 ? 0 : -10;
  if (raw->Fill(span.size(), 0) != 0) return -10;
  char16_t* out = raw->GetBuffer();
  size_t written = 0;
  for (char16_t c : span) {
    if (!IsUrlBlank(c)) out[written++] = c;
  }
  out[written] = 0;
  raw->UpdateLength();
  return 0;
}

}  // namespace

int ExtractTextUrls(const char16_t* text, ascommon::CArray<CUrl, 64>& urls) {
  if (text == nullptr) return -11;
  return ExtractTextUrls(std::u16string_view(text), urls);
}

int ExtractTextUrls(std::u16string_view all, ascommon::CArray<CUrl, 64>& urls) {
  ForwardFinder http(all, u"http://"), www(all, u"www."), angle(all, u">"), quote(all, u"\"");
  size_t pos = 0;
  for (;;) {
    const size_t at_http = http.FindFrom(pos);
    const size_t at_www = www.FindFrom(pos);
    if (at_http == kNotFound && at_www == kNotFound) break;
    const bool is_http = at_http < at_www;
    const size_t start = is_http ? at_http : at_www;
    const size_t prefix = is_http ? 7 : 4;

    // "<http://...>" and "\"http://...\"" are how mailers keep a long URL in
    // one piece across a line break, with blanks possibly between the
    // delimiter and the URL.
    size_t left = start > pos ? start - 1 : start;
    while (left > pos && IsUrlBlank(all[left])) --left;
    size_t end = kNotFound;
    if (all[left] == u'<') {
      end = angle.FindFrom(start);
    } else if (all[left] == u'"') {
      end = quote.FindFrom(start);
    }
    const bool delimited = end != kNotFound;
    if (!delimited) {
      end = all.find_first_of(u" \n\r\t", start);
      if (end == kNotFound) end = all.size();
    }
    while (end > start && IsTrailingPunctuation(all[end - 1])) --end;

    if (end - start > prefix) {
      CUrl url;
      if (CopyRaw(all.substr(start, end - start), delimited, &url.raw) != 0) return -10;
      uint8_t ignored_flag = 0;
      if (DecodeUrl(url, ignored_flag) != 0) return -10;
      if (AppendGrowing(urls, std::move(url)) != 0) return -10;
    }
    pos = end;
  }
  return 0;
}

int DecodeUrl(CUrl& url, uint8_t& encoded_flag) {
  const size_t length = url.raw.Length();
  if (length == 0) return url.decoded.Assign(u"") == 0 ? 0 : -10;
  // No escape decodes to more units than it is written with, so the raw
  // length bounds the decoded one.
  usstring decoded;
  if (decoded.Fill(length, 0) != 0) return -10;
  char16_t* out = decoded.GetBuffer();
  size_t written = 0;
  auto put = [&](char16_t c) {
    if (written < length) out[written++] = c;
  };
  auto put_escaped = [&](uint32_t value) {
    if (IsTellingEscape(value)) encoded_flag = 1;
    put(static_cast<char16_t>(value));
  };

  enum class State { kNormal, kAmpersand, kNumeric, kPercent } state = State::kNormal;
  char16_t collected[4];
  size_t count = 0;
  const char16_t* raw = url.raw.c_str();
  for (size_t i = 0; i < length; ++i) {
    const char16_t c = raw[i];
    switch (state) {
      case State::kNormal:
        if (c == u'&') {
          state = State::kAmpersand;
        } else if (c == u'%') {
          state = State::kPercent;
          count = 0;
        } else {
          put(c);
        }
        break;
      case State::kAmpersand:
        if (c == u'#') {
          state = State::kNumeric;
          count = 0;
        } else if (c == u'%') {
          put(u'&');
          state = State::kPercent;
          count = 0;
        } else {
          put(u'&');
          put(c);
          state = State::kNormal;
        }
        break;
      case State::kNumeric:
        // At most three digits count: the fourth unit (or the ";") closes the
        // reference and is dropped.
        collected[count++] = c;
        if (c == u';' || count == 4) {
          uint32_t value = 0;
          for (size_t k = 0; k + 1 < count && collected[k] >= u'0' && collected[k] <= u'9'; ++k) {
            value = value * 10 + (collected[k] - u'0');
          }
          if (value >= 32) put_escaped(value);
          state = State::kNormal;
        }
        break;
      case State::kPercent:
        collected[count++] = c;
        if (count == 2) {
          uint32_t value = 0;
          const int high = HexValue(collected[0]);
          if (high >= 0) {
            value = high * 16;
            const int low = HexValue(collected[1]);
            if (low >= 0) value += low;
          }
          if (value != 0) put_escaped(value);
          state = State::kNormal;
        }
        break;
    }
  }
  out[written] = 0;
  decoded.UpdateLength();
  url.decoded = std::move(decoded);
  return 0;
}

}  // namespace nsEmlComponents
