// The statistical token classifier: how likely a mail is spam, from how often its tokens
// (engines/mail_tokens.h) appeared in the spam and the ham the user taught it
// (engines/token_store.h).
//
// Gary Robinson's method, as SpamBayes and SpamAssassin's Bayes use it:
//
//   p(w) = (spam(w) / spamMails) / (spam(w) / spamMails + ham(w) / hamMails)
//   f(w) = (s * x + n * p(w)) / (s + n)      n = spam(w) + ham(w), s = 0.45, x = 0.5
//
// so a token seen in few mails stays near 0.5. The tokens with |f - 0.5| >= 0.1 count,
// at most the 150 farthest from 0.5 and of them at most two header names (below), and
// Fisher's method combines them:
//
//   H = C^-1(-2 sum ln f, 2n)   S = C^-1(-2 sum ln (1 - f), 2n)   I = (1 + H - S) / 2
//
// where C^-1(chi, v) is the probability that a chi-square variable of v degrees of
// freedom exceeds chi. I near 1 is spam, near 0 ham, near 0.5 undecided (or both).
//
// Below the minimum counts of learned spam and ham mails the classifier does not speak:
// with a few dozen mails every rare word looks decisive.
//
// Header names come in families that say one thing many times: a mail from a mailing list
// carries List-Id, List-Post, List-Help, List-Unsubscribe, Errors-To, Precedence... Counted
// one by one they outweigh the text (a spam sent through a list the user reads looked
// like ham on its headers alone), so only the two most telling count. The tokenizer marks
// them in the hash (MarkGroup), so the classifier tells them without their text.
//
// Classify may be called from any number of threads at once (the store allows it).
#ifndef ENGINES_STAT_CLASSIFIER_H_
#define ENGINES_STAT_CLASSIFIER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engines/token_store.h"

namespace learning {

// A header-name token has kHeaderNameMark in the four bits at kGroupShift of its hash, and
// no other token has: bits that neither the in-memory table's slot (the low bits) nor the
// Redis bucket (the top 16) read, so marking costs those stores nothing.
inline constexpr int kGroupShift = 40;
inline constexpr TokenHash kGroupBits = TokenHash{0xF} << kGroupShift;
inline constexpr TokenHash kHeaderNameMark = TokenHash{0xA} << kGroupShift;

// The hash of a token made a header name's (`header_name`) or kept from looking like one.
inline TokenHash MarkGroup(TokenHash hash, bool header_name) {
  if (header_name) return (hash & ~kGroupBits) | kHeaderNameMark;
  return (hash & kGroupBits) == kHeaderNameMark ? hash ^ (TokenHash{1} << kGroupShift) : hash;
}
inline bool IsHeaderName(TokenHash hash) { return (hash & kGroupBits) == kHeaderNameMark; }

struct ClassifierOptions {
  uint64_t minSpamMails = 200;  // learned spam mails before the classifier speaks
  uint64_t minHamMails = 200;   // learned ham mails before the classifier speaks
  double strength = 0.45;       // s: how many mails' worth the prior x weighs
  double prior = 0.5;           // x: f of a token never seen
  double minDeviation = 0.1;    // tokens with |f - 0.5| below this do not count
  size_t maxClues = 150;        // at most this many tokens count, the most extreme
  size_t maxHeaderNameClues = 2;  // of them at most this many header names
};

// One token that counted, with its f.
struct Clue {
  TokenHash token = 0;
  double f = 0.5;
  TokenCounts counts;
};

struct Verdict {
  bool spoke = false;        // false: too little learned (probability is 0.5)
  double probability = 0.5;  // I: 0 ham to 1 spam
  std::vector<Clue> clues;   // the tokens that counted (Classify says in which order)
};

class StatClassifier {
 public:
  StatClassifier(std::unique_ptr<TokenStore> store, const ClassifierOptions& options);
  StatClassifier(const StatClassifier&) = delete;
  StatClassifier& operator=(const StatClassifier&) = delete;

  // How Classify leaves the clues: most extreme first (for an explanation), or as they
  // were chosen. The probability is the same either way but for the last bits of its
  // products' rounding; sorting the clues of every mail cost a branch misprediction every
  // other comparison, for nothing a rule reads.
  enum class ClueOrder { kMostExtremeFirst, kAny };

  // The verdict on a mail's distinct tokens. Throws TokenStoreError when the store fails.
  Verdict Classify(const std::vector<TokenHash>& tokens,
                   ClueOrder order = ClueOrder::kMostExtremeFirst) const;

  TokenStore& store() const { return *store_; }
  const ClassifierOptions& options() const { return options_; }

  // The pieces of the method, for the tests and the explanation.
  static double TokenProbability(const TokenCounts& counts, const StoreTotals& totals,
                                 const ClassifierOptions& options);
  // Fisher's combination of the f of the tokens that count (0.5 for none).
  static double Combine(const std::vector<double>& f);
  // C^-1(chi, v) for an even v: the chance a chi-square variable of v degrees of freedom
  // is at least chi.
  static double ChiSquareQ(double chi, size_t v);

 private:
  std::unique_ptr<TokenStore> store_;
  ClassifierOptions options_;
};

}  // namespace learning

#endif  // ENGINES_STAT_CLASSIFIER_H_
