#include "rules/execution_unit.h"

#include "emlbreaker/exceptions.h"
#include "rules/eml_context.h"
#include "rules/engines_interface.h"

using ascommon::sstring;

namespace {

// The rule engine of engines for where, which both must exist.
CASSLEngine* RuleEngineOf(CEnginesInterface* engines, const char* where) {
  if (engines == nullptr) throw ASException("%s - invalid reference to engines interface", where);
  CASSLEngine* engine = engines->GetASSLEngine();
  if (engine == nullptr) throw ASException("%s - invalid reference to ASSL engine", where);
  return engine;
}

}  // namespace

double CExecutionUnit::ExecRule(const char* name) {
  static const char kWhere[] = "CExecutionUnit::ExecRule";
  if (context == nullptr) throw ASException("%s - invalid reference to structs interface", kWhere);
  if (engines == nullptr) throw ASException("%s - invalid reference to engines interface", kWhere);
  return engines->ExecRule(name, context);
}

double CExecutionUnit::AutoExecRule(const char* name, double value) {
  static const char kWhere[] = "CExecutionUnit::AutoExecRule";
  if (context == nullptr) throw ASException("%s - invalid reference to structs interface", kWhere);
  if (engines == nullptr) throw ASException("%s - invalid reference to engines interface", kWhere);
  return engines->AutoExecRule(name, value, context);
}

const NNetRuleArray& CExecutionUnit::GetNNetRules() {
  return RuleEngineOf(engines, "CExecutionUnit::GetNNetRules")->GetNNetRules();
}

const SignatureArray& CExecutionUnit::GetSignatures() {
  return RuleEngineOf(engines, "CExecutionUnit::GetSignatures")->GetSignatures();
}

sstring CExecutionUnit::GetHitRules() {
  if (engines == nullptr) {
    throw ASException("%s - invalid reference to ASSL engine", "CExecutionUnit::GetHitRules");
  }
  return engines->GetHitRules(context);
}

int32_t CExecutionUnit::GetIntValue(const char* name) {
  if (context == nullptr) throw ASException("%s - invalid HCONTEXT", "CExecutionUnit::GetIntValue");
  return context->GetIntValue(sstring(name));
}

sstring CExecutionUnit::GetStringValue(const char* name) {
  if (context == nullptr) {
    throw ASException("%s - invalid HCONTEXT", "CExecutionUnit::GetStringValue");
  }
  return context->GetStringValue(sstring(name));
}
