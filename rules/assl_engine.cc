#include "rules/assl_engine.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "common/binary_streamer.h"
#include "emlbreaker/exceptions.h"
#include "emlbreaker/trace.h"
#include "rules/conditions.h"
#include "rules/eml_context.h"
#include "rules/engines_interface.h"
#include "rules/regex_prefilter.h"

using ascommon::sstring;
using ascommon::usstring;

namespace {

// The relevance-rule map starts with this format number.
constexpr int32_t kRelevanceMapVersion = 2;

// The text of an exception caught while a rule initialised, for the load report.
std::string FailureReason(const std::exception& failure) {
  std::string reason = failure.what();
  if (const auto* regex = dynamic_cast<const RegexCompileException*>(&failure)) {
    reason += " (";
    reason += regex->GetCompileError();
    reason += ")";
  }
  return reason;
}

}  // namespace

CASSLEngine::CASSLEngine() : rules(kBuckets, nullptr) {}

CASSLEngine::~CASSLEngine() { Clear(); }

template <class Visit>
void CASSLEngine::ForEachRule(Visit visit) const {
  const uint32_t count = rules.GetCount();
  if (count == 0) return;
  auto position = rules.GetStartPosition();
  for (uint32_t i = 0; i < count; ++i) {
    visit(position.Value());
    if (i + 1 < count) position.Next();
  }
}

void CASSLEngine::ClearLists() {
  for (CRule::NNetRuleInfo* entry : nnetRules) delete entry;
  for (CRule::SignatureInfo* entry : signatures) delete entry;
  nnetRules.SetSize(0, false);
  signatures.SetSize(0, false);
}

void CASSLEngine::Clear() {
  ClearLists();
  stateTemplates.SetSize(0, false);
  ForEachRule([](CRule* rule) { delete rule; });
  rules.RemoveAll();
  name_index_.Clear();
  by_state_.clear();
  by_name_address_.clear();
}

namespace {

size_t NameAddressSlot(const char* name, size_t mask) {
  const uint64_t address = reinterpret_cast<uintptr_t>(name) >> 3;
  return static_cast<size_t>(address * 0x9E3779B97F4A7C15u >> 32) & mask;
}

}  // namespace

void CASSLEngine::IndexNameAddresses() {
  by_name_address_.clear();
  size_t slots = 16;
  while (slots < by_state_.size() * 2) slots *= 2;
  by_name_address_.assign(slots, {nullptr, nullptr});
  const size_t mask = slots - 1;
  for (CRule* rule : by_state_) {
    const char* name = rule->GetName().c_str();
    size_t i = NameAddressSlot(name, mask);
    while (by_name_address_[i].first != nullptr) i = (i + 1) & mask;
    by_name_address_[i] = {name, rule};
  }
}

CRule* CASSLEngine::FindByNameAddress(const char* name) const {
  if (by_name_address_.empty()) return nullptr;
  const size_t mask = by_name_address_.size() - 1;
  for (size_t i = NameAddressSlot(name, mask);; i = (i + 1) & mask) {
    const std::pair<const char*, CRule*>& slot = by_name_address_[i];
    if (slot.first == name) return slot.second;
    if (slot.first == nullptr) return nullptr;
  }
}

CRule* CASSLEngine::Find(const char* name) const {
  if (name == nullptr) return name_index_.Find(std::string_view());
  if (CRule* rule = FindByNameAddress(name)) return rule;
  return name_index_.Find(std::string_view(name));
}

namespace {

// What the engine made of a parsed rule when the parser committed it: the loaded rule, or
// why the factories refused it.
struct LoadedRule : rule_attachment {
  std::unique_ptr<CRule> created;
  std::string refusal;
};

// Loads each rule as the parser commits it and frees its parse items at once, while they
// are still in cache; AddParsedRules then only files the loaded rules in map order.
class CommitLoader : public parser_state_info::CommitListener {
 public:
  explicit CommitLoader(bool wants_reasons) : wants_reasons_(wants_reasons) {}
  void OnRuleCommitted(rule& committed) override {
    auto loaded = std::make_unique<LoadedRule>();
    loaded->created.reset(CRule::Create(committed, wants_reasons_ ? &loaded->refusal : nullptr));
    committed.release_items();
    committed.set_attachment(std::move(loaded));
  }

 private:
  bool wants_reasons_;
};

}  // namespace

void CASSLEngine::ParseFile(const char* path) {
  static const char kWhere[] = "CASSLEngine::ParseFile";
  parser_state_info state;
  CommitLoader loader(load_report_ != nullptr);
  state.set_commit_listener(&loader);
  // The parser reads the whole file itself; opening it here first keeps the failure of a
  // missing or unreadable file the engine's own.
  FILE* file = std::fopen(path, "rt");
  if (file == nullptr) throw ASException("%s - could not obtain file handle [%s]", kWhere, path);
  if (std::fclose(file) != 0) {
    throw ASException("%s - trouble releasing file handle [%s]", kWhere, path);
  }
  ParseRuleFile(path, &state);
  if (load_report_ != nullptr) load_report_->OnParseMessages(path, state.get_messages());
  AddParsedRules(path, state);
}

void CASSLEngine::AddParsedRules(const char* path, const parser_state_info& state) {
  const auto& parsed_rules = state.get_rules();
  const uint32_t count = parsed_rules.GetCount();
  if (count == 0) return;
  auto position = parsed_rules.GetStartPosition();
  for (uint32_t i = 0; i < count; ++i) {
    const rule& parsed = *position.Value();
    if (i + 1 < count) position.Next();
    const char* name = parsed.get_name().c_str();
    std::string refusal;
    CRule* created;
    if (auto* loaded = dynamic_cast<LoadedRule*>(parsed.get_attachment())) {
      created = loaded->created.release();
      refusal = std::move(loaded->refusal);
    } else {
      created = CRule::Create(parsed, load_report_ != nullptr ? &refusal : nullptr);
    }
    if (created == nullptr) {
      if (load_report_ != nullptr) {
        load_report_->OnRuleRefused(path, parsed.get_line(), name, refusal);
      }
      continue;
    }
    // One lookup both refuses a second definition (the first one wins) and indexes a
    // new name.
    const std::string_view key = created->GetName().View();
    bool indexed = false;
    try {
      if (!name_index_.Insert(created)) {
        delete created;
        if (load_report_ != nullptr) load_report_->OnRuleDuplicate(path, parsed.get_line(), name);
        continue;
      }
      indexed = true;
    } catch (const std::bad_alloc&) {
    }
    if (!indexed || rules.Append(created->GetName(), created) != 0) {
      if (indexed) name_index_.Erase(key);
      delete created;
      throw ASException("%s - allocation error while adding to rules map",
                        "CASSLEngine::ParseFile");
    }
    if (load_report_ != nullptr) load_report_->OnRuleLoaded(path, parsed.get_line(), name);
  }
}

void CASSLEngine::InitRules(CEnginesInterface* engines) {
  static const char kWhere[] = "CASSLEngine::InitRules";
  ClearLists();
  // The regex conditions offer their patterns while they initialise; the conditions keep
  // the prefilter they were given, so a later rule set's prefilter never serves them.
  std::shared_ptr<CRegexPrefilter> prefilter;
  try {
    prefilter = std::make_shared<CRegexPrefilter>();
  } catch (const std::bad_alloc&) {
    // No prefilter: every regex runs on every text, as it would without one.
  }
  if (engines != nullptr) engines->SetBuildingPrefilter(prefilter);
  ForEachRule([&](CRule* rule) {
    try {
      rule->Init(engines);
    } catch (const std::exception& failure) {
      GetDebugTrace()->Trace("%s - rule %s failed to initialize", kWhere, rule->GetName().c_str());
      if (load_report_ != nullptr) {
        load_report_->OnRuleInitFailed(rule->GetName().c_str(), FailureReason(failure));
      }
    }
  });

  if (engines != nullptr) engines->SetBuildingPrefilter(nullptr);

  // Numbering starts afresh: a second InitRules must not leave indexes of removed rules.
  ForEachRule([](CRule* rule) { rule->SetStateIndex(CRule::kNoStateIndex); });
  by_state_.clear();
  by_name_address_.clear();
  // Room for every rule at once: grown 1,499 states at a time, ten thousand rules
  // re-made the whole array seven times over.
  stateTemplates.SetSize(0, false);
  if (rules.GetCount() > 0 && stateTemplates.SetSize(rules.GetCount(), false) != 0) {
    throw ASException("%s - allocation error while adding to state info array", kWhere);
  }
  std::vector<CRule*> failed;
  ForEachRule([&](CRule* rule) {
    if (!rule->IsInitialized()) {
      failed.push_back(rule);
      return;
    }
    if (CRule::NNetRuleInfo* entry = CRule::CreateNNetRuleInfo(*rule)) {
      if (nnetRules.Add(entry) != 0) delete entry;
    }
    if (CRule::SignatureInfo* entry = CRule::CreateSignatureInfo(*rule)) {
      if (signatures.Add(entry) != 0) delete entry;
    }
    const uint32_t index = static_cast<uint32_t>(stateTemplates.GetSize());
    rule->SetStateIndex(index);
    by_state_.push_back(rule);
    CRule::StateInfo fresh;
    if (rule->GetActionCount() > 0 && fresh.actionDone.SetSize(rule->GetActionCount(), true) != 0) {
      throw ASException("%s - allocation error while adding to state info array", kWhere);
    }
    if (stateTemplates.Add(std::move(fresh)) != 0) {
      throw ASException("%s - allocation error while adding to state info array", kWhere);
    }
  });

  // Highest priority first. The widened priorities compare as unsigned numbers, so a
  // negative priority sorts above every positive one.
  std::stable_sort(signatures.begin(), signatures.end(),
                   [](const CRule::SignatureInfo* a, const CRule::SignatureInfo* b) {
                     return static_cast<uint64_t>(a->priority) > static_cast<uint64_t>(b->priority);
                   });

  for (CRule* rule : failed) {
    name_index_.Erase(rule->GetName().View());
    rules.Remove(rule->GetName());
    delete rule;
  }
  try {
    IndexNameAddresses();
  } catch (const std::bad_alloc&) {
    by_name_address_.clear();  // every name then takes name_index_
  }
}

void CASSLEngine::InitRule(const char* name, CEnginesInterface* engines) {
  static const char kWhere[] = "CASSLEngine::InitRule";
  CRule* found = Find(name);
  if (found == nullptr) throw ASException("%s - rule with name %s does not exist", kWhere, name);
  found->Init(engines);
}

double CASSLEngine::ExecRule(const char* name, CEnginesInterface* engines,
                             CEmlContextInterface* context) {
  static const char kWhere[] = "CASSLEngine::ExecRule";
  CRule* found = Find(name);
  if (found == nullptr) throw ASException("%s - rule with name %s does not exist", kWhere, name);
  return found->Execute(engines, context);
}

double CASSLEngine::ExecResolved(void* handle, const char* name, CEnginesInterface* engines,
                                 CEmlContextInterface* context) {
  if (handle == nullptr) return ExecRule(name, engines, context);
  return static_cast<CRule*>(handle)->Execute(engines, context);
}

double CASSLEngine::AutoExecRule(const char* name, double value, CEnginesInterface* engines,
                                 CEmlContextInterface* context) {
  static const char kWhere[] = "CASSLEngine::AutoExecRule";
  CRule* found = Find(name);
  if (found == nullptr) throw ASException("%s - rule with name %s does not exist", kWhere, name);
  return found->AutoExecute(value, engines, context);
}

CRule* CASSLEngine::GetRule(const char* name) const {
  static const char kWhere[] = "CASSLEngine::GetRule";
  CRule* found = Find(name);
  if (found == nullptr) throw ASException("%s - rule with name %s does not exist", kWhere, name);
  return found;
}

uint32_t CASSLEngine::GetRuleIndex(const char* name) const {
  static const char kWhere[] = "CASSLEngine::GetRuleIndex";
  CRule* found = Find(name);
  if (found == nullptr || found->GetStateIndex() == CRule::kNoStateIndex) {
    throw ASException("%s - no index for rule %s", kWhere, name);
  }
  return found->GetStateIndex();
}

sstring CASSLEngine::GetHitRules(CEnginesInterface* engines, CEmlContextInterface* context) const {
  static const char kWhere[] = "CASSLEngine::GetHitRules";
  if (engines == nullptr) throw ASException("%s - invalid engines handle", kWhere);
  if (context == nullptr) throw ASException("%s - invalid context handle", kWhere);
  std::string hits;
  // Per mail: the states in index order are the rules in map order, and only the rules
  // that hit are touched. A context whose states are not this engine's takes the walk
  // over the map, which says which rule has no state.
  const StateArray& states = context->GetRuleStates();
  if (states.GetSize() == by_state_.size() && by_state_.size() == rules.GetCount()) {
    for (size_t i = 0; i < states.GetSize(); ++i) {
      if (!states[i].evaluated || states[i].value == 0.0) continue;
      if (!hits.empty()) hits += "; ";
      hits += by_state_[i]->GetName().c_str();
    }
    sstring result{std::string_view(hits)};
    if (result.GetError() != 0) throw ASMemException("%s - memory problems", kWhere);
    return result;
  }
  ForEachRule([&](CRule* rule) {
    if (rule->GetStateIndex() == CRule::kNoStateIndex) {
      throw ASException("%s - no index for rule %s", "CASSLEngine::GetRuleIndex",
                        rule->GetName().c_str());
    }
    const CRule::StateInfo& state = context->GetRuleState(rule->GetStateIndex());
    if (!state.evaluated || state.value == 0.0) return;
    if (!hits.empty()) hits += "; ";
    hits += rule->GetName().c_str();
  });
  sstring result{std::string_view(hits)};
  if (result.GetError() != 0) throw ASMemException("%s - memory problems", kWhere);
  return result;
}

bool CASSLEngine::WriteRelevanceMap(const usstring& file, const usstring& temp_folder) const {
  std::vector<const char*> enabled;
  for (const CRule::NNetRuleInfo* entry : nnetRules) {
    if (GetRule(entry->name)->GetMetainfoIntValue(META_STATE) == 1) enabled.push_back(entry->name);
  }
  if (enabled.empty()) return false;
  ascommon::CBinaryStreamer writer(file, ascommon::IStreamer::kWriteMode, temp_folder);
  writer.WriteInt(kRelevanceMapVersion);
  writer.WriteInt(static_cast<int32_t>(enabled.size()));
  for (size_t i = 0; i < enabled.size(); ++i) {
    writer.WriteInt(static_cast<int32_t>(i));
    writer.WriteString(sstring(enabled[i]));
  }
  writer.Close();
  return true;
}
