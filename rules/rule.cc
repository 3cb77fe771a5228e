#include "rules/rule.h"

#include <exception>
#include <memory>
#include <new>

#include "emlbreaker/exceptions.h"
#include "emlbreaker/trace.h"
#include "rules/actions.h"
#include "rules/conditions.h"
#include "rules/eml_context.h"
#include "rules/engines_interface.h"

using ascommon::CBlackBox;
using ascommon::sstring;

namespace {

// The construct names of the rule language, for refusal reasons.
const char* ConstructName(uint32_t specific) {
  switch (specific) {
    case COND_NONE: return "none";
    case COND_EXPR: return "expression";
    case COND_MATCH: return "match";
    case COND_EXISTS: return "exists";
    case COND_IS_EMPTY: return "is_empty";
    case COND_EXEC: return "exec";
    case COND_KNN_CATEG: return "match_knn_categ";
    case COND_SCORE_GREATER: return "score_greater_than";
    case ACT_SET_CATEGORY: return "set_category";
    case ACT_INCREASE_SCORE: return "increase_score";
    case ACT_MARK: return "mark";
    case ACT_EXEC: return "exec";
    case ACT_ADD_HEADER: return "add_header";
    case ACT_ADD_TO_HEADER: return "add_to_header";
    case META_STATE: return "enabled";
    case META_RELEVANCE: return "relevance";
    case META_COMMENT: return "comment";
    case META_PRIORITY: return "priority";
    default: return "unknown";
  }
}

// A parameter that takes exactly one of two forms. The parser merges every item of one
// kind in a rule into one item, so two set_category actions, one with a text and one with
// a NAME, end up as one item holding both forms, which the factory refuses.
struct Alternatives {
  uint32_t specific;
  uint32_t first;
  uint32_t second;
  const char* what;
};
constexpr Alternatives kAlternatives[] = {
    {ACT_SET_CATEGORY, P_CATEGORY_LITERAL, P_CATEGORY_VARIABLE, "category"},
    {ACT_INCREASE_SCORE, P_INCREMENT_CONSTANT, P_INCREMENT_VARIABLE, "increment"},
    {ACT_MARK, P_MARK_CATEGORY_LITERAL, P_MARK_CATEGORY_VARIABLE, "category"},
    {ACT_MARK, P_MARK_SCORE_CONSTANT, P_MARK_SCORE_VARIABLE, "score"},
    {ACT_ADD_HEADER, P_HEADER_NAME_LITERAL, P_HEADER_NAME_VARIABLE, "header name"},
    {ACT_ADD_TO_HEADER, P_HEADER_NAME_LITERAL, P_HEADER_NAME_VARIABLE, "header name"},
    {COND_SCORE_GREATER, P_COMPARE_CONSTANT, P_COMPARE_VARIABLE, "limit"},
};

// Why a factory refused item, as far as the item shows it.
std::string DescribeRefusal(const char* section, const CBlackBox* item) {
  const auto* specific = static_cast<const int32_t*>(item->GetValuePointer(ITEM_SPECIFIC_TYPE));
  if (specific == nullptr) return std::string("a ") + section + " item has no specific type";
  const uint32_t type = static_cast<uint32_t>(*specific);
  std::string reason = std::string("the ") + ConstructName(type) + " " + section + " was refused";
  for (const Alternatives& pair : kAlternatives) {
    if (pair.specific != type) continue;
    if (item->GetValuePointer(pair.first) != nullptr &&
        item->GetValuePointer(pair.second) != nullptr) {
      return reason + ": its " + pair.what + " is given both as a constant or text and as a NAME" +
             " (items of one kind in a rule merge into one)";
    }
  }
  return reason + " (a parameter is missing)";
}

// Destroys a partial rule of Create when it goes out of scope unreleased.
struct RuleDeleter {
  void operator()(CRule* rule) const { delete rule; }
};

}  // namespace

int CRule::StateInfo::CopyFrom(const StateInfo& other) {
  ascommon::CArray<bool, 1> done;
  if (other.actionDone.GetSize() > 0) {
    if (done.SetSize(other.actionDone.GetSize(), true) != 0) return -2;
    for (size_t i = 0; i < other.actionDone.GetSize(); ++i) done[i] = other.actionDone[i];
  }
  executing = other.executing;
  fixed = other.fixed;
  evaluated = other.evaluated;
  value = other.value;
  actionDone = std::move(done);
  return 0;
}

CRule::~CRule() {
  delete condition;
  for (AAction* action : actions) delete action;
  for (AMetainfo* info : metainfo) delete info;
}

bool CRule::AppendAction(AAction* action) {
  if (actions.Add(action) == 0) return true;
  delete action;
  return false;
}

CRule* CRule::Create(const rule& parsed, std::string* refusal) {
  auto refuse = [refusal](std::string reason) -> CRule* {
    if (refusal != nullptr) *refusal = std::move(reason);
    return nullptr;
  };
  const CBlackBox* condition_item = parsed.get_condition();
  if (condition_item == nullptr) return refuse("it has no condition");
  try {
    std::unique_ptr<CRule, RuleDeleter> created(new CRule);
    created->name = parsed.get_name();
    if (created->name.GetError() != 0) throw std::bad_alloc();
    created->rule_type = parsed.get_type();
    created->condition = ACondition::Create(condition_item);
    if (created->condition == nullptr) {
      return refuse(DescribeRefusal("condition", condition_item));
    }
    for (const CBlackBox* item : parsed.get_actions()) {
      AAction* action = AAction::Create(item);
      if (action == nullptr) return refuse(DescribeRefusal("action", item));
      if (!created->AppendAction(action)) throw std::bad_alloc();
    }
    for (const CBlackBox* item : parsed.get_metainfo()) {
      AMetainfo* info = AMetainfo::Create(item);
      if (info == nullptr) return refuse(DescribeRefusal("metainfo", item));
      if (created->metainfo.Add(info) != 0) {
        delete info;
        throw std::bad_alloc();
      }
      if (info->GetSpecificType() == META_STATE) {
        created->enabled = static_cast<const StateMetainfo*>(info)->IsEnabled();
      }
    }
    return created.release();
  } catch (const std::bad_alloc&) {
    GetDebugTrace()->Trace("%s - memory problems", "CRule::Create");
    return refuse("memory problems");
  }
}

void CRule::Init(CEnginesInterface* engines) {
  if (initializing) {
    throw ASException("%s - Cyclic initialization of rule %s", "CRule::Init", name.c_str());
  }
  initializing = true;
  if (initialized) {
    initializing = false;
    return;
  }
  try {
    condition->Init(engines);
    for (AAction* action : actions) action->Init(engines);
  } catch (...) {
    GetDebugTrace()->Trace("%s - init for rule %s failed", "CRule::Init", name.c_str());
    initializing = false;
    throw;
  }
  initialized = true;
  initializing = false;
}

CRule::StateInfo& CRule::StateOf(CEnginesInterface* engines, CEmlContextInterface* context,
                                 const char* where) const {
  if (engines == nullptr) throw ASException("%s - invalid handle to engines", where);
  if (context == nullptr) throw ASException("%s - invalid handle to context", where);
  CASSLEngine* engine = engines->GetASSLEngine();
  if (engine == nullptr) throw ASException("%s - invalid reference to ASSL engine", where);
  // A loaded rule carries its index; only one outside the engine's table is looked up.
  const uint32_t index =
      stateIndex != kNoStateIndex ? stateIndex : engine->GetRuleIndex(name.c_str());
  return context->GetRuleState(index);
}

bool CRule::RunActions(const StateInfo& state, CEnginesInterface* engines,
                       CEmlContextInterface* context) const {
  bool all_ran = true;
  for (size_t i = 0; i < actions.GetSize(); ++i) {
    // A state copied before an action was appended has no entry for it: not done.
    if (i < state.actionDone.GetSize() && state.actionDone[i]) continue;
    try {
      actions[i]->Execute(engines, context);
    } catch (const std::exception&) {
      all_ran = false;  // the action's exception traced itself; the others still run
    }
  }
  return all_ran;
}

namespace {

// Sets the context's current-rule name for the actions and puts the saved one back when it
// goes out of scope, whichever way that happens. The context keeps a reference to the
// name, which is the rule's own and outlives the mail.
class CurrentRuleScope {
 public:
  CurrentRuleScope(CEmlContextInterface* context, const sstring& name)
      : context_(context), saved_(&context->GetCurrentRuleName()) {
    context_->SetCurrentRuleName(name);
  }
  ~CurrentRuleScope() { context_->SetCurrentRuleName(*saved_); }
  CurrentRuleScope(const CurrentRuleScope&) = delete;
  CurrentRuleScope& operator=(const CurrentRuleScope&) = delete;

 private:
  CEmlContextInterface* context_;
  const sstring* saved_;
};

// Clears a state's executing flag on every way out of Execute.
class ExecutingScope {
 public:
  explicit ExecutingScope(CRule::StateInfo* state) : state_(state) { state_->executing = true; }
  ~ExecutingScope() { state_->executing = false; }
  ExecutingScope(const ExecutingScope&) = delete;
  ExecutingScope& operator=(const ExecutingScope&) = delete;

 private:
  CRule::StateInfo* state_;
};

}  // namespace

double CRule::Execute(CEnginesInterface* engines, CEmlContextInterface* context) {
  static const char kWhere[] = "CRule::Execute";
  if (!enabled || !initialized) return 0.0;
  StateInfo& state = StateOf(engines, context, kWhere);
  if (state.executing) {
    throw ASException("%s - cycled execution of rule %s on the same context", kWhere,
                      name.c_str());
  }
  ExecutingScope executing(&state);
  CurrentRuleScope current(context, name);
  if (!state.evaluated) {
    const double value = condition->Evaluate(engines, context);
    if (!state.fixed) state.value = value;
    state.evaluated = true;
  }
  if (state.value == 0.0) return 0.0;
  if (!RunActions(state, engines, context)) {
    throw ASException("%s - one or more actions failed to execute", kWhere);
  }
  return state.value;
}

double CRule::AutoExecute(double value, CEnginesInterface* engines,
                          CEmlContextInterface* context) {
  static const char kWhere[] = "CRule::AutoExecute";
  if (!enabled || !initialized) return 0.0;
  StateInfo& state = StateOf(engines, context, kWhere);
  state.fixed = true;
  state.evaluated = true;
  state.value = value;
  if (value != 0.0) {
    bool all_ran;
    {
      CurrentRuleScope current(context, name);
      all_ran = RunActions(state, engines, context);
    }
    if (!all_ran) throw ASException("%s - one or more actions failed to execute", kWhere);
  }
  return state.value;
}

const AMetainfo* CRule::FindMetainfo(uint32_t type) const {
  for (const AMetainfo* info : metainfo) {
    if (info->GetSpecificType() == type) return info;
  }
  return nullptr;
}

int32_t CRule::GetMetainfoIntValue(uint32_t type) const {
  static const char kWhere[] = "CRule::GetMetainfoIntValue";
  if (type == META_STATE) return enabled ? 1 : 0;
  if (type != META_RELEVANCE && type != META_PRIORITY) {
    throw ASException("%s - specific metainfo type %d does not have an integer value", kWhere,
                      static_cast<int>(type));
  }
  const AMetainfo* info = FindMetainfo(type);
  if (info == nullptr) {
    throw ASException("%s - rule %s has no metainfo of type %d", kWhere, name.c_str(),
                      static_cast<int>(type));
  }
  return type == META_RELEVANCE ? static_cast<const RelevanceMetainfo*>(info)->GetRelevance()
                                : static_cast<const PriorityMetainfo*>(info)->GetPriority();
}

sstring CRule::GetMetainfoStringValue(uint32_t type) const {
  static const char kWhere[] = "CRule::GetMetainfoStringValue";
  if (type != META_COMMENT) {
    throw ASException("%s - specific metainfo type %d does not have a string value", kWhere,
                      static_cast<int>(type));
  }
  const AMetainfo* info = FindMetainfo(type);
  if (info == nullptr) {
    throw ASException("%s - rule %s has no metainfo of type %d", kWhere, name.c_str(),
                      static_cast<int>(type));
  }
  return static_cast<const CommentMetainfo*>(info)->GetComment();
}

namespace {

// Both lists are built for every rule at load time, and most rules have neither a
// relevance nor a priority: asking GetMetainfoIntValue and catching its exception would
// throw twice per such rule. Looking first gives the same lists; the trace still gets
// the line that exception writes when it is made, so a traced load reads the same.
void TraceNoMetainfo(const CRule& rule, uint32_t type) {
  GetDebugTrace()->Trace("EXCEPTION: %s - rule %s has no metainfo of type %d",
                         "CRule::GetMetainfoIntValue", rule.GetName().c_str(),
                         static_cast<int>(type));
}

}  // namespace

CRule::NNetRuleInfo* CRule::CreateNNetRuleInfo(const CRule& rule) {
  const AMetainfo* info = rule.FindMetainfo(META_RELEVANCE);
  if (info == nullptr) {
    TraceNoMetainfo(rule, META_RELEVANCE);
    return nullptr;
  }
  auto* entry = new (std::nothrow) NNetRuleInfo;
  if (entry == nullptr) {
    GetDebugTrace()->Trace("%s - memory problems", "CRule::NNetRuleInfo::Create");
    return nullptr;
  }
  entry->name = rule.name.c_str();
  entry->relevance = static_cast<const RelevanceMetainfo*>(info)->GetRelevance();
  return entry;
}

CRule::SignatureInfo* CRule::CreateSignatureInfo(const CRule& rule) {
  const AMetainfo* info = rule.FindMetainfo(META_PRIORITY);
  if (info == nullptr) {
    TraceNoMetainfo(rule, META_PRIORITY);
    return nullptr;
  }
  auto* entry = new (std::nothrow) SignatureInfo;
  if (entry == nullptr) {
    GetDebugTrace()->Trace("%s - memory problems", "CRule::SignatureInfo::Create");
    return nullptr;
  }
  entry->name = rule.name.c_str();
  entry->priority = static_cast<const PriorityMetainfo*>(info)->GetPriority();
  return entry;
}
