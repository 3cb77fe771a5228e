// One compiled rule of the rule engine: its typed condition, actions and metadata, built
// from a parsed `rule` by the item factories. A rule keeps no per-mail state: its value,
// whether it was evaluated and whether it is running now live in a StateInfo of the
// per-mail context, at the rule's index in the engine. So one CRule serves every mail.
//
// Rules are built and initialised while the engine is set up (single-threaded) and are
// read-only afterwards; Execute and AutoExecute may run for different mails at once, each
// with its own context.
#ifndef RULES_RULE_H_
#define RULES_RULE_H_

#include <cstdint>
#include <string>

#include "emlbreaker/array.h"
#include "emlbreaker/execution_unit.h"
#include "emlbreaker/strings.h"
#include "rules/language/rule_items.h"

class CEnginesInterface;
class CEmlContextInterface;

class CRule {
 public:
  // The state of one rule for one mail. The context holds one per rule, copied from the
  // engine's templates for every mail. Only the three flags and the value change during a
  // mail; actionDone has one entry per action and nothing sets an entry, so every action
  // runs each time the rule hits.
  struct StateInfo {
    bool executing = false;  // Execute is running for this rule now
    bool fixed = false;      // the value was supplied from outside (AutoExecute)
    bool evaluated = false;  // value holds the rule's result for this mail
    double value = 0.0;
    ascommon::CArray<bool, 1> actionDone;

    StateInfo() = default;
    StateInfo(StateInfo&&) noexcept = default;
    StateInfo& operator=(StateInfo&&) noexcept = default;
    // Not copyable implicitly: a copy allocates and may fail, see CopyFrom.
    StateInfo(const StateInfo&) = delete;
    StateInfo& operator=(const StateInfo&) = delete;

    // Makes this a copy of other: 0, or -2 when memory runs out (this is then unchanged).
    int CopyFrom(const StateInfo& other);
  };

  // Entries of the relevance and signature lists, as the execution unit hands them to
  // the filters. name points into the rule, which the engine keeps as long as the lists.
  using NNetRuleInfo = ::NNetRuleInfo;
  using SignatureInfo = ::SignatureInfo;
  // The rule's entry of each list, or null when it has no relevance (priority) or memory
  // ran out (traced). The caller owns the entry.
  static NNetRuleInfo* CreateNNetRuleInfo(const CRule& rule);
  static SignatureInfo* CreateSignatureInfo(const CRule& rule);

  ~CRule();
  CRule(const CRule&) = delete;
  CRule& operator=(const CRule&) = delete;

  // A new rule for a parsed one, or null when it has no condition item or a factory refuses
  // one of its items (the partial rule is destroyed). With refusal given, a null result
  // also says in *refusal which item was refused and, where it can tell, why. Never throws.
  static CRule* Create(const rule& parsed, std::string* refusal = nullptr);

  // Initialises the condition, then the actions (a meta-rule initialises every rule it
  // names first). Throws "CRule::Init - Cyclic initialization of rule NAME" when reached
  // again while initialising, and passes on what the condition or an action throws; the
  // rule then stays uninitialised.
  void Init(CEnginesInterface* engines);

  // The rule's value for the mail of context (0.0: no hit), evaluating the condition once
  // per mail and running the actions on every hit. 0.0 without anything else for a
  // disabled or uninitialised rule. Throws when the condition fails, on a cycle of
  // executions, and after all actions ran when one of them failed.
  double Execute(CEnginesInterface* engines, CEmlContextInterface* context);

  // Stores value as the rule's result for the mail (a later Execute returns it without
  // evaluating) and runs the actions when it is not 0.0.
  double AutoExecute(double value, CEnginesInterface* engines, CEmlContextInterface* context);

  // META_STATE: enabled; META_RELEVANCE, META_PRIORITY: the first such metainfo. Throws
  // ASException when the rule has none or the type has no integer value.
  int32_t GetMetainfoIntValue(uint32_t type) const;
  // META_COMMENT: the first comment. Throws as GetMetainfoIntValue.
  ascommon::sstring GetMetainfoStringValue(uint32_t type) const;

  // Appends an action the rule owns from now on; it runs after the existing ones. Create
  // uses it, and so may a caller before the engine numbers the rules (the state templates
  // then get an entry for it). False, with action destroyed, when memory runs out.
  bool AppendAction(AAction* action);

  const ascommon::sstring& GetName() const { return name; }
  int32_t GetType() const { return rule_type; }
  bool IsEnabled() const { return enabled; }
  bool IsInitialized() const { return initialized; }
  const ACondition* GetCondition() const { return condition; }
  size_t GetActionCount() const { return actions.GetSize(); }

  // The rule's place in the per-mail state array, kNoStateIndex until the engine numbers
  // its rules. The engine keeps the number with the rule, so that numbering and the
  // hit-rule walk need no name lookup per rule.
  static constexpr uint32_t kNoStateIndex = UINT32_MAX;
  uint32_t GetStateIndex() const { return stateIndex; }
  void SetStateIndex(uint32_t index) { stateIndex = index; }

 private:
  CRule() = default;

  // The first metainfo of type, or null.
  const AMetainfo* FindMetainfo(uint32_t type) const;
  // The rule's state in context, for the operation where.
  StateInfo& StateOf(CEnginesInterface* engines, CEmlContextInterface* context,
                     const char* where) const;
  // Runs every action not marked done in state; false when one of them threw.
  bool RunActions(const StateInfo& state, CEnginesInterface* engines,
                  CEmlContextInterface* context) const;

  ascommon::sstring name;
  int32_t rule_type = RULE_TYPE_SIMPLE;
  bool initialized = false;
  bool initializing = false;
  bool enabled = true;
  ACondition* condition = nullptr;
  ascommon::CArray<AAction*, 1> actions;
  ascommon::CArray<AMetainfo*, 1> metainfo;
  uint32_t stateIndex = kNoStateIndex;
};

#endif  // RULES_RULE_H_
