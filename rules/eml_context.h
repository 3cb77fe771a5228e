// The per-mail execution context of the rules: the broken mail's headers and parts, the
// mail's modified flag, the rule variables, one rule state per rule of the engine and the
// name of the rule whose actions are running. The real breaker makes one per mail, so one
// engine serves many mails at once; a context is used by one thread at a time.
//
// What exists so far is the rule-state part the rule engine needs (SetRuleStates,
// GetRuleState, the current rule name). Binding to a mail and the variables come with the
// conditions and actions that use them; until then those operations throw
// "... - not available yet".
#ifndef RULES_EML_CONTEXT_H_
#define RULES_EML_CONTEXT_H_

#include <cstdint>

#include "emlbreaker/array.h"
#include "emlbreaker/map.h"
#include "emlbreaker/strings.h"
#include "rules/rule.h"

struct MailItem;
namespace nsEmlComponents {
class CHeader;
class CPartsTree;
}  // namespace nsEmlComponents
class CBlackBoxFacilitator;

class CEmlContextInterface {
 public:
  using StateArray = ascommon::CArray<CRule::StateInfo, 1499>;

  CEmlContextInterface();
  ~CEmlContextInterface();
  CEmlContextInterface(const CEmlContextInterface&) = delete;
  CEmlContextInterface& operator=(const CEmlContextInterface&) = delete;

  // Replaces the rule states with a copy of templates (the engine's fresh states), so the
  // mail starts with every rule unevaluated. Throws ASMemException when memory runs out,
  // leaving the states as they were.
  void SetRuleStates(const StateArray& templates);
  // The state at a rule's index; an index beyond the states throws InvalidIndexException.
  CRule::StateInfo& GetRuleState(uint32_t index) { return ruleStates.GetAt(index); }
  const StateArray& GetRuleStates() const { return ruleStates; }

  void SetCurrentRuleName(const ascommon::sstring& name);
  const ascommon::sstring& GetCurrentRuleName() const { return currentRuleName; }

  // Not available yet.
  void SetStructs(MailItem* item);
  void SetDirty(bool is_dirty);
  bool GetDirty() const;
  int32_t GetIntValue(const ascommon::sstring& name) const;
  ascommon::sstring GetStringValue(const ascommon::sstring& name) const;
  void SetIntValue(const ascommon::sstring& name, int32_t value);
  void SetStringValue(const ascommon::sstring& name, const ascommon::sstring& value);

 private:
  // Set up with the mail by the execution unit, which is not wired in yet.
  [[maybe_unused]] ascommon::CMap<ascommon::sstring, nsEmlComponents::CHeader*>* headers =
      nullptr;                                                    // not owned
  [[maybe_unused]] nsEmlComponents::CPartsTree* parts = nullptr;  // not owned
  [[maybe_unused]] CBlackBoxFacilitator* facilitator = nullptr;
  [[maybe_unused]] bool* dirtyFlag = nullptr;
  ascommon::CMap<ascommon::sstring, int32_t> intVariables;
  ascommon::CMap<ascommon::sstring, ascommon::sstring> stringVariables;
  StateArray ruleStates;
  ascommon::sstring currentRuleName;
};

#endif  // RULES_EML_CONTEXT_H_
