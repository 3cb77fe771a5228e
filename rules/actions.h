// The action classes: one per kind of action item. AAction::Create
// (rules/item_factories.cc) builds them from parsed items; a rule runs them in order when
// it hits. Built at load time and read-only afterwards: one object may run for several
// mails at once, each with its own context.
#ifndef RULES_ACTIONS_H_
#define RULES_ACTIONS_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "emlbreaker/strings.h"
#include "rules/language/rule_items.h"

// set_category(text or NAME).
class SetCategoryAction : public AAction {
 public:
  SetCategoryAction(const ascommon::sstring& category, uint32_t source)
      : AAction(ACT_SET_CATEGORY), category_(category), category_source_(source) {}
  void Execute(CEnginesInterface* engines, CEmlContextInterface* context) override;

  const ascommon::sstring& GetCategory() const { return category_; }
  // P_CATEGORY_LITERAL or P_CATEGORY_VARIABLE.
  uint32_t GetCategorySource() const { return category_source_; }

 private:
  ascommon::sstring category_;
  uint32_t category_source_;
};

// increase_score(NAME, constant or NAME).
class IncreaseScoreAction : public AAction {
 public:
  IncreaseScoreAction(int32_t increment, uint32_t source, const ascommon::sstring& variable,
                      const ascommon::sstring& target)
      : AAction(ACT_INCREASE_SCORE),
        increment_(increment),
        increment_source_(source),
        increment_variable_(variable),
        target_(target) {}
  void Execute(CEnginesInterface* engines, CEmlContextInterface* context) override;

  int32_t GetIncrement() const { return increment_; }
  // P_INCREMENT_CONSTANT or P_INCREMENT_VARIABLE.
  uint32_t GetIncrementSource() const { return increment_source_; }
  const ascommon::sstring& GetIncrementVariable() const { return increment_variable_; }
  const ascommon::sstring& GetTarget() const { return target_; }

 private:
  int32_t increment_;
  uint32_t increment_source_;
  ascommon::sstring increment_variable_;
  ascommon::sstring target_;
};

// mark(category, score), each a literal or a NAME.
class MarkAction : public AAction {
 public:
  MarkAction(int32_t score, uint32_t score_source, const ascommon::sstring& score_variable,
             const ascommon::sstring& category, uint32_t category_source)
      : AAction(ACT_MARK),
        score_(score),
        score_source_(score_source),
        score_variable_(score_variable),
        category_(category),
        category_source_(category_source) {}
  void Execute(CEnginesInterface* engines, CEmlContextInterface* context) override;

  int32_t GetScore() const { return score_; }
  // P_MARK_SCORE_CONSTANT or P_MARK_SCORE_VARIABLE.
  uint32_t GetScoreSource() const { return score_source_; }
  const ascommon::sstring& GetScoreVariable() const { return score_variable_; }
  const ascommon::sstring& GetCategory() const { return category_; }
  // P_MARK_CATEGORY_LITERAL or P_MARK_CATEGORY_VARIABLE.
  uint32_t GetCategorySource() const { return category_source_; }

 private:
  int32_t score_;
  uint32_t score_source_;
  ascommon::sstring score_variable_;
  ascommon::sstring category_;
  uint32_t category_source_;
};

// exec(NAME) in an actions section: runs a heuristic function.
class ExecAction : public AAction {
 public:
  explicit ExecAction(const ascommon::sstring& function)
      : AAction(ACT_EXEC), function_name_(function) {}
  void Execute(CEnginesInterface* engines, CEmlContextInterface* context) override;
  const ascommon::sstring& GetFunctionName() const { return function_name_; }

 private:
  ascommon::sstring function_name_;
};

// add_header(name, value) and add_to_header(name, value): set or extend the mail header
// stored under name (looked up exactly as written; the mail's keys are upper case). A
// header the mail lacks is created; an existing one is changed only when it is a plain
// CHeaderOther. Either way the header is marked modified and the mail dirty.
class HeaderAction : public AAction {
 public:
  // The expansion buffer: at most this many bytes of the value are read, and the
  // expanded text keeps one less.
  static constexpr size_t kExpansionBuffer = 1024;
  // Header text longer than this is folded.
  static constexpr size_t kFoldWidth = 78;

  HeaderAction(uint32_t specific, const ascommon::sstring& name, uint32_t name_source,
               const ascommon::sstring& value)
      : AAction(specific), header_name_(name), header_name_source_(name_source), value_(value) {}

  // value with every "$(RuleName)" replaced by rule_name, cut as kExpansionBuffer says.
  static std::string ExpandValue(std::string_view value, std::string_view rule_name);
  // text broken before the last blank within each kFoldWidth bytes, with "\n\t": the blank
  // starts the next line. A stretch without a blank stays whole.
  static std::string Fold(std::string_view text);

  const ascommon::sstring& GetHeaderName() const { return header_name_; }
  // P_HEADER_NAME_LITERAL or P_HEADER_NAME_VARIABLE.
  uint32_t GetHeaderNameSource() const { return header_name_source_; }
  // May hold "$(RuleName)", replaced by the running rule's name.
  const ascommon::sstring& GetValue() const { return value_; }

 protected:
  // The work of both actions: replaces sets the header's text, otherwise the expanded
  // value is appended to it.
  void Apply(CEmlContextInterface* context, const char* where, bool replaces) const;

 private:
  ascommon::sstring header_name_;
  uint32_t header_name_source_;
  ascommon::sstring value_;
};

class AddHeaderAction : public HeaderAction {
 public:
  AddHeaderAction(const ascommon::sstring& name, uint32_t source, const ascommon::sstring& value)
      : HeaderAction(ACT_ADD_HEADER, name, source, value) {}
  void Execute(CEnginesInterface* engines, CEmlContextInterface* context) override;
};

class AddToHeaderAction : public HeaderAction {
 public:
  AddToHeaderAction(const ascommon::sstring& name, uint32_t source, const ascommon::sstring& value)
      : HeaderAction(ACT_ADD_TO_HEADER, name, source, value) {}
  void Execute(CEnginesInterface* engines, CEmlContextInterface* context) override;
};

#endif  // RULES_ACTIONS_H_
