// The word finder: the cost model of an approximate word matcher and the matcher itself.
// The model holds, in thousandths (1000 stands for 1.0), the cost of inserting or deleting
// each 8-bit character and the cost of replacing one character by another; a plain text
// file ("aswfconf.dat") tunes it. On top of the model:
//
//   - Study prepares one wide text for matching (a CStudiedText: the cost of each
//     character, a sketch of the letter sequences it holds, and, made when a word first
//     gets past the sketch, where words may start and an index of its words in a
//     normalised form);
//   - SpanCost is the weighted edit distance between a span of a studied text and a word;
//   - FindWord says whether a word occurs in a studied text, disguised or not, within a
//     cost budget. This is what match(..., OBFUSCATED) runs.
//
//   CWordFinder finder;                         // the defaults
//   finder.Load("data/aswfconf.dat");           // throws when the file cannot be opened
//   auto studied = finder.Study(text, length);  // once per text
//   bool hit = finder.FindWord(*studied, u"viagra", 1200);
//
// The engines facade owns one word finder. Load changes it and runs only while the breaker
// applies its shared settings; everything else is const and may run on many threads at
// once. A CStudiedText belongs to the thread that studied it.
#ifndef ENGINES_WORD_FINDER_H_
#define ENGINES_WORD_FINDER_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class CWordFinder;

// One wide text prepared by CWordFinder::Study. It keeps no pointer to the text: the
// characters it needs are copied, so it may outlive the text. It keeps a pointer to the
// finder that studied it, which makes the runs on first need with its tables: the finder
// must outlive it.
class CStudiedText {
 public:
  // What separates a normalised character from the one before it.
  enum Boundary : uint8_t {
    kJoined = 0,  // nothing: the same word
    kSoft = 1,    // a cheap separator ("v.i.a"), a single space between single letters
                  // ("v i a"), or a small letter followed by a capital ("buyViagra")
    kHard = 2,    // the start of the text, a space, punctuation that costs a full edit
  };
  // A run of the text that reads as one letter once look-alikes are folded (1 and l as i,
  // @ and 4 as a...) and repeats collapsed: "viaagra" has six runs.
  struct Run {
    uint16_t letter;  // the folded character: its class (see CWordFinder::ClassOf)
    Boundary before;  // what precedes the run
    // The run starts with a digit or a symbol that reads as a letter ("1", "@", "$"). A
    // word may also start or end next to such a run: "viagra!" and "100mg" hold words.
    bool is_look_alike;
    uint32_t begin;  // the run's first character in the text
    uint32_t end;    // one past its last character
  };
  // Whether a word may start at run r, and end before run r.
  static bool StartsWord(const std::vector<Run>& runs, size_t r) {
    return r == 0 || runs[r].before != kJoined || runs[r].is_look_alike ||
           runs[r - 1].is_look_alike;
  }
  static bool EndsWord(const std::vector<Run>& runs, size_t r) {
    return r == runs.size() || StartsWord(runs, r);
  }

  // The studied characters (the first CWordFinder::kMaxStudiedLength of the text).
  const std::u16string& Text() const { return text_; }
  // Whether the text may hold the letter classes `collapsed` (no two alike in a row) in
  // this order: false when some four of them in a row are nowhere in the text's letters,
  // all other characters left out. Fewer than four are always possible.
  bool MayHoldLetters(const std::vector<uint16_t>& collapsed) const;
  // The insertion or deletion cost of each character of Text(), as the finder priced
  // them when it studied the text. Matching reads them one at a time (CostAt); this
  // list is built on request.
  std::vector<uint32_t> Costs() const;
  // The positions in Text() where a word may start, in order (built on request).
  std::vector<uint32_t> WordStarts() const;
  const std::vector<Run>& Runs() const { return ReadyRuns(); }

 private:
  friend class CWordFinder;
  // The cost of Text()[i].
  uint32_t CostAt(size_t i) const;
  // The runs and the index, made by the studying finder on first need.
  const std::vector<Run>& ReadyRuns() const;
  std::u16string text_;
  // The finder's 8-bit character costs when it studied the text.
  std::array<uint32_t, 256> char_costs_;
  const CWordFinder* finder_ = nullptr;
  // Every stretch of four letters of the text (the classes of its letters in order, a
  // repeat of the letter before dropped, whatever stands between them) sets one bit of
  // a table of a power of two bits, about four per character. Most texts hold none of a
  // rule's disguised words, and a few lookups in the table say so for most of them:
  // normalising the whole text, which costs about three times the sketch, is then
  // never done.
  static uint64_t SketchKey(const uint16_t* four) {
    return static_cast<uint64_t>(four[0]) << 48 | static_cast<uint64_t>(four[1]) << 32 |
           static_cast<uint64_t>(four[2]) << 16 | four[3];
  }
  size_t SketchBit(uint64_t key) const {
    return static_cast<size_t>((key * 0x9E3779B97F4A7C15u) >> sketch_shift_);
  }
  std::vector<uint64_t> sketch_;
  unsigned sketch_shift_ = 63;
  // Made lazily (ReadyRuns): a text belongs to one thread.
  mutable bool runs_ready_ = false;
  mutable std::vector<Run> runs_;
  // The runs that start a word and have a run after them, grouped by a hash of their
  // first two letters (a counting sort: no comparison sort per text): FindWord looks at
  // one group instead of scanning the text. Group b is index_[group_begin_[b]] up to
  // index_[group_begin_[b + 1]]. There are about as many groups as words (a power of
  // two from 8 to 1024), so a subject does not pay for a thousand empty groups.
  static constexpr size_t kMinGroups = 8;
  static constexpr size_t kMaxGroups = 1024;
  size_t GroupOf(uint16_t first, uint16_t second) const {
    return (first * 31u + second) & (group_begin_.size() - 2);
  }
  mutable std::vector<uint32_t> index_;
  mutable std::vector<uint32_t> group_begin_;
};

class CWordFinder {
 public:
  // Costs are integers in thousandths.
  static constexpr uint32_t kUnit = 1000;
  // Study reads at most this many characters of a text.
  static constexpr size_t kMaxStudiedLength = 200000;
  // A configured cost is clamped to this (1000 edits): sums of costs over a word then
  // stay far from overflowing.
  static constexpr uint32_t kMaxCost = 1000 * kUnit;
  // Below this, a replacement makes two characters look-alikes (the same letter for the
  // index) and an insertion makes a punctuation character a separator inside words.
  static constexpr uint32_t kCheapCost = kUnit / 2;
  // The cost of a character inserted or deleted next to one of its own class ("viaagra",
  // "viiagra"). The configuration has no form for it, so the matcher applies it itself.
  static constexpr uint32_t kRepeatCost = kUnit / 10;
  // FindWord skips a candidate span longer than this many characters per character of
  // the word (plus kSpanSlack): separators past that exceed any sensible budget.
  static constexpr size_t kSpanPerChar = 8;
  static constexpr size_t kSpanSlack = 16;
  // Words longer than this are never found (their cost table would be large).
  static constexpr size_t kMaxWordLength = 256;

  CWordFinder();
  ~CWordFinder();
  CWordFinder(const CWordFinder&) = delete;
  CWordFinder& operator=(const CWordFinder&) = delete;

  // Applies the configuration file's lines in order on top of the current tables (a second
  // load overrides entry by entry; nothing goes back to the defaults). The file is opened
  // in text mode through CASFile, whose exception ("CASFile constructor - %s - %s") passes
  // on when it cannot be opened; the tables then keep what they held. Malformed lines are
  // skipped.
  void Load(const char* configuration_file);
  // Takes other's tables, so that a configuration loaded next applies on top of them.
  void CopyTablesFrom(const CWordFinder& other);

  uint32_t GetCharCost(uint8_t c) const { return charCost[c]; }
  uint32_t GetPairCost(uint8_t a, uint8_t b) const { return pairCost[a][b]; }
  uint8_t GetLowerCase(uint8_t c) const { return lowerCase[c]; }

  // The letter a character reads as: 0 for a character that is no part of a word
  // (spaces, separators, punctuation); otherwise the class of characters that replace each
  // other for less than kCheapCost, named by its smallest small letter or digit ("1", "l",
  // "i" and "|" may all read as "i"). A character above 255 that is not a space, a
  // punctuation mark or invisible is its own class.
  uint16_t ClassOf(char16_t c) const { return c < 256 ? class_of_[c] : WideClassOf(c); }
  // The insertion or deletion cost of a wide character: the table's for 8-bit codes, 0 for
  // the invisible ones (zero-width spaces and joiners, the byte-order mark), a full edit
  // for any other.
  uint32_t CostOf(char16_t c) const;

  // Prepares text (length characters, at most kMaxStudiedLength of them are read) for
  // SpanCost and FindWord. A null text throws ASBadPtrException "Invalid buffer in the Word
  // Finder Study() method!"; std::bad_alloc passes on.
  std::unique_ptr<CStudiedText> Study(const char16_t* text, size_t length) const;
  // Hands back a studied text no longer needed, so that a later Study on this thread may
  // reuse its memory. Nothing is kept beyond a few texts of moderate length.
  static void Recycle(std::unique_ptr<CStudiedText> studied);

  // The cheapest way to turn the studied characters [begin, end) into word: replacements
  // by the pair table, insertions and deletions by the character costs, a repeat of the
  // character before at kRepeatCost. Returns limit + 1 as soon as the cost must exceed
  // limit.
  uint32_t SpanCost(const CStudiedText& text, size_t begin, size_t end, std::u16string_view word,
                    uint32_t limit) const;

  // Whether word occurs in text, disguised or not: a span that starts where a word may
  // start, ends where a word ends, reads as the same letters as word once both are
  // normalised (look-alikes folded, separators dropped, repeats collapsed; word's own
  // spaces must be spaces there too), and costs at most budget by SpanCost. A typo that
  // changes a letter into an unrelated one is not found, however big the budget.
  bool FindWord(const CStudiedText& text, std::u16string_view word, uint32_t budget) const;

  // A word made ready for FindWord once, by the finder whose tables it was read with
  // (Prepare): a rule asks the same word of every mail.
  struct Wanted {
    std::u16string word;
    std::vector<CStudiedText::Run> runs;  // the word normalised
    std::vector<uint16_t> letters;        // their letters, repeats dropped
    uint64_t generation = 0;              // the finder's tables it was read with
  };
  // Fills wanted for word; a word that can never be found gets no runs.
  void Prepare(std::u16string_view word, Wanted* wanted) const;
  // FindWord for a prepared word; wanted must come from Prepare with this finder's
  // current tables (Generation).
  bool FindWord(const CStudiedText& text, const Wanted& wanted, uint32_t budget) const;
  // Changes whenever the tables do, and differs from every other finder's: a Wanted
  // of another generation must be prepared again.
  uint64_t Generation() const { return generation_; }

  // The budget of a word of length characters at a threshold: threshold edits per
  // character, in thousandths (0.2 gives "viagra" 1200). A negative threshold gives 0.
  static uint32_t BudgetFor(float threshold, size_t length);

 private:
  // One line of the configuration grammar, as Load applies it.
  void ApplyLine(const char* line);
  void SetPairCost(int a, int b, uint32_t cost);
  static uint16_t WideClassOf(char16_t c);
  // Recomputes the classes and separators from the tables (after every change).
  void RebuildClasses();
  // A generation number no finder had before, for tables that changed.
  void NewGeneration();
  // The runs of text (Study's normalisation, shared with the words FindWord looks for),
  // which replace what runs held.
  void Normalise(std::u16string_view text, std::vector<CStudiedText::Run>* runs) const;
  // A recycled studied text of this thread, or null.
  static std::unique_ptr<CStudiedText> TakeRecycled();
  friend class CStudiedText;  // MakeRuns
  // Study's second part, on first need: the runs of studied's text and their index.
  void MakeRuns(const CStudiedText& studied) const;
  // Study's first part: the sketch of studied's text.
  void Sketch(CStudiedText* studied) const;

  // Whether c ends a word as a space does.
  bool IsSpaceUnit(char16_t c) const;

  uint32_t charCost[256];
  uint32_t pairCost[256][256];
  uint8_t lowerCase[256];
  // Derived from the tables: the class of each 8-bit code (0: not in words), and whether
  // a code is a cheap separator inside words.
  uint8_t class_of_[256];
  bool is_separator_[256];
  // What each 8-bit code is to Normalise (letter, look-alike, space, separator, other),
  // so that its loop takes one lookup per character.
  uint8_t kind_of_[256];
  uint64_t generation_ = 0;
};

#endif  // ENGINES_WORD_FINDER_H_
