#include "rules/actions.h"

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "emlbreaker/exceptions.h"
#include "emlbreaker/headers.h"
#include "engines/code_heur.h"
#include "rules/eml_context.h"
#include "rules/engines_interface.h"

using ascommon::sstring;
using nsEmlComponents::CHeader;
using nsEmlComponents::CHeaderMap;
using nsEmlComponents::CHeaderOther;
using nsEmlComponents::kHeaderOther;

namespace {

constexpr char kCategory[] = "CATEGORY";
constexpr char kScore[] = "SCORE";

void CheckContext(const CEmlContextInterface* context, const char* where) {
  if (context == nullptr) throw ASException("%s - invalid context handle", where);
}

// 32-bit two's complement addition, as the scores have always wrapped.
int32_t Add(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

}  // namespace

void SetCategoryAction::Execute(CEnginesInterface* engines, CEmlContextInterface* context) {
  CheckContext(context, "SetCategoryAction::Execute");
  if (category_source_ == P_CATEGORY_LITERAL) context->SetStringValue(kCategory, category_);
}

// A target not set yet counts as 0; asking first keeps that silent (a thrown lookup
// would trace).
void IncreaseScoreAction::Execute(CEnginesInterface* engines, CEmlContextInterface* context) {
  CheckContext(context, "IncreaseScoreAction::Execute");
  int32_t current = 0;
  if (!context->FindIntValue(target_, &current)) current = 0;
  if (increment_source_ == P_INCREMENT_CONSTANT) {
    context->SetIntValue(target_, Add(current, increment_));
  }
}

void MarkAction::Execute(CEnginesInterface* engines, CEmlContextInterface* context) {
  CheckContext(context, "MarkAction::Execute");
  if (score_source_ == P_MARK_SCORE_CONSTANT) context->SetIntValue(kScore, score_);
  if (category_source_ == P_MARK_CATEGORY_LITERAL) context->SetStringValue(kCategory, category_);
}

// Runs the named heuristic for what it publishes; its value is dropped.
void ExecAction::Execute(CEnginesInterface* engines, CEmlContextInterface* context) {
  static const char kWhere[] = "ExecAction::Execute";
  CheckContext(context, kWhere);
  if (engines == nullptr) throw ASException("%s - invalid engines handle", kWhere);
  if (engines->GetCodeHeurEngine() == nullptr) {
    throw ASException("%s - invalid handle to code heur engine", kWhere);
  }
  engines->GetCodeHeurEngine()->Execute(function_name_, engines, context);
}

namespace {

constexpr std::string_view kRuleNameMark = "$(RuleName)";

}  // namespace

std::string HeaderAction::ExpandValue(std::string_view value, std::string_view rule_name) {
  std::string expanded;
  const size_t consumed_limit = std::min(value.size(), kExpansionBuffer);
  const size_t result_limit = kExpansionBuffer - 1;  // room for the terminator
  for (size_t at = 0; at < consumed_limit && expanded.size() < result_limit;) {
    if (value.compare(at, kRuleNameMark.size(), kRuleNameMark) == 0) {
      expanded.append(rule_name.substr(0, result_limit - expanded.size()));
      at += kRuleNameMark.size();
    } else {
      expanded.push_back(value[at++]);
    }
  }
  return expanded;
}

std::string HeaderAction::Fold(std::string_view text) {
  std::string folded;
  while (text.size() > kFoldWidth) {
    // The last blank at 1 to kFoldWidth: the line ends before it, the blank starts the
    // continuation (so the next round cannot pick it again).
    const size_t blank = text.substr(0, kFoldWidth + 1).rfind(' ');
    if (blank == std::string_view::npos || blank == 0) break;
    folded.append(text.substr(0, blank));
    folded.append("\n\t");
    text.remove_prefix(blank);
  }
  folded.append(text);
  return folded;
}

void HeaderAction::Apply(CEmlContextInterface* context, const char* where,
                         bool replaces) const {
  CheckContext(context, where);
  CHeaderMap* headers = context->GetHeaders();
  if (headers == nullptr) throw ASException("%s - invalid handle to headers map", where);
  if (header_name_source_ == P_HEADER_NAME_VARIABLE) return;
  if (header_name_source_ != P_HEADER_NAME_LITERAL) {
    throw ASException("%s - invalid header name type", where);
  }
  std::string text;
  try {
    text = ExpandValue(value_.View(), context->GetCurrentRuleName().View());
  } catch (const std::bad_alloc&) {
    throw ASMemException("%s - memory problems", where);
  }
  CHeader** found = headers->Lookup(header_name_);
  if (found != nullptr && *found != nullptr) {
    // Headers the breaker parsed keep their meaning; only plain ones are rewritten.
    if ((*found)->GetType() != kHeaderOther) return;
    auto* header = static_cast<CHeaderOther*>(*found);
    try {
      if (!replaces) text.insert(0, header->text.View());
      text = Fold(text);
    } catch (const std::bad_alloc&) {
      throw ASMemException("%s - memory problems", where);
    }
    if (header->text.Assign(text.c_str(), text.size()) != 0) {
      throw ASMemException("%s - memory problems", where);
    }
    header->modified = 1;
    context->SetDirty(true);
    return;
  }
  std::unique_ptr<CHeaderOther> created(new (std::nothrow) CHeaderOther);
  if (created == nullptr) throw ASMemException("%s - could not allocate memory for header", where);
  try {
    text = Fold(text);
  } catch (const std::bad_alloc&) {
    throw ASMemException("%s - could not allocate memory for header", where);
  }
  if (created->text.Assign(text.c_str(), text.size()) != 0) {
    throw ASMemException("%s - could not allocate memory for header", where);
  }
  created->modified = 1;
  // A slot left null by a freed header is taken over.
  const int stored = found != nullptr ? headers->SetAt(header_name_, created.get())
                                      : headers->Insert(header_name_, created.get());
  if (stored != 0) throw ASException("%s - problems adding header in headers map", where);
  created.release();  // the map's now; the breaker frees it with the mail's headers
  context->SetDirty(true);
}

void AddHeaderAction::Execute(CEnginesInterface* engines, CEmlContextInterface* context) {
  Apply(context, "AddHeaderAction::Execute", true);
}

void AddToHeaderAction::Execute(CEnginesInterface* engines, CEmlContextInterface* context) {
  Apply(context, "AddToHeaderAction::Execute", false);
}
