// The condition classes: one per kind of condition section. ACondition::Create
// (rules/item_factories.cc) builds them from parsed items; the rule engine initialises
// and evaluates them. Every class is built at load time and read-only afterwards: one
// object may be evaluated for several mails at once, each with its own context.
#ifndef RULES_CONDITIONS_H_
#define RULES_CONDITIONS_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "emlbreaker/exceptions.h"
#include "emlbreaker/regex.h"
#include "emlbreaker/strings.h"
#include "engines/word_finder.h"
#include "rules/language/expression.h"
#include "rules/language/rule_items.h"

class ARuleRunner;
class CRegexPrefilter;

// A regular expression of a match condition that does not compile. The message is the
// engine's usual one; the regex library's own reason (PCRE2's text and the offset in the
// pattern) is kept beside it for tools that show it to the rule's author.
class RegexCompileException : public ASException {
 public:
  static constexpr size_t kMaxCompileError = 300;

  RegexCompileException(const char* pattern, const char* compile_error);
  const char* GetCompileError() const { return compile_error_; }

 private:
  char compile_error_[kMaxCompileError + 1] = {};
};

// "condition: none": hits whenever the rule is executed.
class NoCondition : public ACondition {
 public:
  NoCondition() : ACondition(COND_NONE) {}
  double Evaluate(CEnginesInterface* engines, CEmlContextInterface* context) override;
};

// A meta-rule's boolean expression over other rules. Owns its tree and the rule names in
// it, so it outlives the parsed rule it was copied from.
class ExprCondition : public ACondition {
 public:
  // Nested deeper than this, Init and Evaluate refuse the expression.
  static constexpr int kMaxDepth = 100;

  // Takes ownership of root (null: an empty expression), whose names are new char[].
  explicit ExprCondition(expr_t* root) : ACondition(COND_EXPR), root_(root) {}
  ExprCondition(const ExprCondition&) = delete;
  ExprCondition& operator=(const ExprCondition&) = delete;
  ~ExprCondition() override;

  // Both reach the rule engine through engines->GetRuleRunner().
  int Init(CEnginesInterface* engines) override;
  double Evaluate(CEnginesInterface* engines, CEmlContextInterface* context) override;

  // The same with the rule engine given: Init initialises every rule the tree names,
  // Evaluate computes the tree's value, running the named rules.
  void InitNodes(ARuleRunner* runner, CEnginesInterface* engines) const;
  double EvaluateNodes(ARuleRunner* runner, CEnginesInterface* engines,
                       CEmlContextInterface* context) const;

  const expr_t* GetRoot() const { return root_; }

 private:
  void InitNode(const expr_t* node, int depth, ARuleRunner* runner,
                CEnginesInterface* engines) const;
  double ExecuteNode(const expr_t* node, int depth, ARuleRunner* runner, CEnginesInterface* engines,
                     CEmlContextInterface* context) const;

  expr_t* root_;
};

// match(text, place, type [, mode]). Header names are compared byte for byte with the
// map keys, which are upper case. OBFUSCATED is an approximate word match with the word
// finder's costs (CWordFinder::FindWord); it never hits without a word finder.
class MatchCondition : public ACondition {
 public:
  MatchCondition(const ascommon::sstring& what, uint32_t where, const ascommon::sstring& header,
                 uint32_t how, uint32_t part_mode)
      : ACondition(COND_MATCH),
        wide_what_(what),
        what_(what),
        where_(where),
        header_name_(header),
        how_(how),
        part_mode_(part_mode) {}

  int Init(CEnginesInterface* engines) override;
  double Evaluate(CEnginesInterface* engines, CEmlContextInterface* context) override;

  const ascommon::usstring& GetWideWhat() const { return wide_what_; }
  const ascommon::sstring& GetWhat() const { return what_; }
  uint32_t GetWhere() const { return where_; }
  const ascommon::sstring& GetHeaderName() const { return header_name_; }
  uint32_t GetHow() const { return how_; }
  // MODE_RAW or MODE_DECODED for the part places, 0 for the others.
  uint32_t GetPartMode() const { return part_mode_; }
  // Null unless Init compiled a regular expression.
  const CARegEx* GetRegex() const { return regex_.get(); }

  // The finders of one evaluation, one per kind of place and match: each walks the parts
  // tree as a read-only listener and does nothing more once it found the text.
  class ExactPartFinder;
  class ExactPartHeaderFinder;
  class ExactURLFinder;
  class RegexPartFinder;
  class RegexPartHeaderFinder;
  class RegexURLFinder;
  class ObfuscatedFinder;

 private:
  // EXACT and EXACT_INSENSITIVE: a substring test on every candidate of the place.
  double ExactMatch(CEmlContextInterface* context) const;
  // REGEX and REGEX_INSENSITIVE: the compiled expression on the UTF-8 form of every
  // candidate.
  double RegexMatch(CEmlContextInterface* context) const;
  // OBFUSCATED: the word, disguised or not, in the same candidates as the exact match
  // (a named subject is read decoded), within the context's threshold per character.
  double ObfuscatedMatch(CEnginesInterface* engines, CEmlContextInterface* context) const;

  ascommon::usstring wide_what_;
  ascommon::sstring what_;
  uint32_t where_;
  ascommon::sstring header_name_;
  uint32_t how_;
  uint32_t part_mode_;
  std::unique_ptr<CARegEx> regex_;
  // The rule set's prefilter and this expression's id in it, when it took the pattern.
  std::shared_ptr<CRegexPrefilter> prefilter_;
  int prefilter_id_ = -1;
  // The kinds of text the place reads, as the prefilter counts their readers (the plain
  // bodies and the HTML bodies; a named header and, shared, all headers), -1 for none.
  void CountReaders(CRegexPrefilter* prefilter);
  // Whether the prefilter may fill a table for a long text this condition reads: every
  // kind of text it reads has enough readers to pay for the table.
  bool FillsTables() const;
  int reader_kinds_[2] = {-1, -1};
  int shared_reader_kind_ = -1;
  // OBFUSCATED: the word as the word finder reads it, prepared by the first mail that
  // asks and kept while the finder's tables stay the same (PreparedWord).
  // Made by Init; without it (a condition never initialised) each match prepares the
  // word in local. The rules are shared by every thread that judges mail, so the
  // prepared word is published through an atomic pointer; a word prepared for older
  // tables stays owned here, since another thread may still read it (one per reload of
  // the finder's tables).
  struct WordCache {
    std::atomic<const CWordFinder::Wanted*> current{nullptr};
    std::mutex mutex;  // over kept
    std::vector<std::unique_ptr<CWordFinder::Wanted>> kept;
  };
  const CWordFinder::Wanted& PreparedWord(const CWordFinder& finder,
                                          CWordFinder::Wanted* local) const;
  std::unique_ptr<WordCache> word_cache_;
};

// exists(place) and is_empty(place) share their fields.
class PlaceCondition : public ACondition {
 public:
  PlaceCondition(uint32_t specific, uint32_t where, const ascommon::sstring& header)
      : ACondition(specific), where_(where), header_name_(header) {}
  uint32_t GetWhere() const { return where_; }
  const ascommon::sstring& GetHeaderName() const { return header_name_; }

 private:
  uint32_t where_;
  ascommon::sstring header_name_;
};

// exists(place): the named header is there, or a part of the kind the place names.
class ExistsCondition : public PlaceCondition {
 public:
  ExistsCondition(uint32_t where, const ascommon::sstring& header)
      : PlaceCondition(COND_EXISTS, where, header) {}
  double Evaluate(CEnginesInterface* engines, CEmlContextInterface* context) override;

  class PartFinder;
};

// is_empty(place): the named header has no text, or a part of the place has none. A header
// the mail lacks is not empty; a part without a body is.
class IsEmptyCondition : public PlaceCondition {
 public:
  IsEmptyCondition(uint32_t where, const ascommon::sstring& header)
      : PlaceCondition(COND_IS_EMPTY, where, header) {}
  double Evaluate(CEnginesInterface* engines, CEmlContextInterface* context) override;

  class PartFinder;
};

// exec(NAME) in a condition section: the value of a heuristic function.
class ExecCondition : public ACondition {
 public:
  explicit ExecCondition(const ascommon::sstring& function)
      : ACondition(COND_EXEC), function_name_(function) {}
  double Evaluate(CEnginesInterface* engines, CEmlContextInterface* context) override;
  const ascommon::sstring& GetFunctionName() const { return function_name_; }

 private:
  ascommon::sstring function_name_;
};

// match_knn_categ(text or any).
class KNNCategCondition : public ACondition {
 public:
  KNNCategCondition(uint32_t mode, const ascommon::sstring& category)
      : ACondition(COND_KNN_CATEG), mode_(mode), category_(category) {}
  double Evaluate(CEnginesInterface* engines, CEmlContextInterface* context) override;
  uint32_t GetMode() const { return mode_; }
  const ascommon::sstring& GetCategory() const { return category_; }

 private:
  uint32_t mode_;  // KNN_GIVEN or KNN_ANY
  ascommon::sstring category_;
};

// score_greater_than(NAME, limit): the limit is a constant or the name of a variable.
class ScoreGreaterCondition : public ACondition {
 public:
  ScoreGreaterCondition(int32_t threshold, uint32_t threshold_source,
                        const ascommon::sstring& threshold_variable,
                        const ascommon::sstring& score_variable)
      : ACondition(COND_SCORE_GREATER),
        threshold_(threshold),
        threshold_source_(threshold_source),
        threshold_variable_(threshold_variable),
        score_variable_(score_variable) {}
  double Evaluate(CEnginesInterface* engines, CEmlContextInterface* context) override;

  int32_t GetThreshold() const { return threshold_; }
  // P_COMPARE_CONSTANT or P_COMPARE_VARIABLE.
  uint32_t GetThresholdSource() const { return threshold_source_; }
  const ascommon::sstring& GetThresholdVariable() const { return threshold_variable_; }
  const ascommon::sstring& GetScoreVariable() const { return score_variable_; }

 private:
  int32_t threshold_;
  uint32_t threshold_source_;
  ascommon::sstring threshold_variable_;
  ascommon::sstring score_variable_;
};

#endif  // RULES_CONDITIONS_H_
