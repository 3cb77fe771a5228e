#include "engines/word_finder.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "common/checked_file.h"
#include "emlbreaker/exceptions.h"
#include "emlbreaker/strings.h"
#include "emlbreaker/trace.h"

namespace {

// A configuration line is read in pieces of at most 1999 bytes; a longer line is handled
// as several lines.
constexpr int kLineBuffer = 2000;

// A cost read from the file: the number times 1000, truncated. Negative numbers and NaN
// give 0 and huge ones kMaxCost, so that the matcher's sums cannot wrap.
uint32_t ToCost(float number) {
  const double cost = static_cast<double>(number) * CWordFinder::kUnit;
  if (!(cost > 0)) return 0;
  if (cost >= CWordFinder::kMaxCost) return CWordFinder::kMaxCost;
  return static_cast<uint32_t>(cost);
}

bool InCodeRange(int code) { return code >= 0 && code < 256; }

// Spaces end a word (except between lone letters, see Normalise). The 8-bit ones are
// fixed here rather than configured: a cheap space would join "via Agra" into "viagra".
bool IsSpace(char16_t c) {
  switch (c) {
    case u' ':
    case u'\t':
    case u'\n':
    case u'\r':
    case u'\f':
    case u'\v':
    case 0x00A0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

// Characters that show nothing: spammers put them between letters to break up words, and
// a reader never sees them, so they cost nothing and separate nothing.
bool IsInvisible(char16_t c) {
  return (c >= 0x200B && c <= 0x200D) || c == 0x2060 || c == 0xFEFF;
}

// Wide punctuation (general punctuation, CJK and small-form punctuation): no part of a
// word. Any other character above 255 is taken as a letter of its own.
bool IsWidePunctuation(char16_t c) {
  return (c >= 0x2010 && c <= 0x2027) || (c >= 0x2030 && c <= 0x205E) ||
         (c >= 0x3001 && c <= 0x303F) || (c >= 0xFE10 && c <= 0xFE6F) ||
         (c >= 0xFF01 && c <= 0xFF0F);
}

// The 8-bit characters that are letters or digits in ISO-8859-1.
bool IsBaseLetter(int c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  if (c == 0xAA || c == 0xB5 || c == 0xBA) return true;
  return c >= 0xC0 && c != 0xD7 && c != 0xF7;
}

// Which member names a class: a small ASCII letter first, then a digit, then any other.
int NamingRank(int c) {
  if (c >= 'a' && c <= 'z') return c;
  if (c >= '0' && c <= '9') return 256 + c;
  return 512 + c;
}

// Letters proper, as opposed to digits and symbols that only read as letters.
bool IsLetter(int c) { return IsBaseLetter(c) && !(c >= '0' && c <= '9'); }

// What a character is to Normalise.
enum CharKind : uint8_t { kOther, kLetter, kLookAlike, kSpace, kSeparator };

bool IsSmallAscii(char16_t c) { return c >= u'a' && c <= u'z'; }
bool IsCapitalAscii(char16_t c) { return c >= u'A' && c <= u'Z'; }

}  // namespace

CWordFinder::CWordFinder() {
  for (int a = 0; a < 256; ++a) {
    charCost[a] = kUnit;
    lowerCase[a] = static_cast<uint8_t>(a >= 'A' && a <= 'Z' ? a + ('a' - 'A') : a);
    for (int b = 0; b < 256; ++b) pairCost[a][b] = a == b ? 0 : kUnit;
  }
  for (int a = 'A'; a <= 'Z'; ++a) SetPairCost(a, lowerCase[a], 0);
  RebuildClasses();
}

CWordFinder::~CWordFinder() {
  GetDebugTrace()->Trace("%s", ">>> CWordFinder destructor : freeing the structures...");
  GetDebugTrace()->Trace("%s", "<<< CWordFinder destructor: done!");
}

void CWordFinder::SetPairCost(int a, int b, uint32_t cost) {
  pairCost[a][b] = cost;
  pairCost[b][a] = cost;
}

void CWordFinder::CopyTablesFrom(const CWordFinder& other) {
  std::memcpy(charCost, other.charCost, sizeof(charCost));
  std::memcpy(pairCost, other.pairCost, sizeof(pairCost));
  std::memcpy(lowerCase, other.lowerCase, sizeof(lowerCase));
  std::memcpy(class_of_, other.class_of_, sizeof(class_of_));
  std::memcpy(is_separator_, other.is_separator_, sizeof(is_separator_));
  std::memcpy(kind_of_, other.kind_of_, sizeof(kind_of_));
  NewGeneration();
}

void CWordFinder::NewGeneration() {
  static std::atomic<uint64_t> generations{0};
  generation_ = ++generations;
}

void CWordFinder::Load(const char* configuration_file) {
  // A null name reaches CASFile, which refuses it.
  const ascommon::usstring name{ascommon::sstring(configuration_file != nullptr ? configuration_file : "")};
  ascommon::CASFile file(configuration_file != nullptr ? name.c_str() : nullptr, "r");
  char line[kLineBuffer];
  while (file.gets(line, kLineBuffer) != nullptr) ApplyLine(line);
  RebuildClasses();
}

// The second pair of ";" and ":" (a's code minus 32) is the capital of a small letter a,
// so "; a 4 0.2" makes both "a" and "A" cheap to write as "4".
void CWordFinder::ApplyLine(const char* line) {
  if (std::strstr(line, "##") != nullptr) return;
  // The values start at the third character; a shorter line holds none.
  if (std::strlen(line) < 3) return;
  const char* values = line + 2;
  char a_char = 0, b_char = 0;
  int a = 0, b = 0;
  float cost = 0;
  switch (line[0]) {
    case '.':
      if (std::sscanf(values, "%c %f", &a_char, &cost) != 2) return;
      charCost[static_cast<uint8_t>(a_char)] = ToCost(cost);
      return;
    case '*':
      if (std::sscanf(values, "%d %f", &a, &cost) != 2 || !InCodeRange(a)) return;
      charCost[a] = ToCost(cost);
      return;
    case ';':
      if (std::sscanf(values, "%c %c %f", &a_char, &b_char, &cost) != 3) return;
      a = static_cast<uint8_t>(a_char);
      b = static_cast<uint8_t>(b_char);
      break;
    case ':':
      if (std::sscanf(values, "%d %d %f", &a, &b, &cost) != 3) return;
      if (!InCodeRange(a) || !InCodeRange(b)) return;
      break;
    default:
      return;
  }
  SetPairCost(a, b, ToCost(cost));
  if (InCodeRange(a - 32)) SetPairCost(a - 32, b, ToCost(cost));
}

// Characters that replace each other for less than kCheapCost form one class (joined
// transitively, so "1", "l" and "i" are one class when 1/l and l/i are cheap); a class
// holds word characters when it holds a letter or a digit.
void CWordFinder::RebuildClasses() {
  NewGeneration();
  std::array<int, 256> parent;
  for (int c = 0; c < 256; ++c) parent[c] = c;
  auto root = [&parent](int c) {
    while (parent[c] != c) c = parent[c] = parent[parent[c]];
    return c;
  };
  for (int a = 0; a < 256; ++a) {
    for (int b = a + 1; b < 256; ++b) {
      if (pairCost[a][b] < kCheapCost || pairCost[b][a] < kCheapCost) parent[root(a)] = root(b);
    }
  }
  std::array<int, 256> name;  // per root: the naming member, -1 for no letter
  name.fill(-1);
  for (int c = 0; c < 256; ++c) {
    if (!IsBaseLetter(c)) continue;
    const int r = root(c);
    const int candidate = lowerCase[c];
    if (name[r] < 0 || NamingRank(candidate) < NamingRank(name[r])) name[r] = candidate;
  }
  for (int c = 0; c < 256; ++c) {
    const int named = name[root(c)];
    const bool is_space = IsSpace(static_cast<char16_t>(c));
    // A class named 0 would read as "no word": NUL is never a letter, nor a space
    // whatever the file says of it.
    class_of_[c] = static_cast<uint8_t>(named > 0 && !is_space ? named : 0);
    is_separator_[c] = class_of_[c] == 0 && !is_space && charCost[c] < kCheapCost;
    if (class_of_[c] != 0) {
      kind_of_[c] = IsLetter(c) ? kLetter : kLookAlike;
    } else {
      kind_of_[c] = is_space ? kSpace : is_separator_[c] ? kSeparator : kOther;
    }
  }
}

uint16_t CWordFinder::WideClassOf(char16_t c) {
  if (IsSpace(c) || IsInvisible(c) || IsWidePunctuation(c)) return 0;
  return c;
}

uint32_t CWordFinder::CostOf(char16_t c) const {
  if (c < 256) return charCost[c];
  return IsInvisible(c) ? 0 : kUnit;
}

bool CWordFinder::IsSpaceUnit(char16_t c) const {
  // An 8-bit space is always of the space kind (RebuildClasses).
  return c < 256 ? kind_of_[c] == kSpace : IsSpace(c);
}

uint32_t CStudiedText::CostAt(size_t i) const {
  const char16_t c = text_[i];
  if (c < 256) return char_costs_[c];
  return IsInvisible(c) ? 0 : CWordFinder::kUnit;
}

std::vector<uint32_t> CStudiedText::Costs() const {
  std::vector<uint32_t> costs(text_.size());
  for (size_t i = 0; i < text_.size(); ++i) costs[i] = CostAt(i);
  return costs;
}

std::vector<uint32_t> CStudiedText::WordStarts() const {
  const std::vector<Run>& runs = ReadyRuns();
  std::vector<uint32_t> starts;
  for (size_t r = 0; r < runs.size(); ++r) {
    if (StartsWord(runs, r)) starts.push_back(runs[r].begin);
  }
  return starts;
}

const std::vector<CStudiedText::Run>& CStudiedText::ReadyRuns() const {
  if (!runs_ready_) {
    finder_->MakeRuns(*this);
    runs_ready_ = true;
  }
  return runs_;
}

bool CStudiedText::MayHoldLetters(const std::vector<uint16_t>& collapsed) const {
  for (size_t i = 0; i + 4 <= collapsed.size(); ++i) {
    const size_t bit = SketchBit(SketchKey(&collapsed[i]));
    if ((sketch_[bit / 64] >> (bit % 64) & 1) == 0) return false;
  }
  return true;
}

// One pass: letters extend or open runs; separators, spaces and other characters only
// decide the boundary before the next run. Repeats collapse within a word, never across a
// separator ("v-v" stays two runs).
void CWordFinder::Normalise(std::u16string_view text,
                            std::vector<CStudiedText::Run>* runs) const {
  const char16_t* const s = text.data();
  const size_t n = text.size();
  // A letter standing alone between spaces (or the text's ends).
  auto is_lone_letter = [&](size_t i) {
    return i < n && ClassOf(s[i]) != 0 && (i == 0 || IsSpaceUnit(s[i - 1])) &&
           (i + 1 == n || IsSpaceUnit(s[i + 1]));
  };
  CStudiedText::Boundary pending = CStudiedText::kHard;
  char16_t previous = 0;
  // The letter of the last run (never 0), or 0 when there is no run yet.
  uint16_t last_letter = 0;
  // At most one run per character. The runs are written field by field through a
  // pointer into room made beforehand: a run built whole and then pushed was stored in
  // small pieces and read back as one, which the processor cannot forward.
  std::vector<CStudiedText::Run> out;
  out.swap(*runs);  // a recycled text's room is used again
  out.resize(n);
  CStudiedText::Run* const first = out.data();
  CStudiedText::Run* next = first;
  for (size_t i = 0; i < n; ++i) {
    const char16_t c = s[i];
    uint16_t letter;
    uint8_t kind;
    if (c < 256) {
      letter = class_of_[c];
      kind = kind_of_[c];
    } else {
      if (IsInvisible(c)) continue;
      letter = WideClassOf(c);
      kind = letter != 0 ? kLetter : IsSpace(c) ? kSpace : kOther;
    }
    if (letter != 0) {
      if (pending == CStudiedText::kJoined) {
        if (IsCapitalAscii(c) && IsSmallAscii(previous)) {
          pending = CStudiedText::kSoft;
        } else if (last_letter == letter) {
          next[-1].end = static_cast<uint32_t>(i + 1);
          previous = c;
          continue;
        }
      }
      next->letter = letter;
      next->before = pending;
      next->is_look_alike = kind == kLookAlike;
      next->begin = static_cast<uint32_t>(i);
      next->end = static_cast<uint32_t>(i + 1);
      ++next;
      last_letter = letter;
      pending = CStudiedText::kJoined;
      previous = c;
    } else if (kind == kSpace) {
      // "V I A G R A": one space between two lone letters joins them softly.
      const bool spaced_letters = pending == CStudiedText::kJoined && c == u' ' &&
                                  is_lone_letter(i - 1) && is_lone_letter(i + 1);
      pending = spaced_letters ? CStudiedText::kSoft : CStudiedText::kHard;
    } else if (kind == kSeparator) {
      if (pending == CStudiedText::kJoined) pending = CStudiedText::kSoft;
    } else {
      pending = CStudiedText::kHard;
    }
  }
  out.resize(static_cast<size_t>(next - first));
  runs->swap(out);
}

namespace {

// Studied texts this thread's mails are done with, whose vectors keep their room: the
// next study writes its runs, a dozen bytes per character, into memory the cache still
// holds instead of memory fresh from the allocator. A few texts per mail, none of them
// holding room for more than kMaxKeptRuns runs or characters, so that one long text does
// not stay in memory.
constexpr size_t kMaxRecycled = 8;
constexpr size_t kMaxKeptRuns = 65536;
thread_local std::vector<std::unique_ptr<CStudiedText>> recycledTexts;

}  // namespace

void CWordFinder::Recycle(std::unique_ptr<CStudiedText> studied) {
  if (studied == nullptr || studied->runs_.capacity() > kMaxKeptRuns ||
      studied->text_.capacity() > kMaxKeptRuns || studied->sketch_.capacity() > kMaxKeptRuns) {
    return;
  }
  if (recycledTexts.size() >= kMaxRecycled) return;
  try {
    recycledTexts.push_back(std::move(studied));
  } catch (const std::bad_alloc&) {
  }
}

std::unique_ptr<CStudiedText> CWordFinder::TakeRecycled() {
  if (recycledTexts.empty()) return nullptr;
  std::unique_ptr<CStudiedText> studied = std::move(recycledTexts.back());
  recycledTexts.pop_back();
  return studied;
}

std::unique_ptr<CStudiedText> CWordFinder::Study(const char16_t* text, size_t length) const {
  if (text == nullptr) {
    throw ASBadPtrException("%s", "Invalid buffer in the Word Finder Study() method!");
  }
  std::unique_ptr<CStudiedText> studied = TakeRecycled();
  if (studied == nullptr) studied = std::make_unique<CStudiedText>();
  studied->text_.assign(text, std::min(length, kMaxStudiedLength));
  std::memcpy(studied->char_costs_.data(), charCost, sizeof charCost);
  studied->finder_ = this;
  studied->runs_ready_ = false;
  Sketch(studied.get());
  return studied;
}

void CWordFinder::Sketch(CStudiedText* studied) const {
  const std::u16string& text = studied->text_;
  // About four bits per character, so that a text whose every character is a letter
  // still leaves three bits in four clear.
  unsigned log2_bits = 8;
  while (log2_bits < 24 && (size_t{1} << log2_bits) < 4 * text.size()) ++log2_bits;
  studied->sketch_.assign((size_t{1} << log2_bits) / 64, 0);
  studied->sketch_shift_ = 64 - log2_bits;
  uint64_t* const table = studied->sketch_.data();
  // The last four letters, oldest in the high bits, and how many letters there were.
  uint64_t last_four = 0;
  size_t letters = 0;
  // In blocks, two passes each: the first keeps the letters, without a branch on the
  // character (spaces and punctuation come at random and would be mispredicted); the
  // second drops repeats (rare: a branch predicts them) and sets the bits.
  constexpr size_t kBlock = 1024;
  uint16_t kept[kBlock];
  for (size_t from = 0; from < text.size(); from += kBlock) {
    const size_t to = std::min(text.size(), from + kBlock);
    size_t n = 0;
    for (size_t i = from; i < to; ++i) {
      const char16_t c = text[i];
      const uint16_t letter = c < 256 ? class_of_[c] : WideClassOf(c);
      kept[n] = letter;
      n += letter != 0;
    }
    for (size_t k = 0; k < n; ++k) {
      const uint16_t letter = kept[k];
      if (letter == static_cast<uint16_t>(last_four)) continue;
      last_four = last_four << 16 | letter;
      if (++letters < 4) continue;
      const size_t bit = studied->SketchBit(last_four);
      table[bit / 64] |= uint64_t{1} << (bit % 64);
    }
  }
}

void CWordFinder::MakeRuns(const CStudiedText& studied) const {
  Normalise(studied.text_, &studied.runs_);
  const std::vector<CStudiedText::Run>& runs = studied.runs_;
  // The runs that start a word and have a run after them: the ones the index holds, with
  // their groups once the group count is known.
  std::vector<uint32_t> indexed;
  indexed.reserve(runs.size());
  // CStudiedText::StartsWord, over a pointer that pushing cannot move.
  const CStudiedText::Run* const run = runs.data();
  for (size_t r = 0, count = runs.size(); r + 1 < count; ++r) {
    if (r == 0 || run[r].before != CStudiedText::kJoined || run[r].is_look_alike ||
        run[r - 1].is_look_alike) {
      indexed.push_back(static_cast<uint32_t>(r));
    }
  }
  size_t groups = CStudiedText::kMinGroups;
  while (groups < indexed.size() && groups < CStudiedText::kMaxGroups) groups *= 2;
  std::vector<uint32_t>& group_begin = studied.group_begin_;
  group_begin.assign(groups + 1, 0);
  std::vector<uint32_t> group(indexed.size());
  for (size_t k = 0; k < indexed.size(); ++k) {
    const uint32_t r = indexed[k];
    group[k] = static_cast<uint32_t>(studied.GroupOf(runs[r].letter, runs[r + 1].letter));
    ++group_begin[group[k] + 1];
  }
  for (size_t b = 1; b <= groups; ++b) group_begin[b] += group_begin[b - 1];
  studied.index_.resize(indexed.size());
  std::vector<uint32_t> next(group_begin.begin(), group_begin.end() - 1);
  for (size_t k = 0; k < indexed.size(); ++k) studied.index_[next[group[k]]++] = indexed[k];
}

uint32_t CWordFinder::SpanCost(const CStudiedText& text, size_t begin, size_t end,
                               std::u16string_view word, uint32_t limit) const {
  const uint32_t over = limit == UINT32_MAX ? limit : limit + 1;
  const size_t m = word.size();
  if (m > kMaxWordLength) return over;
  end = std::min(end, text.text_.size());
  begin = std::min(begin, end);
  // Costs are at most kMaxCost each and a row sums at most kMaxWordLength + 1 of them
  // per text character, so 64 bits cannot wrap.
  std::array<uint64_t, kMaxWordLength + 1> row, next;
  std::array<uint64_t, kMaxWordLength> deletion;
  auto substitution = [this](char16_t t, char16_t w) -> uint64_t {
    if (t == w) return 0;
    return t < 256 && w < 256 ? pairCost[t][w] : kUnit;
  };
  row[0] = 0;
  for (size_t j = 0; j < m; ++j) {
    uint64_t cost = CostOf(word[j]);
    const uint16_t letter = ClassOf(word[j]);
    if (j > 0 && letter != 0 && letter == ClassOf(word[j - 1])) cost = std::min<uint64_t>(cost, kRepeatCost);
    deletion[j] = cost;
    row[j + 1] = row[j] + cost;
  }
  uint16_t previous_letter = 0;
  for (size_t i = begin; i < end; ++i) {
    const char16_t c = text.text_[i];
    const uint16_t letter = ClassOf(c);
    uint64_t insertion = text.CostAt(i);
    if (letter != 0 && letter == previous_letter) insertion = std::min<uint64_t>(insertion, kRepeatCost);
    next[0] = row[0] + insertion;
    uint64_t best = next[0];
    for (size_t j = 0; j < m; ++j) {
      const uint64_t value = std::min({row[j] + substitution(c, word[j]), row[j + 1] + insertion,
                                       next[j] + deletion[j]});
      next[j + 1] = value;
      best = std::min(best, value);
    }
    if (best > limit) return over;
    std::swap(row, next);
    if (!IsInvisible(c)) previous_letter = letter;
  }
  return row[m] > limit ? over : static_cast<uint32_t>(row[m]);
}

void CWordFinder::Prepare(std::u16string_view word, Wanted* wanted) const {
  wanted->word.assign(word);
  wanted->runs.clear();
  wanted->letters.clear();
  wanted->generation = generation_;
  if (word.empty() || word.size() > kMaxWordLength) return;
  Normalise(word, &wanted->runs);
  // A span found below reads as the word's letters, so the text's letters hold them in a
  // row once repeats are dropped.
  wanted->letters.reserve(wanted->runs.size());
  for (const CStudiedText::Run& run : wanted->runs) {
    if (wanted->letters.empty() || wanted->letters.back() != run.letter) {
      wanted->letters.push_back(run.letter);
    }
  }
}

bool CWordFinder::FindWord(const CStudiedText& text, std::u16string_view word,
                           uint32_t budget) const {
  Wanted wanted;
  Prepare(word, &wanted);
  return FindWord(text, wanted, budget);
}

bool CWordFinder::FindWord(const CStudiedText& text, const Wanted& prepared,
                           uint32_t budget) const {
  const std::vector<CStudiedText::Run>& wanted = prepared.runs;
  if (wanted.empty() || !text.MayHoldLetters(prepared.letters)) return false;
  const std::u16string_view word = prepared.word;
  const std::vector<CStudiedText::Run>& runs = text.ReadyRuns();
  const size_t m = wanted.size();
  const size_t max_span = kSpanPerChar * word.size() + kSpanSlack;
  auto found_at = [&](size_t r) {
    if (r + m > runs.size() || !CStudiedText::StartsWord(runs, r)) return false;
    for (size_t j = 0; j < m; ++j) {
      if (runs[r + j].letter != wanted[j].letter) return false;
      // The word's own spaces must be spaces in the text, and only there.
      if (j > 0 && (runs[r + j].before == CStudiedText::kHard) !=
                       (wanted[j].before == CStudiedText::kHard)) {
        return false;
      }
    }
    if (!CStudiedText::EndsWord(runs, r + m)) return false;
    const size_t begin = runs[r].begin;
    const size_t end = runs[r + m - 1].end;
    return end - begin <= max_span && SpanCost(text, begin, end, word, budget) <= budget;
  };
  if (m >= 2) {
    const size_t group = text.GroupOf(wanted[0].letter, wanted[1].letter);
    for (uint32_t i = text.group_begin_[group]; i < text.group_begin_[group + 1]; ++i) {
      if (found_at(text.index_[i])) return true;
    }
    return false;
  }
  // A word of one letter is not indexed: try every word start.
  for (size_t r = 0; r < runs.size(); ++r) {
    if (found_at(r)) return true;
  }
  return false;
}

uint32_t CWordFinder::BudgetFor(float threshold, size_t length) {
  const double budget = static_cast<double>(threshold) * kUnit * static_cast<double>(length);
  if (!(budget > 0)) return 0;
  if (budget >= UINT32_MAX - 1.0) return UINT32_MAX - 1;
  return static_cast<uint32_t>(budget + 0.5);
}
