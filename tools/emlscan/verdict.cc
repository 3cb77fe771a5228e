#include "tools/emlscan/verdict.h"

#include <cstring>
#include <ctime>
#include <stdexcept>

#include "emlbreaker/exceptions.h"

namespace emlscan {
namespace {

// The performer's action codes.
enum : int32_t {
  kTagSpamSubject = 0,
  kTagPhishingSubject = 1,
  kAddSpamHeader = 2,
  kAddLegitHeader = 3,
  kAddHitRulesHeader = 5,
  kAddStampHeader = 6,
};

bool SameNoCase(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    const char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] + 32) : a[i];
    if (x != b[i]) return false;
  }
  return i == a.size() && b[i] == '\0';
}

// The signature rules that score the statistical classifier's bands (learning.slf):
// auto-learning leaves out what they add, so the classifier never confirms itself.
constexpr char kClassifierScoring[] = "SC_STAT_";

// A variable no rule set does not exist. The breaker's unit says so through its
// variables interface; another unit throws, which costs an unwinding per mail.
int32_t Score(CAExecutionUnit* unit, CAExecutionUnitVariables* variables) {
  int32_t score = 0;
  try {
    if (variables != nullptr) return variables->FindIntValue("SCORE", &score) ? score : 0;
    return unit->GetIntValue("SCORE");
  } catch (const ASException&) {
    return 0;
  }
}

ascommon::sstring Category(CAExecutionUnit* unit, CAExecutionUnitVariables* variables) {
  ascommon::sstring category;
  try {
    if (variables != nullptr) {
      variables->FindStringValue("CATEGORY", &category);
    } else {
      category = unit->GetStringValue("CATEGORY");
    }
  } catch (const ASException&) {
  }
  return category;
}

VerdictKind Decide(int32_t score, const std::string& category, const CheckPolicy& policy) {
  if (SameNoCase(category, "phishing")) return VerdictKind::kPhishing;
  if (SameNoCase(category, "spam") || score >= policy.threshold) return VerdictKind::kSpam;
  return VerdictKind::kLegitimate;
}

std::vector<std::string> SplitHitRules(const std::string& text) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(';', start);
    if (end == std::string::npos) end = text.size();
    size_t first = start, last = end;
    while (first < last && text[first] == ' ') ++first;
    while (last > first && text[last - 1] == ' ') --last;
    if (last > first) names.emplace_back(text, first, last - first);
    start = end + 1;
  }
  return names;
}

std::string StampText(const CheckPolicy& policy) {
  char when[32];
  const std::time_t now = std::time(nullptr);
  std::tm utc;
  gmtime_r(&now, &utc);
  std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return policy.stamp + " " + when;
}

}  // namespace

CheckPolicy CheckPolicy::FromConfig(const Config& config) {
  CheckPolicy policy;
  policy.threshold = config.GetWholeNumber("/emlscan/check/Threshold", policy.threshold);
  policy.unreadable_score =
      config.GetWholeNumber("/emlscan/check/UnreadableBodyScore", policy.unreadable_score);
  return policy;
}

const char* VerdictName(VerdictKind kind) {
  switch (kind) {
    case VerdictKind::kLegitimate: return "legitimate";
    case VerdictKind::kSpam: return "spam";
    case VerdictKind::kPhishing: return "phishing";
    case VerdictKind::kError: break;
  }
  return "error";
}

Verdict Judge(MailItem& item, const CheckPolicy& policy, const std::string& unreadable) {
  CAExecutionUnit* unit = GetExecutionUnit(item.box);
  if (unit == nullptr) throw std::runtime_error("the breaker published no execution unit");
  auto* variables = dynamic_cast<CAExecutionUnitVariables*>(unit);
  Verdict verdict;
  verdict.ruled = true;
  const bool measure = policy.autolearner != nullptr;
  const SignatureArray& signatures = unit->GetSignatures();
  for (size_t i = 0; i < signatures.GetSize(); ++i) {
    const char* name = signatures[i]->name;
    const bool classifier =
        measure && std::strncmp(name, kClassifierScoring, sizeof kClassifierScoring - 1) == 0;
    const int32_t before = classifier ? Score(unit, variables) : 0;
    try {
      unit->ExecRule(name);
    } catch (const ASException& e) {
      verdict.ruleErrors.push_back(std::string(name) + ": " + e.what());
    }
    if (classifier) verdict.classifierScore += Score(unit, variables) - before;
  }
  verdict.score = Score(unit, variables);
  const ascommon::sstring category = Category(unit, variables);
  if (category.IsSet()) verdict.category.assign(category.c_str(), category.Length());
  try {
    ascommon::sstring hits = unit->GetHitRules();
    if (hits.IsSet()) verdict.hitRules = SplitHitRules(std::string(hits.c_str(), hits.Length()));
  } catch (const ASException&) {
  }
  if (!unreadable.empty()) {
    verdict.unreadable = true;
    verdict.error = unreadable;
    verdict.score += policy.unreadable_score;
  }
  verdict.kind = Decide(verdict.score, verdict.category, policy);
  return verdict;
}

Verdict JudgeUnreadable(const std::string& reason, const CheckPolicy& policy) {
  Verdict verdict;
  verdict.unreadable = true;
  verdict.error = reason;
  verdict.score = policy.unreadable_score;
  verdict.kind = Decide(verdict.score, verdict.category, policy);
  return verdict;
}

void Perform(CAPerformer* performer, const Verdict& verdict, const CheckPolicy& policy,
             MailItem& item) {
  ascommon::CBlackBox box;
  box.SetInt(verdict.score, kVerdictScoreId, true);
  if (!verdict.category.empty()) box.SetString(verdict.category.c_str(), kVerdictCategoryId, true);
  box.SetString(StampText(policy).c_str(), kVerdictStampId, true);
  item.verdictBox = &box;
  struct Unset {
    MailItem& item;
    ~Unset() { item.verdictBox = nullptr; }
  } unset{item};
  std::vector<int32_t> actions;
  switch (verdict.kind) {
    case VerdictKind::kSpam: actions = {kTagSpamSubject, kAddSpamHeader}; break;
    case VerdictKind::kPhishing: actions = {kTagPhishingSubject, kAddSpamHeader}; break;
    case VerdictKind::kLegitimate: actions = {kAddLegitHeader}; break;
    case VerdictKind::kError: return;
  }
  actions.push_back(kAddHitRulesHeader);
  actions.push_back(kAddStampHeader);
  for (int32_t action : actions) performer->Perform(0, &item, action);
}

}  // namespace emlscan
