#include "rules/regex_prefilter.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

using Literals = CRegexPrefilter::Literals;
// Every literal list of a sequence is needed at once (one literal of each).
using Sequence = std::vector<Literals>;
using Requirement = CRegexPrefilter::Requirement;

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
    Requirement unused;
    Literals found = Alternatives(0, &unused);
    if (failed_ || p_ != end_) return Literals();
    return found;
  }

  Requirement ReadRequirement() {
    Requirement requirement;
    Alternatives(0, &requirement);
    if (failed_ || p_ != end_) return Requirement();
    return requirement;
  }

 private:
  enum class Repeat { kOnce, kOptional, kMany };

  // A requirement holds at most this many sequences; past it, a group's requirement is
  // its literals, any one of them.
  static constexpr size_t kMaxSequences = 64;

  // Branches separated by "|" up to ")" or the end: one literal of some branch's most
  // telling list, or nothing when a branch has none. *requirement gets each branch's
  // sequences (empty with the literals).
  Literals Alternatives(int depth, Requirement* requirement) {
    if (depth > kMaxDepth) failed_ = true;
    Literals all;
    requirement->clear();
    bool every = true;
    while (!failed_) {
      std::vector<Requirement> groups;
      Sequence sequence = Branch(depth, &groups);
      Literals best = MostTelling(sequence);
      if (best.empty()) every = false;
      all.insert(all.end(), best.begin(), best.end());
      if (every) AddBranch(std::move(sequence), std::move(groups), requirement);
      if (p_ < end_ && *p_ == '|') {
        ++p_;
        continue;
      }
      break;
    }
    if (!every) {
      requirement->clear();
      return Literals();
    }
    if (requirement->size() > kMaxSequences) *requirement = Requirement{Sequence{all}};
    return all;
  }

  // A branch's sequences: its own, with the one group in it that has branches of its own
  // (a branch that is "\b(?:...|...)") spelled out, one sequence per branch of the group.
  static void AddBranch(Sequence sequence, std::vector<Requirement> groups,
                        Requirement* requirement) {
    size_t spelled = sequence.size();
    for (size_t i = 0; i < sequence.size(); ++i) {
      if (groups[i].size() > 1 || (groups[i].size() == 1 && groups[i][0].size() > 1)) {
        if (spelled != sequence.size()) {  // two such groups: spelled out, they multiply
          spelled = sequence.size();
          break;
        }
        spelled = i;
      }
    }
    if (spelled == sequence.size()) {
      requirement->push_back(std::move(sequence));
      return;
    }
    for (Sequence& inner : groups[spelled]) {
      Sequence made;
      for (size_t i = 0; i < sequence.size(); ++i) {
        if (i != spelled) made.push_back(sequence[i]);
      }
      made.insert(made.end(), inner.begin(), inner.end());
      requirement->push_back(std::move(made));
    }
  }

  // One branch's sequence; (*groups)[i] is the requirement of sequence[i] when that came
  // from a group, else empty.
  Sequence Branch(int depth, std::vector<Requirement>* groups) {
    Sequence sequence;
    auto push = [&](Literals literals, Requirement from) {
      sequence.push_back(std::move(literals));
      groups->push_back(std::move(from));
    };
    std::string run;
    auto end_run = [&] {
      if (run.size() >= 2) push({run}, Requirement());
      run.clear();
    };
    while (!failed_ && p_ < end_ && *p_ != '|' && *p_ != ')') {
      const unsigned char c = static_cast<unsigned char>(*p_);
      std::string literal;  // the atom's bytes when it is one literal character
      Literals group;       // the atom's literals when it is a group
      Requirement inside;   // and its requirement
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
        if (!Group(depth, &group, &inside, &zero_width)) return Fail();
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
        if (repeat != Repeat::kOptional && !group.empty()) push(group, std::move(inside));
      }
    }
    end_run();
    return sequence;
  }

  // After "(": the group's literals and requirement, or zero_width for a look-around or a
  // flag setting.
  bool Group(int depth, Literals* literals, Requirement* requirement, bool* zero_width) {
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
    Requirement inner;
    Literals inside = Alternatives(depth + 1, &inner);
    if (failed_ || p_ >= end_ || *p_ != ')') return false;
    ++p_;
    if (look_around) {
      *zero_width = true;
    } else {
      *literals = std::move(inside);
      *requirement = std::move(inner);
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

CRegexPrefilter::Requirement CRegexPrefilter::Required(const char* pattern, bool caseless) {
  if (pattern == nullptr) return Requirement();
  return LiteralReader(pattern, caseless).ReadRequirement();
}

int CRegexPrefilter::Add(const char* pattern, bool caseless) {
  if (!enabled_ || finished_) return -1;
  try {
    const Requirement requirement = Required(pattern, caseless);
    if (requirement.empty()) return -1;
    Pattern added{{}, false};
    for (const Sequence& sequence : requirement) {
      std::vector<std::vector<uint32_t>> needed;
      for (const Literals& literals : sequence) {
        std::vector<uint32_t> ids;
        for (std::string literal : literals) {
          // A literal of two bytes is in too many texts to be worth a test: the list it is
          // in tells nothing.
          if (literal.size() < 3) {
            ids.clear();
            break;
          }
          // Its start is as required as all of it, and a short longest literal lets a long
          // text be walked in more stretches at once (Tabulate).
          if (literal.size() > kLongestLiteral) literal.resize(kLongestLiteral);
          for (char& c : literal) c = static_cast<char>(Fold(static_cast<unsigned char>(c)));
          if (caseless && literal.find_first_of("ks") != std::string::npos) added.oddFold = true;
          const auto id = static_cast<uint32_t>(literal_ids_.size());
          ids.push_back(literal_ids_.emplace(std::move(literal), id).first->second);
        }
        if (!ids.empty()) needed.push_back(std::move(ids));
      }
      // A sequence with nothing to test lets every text through: so does the pattern.
      if (needed.empty()) return -1;
      added.sequences.push_back(std::move(needed));
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
    reporting_.clear();
    for (size_t state = 0; state < states; ++state) {
      if (!ends[state].empty()) reporting_.push_back(static_cast<uint32_t>(state));
    }
    built_ = true;
  } catch (const std::bad_alloc&) {
    next_.clear();
    first_.clear();
    reported_.clear();
    reporting_.clear();
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
// would leave the core idle most of the time. So a long text is cut into eight stretches
// that are walked at once, each stretch starting early enough (the longest literal less
// one byte) that a literal across a cut is found whole by the stretch it ends in: eight
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
  constexpr size_t kChains = 8;
  const size_t overlap = longest_ - 1;
  const size_t stretch = length / kChains;
  if (stretch < 2 * overlap + 32) {
    walk(0, 0, length);
    return;
  }
  // Stretch k covers [at[k], its end); the first is the shortest, by the overlap. Which
  // states the walks reach is marked without a test, and what they report is read after:
  // a test per byte, taken or not at random, cost more than the walks.
  std::vector<uint8_t> reached(first_.size() - 1, 0);
  uint8_t* const mark = reached.data();
  const unsigned char* at[kChains];
  uint32_t state[kChains];
  for (size_t k = 0; k < kChains; ++k) {
    at[k] = bytes + (k == 0 ? 0 : k * stretch - overlap);
    state[k] = 0;
  }
  for (size_t j = 0; j < stretch; ++j) {
#pragma GCC unroll 8
    for (size_t k = 0; k < kChains; ++k) {
      state[k] = next[state[k] * classes + class_of_[at[k][j]]] & ~kReports;
      mark[state[k]] = 1;
    }
  }
  for (size_t k = 1; k < kChains; ++k) {
    const size_t from = static_cast<size_t>(at[k] - bytes) + stretch;
    const size_t to = k + 1 == kChains ? length : (k + 1) * stretch;
    uint32_t s = state[k];
    for (size_t i = from; i < to; ++i) {
      s = next[s * classes + class_of_[bytes[i]]] & ~kReports;
      mark[s] = 1;
    }
  }
  for (uint32_t reporting : reporting_) {
    if (mark[reporting]) report(reporting);
  }
}

bool CRegexPrefilter::MayMatch(int id, const TextTable& table) const {
  if (table.everything) return true;
  const Pattern& pattern = patterns_[static_cast<size_t>(id)];
  if (table.oddFold && pattern.oddFold) return true;
  auto held = [&](uint32_t literal) { return (table.literals[literal >> 6] >> (literal & 63)) & 1u; };
  for (const auto& sequence : pattern.sequences) {
    bool all = true;
    for (const std::vector<uint32_t>& any_of : sequence) {
      bool one = false;
      for (uint32_t literal : any_of) {
        if (held(literal)) {
          one = true;
          break;
        }
      }
      if (!one) {
        all = false;
        break;
      }
    }
    if (all) return true;
  }
  return false;
}
