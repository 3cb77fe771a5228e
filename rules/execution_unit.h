// The execution unit of one broken mail: the filters' handle (CAExecutionUnit, published
// by the real breaker under id 4 of the mail's box) over the mail's rule context and the
// engines the breaker shares between mails. It owns neither: the breaker frees the
// context together with the unit when it withdraws it.
//
// Every operation checks what it needs first and throws ASException naming the gap
// ("CExecutionUnit::ExecRule - invalid reference to engines interface"); what the engines
// or the context throw passes through unchanged. Used by one thread at a time.
#ifndef RULES_EXECUTION_UNIT_H_
#define RULES_EXECUTION_UNIT_H_

#include <cstdint>

#include "emlbreaker/execution_unit.h"
#include "emlbreaker/strings.h"

class CEmlContextInterface;
class CEnginesInterface;

class CExecutionUnit : public CAExecutionUnit, public CAExecutionUnitVariables {
 public:
  CExecutionUnit(CEmlContextInterface* unit_context, CEnginesInterface* unit_engines)
      : context(unit_context), engines(unit_engines) {}
  CExecutionUnit(const CExecutionUnit&) = delete;
  CExecutionUnit& operator=(const CExecutionUnit&) = delete;
  ~CExecutionUnit() override = default;

  double ExecRule(const char* name) override;
  double AutoExecRule(const char* name, double value) override;
  const NNetRuleArray& GetNNetRules() override;
  const SignatureArray& GetSignatures() override;
  ascommon::sstring GetHitRules() override;
  int32_t GetIntValue(const char* name) override;
  ascommon::sstring GetStringValue(const char* name) override;
  bool FindIntValue(const char* name, int32_t* value) override;
  bool FindStringValue(const char* name, ascommon::sstring* value) override;

  CEmlContextInterface* GetContext() const { return context; }
  CEnginesInterface* GetEngines() const { return engines; }

 private:
  CEmlContextInterface* context;  // not owned
  CEnginesInterface* engines;     // not owned
};

#endif  // RULES_EXECUTION_UNIT_H_
