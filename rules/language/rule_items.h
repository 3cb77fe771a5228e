// The two forms a rule takes. While a rule file is parsed, each rule is a `rule`: a bag of
// generic items, each an item black box holding numbers under the keys of
// rules/rule_vocabulary.h. The rule engine then turns every item into a typed object
// derived from AItem through the three factories (ACondition::Create, AAction::Create,
// AMetainfo::Create, in rules/item_factories.cc).
//
// A `rule` is built by one parser and then handed over whole; it is not thread-safe.
// Typed items are built at load time and are read-only afterwards, so one item may be
// evaluated for several mails at once, each with its own context.
#ifndef RULES_LANGUAGE_RULE_ITEMS_H_
#define RULES_LANGUAGE_RULE_ITEMS_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "emlbreaker/array.h"
#include "emlbreaker/blackbox.h"
#include "emlbreaker/strings.h"
#include "rules/language/rule_vocabulary.h"

// The engines facade and the per-mail context that conditions and actions receive.
class CEnginesInterface;
class CEmlContextInterface;

// What a consumer of parsed rules made of one rule at its commit (see
// parser_state_info::set_commit_listener); the rule owns it and destroys it with itself.
class rule_attachment {
 public:
  virtual ~rule_attachment() = default;
};

// One parsed rule. It owns its items, its token texts (every NAME and STRING_LITERAL text
// of the rule, which the items point into) and, for a meta-rule whose condition is an
// expression, the expression tree under P_EXPR (whose rule names are token texts too).
class rule {
 public:
  rule() = default;
  rule(const rule&) = delete;
  rule& operator=(const rule&) = delete;
  ~rule();

  // Records one parameter in the item of its section and specific type (created on first
  // use); a later value under the same key replaces the earlier one. Every condition
  // parameter lands in the rule's one condition item, whatever its specific type. Throws
  // ASException for an unknown generic type or an item without a specific type, and
  // ASMemException when memory runs out.
  void set_value(uint32_t generic_type, uint32_t specific_type, uint32_t key,
                 const item_value* value);

  // 0 and *value when the item of that specific type holds key, -1 when either is absent.
  // Throws ASException as set_value does.
  int get_value(uint32_t generic_type, uint32_t specific_type, uint32_t key,
                item_value* value) const;

  // Takes ownership of a NUL-terminated text allocated with new char[].
  void register_buffer(char* text);

  void set_name(const char* text);
  void set_type(int32_t rule_type) { type = rule_type; }
  // The line of the rule file where the rule's name stands (0 when unknown).
  void set_line(int32_t name_line) { line = name_line; }
  int32_t get_line() const { return line; }

  const ascommon::CBlackBox* get_condition() const { return condition; }
  const ascommon::CArray<ascommon::CBlackBox*, 64>& get_actions() const { return actions; }
  const ascommon::CArray<ascommon::CBlackBox*, 64>& get_metainfo() const { return metainfo; }
  const ascommon::sstring& get_name() const { return name; }
  int32_t get_type() const { return type; }
  size_t get_buffer_count() const { return buffers.size(); }

  // Frees the condition (with its expression tree), the actions, the metainfo and the
  // texts, for a consumer that has taken what it needs; the name, type and line stay.
  void release_items();
  void set_attachment(std::unique_ptr<rule_attachment> made) { attachment = std::move(made); }
  rule_attachment* get_attachment() const { return attachment.get(); }

 private:
  // The item of section items whose specific type is specific_type, or null.
  static ascommon::CBlackBox* FindItem(const ascommon::CArray<ascommon::CBlackBox*, 64>& items,
                                       uint32_t specific_type, const char* missing_message,
                                       const char* where);

  int32_t type = RULE_TYPE_SIMPLE;
  ascommon::sstring name;
  ascommon::CBlackBox* condition = nullptr;
  ascommon::CArray<ascommon::CBlackBox*, 64> actions;
  ascommon::CArray<ascommon::CBlackBox*, 64> metainfo;
  // A vector, not a CArray: a CArray reallocates every 64 entries, which makes a rule
  // with n tokens cost n^2/64 copies, and a hostile rule may hold millions of tokens.
  std::vector<std::unique_ptr<char[]>> buffers;
  int32_t line = 0;
  std::unique_ptr<rule_attachment> attachment;
};

// The root of every typed item; each concrete class fixes both numbers.
class AItem {
 public:
  AItem(uint32_t generic, uint32_t specific) : generic_type(generic), specific_type(specific) {}
  virtual ~AItem() = default;

  uint32_t GetGenericType() const { return generic_type; }
  uint32_t GetSpecificType() const { return specific_type; }

 private:
  uint32_t generic_type;
  uint32_t specific_type;
};

// Metadata of a rule: its state, relevance, comment or priority.
class AMetainfo : public AItem {
 public:
  explicit AMetainfo(uint32_t specific) : AItem(GENERIC_METAINFO, specific) {}

  // A new metainfo for an item black box, or null (with a trace line when the item has no
  // generic or specific type). Never throws.
  static AMetainfo* Create(const ascommon::CBlackBox* item);
};

class StateMetainfo : public AMetainfo {
 public:
  explicit StateMetainfo(bool is_enabled) : AMetainfo(META_STATE), enabled(is_enabled) {}
  bool IsEnabled() const { return enabled; }

 private:
  bool enabled;
};

class RelevanceMetainfo : public AMetainfo {
 public:
  explicit RelevanceMetainfo(int32_t value) : AMetainfo(META_RELEVANCE), relevance(value) {}
  int32_t GetRelevance() const { return relevance; }

 private:
  int32_t relevance;
};

class CommentMetainfo : public AMetainfo {
 public:
  explicit CommentMetainfo(const ascommon::sstring& text)
      : AMetainfo(META_COMMENT), comment(text) {}
  const ascommon::sstring& GetComment() const { return comment; }

 private:
  ascommon::sstring comment;
};

class PriorityMetainfo : public AMetainfo {
 public:
  explicit PriorityMetainfo(int32_t value) : AMetainfo(META_PRIORITY), priority(value) {}
  int32_t GetPriority() const { return priority; }

 private:
  int32_t priority;
};

// A rule's condition: decides whether the rule hits (a value other than 0.0).
class ACondition : public AItem {
 public:
  explicit ACondition(uint32_t specific) : AItem(GENERIC_CONDITION, specific) {}
  ~ACondition() override = default;

  // Prepares the condition at load time; 0 unless a class needs preparation.
  virtual int Init(CEnginesInterface* engines) { return 0; }
  virtual double Evaluate(CEnginesInterface* engines, CEmlContextInterface* context) = 0;

  // A new condition for an item black box, or null with a trace line saying why when the
  // item is broken in a way the trace reports. Never throws.
  static ACondition* Create(const ascommon::CBlackBox* item);
};

// One action of a rule, run when the rule hits.
class AAction : public AItem {
 public:
  explicit AAction(uint32_t specific) : AItem(GENERIC_ACTION, specific) {}
  ~AAction() override = default;

  virtual int Init(CEnginesInterface* engines) { return 0; }
  virtual void Execute(CEnginesInterface* engines, CEmlContextInterface* context) = 0;

  // A new action for an item black box, or null. Never throws.
  static AAction* Create(const ascommon::CBlackBox* item);
};

#endif  // RULES_LANGUAGE_RULE_ITEMS_H_
