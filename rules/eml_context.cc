#include "rules/eml_context.h"

#include "emlbreaker/exceptions.h"
#include "framework/base/not_available.h"

using ascommon::sstring;
using nsEmlFramework::ThrowNotAvailable;

CEmlContextInterface::CEmlContextInterface() = default;

// The facilitator is always null until SetStructs exists.
CEmlContextInterface::~CEmlContextInterface() = default;

void CEmlContextInterface::SetRuleStates(const StateArray& templates) {
  static const char kWhere[] = "CEmlContextInterface::SetRuleStates";
  StateArray copy;
  if (templates.GetSize() > 0 && copy.SetSize(templates.GetSize(), true) != 0) {
    throw ASMemException("%s - memory problems", kWhere);
  }
  for (size_t i = 0; i < templates.GetSize(); ++i) {
    if (copy[i].CopyFrom(templates[i]) != 0) throw ASMemException("%s - memory problems", kWhere);
  }
  ruleStates = std::move(copy);
}

void CEmlContextInterface::SetCurrentRuleName(const sstring& name) {
  currentRuleName = name;
  if (currentRuleName.GetError() != 0) {
    throw ASMemException("%s - memory problems", "CEmlContextInterface::SetCurrentRuleName");
  }
}

void CEmlContextInterface::SetStructs(MailItem* item) {
  ThrowNotAvailable("CEmlContextInterface::SetStructs");
}

void CEmlContextInterface::SetDirty(bool is_dirty) {
  ThrowNotAvailable("CEmlContextInterface::SetDirty");
}

bool CEmlContextInterface::GetDirty() const { ThrowNotAvailable("CEmlContextInterface::GetDirty"); }

int32_t CEmlContextInterface::GetIntValue(const sstring& name) const {
  ThrowNotAvailable("CEmlContextInterface::GetIntValue");
}

sstring CEmlContextInterface::GetStringValue(const sstring& name) const {
  ThrowNotAvailable("CEmlContextInterface::GetStringValue");
}

void CEmlContextInterface::SetIntValue(const sstring& name, int32_t value) {
  ThrowNotAvailable("CEmlContextInterface::SetIntValue");
}

void CEmlContextInterface::SetStringValue(const sstring& name, const sstring& value) {
  ThrowNotAvailable("CEmlContextInterface::SetStringValue");
}
