#include "engines/graphical_analyzer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/binary_streamer.h"
#include "common/wide_scan.h"
#include "emlbreaker/exceptions.h"
#include "emlbreaker/parts_tree.h"

namespace {

// An address is counted when a "." follows its "@" within this many characters.
constexpr size_t kAddressWindow = 40;
// "src" must begin within this many characters of "img ", and "http:" or "cid" within
// this many (exclusive) of "src".
constexpr size_t kImageSourceReach = 7;
constexpr size_t kImageTargetReach = 7;
// Above this many distinct values in a sequence the edit distance stops using one bit
// mask per value (which costs values x length / 64 words) and runs the plain table.
constexpr size_t kMaxMaskedValues = 64;

char16_t Lower(char16_t c) { return c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c; }

// A lower-case ASCII pattern searched for ignoring ASCII case; the search looks first
// for the character at anchor, the one text holds least often.
struct Pattern {
  template <size_t N>
  constexpr Pattern(const char (&text)[N], size_t at = 0)  // NOLINT
      : chars(text), length(N - 1), anchor(at) {}
  const char* chars;
  size_t length;
  size_t anchor;
};

constexpr Pattern kHttp = "http:";
constexpr Pattern kLink = "http://";
constexpr Pattern kImage = {"img ", 2};
constexpr Pattern kSource = "src";
constexpr Pattern kContentId = "cid";

// Whether pattern starts at text[at].
bool MatchAt(const char16_t* text, size_t length, size_t at, const Pattern& pattern) {
  if (at > length || length - at < pattern.length) return false;
  for (size_t i = 0; i < pattern.length; ++i) {
    if (Lower(text[at + i]) != static_cast<char16_t>(pattern.chars[i])) return false;
  }
  return true;
}

// The first position p >= from, below end, where pattern starts; end when none. Eight
// units at a time look for the pattern's rarest letter (either case), and only those
// places are compared in full.
size_t FindBetween(const char16_t* text, size_t length, size_t from, size_t end,
                   const Pattern& pattern) {
  const size_t k = pattern.anchor;
  const char16_t lower = static_cast<char16_t>(pattern.chars[k]);
  const bool letter = lower >= u'a' && lower <= u'z';
  const char16_t upper = letter ? lower - (u'a' - u'A') : lower;
  // r runs over where the anchor letter stands: r = p + k.
  if (from >= end) return end;
  size_t r = from + k;
  const size_t r_end = std::min(end + k, length);
#if defined(__SSE2__)
  // A unit ORed with 0x20 equals a lower-case letter only when it is that letter in
  // either case.
  const __m128i fold = _mm_set1_epi16(letter ? 0x20 : 0);
  const __m128i wanted = _mm_set1_epi16(static_cast<short>(lower));
  for (; r + 8 <= r_end; r += 8) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + r));
    unsigned mask = static_cast<unsigned>(
                        _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_or_si128(block, fold), wanted))) &
                    0x5555u;
    while (mask != 0) {
      const size_t at = r - k + static_cast<size_t>(__builtin_ctz(mask)) / 2;
      if (MatchAt(text, length, at, pattern)) return at;
      mask &= mask - 1;
    }
  }
#endif
  for (; r < r_end; ++r) {
    if ((text[r] == lower || text[r] == upper) && MatchAt(text, length, r - k, pattern)) {
      return r - k;
    }
  }
  return end;
}

size_t FindFrom(const char16_t* text, size_t length, size_t from, const Pattern& pattern) {
  return FindBetween(text, length, from, length, pattern);
}

// Whether pattern starts at some p with start <= p < start + reach.
bool StartsWithin(const char16_t* text, size_t length, size_t start, size_t reach,
                  const Pattern& pattern) {
  const size_t end = std::min(length, start + reach);
  return FindBetween(text, length, start, end, pattern) < end;
}

// Every start of "http:" in a text, found once, answering "does one start in
// [start, end)?" for starts that never go down.
class CHttpStarts {
 public:
  // The ":" is far rarer in text than the "h", so the search is for it and the four
  // units before it.
  CHttpStarts(const char16_t* text, size_t length) {
    for (size_t q = 4; q < length; ++q) {
      q += ascommon::FindUnit(text + q, length - q, u':');
      if (q >= length) break;
      if (MatchAt(text, length, q - 4, kHttp)) starts_.push_back(q - 4);
    }
  }
  const std::vector<size_t>& All() const { return starts_; }
  bool Within(size_t start, size_t reach, size_t length) {
    const size_t end = std::min(length, start + reach);
    while (next_ < starts_.size() && starts_[next_] < start) ++next_;
    return next_ < starts_.size() && starts_[next_] < end;
  }

 private:
  std::vector<size_t> starts_;
  size_t next_ = 0;
};

void AddTo(CGraphicalFeatureSet* set, size_t feature, float amount) {
  set->criteria[feature]->values[0] += amount;
}

void CountAddresses(const char16_t* text, size_t length, CGraphicalFeatureSet* set) {
  size_t at = 0;
  while (at < length) {
    const size_t start = at + ascommon::FindUnit(text + at, length - at, u'@');
    if (start == length) return;
    const size_t end = std::min(length, start + kAddressWindow);
    size_t p = start;
    for (; p < end; ++p) {
      const char16_t c = text[p];
      if (c == 0 || c == u' ') break;
      if (c == u'.') {
        AddTo(set, kFeatureAddresses, 1);
        break;
      }
    }
    // The "@" itself is never where the examination stops, so this moves on.
    at = p;
  }
}

// "http://" starts where "http:" does and "//" follows.
void CountLinks(const char16_t* text, size_t length, const CHttpStarts& http,
                CGraphicalFeatureSet* set) {
  for (const size_t p : http.All()) {
    if (MatchAt(text, length, p, kLink)) AddTo(set, kFeatureLinks, 1);
  }
}

void CountImages(const char16_t* text, size_t length, CGraphicalFeatureSet* set) {
  size_t p = FindFrom(text, length, 0, kImage);
  while (p < length) {
    size_t reached = p + 1;
    for (size_t src = p + 1; src <= p + kImageSourceReach && src < length; ++src) {
      if (!MatchAt(text, length, src, kSource)) continue;
      if (StartsWithin(text, length, src, kImageTargetReach, kHttp)) {
        AddTo(set, kFeatureWebImages, 1);
      }
      if (StartsWithin(text, length, src, kImageTargetReach, kContentId)) {
        AddTo(set, kFeatureCidImages, 1);
      }
      reached = src + 1;
      break;
    }
    p = FindFrom(text, length, reached, kImage);
  }
}

// The first line feed or carriage return in [text, text + length), or length.
size_t FindLineStop(const char16_t* text, size_t length) {
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i feed = _mm_set1_epi16(u'\n');
  const __m128i back = _mm_set1_epi16(u'\r');
  for (; i + 8 <= length; i += 8) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
    const int mask = _mm_movemask_epi8(
        _mm_or_si128(_mm_cmpeq_epi16(block, feed), _mm_cmpeq_epi16(block, back)));
    if (mask != 0) return i + static_cast<size_t>(__builtin_ctz(mask)) / 2;
  }
#endif
  for (; i < length; ++i) {
    if (text[i] == u'\n' || text[i] == u'\r') return i;
  }
  return length;
}

// Appends the line codes to codes. A line (or piece) is followed by "http:" when it
// begins within the line's length of the line feed, or within a piece's length of the
// character that starts the next piece: the code looks at what comes next, which in a
// mail is where the link of a "click here:" line stands.
void CodeLines(const char16_t* text, size_t length, CHttpStarts* http,
               CGraphicalFeatureSet* set, std::vector<float>* codes) {
  size_t line = 0;
  size_t p = 0;
  while (p < length) {
    // Units other than line feeds and carriage returns only lengthen the line, so a
    // run of them is taken a piece at a time.
    const size_t stop = p + FindLineStop(text + p, length - p);
    while (p < stop) {
      if (line == kLineSegmentLength) {
        codes->push_back(http->Within(p, kLineSegmentLength, length) ? kLineLink
                                                                     : kLineSegment);
        AddTo(set, kFeatureCodedLines, 1);
        line = 0;
      }
      const size_t take = std::min(stop - p, kLineSegmentLength - line);
      line += take;
      p += take;
    }
    if (p == length) break;
    if (text[p] == u'\n') {
      if (line == 0) {
        codes->push_back(kLineEmpty);
        AddTo(set, kFeatureEmptyLines, 1);
      } else {
        codes->push_back(http->Within(p, line, length) ? kLineLink : kLineEnded);
      }
      AddTo(set, kFeatureLineFeeds, 1);
      AddTo(set, kFeatureCodedLines, 1);
      line = 0;
    } else if (line == kLineSegmentLength) {  // a carriage return, which counts for nothing
      codes->push_back(http->Within(p, kLineSegmentLength, length) ? kLineLink : kLineSegment);
      AddTo(set, kFeatureCodedLines, 1);
      line = 0;
    }
    ++p;
  }
}

bool IsBlank(const char16_t* text, size_t length) {
  for (size_t p = 0; p < length; ++p) {
    const char16_t c = text[p];
    if (c != u' ' && c != u'\t' && c != u'\n' && c != u'\r') return false;
  }
  return true;
}

// LCS length of a (bits) and b by the bit-parallel row update: for each element of b,
// V = (V + (V & M)) | (V & ~M) with M the positions of a equal to it; the zero bits of V
// count the LCS.
size_t MaskedLcs(const float* a, size_t n, const float* b, size_t m,
                 const std::vector<float>& distinct) {
  const size_t words = (n + 63) / 64;
  std::vector<uint64_t> masks(distinct.size() * words, 0);
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != a[i]) continue;  // NaN equals nothing
    const size_t k = std::find(distinct.begin(), distinct.end(), a[i]) - distinct.begin();
    masks[k * words + i / 64] |= uint64_t{1} << (i % 64);
  }
  std::vector<uint64_t> v(words, ~uint64_t{0});
  for (size_t j = 0; j < m; ++j) {
    if (b[j] != b[j]) continue;
    // Few distinct values (line codes have four): a walk beats a binary search.
    const auto it = std::find(distinct.begin(), distinct.end(), b[j]);
    if (it == distinct.end()) continue;
    const uint64_t* mask = &masks[(it - distinct.begin()) * words];
    uint64_t carry = 0;
    for (size_t w = 0; w < words; ++w) {
      const uint64_t x = v[w];
      const uint64_t u = x & mask[w];
      const uint64_t s1 = x + u;
      const uint64_t s = s1 + carry;
      carry = (s1 < x) | (s < s1);
      v[w] = s | (x & ~mask[w]);
    }
  }
  size_t ones = 0;
  for (size_t w = 0; w < words; ++w) {
    uint64_t x = v[w];
    if (w == words - 1 && n % 64 != 0) x &= (uint64_t{1} << (n % 64)) - 1;
    ones += static_cast<size_t>(__builtin_popcountll(x));
  }
  return n - ones;
}

// The same by the textbook table, one row at a time.
size_t TableLcs(const float* a, size_t n, const float* b, size_t m) {
  std::vector<size_t> row(n + 1, 0);
  for (size_t j = 0; j < m; ++j) {
    size_t diagonal = 0;
    for (size_t i = 1; i <= n; ++i) {
      const size_t above = row[i];
      row[i] = a[i - 1] == b[j] ? diagonal + 1 : std::max(above, row[i - 1]);
      diagonal = above;
    }
  }
  return row[n];
}

const float* Data(const CGCrt& criterion) { return criterion.values.GetData(); }

}  // namespace

size_t SequenceEditDistance(const float* a, size_t n, const float* b, size_t m) {
  if (n == 0 || m == 0) return n + m;
  if (n < m) {
    std::swap(a, b);
    std::swap(n, m);
  }
  std::vector<float> distinct;
  for (size_t i = 0; i < n && distinct.size() <= kMaxMaskedValues; ++i) {
    if (a[i] != a[i]) continue;
    if (std::find(distinct.begin(), distinct.end(), a[i]) == distinct.end()) {
      distinct.push_back(a[i]);
    }
  }
  size_t lcs;
  if (distinct.size() <= kMaxMaskedValues) {
    lcs = MaskedLcs(a, n, b, m, distinct);
  } else {
    lcs = TableLcs(a, n, b, m);
  }
  return n + m - 2 * lcs;
}

size_t RemainingBytes(const ascommon::IStreamer& reader) {
  const auto* streamer = dynamic_cast<const ascommon::CBinaryStreamer*>(&reader);
  if (streamer == nullptr || streamer->GetFile() == nullptr) return SIZE_MAX;
  const long at = std::ftell(streamer->GetFile()->GetStream());
  const size_t size = streamer->GetFile()->GetSize();
  if (at < 0 || static_cast<size_t>(at) > size) return 0;
  return size - static_cast<size_t>(at);
}

std::unique_ptr<CGCrt> CGCrt::Clone() const {
  std::unique_ptr<CGCrt> copy;
  if (Kind() == kScalar) {
    copy.reset(new (std::nothrow) CGDifCrt);
  } else {
    copy.reset(new (std::nothrow) CGEDCrt);
  }
  if (!copy) throw ASMemException("%s - memory problems", "CGCrt::Clone");
  copy->values.SetSize(0, false);
  copy->Append(values.GetData(), values.GetSize());
  return copy;
}

void CGCrt::Append(float value) {
  if (values.Add(value) != 0) throw ASMemException("%s - memory problems", "CGCrt::Append");
}

void CGCrt::Append(const float* block, size_t count) {
  if (count == 0) return;
  const size_t old = values.GetSize();
  if (values.SetSize(old + count, true) != 0) {
    throw ASMemException("%s - memory problems", "CGCrt::Append");
  }
  std::memcpy(values.GetData() + old, block, count * sizeof(float));
}

CGDifCrt::CGDifCrt(float value) {
  if (values.Add(value) != 0) throw ASMemException("%s - memory problems", "CGDifCrt::CGDifCrt");
}

float CGDifCrt::Distance(const CGCrt& other) const {
  if (other.Kind() != kScalar) {
    throw ASInternalException(-3, "%s - criteria of different kinds", "CGDifCrt::Distance");
  }
  return other.values[0] - values[0];
}

void CGDifCrt::Write(ascommon::IStreamer& writer) const { writer.WriteFloat(values[0]); }

void CGDifCrt::Read(ascommon::IStreamer& reader) {
  values.SetSize(0, false);
  Append(reader.ReadFloat());
}

float CGEDCrt::Distance(const CGCrt& other) const {
  if (other.Kind() != kSequence) {
    throw ASInternalException(-3, "%s - criteria of different kinds", "CGEDCrt::Distance");
  }
  return static_cast<float>(SequenceEditDistance(Data(*this), values.GetSize(), Data(other),
                                                 other.values.GetSize()));
}

void CGEDCrt::Write(ascommon::IStreamer& writer) const {
  writer.WriteSizeT(values.GetSize(), true);
  for (const float value : values) writer.WriteFloat(value);
}

void CGEDCrt::Read(ascommon::IStreamer& reader) {
  values.SetSize(0, false);
  const size_t n = reader.ReadSizeT(true);
  // A count from the file is trusted only as far as the file can hold it.
  if (n > RemainingBytes(reader) / sizeof(float)) {
    throw ASException("%s - %zu values announced, more than the file holds", "CGEDCrt::Read", n);
  }
  if (n == 0) return;
  if (values.SetSize(n, true) != 0) throw ASMemException("%s - memory problems", "CGEDCrt::Read");
  if (auto* binary = dynamic_cast<ascommon::CBinaryStreamer*>(&reader)) {
    binary->ReadFloats(values.GetData(), n);  // the same bytes, one read instead of n
    return;
  }
  for (size_t i = 0; i < n; ++i) values[i] = reader.ReadFloat();
}

CGraphicalFeatureSet::CGraphicalFeatureSet() {
  try {
    for (size_t i = 0; i < kFeatureCount; ++i) {
      CGCrt* criterion = i < kFeatureLineCodes ? static_cast<CGCrt*>(new CGDifCrt(0))
                                               : static_cast<CGCrt*>(new CGEDCrt);
      if (criteria.Add(criterion) != 0) {
        delete criterion;
        throw std::bad_alloc();
      }
    }
  } catch (const std::bad_alloc&) {
    for (CGCrt* criterion : criteria) delete criterion;
    throw ASMemException("%s - memory problems", "CGraphicalFeatureSet::CGraphicalFeatureSet");
  } catch (...) {
    for (CGCrt* criterion : criteria) delete criterion;
    throw;
  }
}

CGraphicalFeatureSet::~CGraphicalFeatureSet() {
  for (CGCrt* criterion : criteria) delete criterion;
}

bool CGraphicalFeatureSet::IsEmpty() const {
  for (const CGCrt* criterion : criteria) {
    for (const float value : criterion->values) {
      if (criterion->Kind() == CGCrt::kSequence || value != 0) return false;
    }
  }
  return true;
}

bool CGraphicalAnalyzer::Analyze(nsEmlComponents::CPartsTree* parts,
                                 CGraphicalFeatureSet* set) const {
  using namespace nsEmlComponents;
  if (!set->IsEmpty()) return false;
  if (parts == nullptr) return true;
  auto add = [&](const ascommon::usstring& text, bool html) {
    if (text.Length() > 0) AddText(text.GetBuffer(), text.Length(), html, set);
  };
  const CPartsTree::CNode* root = parts->GetRoot();
  if (root != nullptr && root->part->body != nullptr) {
    const CPartBody* body = root->part->body;
    if (body->GetKind() == kBodyTextPlain) {
      add(static_cast<const CPartBodyTextPlain*>(body)->text, false);
    } else if (body->GetKind() == kBodyTextHtml) {
      add(static_cast<const CPartBodyTextHtml*>(body)->visibleText, true);
    }
  }
  const CPartList* plain = parts->GetTextParts(kListDepth, nullptr);
  if (plain == nullptr) throw ASMemException("%s - memory problems", "CGraphicalAnalyzer::Analyze");
  for (const CPart* part : *plain) add(static_cast<const CPartBodyTextPlain*>(part->body)->text, false);
  const CPartList* html = parts->GetHtmlParts(kListDepth, nullptr);
  if (html == nullptr) throw ASMemException("%s - memory problems", "CGraphicalAnalyzer::Analyze");
  for (const CPart* part : *html) {
    add(static_cast<const CPartBodyTextHtml*>(part->body)->visibleText, true);
  }
  return true;
}

void CGraphicalAnalyzer::AddText(const char16_t* text, size_t length, bool html,
                                 CGraphicalFeatureSet* set) const {
  AddTo(set, kFeatureTexts, 1);
  AddTo(set, html ? kFeatureHtmlTexts : kFeaturePlainTexts, 1);
  CountAddresses(text, length, set);
  std::vector<float> codes;
  try {
    CHttpStarts http(text, length);
    CountLinks(text, length, http, set);
    CountImages(text, length, set);
    CodeLines(text, length, &http, set, &codes);
  } catch (const std::bad_alloc&) {
    throw ASMemException("%s - memory problems", "CGraphicalAnalyzer::AddText");
  }
  set->criteria[kFeatureLineCodes]->Append(codes.data(), codes.size());
  set->criteria[kFeaturePartCodes]->Append(IsBlank(text, length) ? kPartBlank
                                           : html                ? kPartHtml
                                                                 : kPartPlain);
}
