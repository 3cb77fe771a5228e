// What lets a regex condition skip a text without running PCRE2. A rule set holds a few
// hundred regex conditions, and most of them read the same few texts of a mail (the body
// texts, the Subject); run one by one, each regex scans each text again. Most of them
// cannot match without some literal text ("unsubscribe", "click here", "1618"): the
// prefilter works out, for each pattern, literals one of which every match must contain,
// and records once per text which byte triples and, for a long text, which byte
// quadruples the text holds. A pattern none of whose literals has all its triples and
// quadruples in the text cannot match it, so its condition skips PCRE2 there. A short
// text (a URL, a Subject) gets a smaller table of triples only. Any other pattern still
// runs PCRE2, which alone decides: the prefilter only ever removes work, never adds a hit.
//
// The literals are read from the pattern conservatively: anything the reading is not sure
// of (inline (?i) or (?x), back-references, \Q...\E, an unusual escape) leaves the pattern
// without literals, and it always runs. A stretch of literal characters, optional ones
// and groups of literal alternatives is read as every text it can be, up to 32 of them:
// "free (spins|chips)" needs "free spins" or "free chips", whose quadruples across the
// space few texts hold, where "free " and "spins" alone are in many. Letters compare
// without case on both sides (a case-sensitive pattern only gets a weaker test). Under a
// caseless pattern, a non-ASCII character ends a literal: PCRE2 folds it to characters of
// other bytes, which no byte triple would show. PCRE2 also folds k to the Kelvin sign and
// s to the long s; a literal keeps those letters (most words have one), and a text that
// holds either sign lets every caseless pattern with a k or an s in its literals run.
//
// Two exact tests were weighed and dropped. A multi-pattern regex automaton (Hyperscan's
// prefilter mode over the rule set's patterns) took seconds to build and scanned the
// bench mails more slowly than the tables and PCRE2 together. An Aho-Corasick automaton
// of the literals, with every branch of a pattern needing all its literals, took a third
// off PCRE2's matching; but its walk, a chain of dependent table reads per byte, cost
// about as much on one core, and two workers sharing a core's caches slowed each other
// where filling a table is independent stores.
//
// A table is worth filling only for a text many patterns read: filling one costs about
// what three or four PCRE2 runs over the text do, and a Received header or an HTML
// source is read by two or three patterns of a rule set. So the prefilter also counts,
// while the rule set loads, how many patterns read each kind of text (a named header,
// the plain-text bodies, the HTML sources...); a pattern whose kind of text has fewer
// readers than kMinReadersForTable uses a table another pattern filled, but never fills
// one itself.
//
// Built once while the rule set loads (one thread), read by every mail afterwards.
#ifndef RULES_REGEX_PREFILTER_H_
#define RULES_REGEX_PREFILTER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class CRegexPrefilter {
 public:
  // Every match contains one of these literals (lower-case ASCII letters, other bytes as
  // written); an empty list: nothing is known.
  using Literals = std::vector<std::string>;

  // The texts every match of a pattern begins with (folded as literals are), and how many
  // characters before its start a match reads ("\b": one). Empty when a branch begins
  // otherwise ("\w+@", ".*x") or the pattern reads the subject's start or behind its
  // match ("^", "\A", "\G", a look-behind).
  struct Starts {
    Literals texts;
    size_t behind = 0;
  };

  // Which byte triples and byte quadruples a text holds (each hashed into a table of its
  // own), letters folded: built once per text, then asked by every pattern.
  struct TextTable {
    uint64_t triples[1024];
    uint64_t quads[1024];
    bool oddFold;  // the text holds a Kelvin sign or a long s
  };

  // The same for a text shorter than kMinScannedLength (a URL, a Subject): its sixty
  // triples at most in 1,024 bits, which cost less to clear and fill than the 8 KiB of a
  // long text's table and still leave a literal of three triples a small chance of
  // passing by accident.
  struct ShortTable {
    uint64_t triples[16];
    bool oddFold;
  };
  static constexpr uint16_t kShortMask = 1023;

  // Texts of this length or more get a TextTable, shorter ones a ShortTable.
  static constexpr size_t kMinScannedLength = 64;

  CRegexPrefilter();

  // False when the environment turns the prefilter off (EMLB_REGEX_PREFILTER=0): every
  // Add then answers -1.
  static bool EnabledByEnvironment();

  // The literals of a pattern (UTF-8, PCRE2 syntax), one of which each match contains;
  // empty when the pattern does not tell.
  static Literals RequiredLiterals(const char* pattern, bool caseless, Starts* starts = nullptr);

  // Offers a pattern. Returns its id, or -1 when it has no literal of three bytes or more
  // to test (the caller then always runs PCRE2).
  int Add(const char* pattern, bool caseless);

  int GetPatternCount() const { return static_cast<int>(patterns_.size()); }

  // Counts one more pattern reading texts of `kind` (a name the caller makes up, the same
  // for the same texts) and returns the kind's number.
  int CountReader(const std::string& kind);
  // The kind's number, without counting a reader.
  int KindOf(const std::string& kind);
  // How many patterns read texts of a kind; 0 for -1.
  size_t ReadersOf(int kind) const {
    return kind >= 0 ? readers_[static_cast<size_t>(kind)].second : 0;
  }
  static constexpr size_t kMinReadersForTable = 4;

  // Fills table from a text of at least kMinScannedLength bytes.
  static void Tabulate(const char* text, size_t length, TextTable* table);
  // False when pattern id cannot match the text of table.
  bool MayMatch(int id, const TextTable& table) const;
  // The same, and a literal the table lets through must also be in `folded`, the text
  // with its ASCII capitals lowered (FoldText): in a text of a few kilobytes most words of
  // a literal have all their quadruples by chance, and a search for the literal itself
  // costs a small part of the PCRE2 run it saves.
  bool MayMatch(int id, const TextTable& table, std::string_view folded) const;
  static void FoldText(const char* text, size_t length, std::string* folded);
  // Where in a long text (table and folded as for MayMatch) PCRE2 need look for a match
  // of pattern id: the earliest place one of the pattern's start texts occurs, less the
  // bytes its match may read before it. Every match begins there or later, so a search
  // from there finds one if any exists; a big alternation of phrases that one of its
  // phrases let through is searched from that phrase, not from the text's first byte.
  // 0 when the pattern's starts are not known, or a Kelvin sign or long s in the text
  // might stand for a k or an s of one; kNoMatch when no start text occurs.
  static constexpr size_t kNoMatch = static_cast<size_t>(-1);
  size_t MatchFrom(int id, const TextTable& table, std::string_view folded) const;
  // The same for a text shorter than kMinScannedLength.
  static void TabulateShort(const char* text, size_t length, ShortTable* table);
  bool MayMatchShort(int id, const ShortTable& table) const;
  // Whether a text holds a character PCRE2 folds to a caseless k or s.
  static bool TextHasOddFold(const char* text, size_t length);

 private:
  // Per pattern, its literals one after the other, each as the count of its byte
  // quadruples (none for a literal of three bytes) and of its triples, then their table
  // bits: one array, read in order.
  std::vector<std::vector<uint16_t>> patterns_;
  // Per pattern: caseless, with a k or an s in a literal.
  std::vector<bool> odd_folds_;
  // Per pattern, its literals as patterns_ holds them, folded.
  std::vector<Literals> literals_;
  // Per pattern, its start texts, folded, with their quadruples and triples as patterns_
  // holds a pattern's literals (none when not known), and the bytes a match may read
  // before its start.
  struct StartTexts {
    Literals texts;
    std::vector<uint16_t> needs;
    size_t backoff = 0;
  };
  std::vector<StartTexts> starts_;
  // Per kind of text, its name and how many patterns read it (a few dozen kinds).
  std::vector<std::pair<std::string, size_t>> readers_;
  bool enabled_;
};

#endif  // RULES_REGEX_PREFILTER_H_
