#include "rules/regex_prefilter.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

using Literals = CRegexPrefilter::Literals;
// Every literal of a sequence is needed at once; the prefilter keeps only the most telling.
using Sequence = std::vector<Literals>;

constexpr int kMaxDepth = 50;

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

Literals MostTelling(const Sequence& sequence) {
  const Literals* best = nullptr;
  for (const Literals& literals : sequence) {
    if (best == nullptr || Telling(literals) > Telling(*best)) best = &literals;
  }
  return best != nullptr ? *best : Literals();
}

// Reads a pattern as PCRE2 would, far enough to know which literal text every match
// holds. failed is set by anything it does not know for sure; the caller then drops
// everything it read.
class LiteralReader {
 public:
  LiteralReader(const char* pattern, bool caseless)
      : p_(pattern), end_(pattern + std::strlen(pattern)), caseless_(caseless) {}

  Literals Read() {
    Literals found = Alternatives(0);
    if (failed_ || p_ != end_) return Literals();
    return found;
  }

 private:
  enum class Repeat { kOnce, kOptional, kMany };

  // Branches separated by "|" up to ")" or the end: one literal of some branch's most
  // telling list, or nothing when a branch has none.
  Literals Alternatives(int depth) {
    if (depth > kMaxDepth) failed_ = true;
    Literals all;
    bool every = true;
    while (!failed_) {
      Literals best = MostTelling(Branch(depth));
      if (best.empty()) every = false;
      all.insert(all.end(), best.begin(), best.end());
      if (p_ < end_ && *p_ == '|') {
        ++p_;
        continue;
      }
      break;
    }
    return every ? all : Literals();
  }

  Sequence Branch(int depth) {
    Sequence sequence;
    std::string run;
    auto end_run = [&] {
      if (run.size() >= 2) sequence.push_back({run});
      run.clear();
    };
    while (!failed_ && p_ < end_ && *p_ != '|' && *p_ != ')') {
      const unsigned char c = static_cast<unsigned char>(*p_);
      std::string literal;  // the atom's bytes when it is one literal character
      Literals group;       // the atom's literals when it is a group
      bool zero_width = false;
      if (c == '\\') {
        if (p_ + 1 >= end_) return Fail();
        const unsigned char next = static_cast<unsigned char>(p_[1]);
        p_ += 2;
        if (next >= 0x80) return Fail();
        if (!IsAlnum(next)) {
          literal.assign(1, static_cast<char>(next));
        } else if (std::strchr("bBAzZG", next) != nullptr) {
          zero_width = true;
        } else if (std::strchr("dDwWsShHvVRNnrtfe", next) == nullptr) {
          return Fail();  // \Q, \x, \p, back-references...: not read here
        }
      } else if (c == '[') {
        if (!SkipClass()) return Fail();
      } else if (c == '(') {
        if (!Group(depth, &group, &zero_width)) return Fail();
      } else if (c == '^' || c == '$') {
        ++p_;
        zero_width = true;
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
        end_run();
      } else if (!literal.empty()) {
        const unsigned char first = static_cast<unsigned char>(literal[0]);
        const unsigned char folded = Fold(first);
        // Caseless, PCRE2 folds an accented letter to characters of other bytes. It folds
        // k and s to the Kelvin sign and the long s too, but those two are so rare that a
        // table notes whether its text holds one (TextHasOddFold) instead.
        const bool breaks = caseless_ && first >= 0x80;
        if (repeat == Repeat::kOptional || breaks) {
          end_run();
        } else {
          if (literal.size() == 1) literal[0] = static_cast<char>(folded);
          run += literal;
          if (repeat == Repeat::kMany) end_run();
        }
      } else {
        end_run();
        if (repeat != Repeat::kOptional && !group.empty()) sequence.push_back(group);
      }
    }
    end_run();
    return sequence;
  }

  // After "(": the group's literals, or zero_width for a look-around or a flag setting.
  bool Group(int depth, Literals* literals, bool* zero_width) {
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
      } else if (kind == '<' || kind == '\'' || (kind == 'P' && p_ + 1 < end_ && p_[1] == '<')) {
        const char close = kind == '\'' ? '\'' : '>';
        while (p_ < end_ && *p_ != close) ++p_;
        if (p_ >= end_) return false;
        ++p_;
      } else {
        // Option letters: caseless or extended syntax would change what is read here.
        bool negated = false;
        while (p_ < end_ && *p_ != ':' && *p_ != ')') {
          const char option = *p_++;
          if (option == '-') {
            negated = true;
          } else if (option == 'x' || option == '^' || (option == 'i' && !negated)) {
            return false;
          } else if (!((option >= 'a' && option <= 'z') || (option >= 'A' && option <= 'Z'))) {
            return false;
          }
        }
        if (p_ >= end_) return false;
        if (*p_++ == ')') {
          *zero_width = true;  // applies to what follows, which is read as before
          return true;
        }
      }
    }
    Literals inside = Alternatives(depth + 1);
    if (failed_ || p_ >= end_ || *p_ != ')') return false;
    ++p_;
    if (look_around) {
      *zero_width = true;
    } else {
      *literals = std::move(inside);
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
    if (c == '?' || c == '*') {
      repeat = Repeat::kOptional;
      ++p_;
    } else if (c == '+') {
      repeat = Repeat::kMany;
      ++p_;
    } else if (c == '{') {
      const char* q = p_ + 1;
      long low = 0;
      bool digits = false;
      while (q < end_ && *q >= '0' && *q <= '9') low = low * 10 + (*q++ - '0'), digits = true;
      if (!digits) {
        failed_ = true;  // "{,n}" or a literal brace: read differently by PCRE2 versions
        return Repeat::kOnce;
      }
      if (q < end_ && *q == ',') {
        ++q;
        while (q < end_ && *q >= '0' && *q <= '9') ++q;
      }
      if (q >= end_ || *q != '}') {
        failed_ = true;
        return Repeat::kOnce;
      }
      p_ = q + 1;
      repeat = low == 0 ? Repeat::kOptional : Repeat::kMany;
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
};

}  // namespace

CRegexPrefilter::CRegexPrefilter() : enabled_(EnabledByEnvironment()) {}

bool CRegexPrefilter::EnabledByEnvironment() {
  const char* value = std::getenv("EMLB_REGEX_PREFILTER");
  return value == nullptr || std::strcmp(value, "0") != 0;
}

CRegexPrefilter::Literals CRegexPrefilter::RequiredLiterals(const char* pattern, bool caseless) {
  if (pattern == nullptr) return Literals();
  return LiteralReader(pattern, caseless).Read();
}

int CRegexPrefilter::Add(const char* pattern, bool caseless) {
  if (!enabled_ || finished_) return -1;
  try {
    Literals literals = RequiredLiterals(pattern, caseless);
    if (literals.empty()) return -1;
    Pattern added{{}, false};
    for (std::string& literal : literals) {
      // A literal of two bytes is in too many texts to be worth a test.
      if (literal.size() < 3) return -1;
      // Its start is as required as all of it, and a short longest literal lets a long
      // text be walked in more stretches at once (Tabulate).
      if (literal.size() > kLongestLiteral) literal.resize(kLongestLiteral);
      for (char& c : literal) c = static_cast<char>(Fold(static_cast<unsigned char>(c)));
      if (caseless && literal.find_first_of("ks") != std::string::npos) added.oddFold = true;
      const auto id = static_cast<uint32_t>(literal_ids_.size());
      added.literals.push_back(literal_ids_.emplace(std::move(literal), id).first->second);
    }
    patterns_.push_back(std::move(added));
  } catch (const std::bad_alloc&) {
    return -1;
  }
  return static_cast<int>(patterns_.size() - 1);
}

// The automaton is built as a trie of the literals over byte classes, then completed
// breadth first: a state's missing move is its failure state's move, and a state reports
// its own literals and those of its failure state (the longest suffix of its text that
// is a trie state). Scanning then costs one table read per byte.
void CRegexPrefilter::Finish() {
  if (finished_) return;
  finished_ = true;
  if (literal_ids_.empty()) return;
  try {
    // One class per byte a literal holds; a letter's upper case shares its class.
    std::memset(class_of_, 0, sizeof class_of_);
    classes_ = 1;
    for (const auto& entry : literal_ids_) {
      for (unsigned char c : entry.first) {
        if (class_of_[c] == 0) {
          if (classes_ == 256) return;
          class_of_[c] = static_cast<uint8_t>(classes_++);
        }
      }
    }
    for (unsigned char c = 'A'; c <= 'Z'; ++c) class_of_[c] = class_of_[c + ('a' - 'A')];
    longest_ = 0;
    for (const auto& entry : literal_ids_) longest_ = std::max(longest_, entry.first.size());

    // The trie: next_ holds the moves (0: none yet; state 0 is the root), ends the
    // literals that end at each state.
    std::vector<uint32_t> next(classes_, 0);
    std::vector<std::vector<uint32_t>> ends(1);
    for (const auto& entry : literal_ids_) {
      uint32_t state = 0;
      for (unsigned char c : entry.first) {
        uint32_t& move = next[state * classes_ + class_of_[c]];
        if (move == 0) {
          if (ends.size() > kMaxStates) return;
          move = static_cast<uint32_t>(ends.size());
          ends.emplace_back();
          next.resize(ends.size() * classes_, 0);
        }
        state = next[state * classes_ + class_of_[c]];
      }
      ends[state].push_back(entry.second);
    }

    // Breadth first, so that a state's failure state is complete before the state.
    const size_t states = ends.size();
    std::vector<uint32_t> failure(states, 0);
    std::vector<uint32_t> order;
    order.reserve(states);
    for (size_t c = 0; c < classes_; ++c) {
      if (next[c] != 0) order.push_back(next[c]);
    }
    for (size_t i = 0; i < order.size(); ++i) {
      const uint32_t state = order[i];
      std::vector<uint32_t>& own = ends[state];
      const std::vector<uint32_t>& inherited = ends[failure[state]];
      own.insert(own.end(), inherited.begin(), inherited.end());
      for (size_t c = 0; c < classes_; ++c) {
        uint32_t& move = next[state * classes_ + c];
        const uint32_t fallback = next[failure[state] * classes_ + c];
        if (move == 0) {
          move = fallback;
        } else {
          failure[move] = fallback;
          order.push_back(move);
        }
      }
    }

    next_.assign(next.size(), 0);
    for (size_t i = 0; i < next.size(); ++i) {
      next_[i] = static_cast<uint16_t>(next[i] | (ends[next[i]].empty() ? 0 : kReports));
    }
    first_.assign(states + 1, 0);
    reported_.clear();
    for (size_t state = 0; state < states; ++state) {
      first_[state] = static_cast<uint32_t>(reported_.size());
      reported_.insert(reported_.end(), ends[state].begin(), ends[state].end());
    }
    first_[states] = static_cast<uint32_t>(reported_.size());
    built_ = true;
  } catch (const std::bad_alloc&) {
    next_.clear();
    first_.clear();
    reported_.clear();
  }
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

// Each byte's move waits for the move before it, a chain of dependent table reads that
// would leave the core idle most of the time. So a long text is cut into four stretches
// that are walked at once, each stretch starting early enough (the longest literal less
// one byte) that a literal across a cut is found whole by the stretch it ends in: four
// chains keep the core busy. A literal found twice sets its bit twice.
void CRegexPrefilter::Tabulate(const char* text, size_t length, TextTable* table) const {
  table->oddFold = TextHasOddFold(text, length);
  table->everything = !built_;
  if (!built_) return;
  table->literals.assign((literal_ids_.size() + 63) / 64, 0);
  uint64_t* const found = table->literals.data();
  const uint16_t* const next = next_.data();
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  const size_t classes = classes_;
  auto report = [&](uint32_t state) {
    for (uint32_t r = first_[state]; r < first_[state + 1]; ++r) {
      found[reported_[r] >> 6] |= uint64_t{1} << (reported_[r] & 63);
    }
  };
  // Walks bytes [from, to) from state, and answers the state it ends in.
  auto walk = [&](uint32_t state, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
      const uint16_t move = next[state * classes + class_of_[bytes[i]]];
      state = move & ~kReports;
      if (move & kReports) report(state);
    }
    return state;
  };
  constexpr size_t kChains = 4;
  const size_t overlap = longest_ - 1;
  const size_t stretch = length / kChains;
  if (stretch < 2 * overlap + 32) {
    walk(0, 0, length);
    return;
  }
  // Stretch k covers [start[k], stop[k]); the first is the shortest, by the overlap.
  size_t start[kChains];
  size_t stop[kChains];
  for (size_t k = 0; k < kChains; ++k) {
    start[k] = k == 0 ? 0 : k * stretch - overlap;
    stop[k] = k + 1 == kChains ? length : (k + 1) * stretch;
  }
  const unsigned char* const b0 = bytes + start[0];
  const unsigned char* const b1 = bytes + start[1];
  const unsigned char* const b2 = bytes + start[2];
  const unsigned char* const b3 = bytes + start[3];
  uint32_t s0 = 0, s1 = 0, s2 = 0, s3 = 0;
  const size_t common = stretch;  // the first stretch's length
  for (size_t j = 0; j < common; ++j) {
    const uint16_t m0 = next[s0 * classes + class_of_[b0[j]]];
    const uint16_t m1 = next[s1 * classes + class_of_[b1[j]]];
    const uint16_t m2 = next[s2 * classes + class_of_[b2[j]]];
    const uint16_t m3 = next[s3 * classes + class_of_[b3[j]]];
    s0 = m0 & ~kReports;
    s1 = m1 & ~kReports;
    s2 = m2 & ~kReports;
    s3 = m3 & ~kReports;
    if ((m0 | m1 | m2 | m3) & kReports) {
      if (m0 & kReports) report(s0);
      if (m1 & kReports) report(s1);
      if (m2 & kReports) report(s2);
      if (m3 & kReports) report(s3);
    }
  }
  const uint32_t state[kChains] = {s0, s1, s2, s3};
  for (size_t k = 1; k < kChains; ++k) walk(state[k], start[k] + common, stop[k]);
}

bool CRegexPrefilter::MayMatch(int id, const TextTable& table) const {
  if (table.everything) return true;
  const Pattern& pattern = patterns_[static_cast<size_t>(id)];
  if (table.oddFold && pattern.oddFold) return true;
  for (uint32_t literal : pattern.literals) {
    if ((table.literals[literal >> 6] >> (literal & 63)) & 1u) return true;
  }
  return false;
}
