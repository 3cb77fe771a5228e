// The classifier's method on counts small enough to work out by hand, over an in-memory
// store, and its silence below the minimum counts.
#include "engines/stat_classifier.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using learning::ClassifierOptions;
using learning::MailClass;
using learning::StatClassifier;
using learning::TokenCounts;
using learning::TokenHash;

// Counts set by the test; learning is not needed here.
class CountsStore : public learning::TokenStore {
 public:
  std::map<TokenHash, TokenCounts> counts;
  learning::StoreTotals totals;

  void Lookup(const std::vector<TokenHash>& tokens, std::vector<TokenCounts>* out) override {
    out->clear();
    for (const TokenHash token : tokens) {
      const auto found = counts.find(token);
      out->push_back(found != counts.end() ? found->second : TokenCounts());
    }
  }
  learning::StoreTotals Totals() override { return totals; }
  MailClass Learned(const std::string&) override { return MailClass::kNone; }
  learning::LearnOutcome Learn(const std::string&, const std::vector<TokenHash>&,
                               MailClass) override {
    return learning::LearnOutcome::kUnknown;
  }
  const std::string& name() const override { return name_; }

 private:
  std::string name_ = "counts";
};

ClassifierOptions NoMinimum() {
  ClassifierOptions options;
  options.minSpamMails = 0;
  options.minHamMails = 0;
  return options;
}

TEST(StatClassifierTest, HandComputedTrainingSet) {
  // Two spam and two ham mails learned. Token 1 was in both spam mails, token 2 in one
  // ham mail, token 3 in one of each, token 4 never seen.
  //   f(1) = (0.5 + 2 * 1) / (1 + 2) = 5/6        p = (2/2) / (2/2 + 0/2) = 1
  //   f(2) = (0.5 + 1 * 0) / (1 + 1) = 1/4        p = 0
  //   f(3) = (0.5 + 2 * 0.5) / 3 = 0.5            too near 0.5: no clue
  //   f(4) = 0.5                                  unknown: no clue
  // Two clues, so chi-square with 4 degrees of freedom, Q(chi, 4) = e^(-chi/2)(1 + chi/2):
  //   H = Q(-2 ln(5/6 * 1/4), 4) = 5/24 (1 + ln 4.8)  = 0.535128
  //   S = Q(-2 ln(1/6 * 3/4), 4) = 1/8  (1 + ln 8)    = 0.384930
  //   I = (1 + H - S) / 2                              = 0.575099
  auto store = std::make_unique<CountsStore>();
  store->totals.spamMails = 2;
  store->totals.hamMails = 2;
  store->counts[1] = {2, 0};
  store->counts[2] = {0, 1};
  store->counts[3] = {1, 1};
  ClassifierOptions options = NoMinimum();
  options.strength = 1.0;
  const StatClassifier classifier(std::move(store), options);
  const learning::Verdict verdict = classifier.Classify({1, 2, 3, 4});
  ASSERT_TRUE(verdict.spoke);
  EXPECT_NEAR(0.575099, verdict.probability, 1e-6);
  ASSERT_EQ(2u, verdict.clues.size());
  EXPECT_EQ(1u, verdict.clues[0].token);  // the more extreme first
  EXPECT_NEAR(5.0 / 6.0, verdict.clues[0].f, 1e-12);
  EXPECT_EQ(2u, verdict.clues[1].token);
  EXPECT_NEAR(0.25, verdict.clues[1].f, 1e-12);
}

TEST(StatClassifierTest, ClassTotalsNormaliseTheCounts) {
  // 10 of 100 spam mails against 10 of 1000 ham mails: ten times as common in spam.
  learning::StoreTotals totals;
  totals.spamMails = 100;
  totals.hamMails = 1000;
  const double p = 0.1 / (0.1 + 0.01);
  const double s = NoMinimum().strength;
  EXPECT_NEAR((s * 0.5 + 20 * p) / (s + 20),
              StatClassifier::TokenProbability({10, 10}, totals, NoMinimum()), 1e-12);
  EXPECT_EQ(0.5, StatClassifier::TokenProbability({0, 0}, totals, NoMinimum()));
}

TEST(StatClassifierTest, CombiningIsSymmetricAndBounded) {
  EXPECT_NEAR(std::exp(-1.5), StatClassifier::ChiSquareQ(3.0, 2), 1e-12);
  EXPECT_EQ(0.5, StatClassifier::Combine({}));
  const std::vector<double> spammy = {0.99, 0.95, 0.9, 0.2};
  std::vector<double> hammy;
  for (const double f : spammy) hammy.push_back(1 - f);
  const double spam = StatClassifier::Combine(spammy);
  EXPECT_GT(spam, 0.9);
  EXPECT_NEAR(1.0, spam + StatClassifier::Combine(hammy), 1e-12);
  // Strong evidence both ways is undecided, not a confident answer.
  EXPECT_NEAR(0.5, StatClassifier::Combine({0.99, 0.01, 0.99, 0.01}), 1e-9);
  // 150 extreme clues neither overflow nor leave [0, 1].
  const double many = StatClassifier::Combine(std::vector<double>(150, 0.999));
  EXPECT_LE(many, 1.0);
  EXPECT_GT(many, 0.999);
}

TEST(StatClassifierTest, SilentBelowTheMinimumCountsAndAtMostMaxClues) {
  auto store = std::make_unique<CountsStore>();
  CountsStore* counts = store.get();
  counts->totals.spamMails = 199;
  counts->totals.hamMails = 500;
  std::vector<TokenHash> tokens;
  for (TokenHash t = 1; t <= 400; ++t) {
    counts->counts[t] = {static_cast<uint32_t>(t % 50), 1};
    tokens.push_back(t);
  }
  const StatClassifier classifier(std::move(store), ClassifierOptions());
  EXPECT_FALSE(classifier.Classify(tokens).spoke);
  counts->totals.spamMails = 200;
  const learning::Verdict verdict = classifier.Classify(tokens);
  ASSERT_TRUE(verdict.spoke);
  EXPECT_EQ(150u, verdict.clues.size());
  for (size_t i = 1; i < verdict.clues.size(); ++i) {
    EXPECT_GE(std::fabs(verdict.clues[i - 1].f - 0.5), std::fabs(verdict.clues[i].f - 0.5));
  }
}

TEST(StatClassifierTest, HeaderNamesCountTwiceAtMost) {
  // A mailing list's headers all say ham; the mail's words all say spam. Counted one by
  // one the six header names outweigh the four words; two of them do not.
  learning::StoreTotals totals;
  totals.spamMails = 100;
  totals.hamMails = 100;
  std::map<TokenHash, TokenCounts> counts;
  std::vector<TokenHash> tokens;
  for (TokenHash t = 1; t <= 6; ++t) {
    const TokenHash name = learning::MarkGroup(t * 0x9E3779B97F4A7C15ULL, true);
    counts[name] = {1, 60 + static_cast<uint32_t>(t)};
    tokens.push_back(name);
  }
  for (TokenHash t = 1; t <= 4; ++t) {
    const TokenHash word = learning::MarkGroup(t, false);
    counts[word] = {20, 1};
    tokens.push_back(word);
  }
  auto classify = [&](size_t max_names) {
    auto store = std::make_unique<CountsStore>();
    store->totals = totals;
    store->counts = counts;
    ClassifierOptions options = NoMinimum();
    options.maxHeaderNameClues = max_names;
    return StatClassifier(std::move(store), options).Classify(tokens);
  };
  const learning::Verdict capped = classify(NoMinimum().maxHeaderNameClues);
  ASSERT_EQ(6u, capped.clues.size());
  size_t names = 0;
  for (const learning::Clue& clue : capped.clues) {
    if (!learning::IsHeaderName(clue.token)) continue;
    ++names;
    EXPECT_GE(clue.counts.ham, 65u);  // the two kept are the most telling
  }
  EXPECT_EQ(2u, names);
  EXPECT_GT(capped.probability, 0.5);
  EXPECT_LT(classify(6).probability, 0.5);

  // The mark is kept off every other token, whatever its hash.
  EXPECT_FALSE(learning::IsHeaderName(learning::MarkGroup(learning::kHeaderNameMark, false)));
  EXPECT_TRUE(learning::IsHeaderName(learning::MarkGroup(0, true)));
}

}  // namespace
