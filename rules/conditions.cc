#include "rules/conditions.h"

#include <cstring>
#include <memory>

#include "emlbreaker/exceptions.h"
#include "framework/base/not_available.h"
#include "rules/engines_interface.h"
#include "rules/rule_runner.h"

using nsEmlFramework::ThrowNotAvailable;

double NoCondition::Evaluate(CEnginesInterface* engines, CEmlContextInterface* context) {
  return 1.0;
}

ExprCondition::~ExprCondition() { DestroyExpressionTree(root_, true); }

int ExprCondition::Init(CEnginesInterface* engines) {
  if (root_ == nullptr) return 0;
  if (engines == nullptr) throw ASException("%s - invalid engines handle", "ExprCondition::Init");
  ARuleRunner* runner = engines->GetRuleRunner();
  if (runner == nullptr) {
    throw ASException("%s - obtained an invalid handle to the ASSL engine", "ExprCondition::Init");
  }
  InitNodes(runner, engines);
  return 0;
}

double ExprCondition::Evaluate(CEnginesInterface* engines, CEmlContextInterface* context) {
  if (root_ == nullptr) return 0.0;
  if (engines == nullptr) {
    throw ASException("%s - invalid engines handle", "ExprCondition::Evaluate");
  }
  ARuleRunner* runner = engines->GetRuleRunner();
  if (runner == nullptr) {
    throw ASException("%s - obtained an invalid handle to the ASSL engine",
                      "ExprCondition::Evaluate");
  }
  return EvaluateNodes(runner, engines, context);
}

void ExprCondition::InitNodes(ARuleRunner* runner, CEnginesInterface* engines) const {
  if (root_ != nullptr) InitNode(root_, 0, runner, engines);
}

double ExprCondition::EvaluateNodes(ARuleRunner* runner, CEnginesInterface* engines,
                                    CEmlContextInterface* context) const {
  return root_ != nullptr ? ExecuteNode(root_, 0, runner, engines, context) : 0.0;
}

// Recursion is bounded by kMaxDepth, checked before anything else at every level.
void ExprCondition::InitNode(const expr_t* node, int depth, ARuleRunner* runner,
                             CEnginesInterface* engines) const {
  if (depth >= kMaxDepth) {
    throw ASException("%s - reached the maximum expression depth", "ExprCondition::InitNode");
  }
  if (node->leaf_type == LEAF_RULE_NAME) runner->InitRule(node->value.name, engines);
  for (const expr_t* operand : node->operand) {
    if (operand != nullptr) InitNode(operand, depth + 1, runner, engines);
  }
}

double ExprCondition::ExecuteNode(const expr_t* node, int depth, ARuleRunner* runner,
                                  CEnginesInterface* engines, CEmlContextInterface* context) const {
  static const char kWhere[] = "ExprCondition::ExecuteNode";
  if (depth >= kMaxDepth) throw ASException("%s - reached the maximum expression depth", kWhere);
  if (node->is_leaf != 0) {
    if (node->leaf_type == LEAF_BOOLEAN) return node->value.boolean != 0 ? 1.0 : 0.0;
    if (node->leaf_type == LEAF_RULE_NAME)
      return runner->ExecRule(node->value.name, engines, context);
    throw ASException("%s - invalid value type for a leaf node", kWhere);
  }
  const expr_t* left = node->operand[0];
  const expr_t* right = node->operand[1];
  if (node->op < OP_OR || node->op > OP_NOT) throw ASException("%s - invalid operator", kWhere);
  if (left == nullptr || (node->op != OP_NOT && right == nullptr)) {
    throw ASException("%s - invalid operands", kWhere);
  }
  auto value_of = [&](const expr_t* operand) {
    return ExecuteNode(operand, depth + 1, runner, engines, context);
  };
  const double x = value_of(left);
  switch (node->op) {
    case OP_OR:
      return x != 0.0 ? x : value_of(right);
    case OP_AND:
      return x == 0.0 ? 0.0 : value_of(right);
    case OP_NOT:
      return x == 0.0 ? 1.0 : 0.0;
    default:
      break;
  }
  // The remaining operators evaluate both sides, so every rule they name runs.
  const double y = value_of(right);
  switch (node->op) {
    case OP_ALL_OR:
      return x != 0.0 ? x : y;
    case OP_ALL_AND:
      return x == 0.0 ? 0.0 : y;
    case OP_EQ:
      return (x != 0.0) == (y != 0.0) ? 1.0 : 0.0;
    default:  // OP_NE
      return (x != 0.0) != (y != 0.0) ? 1.0 : 0.0;
  }
}

RegexCompileException::RegexCompileException(const char* pattern, const char* compile_error)
    : ASException("%s - could not initialize regex from string [%s]", "MatchCondition::Init",
                  pattern) {
  if (compile_error != nullptr) std::strncpy(compile_error_, compile_error, kMaxCompileError);
}

// A regex is compiled once, here, at load time; evaluation only matches.
int MatchCondition::Init(CEnginesInterface* engines) {
  static const char kWhere[] = "MatchCondition::Init";
  if (how_ != HOW_REGEX && how_ != HOW_REGEX_INSENSITIVE) return 0;
  if (engines == nullptr) throw ASException("%s - invalid engines handle", kWhere);
  const CRegexLibrary* library = engines->GetRegexLibrary();
  std::unique_ptr<CARegEx> regex(library != nullptr ? library->NewRegex() : nullptr);
  if (regex == nullptr) throw ASException("%s - could not obtain regex from handle", kWhere);
  const int32_t flags = how_ == HOW_REGEX_INSENSITIVE ? kRegexCaseInsensitive : 0;
  if (regex->Compile(what_.c_str(), flags) != 0) {
    throw RegexCompileException(what_.c_str(), regex->GetError());
  }
  regex_ = std::move(regex);
  return 0;
}

double MatchCondition::Evaluate(CEnginesInterface* engines, CEmlContextInterface* context) {
  ThrowNotAvailable("MatchCondition::Evaluate");
}

double ExistsCondition::Evaluate(CEnginesInterface* engines, CEmlContextInterface* context) {
  ThrowNotAvailable("ExistsCondition::Evaluate");
}

double IsEmptyCondition::Evaluate(CEnginesInterface* engines, CEmlContextInterface* context) {
  ThrowNotAvailable("IsEmptyCondition::Evaluate");
}

double ExecCondition::Evaluate(CEnginesInterface* engines, CEmlContextInterface* context) {
  ThrowNotAvailable("ExecCondition::Evaluate");
}

double KNNCategCondition::Evaluate(CEnginesInterface* engines, CEmlContextInterface* context) {
  ThrowNotAvailable("KNNCategCondition::Evaluate");
}

double ScoreGreaterCondition::Evaluate(CEnginesInterface* engines, CEmlContextInterface* context) {
  ThrowNotAvailable("ScoreGreaterCondition::Evaluate");
}
