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

// A filter asks for SCORE and CATEGORY on every mail, and most mails set neither: the
// exception that answers starts here rather than a call deeper, one frame less for the
// unwinder to walk twice. Its message is the context's. A host that knows this unit asks
// through FindIntValue and FindStringValue instead, which answer without one.
int32_t CExecutionUnit::GetIntValue(const char* name) {
  if (context == nullptr) throw ASException("%s - invalid HCONTEXT", "CExecutionUnit::GetIntValue");
  int32_t value = 0;
  if (!context->FindIntValue(sstring(name), &value)) {
    throw ASException("%s - variable with given name does not exist",
                      "CEmlContextInterface::GetIntValue");
  }
  return value;
}

sstring CExecutionUnit::GetStringValue(const char* name) {
  if (context == nullptr) {
    throw ASException("%s - invalid HCONTEXT", "CExecutionUnit::GetStringValue");
  }
  const sstring* value = context->FindStringValue(sstring(name));
  if (value == nullptr) {
    throw ASException("%s - variable with given name does not exist",
                      "CEmlContextInterface::GetStringValue");
  }
  return *value;
}

bool CExecutionUnit::FindIntValue(const char* name, int32_t* value) {
  if (context == nullptr) throw ASException("%s - invalid HCONTEXT", "CExecutionUnit::GetIntValue");
  return value != nullptr && context->FindIntValue(sstring(name), value);
}

bool CExecutionUnit::FindStringValue(const char* name, sstring* value) {
  if (context == nullptr) {
    throw ASException("%s - invalid HCONTEXT", "CExecutionUnit::GetStringValue");
  }
  const sstring* found = context->FindStringValue(sstring(name));
  if (found == nullptr || value == nullptr) return false;
  *value = *found;
  return true;
}
