// The execution unit: what the breaker publishes for every broken mail under
// id 4 of the mail's box (broken_mail.h), through which the filters run rules
// on that mail and read what the rules decided. It pairs the mail's rule
// context (variables, rule states) with the rule engine and the other engines
// the breaker shares between mails; the breaker owns it and withdraws it in
// ReleaseBrokenMail.
//
// Every operation throws ASException (exceptions.h) naming what was missing
// ("CExecutionUnit::ExecRule - invalid reference to engines interface", "...
// - rule with name X does not exist", "... - variable with given name does not
// exist"); nothing is caught inside. A unit belongs to one mail and is used by
// one thread at a time.
#ifndef EMLBREAKER_EXECUTION_UNIT_H_
#define EMLBREAKER_EXECUTION_UNIT_H_

#include <cstdint>

#include "emlbreaker/array.h"
#include "emlbreaker/strings.h"

// A rule with a relevance, as the relevance list holds it. `name` points into
// the rule engine and stays valid until the breaker's shared settings are
// applied again.
struct NNetRuleInfo {
  const char* name = nullptr;
  int32_t relevance = 0;
};

// A rule with a priority, as the signature list holds it (highest first).
struct SignatureInfo {
  const char* name = nullptr;
  int64_t priority = 0;  // the rule's 32-bit priority, widened
};

using NNetRuleArray = ascommon::CArray<NNetRuleInfo*, 1499>;
using SignatureArray = ascommon::CArray<SignatureInfo*, 1499>;

// The filters' side of the unit. Rule values are doubles: 0.0 means that the
// rule did not hit (or is disabled), a condition that only says yes or no
// gives 1.0. Running a rule that hits runs its actions, which set the mail's
// variables ("SCORE", "CATEGORY", and any other a rule names).
class CAExecutionUnit {
 public:
  virtual ~CAExecutionUnit() = default;  // slot 0
  // The rule's value for this mail, evaluating it (and the rules it names)
  // the first time it is asked for.
  virtual double ExecRule(const char* name) = 0;  // slot 1
  // Stores `value` as the rule's result for this mail without evaluating it,
  // runs its actions when the value is not 0.0, and answers the value.
  virtual double AutoExecRule(const char* name, double value) = 0;  // slot 2
  // The rules that carry a relevance, in the engine's order.
  virtual const NNetRuleArray& GetNNetRules() = 0;  // slot 3
  // The rules that carry a priority, highest priority first: the signature
  // rules a filter runs on every mail.
  virtual const SignatureArray& GetSignatures() = 0;  // slot 4
  // The names of the rules that hit so far, joined with "; ".
  virtual ascommon::sstring GetHitRules() = 0;  // slot 5
  // A variable of the mail's rule context.
  virtual int32_t GetIntValue(const char* name) = 0;  // slot 6
  virtual ascommon::sstring GetStringValue(const char* name) = 0;  // slot 7
};

// The same variables for a host that reads them on every mail. Most mails set
// neither "SCORE" nor "CATEGORY", and the getters above answer such a mail with
// an exception, whose unwinding cost a host about 13,000 instructions a mail
// (3 % of judging one). The breaker's unit implements this interface beside
// CAExecutionUnit, which keeps its slots; a host reaches it with
//   dynamic_cast<CAExecutionUnitVariables*>(unit)
// and falls back on the getters when the cast gives null (another breaker).
class CAExecutionUnitVariables {
 public:
  virtual ~CAExecutionUnitVariables() = default;
  // The variable's value in *value and true, or false when no rule set it.
  // They throw only as the getters do for a unit without a context.
  virtual bool FindIntValue(const char* name, int32_t* value) = 0;
  virtual bool FindStringValue(const char* name, ascommon::sstring* value) = 0;
};

#endif  // EMLBREAKER_EXECUTION_UNIT_H_
