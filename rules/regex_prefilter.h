// What lets a regex condition skip a text without running PCRE2. A rule set holds a few
// hundred regex conditions, and most of them read the same few texts of a mail (the body
// texts, the Subject); run one by one, each regex scans each text again. Most of them
// cannot match without some literal text ("unsubscribe", "click here", "1618"): the
// prefilter works out, for each branch of each pattern, the literals every match of that
// branch must contain (Required), puts the literals of the whole rule set into one
// Aho-Corasick automaton, and runs each text through it once, noting which literals it
// holds. A pattern none of whose branches finds all it needs in the text cannot match
// it, so its condition skips PCRE2 there. Any other pattern still runs PCRE2, which alone
// decides: the prefilter only ever removes work, never adds a hit.
//
// The literals are read from the pattern conservatively: anything the reading is not sure
// of (inline (?i) or (?x), back-references, \Q...\E, an unusual escape) leaves the pattern
// without literals, and it always runs. Letters compare without case on both sides (a
// case-sensitive pattern only gets a weaker test). Under a caseless pattern, a non-ASCII
// character ends a literal: PCRE2 folds it to characters of other bytes, which the
// automaton would not follow. PCRE2 also folds k to the Kelvin sign and s to the long s; a
// literal keeps those letters (most words have one), and a text that holds either sign
// lets every caseless pattern with a k or an s in its literals run.
//
// A multi-pattern regex automaton (Hyperscan's prefilter mode over the rule set's
// patterns) would skip more, but took seconds to build and scanned the bench mails more
// slowly than these literals and PCRE2 together; the literals' automaton builds in a few
// milliseconds.
//
// Patterns are offered while the rule set loads (one thread); Finish then builds the
// automaton, which every mail reads afterwards.
#ifndef RULES_REGEX_PREFILTER_H_
#define RULES_REGEX_PREFILTER_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

class CRegexPrefilter {
 public:
  // Every match contains one of these literals (lower-case ASCII letters, other bytes as
  // written); an empty list: nothing is known.
  using Literals = std::vector<std::string>;
  // Every match holds, for one of these sequences, one literal of each of its lists; an
  // empty requirement: nothing is known.
  using Requirement = std::vector<std::vector<Literals>>;

  // Which of the rule set's literals a text holds (one bit each), made once per text, then
  // asked by every pattern.
  struct TextTable {
    std::vector<uint64_t> literals;
    bool oddFold = false;  // the text holds a Kelvin sign or a long s
    bool everything = false;  // no automaton: every pattern may match
  };

  // More states than this and Finish gives up: every pattern then runs, as without a
  // prefilter. A rule set's literals make a few thousand.
  static constexpr size_t kMaxStates = 32767;
  // A longer literal is tested by its first this many bytes.
  static constexpr size_t kLongestLiteral = 8;

  CRegexPrefilter();

  // False when the environment turns the prefilter off (EMLB_REGEX_PREFILTER=0): every
  // Add then answers -1.
  static bool EnabledByEnvironment();

  // The literals of a pattern (UTF-8, PCRE2 syntax), one of which each match contains;
  // empty when the pattern does not tell.
  static Literals RequiredLiterals(const char* pattern, bool caseless);
  // The same, stricter: each branch of the pattern with all the literals it needs. Of
  // "\b(?:order (now|today)|act now)", a text must hold "order " and "now" or "today",
  // or "act now".
  static Requirement Required(const char* pattern, bool caseless);

  // Offers a pattern. Returns its id, or -1 when it has no literal of three bytes or more
  // to test, or comes after Finish (the caller then always runs PCRE2).
  int Add(const char* pattern, bool caseless);
  // Builds the automaton of every literal offered. Until then, and when it fails (memory,
  // kMaxStates), every table says that every pattern may match.
  void Finish();

  int GetPatternCount() const { return static_cast<int>(patterns_.size()); }
  size_t GetLiteralCount() const { return literal_ids_.size(); }

  // Fills table from a UTF-8 text. Throws std::bad_alloc.
  void Tabulate(const char* text, size_t length, TextTable* table) const;
  // False when pattern id cannot match the text of table.
  bool MayMatch(int id, const TextTable& table) const;
  // Whether a text holds a character PCRE2 folds to a caseless k or s.
  static bool TextHasOddFold(const char* text, size_t length);

 private:
  struct Pattern {
    // Its requirement as ids in literal_ids_: some sequence all of whose lists have a
    // literal in the text.
    std::vector<std::vector<std::vector<uint32_t>>> sequences;
    bool oddFold;  // caseless, with a k or an s in a literal
  };
  std::vector<Pattern> patterns_;
  // Each distinct literal (folded) and its id, in the order first offered.
  std::map<std::string, uint32_t> literal_ids_;
  // The automaton, once built: each byte's class (0: a byte no literal holds), and per
  // state and class the next state, with kReports set when that state ends a literal.
  static constexpr uint16_t kReports = 0x8000;
  uint8_t class_of_[256] = {};
  size_t classes_ = 0;
  size_t longest_ = 0;  // the longest literal's length
  std::vector<uint16_t> next_;
  // Per state, the literals that end there (its own and those of its suffixes):
  // reported_[first_[s]] to reported_[first_[s + 1]].
  std::vector<uint32_t> first_;
  std::vector<uint32_t> reported_;
  std::vector<uint32_t> reporting_;  // the states that end a literal
  bool enabled_;
  bool finished_ = false;
  bool built_ = false;
};

#endif  // RULES_REGEX_PREFILTER_H_
