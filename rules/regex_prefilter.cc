#include "rules/regex_prefilter.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "common/wide_scan.h"

namespace {

using Literals = CRegexPrefilter::Literals;
// Every literal of a sequence is needed at once; the prefilter keeps only the most telling.
using Sequence = std::vector<Literals>;

constexpr int kMaxDepth = 50;
// The most texts one stretch of a pattern is read as ("colou?r" is two).
constexpr size_t kMaxExact = 32;
// The most texts a pattern's matches may begin with, as read (CRegexPrefilter::Starts),
// and once cut to kStartLength bytes, which every match begins with as well: a
// pattern's phrases share their first words, and a few texts cost less to look for.
constexpr size_t kMaxStartsRead = 512;
constexpr size_t kMaxStarts = 64;
constexpr size_t kStartLength = 10;

unsigned char Fold(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

bool IsAlnum(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The shortest literal of an alternative: how telling it is.
size_t Shortest(const Literals& literals) {
  size_t shortest = SIZE_MAX;
  for (const std::string& literal : literals) shortest = std::min(shortest, literal.size());
  return shortest;
}

// A literal that any link may hold ("http", "://", "www."): a URL pattern's scheme
// tells nothing about the URLs of a mail, which all have one.
bool InEveryLink(const std::string& literal) {
  static const char kLinkStart[] = "https://www.";
  if (literal.size() >= sizeof kLinkStart) return false;
  return std::strstr(kLinkStart, literal.c_str()) != nullptr ||
         std::strstr("http://www.", literal.c_str()) != nullptr;
}

// How telling an alternative is: its shortest literal, and nothing at all when one of
// its literals is in every link.
size_t Telling(const Literals& literals) {
  for (const std::string& literal : literals) {
    if (InEveryLink(literal)) return 0;
  }
  return Shortest(literals);
}

Literals MostTelling(Sequence sequence) {
  Literals* best = nullptr;
  size_t best_telling = 0;
  for (Literals& literals : sequence) {
    const size_t telling = Telling(literals);
    if (best == nullptr || telling > best_telling) {
      best = &literals;
      best_telling = telling;
    }
  }
  return best != nullptr ? std::move(*best) : Literals();
}

// Reads a pattern as PCRE2 would, far enough to know which literal text every match
// holds. failed is set by anything it does not know for sure; the caller then drops
// everything it read.
class LiteralReader {
 public:
  LiteralReader(const char* pattern, bool caseless)
      : p_(pattern), end_(pattern + std::strlen(pattern)), caseless_(caseless) {}

  // The literals; with `starts`, also the texts every match begins with (empty when that
  // is not known).
  Literals Read(CRegexPrefilter::Starts* starts = nullptr) {
    Literals first;
    Literals found = Alternatives(0, nullptr, starts != nullptr ? &first : nullptr);
    if (failed_ || p_ != end_) return Literals();
    if (starts != nullptr && !looks_back_) {
      starts->texts = std::move(first);
      starts->behind = word_boundary_ ? 1 : 0;
    }
    return found;
  }

 private:
  // kOptional: at most once ("?"); kAny: any number of times, none included ("*");
  // kMany: at least once ("+", "{2,}").
  enum class Repeat { kOnce, kOptional, kAny, kMany };

  // Adds a branch's texts to those of the branches before it while each branch has some
  // and there are at most limit; otherwise the alternatives' texts are not known.
  static void Gather(const Literals& branch, size_t limit, bool* known, Literals* texts) {
    if (!*known) return;
    if (branch.empty() || texts->size() + branch.size() > limit) {
      *known = false;
      texts->clear();
    } else {
      texts->insert(texts->end(), branch.begin(), branch.end());
    }
  }

  // Branches separated by "|" up to ")" or the end: one literal of some branch's most
  // telling list, or nothing when a branch has none. When whole is given, it receives
  // every text the alternatives can match if each branch is only literal characters
  // (and exact groups, and assertions); otherwise it is left empty. When first is given,
  // it receives the texts one of which every match of the alternatives begins with, when
  // each branch tells them; otherwise it is left empty.
  Literals Alternatives(int depth, Literals* whole, Literals* first = nullptr) {
    if (depth > kMaxDepth) failed_ = true;
    Literals all;
    bool every = true;
    bool exact = whole != nullptr;
    bool starts_known = first != nullptr;
    while (!failed_) {
      Literals branch_whole;
      Literals branch_first;
      Literals best = MostTelling(Branch(depth, exact ? &branch_whole : nullptr,
                                         starts_known ? &branch_first : nullptr));
      if (best.empty()) every = false;
      all.insert(all.end(), best.begin(), best.end());
      Gather(branch_whole, kMaxExact, &exact, whole);
      Gather(branch_first, kMaxStartsRead, &starts_known, first);
      if (p_ < end_ && *p_ == '|') {
        ++p_;
        continue;
      }
      break;
    }
    return every ? all : Literals();
  }

  // One branch as a sequence of literal lists that every match holds. A stretch of
  // literal characters, optional characters and groups of literal alternatives is read
  // as every text it can be ("colou?r": "colour" or "color"; "free (spins|chips)": "free
  // spins" or "free chips"), up to kMaxExact texts: a long literal that runs across a
  // group tells more than its pieces. When whole is given and the branch is nothing but
  // such a stretch, it receives the stretch's texts. When first is given, it receives
  // the texts of the branch's first stretch, which every match begins with (assertions
  // before it match no text), or those of a group it begins with; it is left empty when
  // the branch begins otherwise.
  Sequence Branch(int depth, Literals* whole, Literals* first = nullptr) {
    Sequence sequence;
    // The texts the current stretch can be; {""} when it is empty.
    Literals run{std::string()};
    bool unbroken = true;  // the whole branch so far is one stretch
    bool consumed = false;  // an atom that matches text was read
    bool first_open = first != nullptr;  // the first stretch is still being read
    // Ends the stretch. The first one ends with it, and is known only when something was
    // read; an option setting (option_break) read before any text leaves it open.
    auto end_run = [&](bool option_break = false) {
      if (first_open && !(option_break && !consumed)) {
        if (consumed) *first = run;
        first_open = false;
      }
      bool long_enough = true;
      for (const std::string& text : run) long_enough = long_enough && text.size() >= 2;
      if (long_enough) sequence.push_back(std::move(run));
      run.assign(1, std::string());
      unbroken = false;
    };
    // Appends one of options to every text of run, or ends the stretch when that would
    // make too many texts.
    auto extend = [&](const Literals& options) {
      if (run.size() * options.size() > kMaxExact) {
        end_run();
        return false;
      }
      if (options.size() == 1) {  // a literal character: no copies
        for (std::string& text : run) text += options[0];
        return true;
      }
      Literals longer;
      longer.reserve(run.size() * options.size());
      for (const std::string& head : run) {
        for (const std::string& tail : options) longer.push_back(head + tail);
      }
      run = std::move(longer);
      return true;
    };
    while (!failed_ && p_ < end_ && *p_ != '|' && *p_ != ')') {
      const unsigned char c = static_cast<unsigned char>(*p_);
      std::string literal;  // the atom's bytes when it is one literal character
      Literals group;       // the atom's literals when it is a group
      Literals group_whole;  // every text the group can match, when it is known
      bool zero_width = false;
      bool breaks_run = false;  // an option setting: what follows is read differently
      Literals group_first;  // the texts every match of the group begins with
      if (c == '\\') {
        if (p_ + 1 >= end_) return Fail();
        const unsigned char next = static_cast<unsigned char>(p_[1]);
        p_ += 2;
        if (next >= 0x80) return Fail();
        if (!IsAlnum(next)) {
          literal.assign(1, static_cast<char>(next));
        } else if (std::strchr("bBAzZG", next) != nullptr) {
          zero_width = true;
          if (next == 'b' || next == 'B') word_boundary_ = true;
          if (next == 'A' || next == 'G') looks_back_ = true;
        } else if (std::strchr("dDwWsShHvVRNnrtfe", next) == nullptr) {
          return Fail();  // \Q, \x, \p, back-references...: not read here
        }
      } else if (c == '[') {
        if (!SkipClass()) return Fail();
      } else if (c == '(') {
        bool look_around = false;
        if (!Group(depth, &group, &group_whole, &zero_width, &look_around,
                   first_open && !consumed ? &group_first : nullptr)) {
          return Fail();
        }
        breaks_run = zero_width && !look_around;
      } else if (c == '^' || c == '$') {
        ++p_;
        zero_width = true;
        if (c == '^') looks_back_ = true;
      } else if (c == '.') {
        ++p_;
      } else if (c == '*' || c == '+' || c == '?' || c == '{') {
        return Fail();  // a repeat with nothing before it, or a literal brace
      } else {
        const size_t length = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
        if (p_ + length > end_) return Fail();
        literal.assign(p_, length);
        p_ += length;
      }
      if (failed_) return Sequence();
      const Repeat repeat = ReadRepeat();
      if (failed_) return Sequence();
      if (zero_width) {
        // An assertion matches no text: the characters on both sides of it are next to
        // each other in every match. An option setting changes how the rest reads.
        if (breaks_run) end_run(true);
        continue;
      }
      if (!literal.empty()) {
        const unsigned char lead = static_cast<unsigned char>(literal[0]);
        // Caseless, PCRE2 folds an accented letter to characters of other bytes. It folds
        // k and s to the Kelvin sign and the long s too, but those two are so rare that a
        // table notes whether its text holds one (TextHasOddFold) instead.
        if (caseless_ && lead >= 0x80) {
          end_run();
        } else {
          if (literal.size() == 1) literal[0] = static_cast<char>(Fold(lead));
          if (repeat == Repeat::kAny) {
            end_run();
          } else if (repeat == Repeat::kOptional) {
            extend({std::string(), literal});
          } else {
            for (std::string& text : run) text += literal;  // extend({literal}), no list made
            consumed = true;
            if (repeat == Repeat::kMany) end_run();
          }
        }
      } else if (!group_whole.empty() &&
                 (repeat == Repeat::kOnce || repeat == Repeat::kOptional)) {
        if (repeat == Repeat::kOptional) group_whole.push_back(std::string());
        const bool extended = extend(group_whole);
        consumed = consumed || extended;
        if (!extended && repeat == Repeat::kOnce && !group.empty()) sequence.push_back(group);
      } else {
        // A group that must match, read before any text: every match begins as it does.
        const bool group_begins = first_open && !consumed && !group_first.empty() &&
                                  (repeat == Repeat::kOnce || repeat == Repeat::kMany);
        end_run();
        if (group_begins) *first = std::move(group_first);
        if ((repeat == Repeat::kOnce || repeat == Repeat::kMany) && !group.empty()) {
          sequence.push_back(group);
        }
      }
      consumed = true;
    }
    if (whole != nullptr && unbroken) *whole = run;
    end_run();
    return sequence;
  }

  // After "(": the group's literals and, when it is only literal alternatives, every text
  // it can match; zero_width for a look-around (look_around set) or a flag setting. With
  // first, the texts every match of the group begins with, when its branches tell them.
  bool Group(int depth, Literals* literals, Literals* whole, bool* zero_width,
             bool* look_around_out, Literals* first) {
    ++p_;
    if (p_ < end_ && *p_ == '*') return false;  // (*VERB)
    bool look_around = false;
    if (p_ < end_ && *p_ == '?') {
      ++p_;
      if (p_ >= end_) return false;
      const char kind = *p_;
      if (kind == ':' || kind == '>' || kind == '|') {
        ++p_;
      } else if (kind == '=' || kind == '!') {
        ++p_;
        look_around = true;
      } else if (kind == '<' && p_ + 1 < end_ && (p_[1] == '=' || p_[1] == '!')) {
        p_ += 2;
        look_around = true;
        looks_back_ = true;
      } else if (kind == '<' || kind == '\'' || (kind == 'P' && p_ + 1 < end_ && p_[1] == '<')) {
        // A named group: "(?<name>", "(?'name'" or "(?P<name>"; the name is no text.
        const char close = kind == '\'' ? '\'' : '>';
        p_ += kind == 'P' ? 2 : 1;
        while (p_ < end_ && *p_ != close) ++p_;
        if (p_ >= end_) return false;
        ++p_;
      } else {
        // Option letters: caseless or extended syntax would change what is read here.
        // Anything else after "(?" (a recursion "(?R)", a condition) is not read.
        bool negated = false;
        while (p_ < end_ && *p_ != ':' && *p_ != ')') {
          const char option = *p_++;
          if (option == '-') {
            negated = true;
          } else if (option == 'i' && negated) {
            continue;
          } else if (std::strchr("mnsJU", option) == nullptr) {
            return false;
          }
        }
        if (p_ >= end_) return false;
        if (*p_++ == ')') {
          *zero_width = true;  // applies to what follows, which is read as before
          return true;
        }
        // "(?flags:...)": its literals count, but not as exact texts.
        whole = nullptr;
      }
    }
    // A branch reset "(?|" or an atomic group "(?>" matches one of its branches' texts as
    // any group does; a look-around's texts are not part of the match.
    Literals inside_whole;
    Literals inside_first;
    Literals inside =
        Alternatives(depth + 1, look_around || whole == nullptr ? nullptr : &inside_whole,
                     look_around || first == nullptr ? nullptr : &inside_first);
    if (failed_ || p_ >= end_ || *p_ != ')') return false;
    ++p_;
    if (look_around) {
      *zero_width = true;
      *look_around_out = true;
    } else {
      *literals = std::move(inside);
      if (whole != nullptr) *whole = std::move(inside_whole);
      if (first != nullptr) *first = std::move(inside_first);
    }
    return true;
  }

  // After "[": to the character after the closing "]".
  bool SkipClass() {
    ++p_;
    if (p_ < end_ && *p_ == '^') ++p_;
    if (p_ < end_ && *p_ == ']') ++p_;
    while (p_ < end_ && *p_ != ']') {
      if (*p_ == '\\') {
        p_ += 2;
      } else if (*p_ == '[' && p_ + 1 < end_ && p_[1] == ':') {
        const char* close = static_cast<const char*>(std::memchr(p_ + 2, ']', end_ - (p_ + 2)));
        if (close == nullptr) return false;
        p_ = close + 1;
      } else {
        ++p_;
      }
    }
    if (p_ >= end_) return false;
    ++p_;
    return true;
  }

  // The repeat after an atom, with its lazy or possessive mark.
  Repeat ReadRepeat() {
    if (p_ >= end_) return Repeat::kOnce;
    Repeat repeat = Repeat::kOnce;
    const char c = *p_;
    if (c == '?') {
      repeat = Repeat::kOptional;
      ++p_;
    } else if (c == '*') {
      repeat = Repeat::kAny;
      ++p_;
    } else if (c == '+') {
      repeat = Repeat::kMany;
      ++p_;
    } else if (c == '{') {
      const char* q = p_ + 1;
      // Only whether a bound is 0, 1 or more matters; PCRE2 refuses bounds over 65,535.
      auto bound = [&](bool* digits) {
        long value = 0;
        while (q < end_ && *q >= '0' && *q <= '9') {
          value = std::min(value * 10 + (*q++ - '0'), 100000L);
          *digits = true;
        }
        return value;
      };
      bool digits = false;
      const long low = bound(&digits);
      if (!digits) {
        failed_ = true;  // "{,n}" or a literal brace: read differently by PCRE2 versions
        return Repeat::kOnce;
      }
      long high = low;
      if (q < end_ && *q == ',') {
        ++q;
        bool upper = false;
        high = bound(&upper);
        if (!upper) high = LONG_MAX;
      }
      if (q >= end_ || *q != '}') {
        failed_ = true;
        return Repeat::kOnce;
      }
      p_ = q + 1;
      repeat = low > 0 ? Repeat::kMany : high <= 1 ? Repeat::kOptional : Repeat::kAny;
    } else {
      return Repeat::kOnce;
    }
    if (p_ < end_ && (*p_ == '?' || *p_ == '+')) ++p_;
    return repeat;
  }

  Sequence Fail() {
    failed_ = true;
    return Sequence();
  }

  const char* p_;
  const char* end_;
  bool caseless_;
  bool failed_ = false;
  // Something of the pattern looks before where its match begins, or at the subject's
  // start ("^", "\A", "\G", a look-behind): a match could not be looked for from a
  // later offset as if the text began there.
  bool looks_back_ = false;
  bool word_boundary_ = false;  // "\b" or "\B": one character before the match is read
};

// Triples share 65,536 bits: a text of a few kilobytes sets a few percent of them, so a
// literal that is not in the text almost always needs a bit that is clear. key holds the
// three folded bytes, first in the high bits.
uint16_t TripleOf(uint32_t key) { return static_cast<uint16_t>((key * 0x9E3779B1u) >> 16); }
// The same for four folded bytes, in the long text's second table. Triples alone let
// common words through: every triple of "father" or "spins" is in most English texts of a
// few kilobytes, while "fath" and "spin" are not.
uint16_t QuadOf(uint32_t key) { return static_cast<uint16_t>((key * 0x85EBCA6Bu) >> 16); }

bool IsSet(const uint64_t* bits, uint16_t entry) { return (bits[entry >> 6] >> (entry & 63)) & 1u; }
void SetBit(uint64_t* bits, uint16_t entry) { bits[entry >> 6] |= uint64_t{1} << (entry & 63); }

}  // namespace

CRegexPrefilter::CRegexPrefilter() : enabled_(EnabledByEnvironment()) {}

bool CRegexPrefilter::EnabledByEnvironment() {
  const char* value = std::getenv("EMLB_REGEX_PREFILTER");
  return value == nullptr || std::strcmp(value, "0") != 0;
}

CRegexPrefilter::Literals CRegexPrefilter::RequiredLiterals(const char* pattern, bool caseless,
                                                            Starts* starts) {
  if (pattern == nullptr) return Literals();
  return LiteralReader(pattern, caseless).Read(starts);
}

namespace {

// Appends a literal's count of quadruples, count of triples, then their bits; false for
// a literal of fewer than three bytes, which has no triple.
bool AppendNeeds(const std::string& literal, std::vector<uint16_t>* needs) {
  if (literal.size() < 3) return false;
  const size_t at = needs->size();
  needs->resize(at + 2 + (literal.size() - 3) + (literal.size() - 2));
  (*needs)[at] = static_cast<uint16_t>(literal.size() - 3);      // quadruples
  (*needs)[at + 1] = static_cast<uint16_t>(literal.size() - 2);  // triples
  uint16_t* quad = &(*needs)[at + 2];
  uint16_t* triple = quad + (literal.size() - 3);
  uint32_t key = 0;
  for (size_t i = 0; i < literal.size(); ++i) {
    key = (key << 8) | Fold(static_cast<unsigned char>(literal[i]));
    if (i >= 2) *triple++ = TripleOf(key & 0xFFFFFF);
    if (i >= 3) *quad++ = QuadOf(key);
  }
  return true;
}

void FoldAll(CRegexPrefilter::Literals* literals) {
  for (std::string& literal : *literals) {
    for (char& c : literal) c = static_cast<char>(Fold(static_cast<unsigned char>(c)));
  }
}

}  // namespace

int CRegexPrefilter::KindOf(const std::string& kind) {
  for (size_t i = 0; i < readers_.size(); ++i) {
    if (readers_[i].first == kind) return static_cast<int>(i);
  }
  readers_.emplace_back(kind, 0);
  return static_cast<int>(readers_.size() - 1);
}

int CRegexPrefilter::CountReader(const std::string& kind) {
  const int id = KindOf(kind);
  ++readers_[static_cast<size_t>(id)].second;
  return id;
}

int CRegexPrefilter::Add(const char* pattern, bool caseless) {
  if (!enabled_) return -1;
  try {
    Starts starts;
    Literals literals = RequiredLiterals(pattern, caseless, &starts);
    std::vector<uint16_t> needs;
    for (const std::string& literal : literals) {
      // A literal of two bytes has no triple: the pattern is not tested.
      if (!AppendNeeds(literal, &needs)) return -1;
    }
    if (needs.empty()) return -1;
    // Start texts are looked for only when each has triples to test first, and begins
    // with an ASCII byte: a search from there begins on a whole character.
    StartTexts start_texts;
    FoldAll(&starts.texts);
    for (std::string& text : starts.texts) {
      if (text.size() > kStartLength) text.resize(kStartLength);
    }
    std::sort(starts.texts.begin(), starts.texts.end());
    starts.texts.erase(std::unique(starts.texts.begin(), starts.texts.end()), starts.texts.end());
    if (starts.texts.size() > kMaxStarts) starts.texts.clear();
    for (const std::string& text : starts.texts) {
      if (static_cast<unsigned char>(text[0]) >= 0x80 ||
          !AppendNeeds(text, &start_texts.needs)) {
        start_texts = StartTexts();
        break;
      }
      start_texts.texts.push_back(text);
    }
    // A character is at most four bytes of UTF-8.
    start_texts.backoff = 4 * starts.behind;
    bool odd_fold = false;
    if (caseless) {
      for (const std::string& literal : literals) {
        odd_fold = odd_fold || literal.find_first_of("ks") != std::string::npos;
      }
    }
    FoldAll(&literals);
    literals_.reserve(literals_.size() + 1);
    odd_folds_.reserve(odd_folds_.size() + 1);
    starts_.reserve(starts_.size() + 1);
    patterns_.push_back(std::move(needs));
    odd_folds_.push_back(odd_fold);
    literals_.push_back(std::move(literals));
    starts_.push_back(std::move(start_texts));
  } catch (const std::bad_alloc&) {
    return -1;
  }
  return static_cast<int>(patterns_.size() - 1);
}

bool CRegexPrefilter::TextHasOddFold(const char* text, size_t length) {
  // Most texts hold neither lead byte, and memchr rules that out at vector speed.
  const char* end = text + length;
  if (const auto* at = static_cast<const char*>(std::memchr(text, 0xE2, length))) {
    if (memmem(at, static_cast<size_t>(end - at), "\xE2\x84\xAA", 3) != nullptr) return true;
  }
  if (const auto* at = static_cast<const char*>(std::memchr(text, 0xC5, length))) {
    if (memmem(at, static_cast<size_t>(end - at), "\xC5\xBF", 2) != nullptr) return true;
  }
  return false;
}

namespace {

// Sets the bit of each of the text's byte triples, its number cut to kMask (a constant,
// so that the full table pays nothing for the cut).
template <uint16_t kMask>
void SetTriples(const char* text, size_t length, uint64_t* bits) {
  if (length < 3) return;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  uint32_t key = (uint32_t{Fold(bytes[0])} << 8) | Fold(bytes[1]);
  for (size_t i = 2; i < length; ++i) {
    key = ((key << 8) | Fold(bytes[i])) & 0xFFFFFF;
    SetBit(bits, TripleOf(key) & kMask);
  }
}

bool AllSet(const uint16_t* entries, size_t count, const uint64_t* bits, uint16_t mask) {
  for (size_t i = 0; i < count; ++i) {
    if (!IsSet(bits, entries[i] & mask)) return false;
  }
  return true;
}

// Whether one of a pattern's literals has the bit of every quadruple set (when the text
// has a table of them) and of every triple: both tables are hashed, and a literal whose
// quadruples all collide rarely has all its triples collide too. needs holds, per
// literal, its quadruple and triple counts, then the bits of each. A literal the tables
// let through counts only when also(its index) agrees.
template <uint16_t kMask, class Also = bool (*)(size_t)>
bool AnyLiteralIn(const std::vector<uint16_t>& needs, const uint64_t* triples,
                  const uint64_t* quads, Also also = [](size_t) { return true; }) {
  for (size_t at = 0, literal = 0; at < needs.size(); ++literal) {
    const size_t quad_count = needs[at];
    const size_t triple_count = needs[at + 1];
    const uint16_t* quad = &needs[at + 2];
    const uint16_t* triple = quad + quad_count;
    at += 2 + quad_count + triple_count;
    if ((quads == nullptr || AllSet(quad, quad_count, quads, 0xFFFF)) &&
        AllSet(triple, triple_count, triples, kMask) && also(literal)) {
      return true;
    }
  }
  return false;
}

}  // namespace

namespace {

// The triples and quadruples that start at from and later, one byte at a time.
void TabulateFrom(const unsigned char* bytes, size_t from, size_t length,
                  CRegexPrefilter::TextTable* table) {
  if (from + 2 >= length) return;
  uint32_t key = (uint32_t{Fold(bytes[from])} << 16) | (uint32_t{Fold(bytes[from + 1])} << 8) |
                 Fold(bytes[from + 2]);
  SetBit(table->triples, TripleOf(key));
  for (size_t i = from + 3; i < length; ++i) {
    key = (key << 8) | Fold(bytes[i]);
    SetBit(table->triples, TripleOf(key & 0xFFFFFF));
    SetBit(table->quads, QuadOf(key));
  }
}

#if defined(__x86_64__)
// Sixteen bytes with their ASCII capitals lowered, as Fold does one (SSE2, which every
// x86-64 has).
inline __m128i FoldSixteen(__m128i block) {
  const __m128i offset = _mm_sub_epi8(block, _mm_set1_epi8('A'));
  const __m128i is_upper = _mm_cmpeq_epi8(_mm_min_epu8(offset, _mm_set1_epi8(25)), offset);
  return _mm_add_epi8(block, _mm_and_si128(is_upper, _mm_set1_epi8(0x20)));
}

// The same for eight starting positions at a time while sixteen bytes can be read: the
// bytes are folded in a vector, each position's four bytes are shuffled into a 32-bit key
// (first byte highest, as TabulateFrom builds them) and hashed eight at once. Setting the
// bits stays scalar. Returns the first position it left to TabulateFrom.
__attribute__((target("avx2"))) size_t TabulateEightAtOnce(const unsigned char* bytes,
                                                            size_t length,
                                                            CRegexPrefilter::TextTable* table) {
  // Key j (of 0 to 7) takes bytes j to j + 3, the first in its high byte; the upper half
  // of the register holds a copy of the same sixteen bytes, so its keys 4 to 7 start 4 on.
  const __m256i order = _mm256_setr_epi8(3, 2, 1, 0, 4, 3, 2, 1, 5, 4, 3, 2, 6, 5, 4, 3,
                                         7, 6, 5, 4, 8, 7, 6, 5, 9, 8, 7, 6, 10, 9, 8, 7);
  const __m256i triple_factor = _mm256_set1_epi32(static_cast<int>(0x9E3779B1u));
  const __m256i quad_factor = _mm256_set1_epi32(static_cast<int>(0x85EBCA6Bu));
  alignas(32) uint32_t triples[8];
  alignas(32) uint32_t quads[8];
  size_t p = 0;
  for (; p + 16 <= length; p += 8) {
    const __m128i block =
        FoldSixteen(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + p)));
    const __m256i keys = _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(block), order);
    _mm256_store_si256(reinterpret_cast<__m256i*>(triples),
                       _mm256_srli_epi32(_mm256_mullo_epi32(_mm256_srli_epi32(keys, 8),
                                                            triple_factor), 16));
    _mm256_store_si256(reinterpret_cast<__m256i*>(quads),
                       _mm256_srli_epi32(_mm256_mullo_epi32(keys, quad_factor), 16));
    for (int j = 0; j < 8; ++j) {
      SetBit(table->triples, static_cast<uint16_t>(triples[j]));
      SetBit(table->quads, static_cast<uint16_t>(quads[j]));
    }
  }
  return p;
}

bool HasAvx2() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return has;
}
#endif

}  // namespace

void CRegexPrefilter::Tabulate(const char* text, size_t length, TextTable* table) {
  std::memset(table, 0, sizeof(*table));
  table->oddFold = TextHasOddFold(text, length);
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  size_t from = 0;
#if defined(__x86_64__)
  if (HasAvx2()) from = TabulateEightAtOnce(bytes, length, table);
#endif
  TabulateFrom(bytes, from, length, table);
}

bool CRegexPrefilter::MayMatch(int id, const TextTable& table) const {
  if (table.oddFold && odd_folds_[static_cast<size_t>(id)]) return true;
  return AnyLiteralIn<0xFFFF>(patterns_[static_cast<size_t>(id)], table.triples, table.quads);
}

bool CRegexPrefilter::MayMatch(int id, const TextTable& table, std::string_view folded) const {
  const size_t pattern = static_cast<size_t>(id);
  if (table.oddFold && odd_folds_[pattern]) return true;
  const Literals& literals = literals_[pattern];
  return AnyLiteralIn<0xFFFF>(patterns_[pattern], table.triples, table.quads, [&](size_t k) {
    return ascommon::FindBytes(folded.data(), folded.size(), literals[k].data(),
                               literals[k].size()) != nullptr;
  });
}

size_t CRegexPrefilter::MatchFrom(int id, const TextTable& table, std::string_view folded) const {
  const StartTexts& starts = starts_[static_cast<size_t>(id)];
  if (starts.texts.empty() || table.oddFold) return 0;
  size_t earliest = folded.size();
  // A start text the tables turn away is not in the text; one they let through is looked
  // for only before the earliest found so far.
  AnyLiteralIn<0xFFFF>(starts.needs, table.triples, table.quads, [&](size_t k) {
    const std::string& text = starts.texts[k];
    const size_t window = std::min(folded.size(), earliest + text.size() - 1);
    if (const char* at = ascommon::FindBytes(folded.data(), window, text.data(), text.size())) {
      earliest = static_cast<size_t>(at - folded.data());
    }
    return false;
  });
  if (earliest == folded.size()) return kNoMatch;
  return earliest > starts.backoff ? earliest - starts.backoff : 0;
}

void CRegexPrefilter::FoldText(const char* text, size_t length, std::string* folded) {
  folded->resize(length);
  char* out = &(*folded)[0];
  size_t i = 0;
#if defined(__x86_64__)
  for (; i + 16 <= length; i += 16) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                     FoldSixteen(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i))));
  }
#endif
  for (; i < length; ++i) out[i] = static_cast<char>(Fold(static_cast<unsigned char>(text[i])));
}

void CRegexPrefilter::TabulateShort(const char* text, size_t length, ShortTable* table) {
  std::memset(table, 0, sizeof(*table));
  table->oddFold = TextHasOddFold(text, length);
  SetTriples<kShortMask>(text, length, table->triples);
}

bool CRegexPrefilter::MayMatchShort(int id, const ShortTable& table) const {
  if (table.oddFold && odd_folds_[static_cast<size_t>(id)]) return true;
  return AnyLiteralIn<kShortMask>(patterns_[static_cast<size_t>(id)], table.triples, nullptr);
}
