#include "engines/stat_classifier.h"

#include <algorithm>
#include <cmath>

namespace learning {

StatClassifier::StatClassifier(std::unique_ptr<TokenStore> store,
                               const ClassifierOptions& options)
    : store_(std::move(store)), options_(options) {}

double StatClassifier::TokenProbability(const TokenCounts& counts, const StoreTotals& totals,
                                        const ClassifierOptions& options) {
  const double n = static_cast<double>(counts.spam) + counts.ham;
  if (n == 0 || totals.spamMails == 0 || totals.hamMails == 0) return options.prior;
  // A count may exceed its class total after mails were forgotten with other tokens
  // than they were learned with: a ratio stays at most 1.
  const double spam = std::min(1.0, counts.spam / static_cast<double>(totals.spamMails));
  const double ham = std::min(1.0, counts.ham / static_cast<double>(totals.hamMails));
  const double p = spam / (spam + ham);
  return (options.strength * options.prior + n * p) / (options.strength + n);
}

double StatClassifier::ChiSquareQ(double chi, size_t v) {
  // For even v: Q = e^-m * sum over i < v/2 of m^i / i!, m = chi / 2.
  const double m = chi / 2.0;
  double term = std::exp(-m);
  double sum = term;
  for (size_t i = 1; i < v / 2; ++i) {
    term *= m / static_cast<double>(i);
    sum += term;
  }
  return std::min(sum, 1.0);
}

double StatClassifier::Combine(const std::vector<double>& f) {
  if (f.empty()) return 0.5;
  // The sums of logarithms as two products, each kept in range by moving its binary
  // exponent out now and then (as SpamBayes does): two logarithms a mail, not 300.
  double product_f = 1.0;
  double product_not_f = 1.0;
  int exponent_f = 0;
  int exponent_not_f = 0;
  for (const double value : f) {
    product_f *= value;
    product_not_f *= 1.0 - value;
    if (product_f < 1e-200) {
      int e;
      product_f = std::frexp(product_f, &e);
      exponent_f += e;
    }
    if (product_not_f < 1e-200) {
      int e;
      product_not_f = std::frexp(product_not_f, &e);
      exponent_not_f += e;
    }
  }
  constexpr double kLn2 = 0.69314718055994530942;
  const double ln_f = std::log(product_f) + exponent_f * kLn2;
  const double ln_not_f = std::log(product_not_f) + exponent_not_f * kLn2;
  const double h = ChiSquareQ(-2.0 * ln_f, 2 * f.size());
  const double s = ChiSquareQ(-2.0 * ln_not_f, 2 * f.size());
  return (1.0 + h - s) / 2.0;
}

Verdict StatClassifier::Classify(const std::vector<TokenHash>& tokens, ClueOrder order) const {
  Verdict verdict;
  const StoreTotals totals = store_->Totals();
  if (totals.spamMails < options_.minSpamMails || totals.hamMails < options_.minHamMails ||
      totals.spamMails == 0 || totals.hamMails == 0) {
    return verdict;
  }
  std::vector<TokenCounts> counts;
  store_->Lookup(tokens, &counts);
  // Most of a mail's tokens were never learned, and their f is the prior, which says
  // nothing unless the options make the dead zone empty. Both steps keep or drop without
  // a branch: which tokens are known and which deviate is as good as random, and a
  // mispredicted branch a token cost more than the arithmetic.
  const bool prior_counts = std::fabs(options_.prior - 0.5) >= options_.minDeviation;
  std::vector<uint32_t> known(tokens.size());
  size_t known_count = 0;
  for (size_t i = 0; i < tokens.size(); ++i) {
    known[known_count] = static_cast<uint32_t>(i);
    known_count += prior_counts || counts[i].spam != 0 || counts[i].ham != 0;
  }
  verdict.clues.resize(known_count);
  size_t clue_count = 0;
  for (size_t k = 0; k < known_count; ++k) {
    const uint32_t i = known[k];
    const double f = TokenProbability(counts[i], totals, options_);
    verdict.clues[clue_count] = {tokens[i], f, counts[i]};
    clue_count += std::fabs(f - 0.5) >= options_.minDeviation;
  }
  verdict.clues.resize(clue_count);
  // Most extreme first; equal ones by hash, so the same mail always gives the same clues.
  auto farther = [](const Clue& a, const Clue& b) {
    const double da = std::fabs(a.f - 0.5);
    const double db = std::fabs(b.f - 0.5);
    return da != db ? da > db : a.token < b.token;
  };
  // The header names (a few dozen at most) go to the end, and only the most telling of
  // them stay.
  const auto names = std::partition(verdict.clues.begin(), verdict.clues.end(),
                                    [](const Clue& c) { return !IsHeaderName(c.token); });
  const size_t name_count = static_cast<size_t>(verdict.clues.end() - names);
  if (name_count > options_.maxHeaderNameClues) {
    std::nth_element(names, names + options_.maxHeaderNameClues, verdict.clues.end(), farther);
    verdict.clues.erase(names + options_.maxHeaderNameClues, verdict.clues.end());
  }
  if (verdict.clues.size() > options_.maxClues) {
    std::nth_element(verdict.clues.begin(), verdict.clues.begin() + options_.maxClues,
                     verdict.clues.end(), farther);
    verdict.clues.resize(options_.maxClues);
  }
  if (order == ClueOrder::kMostExtremeFirst) {
    std::sort(verdict.clues.begin(), verdict.clues.end(), farther);
  }
  std::vector<double> f;
  f.reserve(verdict.clues.size());
  for (const Clue& clue : verdict.clues) f.push_back(clue.f);
  verdict.spoke = true;
  verdict.probability = Combine(f);
  return verdict;
}

}  // namespace learning
