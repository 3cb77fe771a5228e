#include "rules/language/rule_test_util.h"

#include <algorithm>
#include <set>

namespace rules_testing {
namespace {

// Every parameter key of the vocabulary, and those whose value is a text.
const uint32_t kKeys[] = {
    P_NONE,
    P_MATCH_WHAT,
    P_MATCH_WHERE,
    P_MATCH_HOW,
    P_MATCH_PART_MODE,
    P_EXISTS_WHERE,
    P_IS_EMPTY_WHERE,
    P_EXEC_FUNCTION,
    P_KNN_MODE,
    P_KNN_CATEGORY,
    P_SCORE_NAME,
    P_COMPARE_VARIABLE,
    P_COMPARE_CONSTANT,
    P_HEADER_NAME,
    P_EXPR,
    P_PART_HEADER_NAME,
    P_CATEGORY_VARIABLE,
    P_CATEGORY_LITERAL,
    P_SCORE_TARGET,
    P_INCREMENT_VARIABLE,
    P_INCREMENT_CONSTANT,
    P_MARK_CATEGORY_VARIABLE,
    P_MARK_CATEGORY_LITERAL,
    P_MARK_SCORE_VARIABLE,
    P_MARK_SCORE_CONSTANT,
    P_EXEC_ACTION_FUNCTION,
    P_HEADER_NAME_LITERAL,
    P_HEADER_NAME_VARIABLE,
    P_HEADER_VALUE,
    P_STATE,
    P_RELEVANCE,
    P_COMMENT,
    P_PRIORITY,
};
const std::set<uint32_t> kTextKeys = {
    P_MATCH_WHAT,
    P_EXEC_FUNCTION,
    P_KNN_CATEGORY,
    P_SCORE_NAME,
    P_COMPARE_VARIABLE,
    P_HEADER_NAME,
    P_PART_HEADER_NAME,
    P_CATEGORY_VARIABLE,
    P_CATEGORY_LITERAL,
    P_SCORE_TARGET,
    P_INCREMENT_VARIABLE,
    P_MARK_CATEGORY_VARIABLE,
    P_MARK_CATEGORY_LITERAL,
    P_MARK_SCORE_VARIABLE,
    P_EXEC_ACTION_FUNCTION,
    P_HEADER_NAME_LITERAL,
    P_HEADER_NAME_VARIABLE,
    P_HEADER_VALUE,
    P_COMMENT,
};

const char* OperatorName(int32_t op) {
  static const char* const kNames[] = {"?", "||", "|||", "&&", "&&&", "==", "!=", "!"};
  return op >= OP_OR && op <= OP_NOT ? kNames[op] : "?";
}

}  // namespace

std::string RecordingTracer::Problems() const {
  std::string joined;
  for (const std::string& line : lines) {
    if (line.find("] - committing ") != std::string::npos) continue;
    if (!joined.empty()) joined += " | ";
    joined += line;
  }
  return joined;
}

std::string DumpExpression(const expr_t* node) {
  if (node == nullptr) return "null";
  if (node->is_leaf != 0) {
    if (node->leaf_type == LEAF_BOOLEAN) return node->value.boolean != 0 ? "true" : "false";
    return node->value.name;
  }
  std::string text =
      std::string("(") + OperatorName(node->op) + " " + DumpExpression(node->operand[0]);
  if (node->op != OP_NOT) text += " " + DumpExpression(node->operand[1]);
  return text + ")";
}

std::string DumpItem(const ascommon::CBlackBox* item) {
  const auto* specific = static_cast<const int32_t*>(item->GetValuePointer(ITEM_SPECIFIC_TYPE));
  std::string text = specific != nullptr ? std::to_string(*specific) : "?";
  text += "{";
  bool first = true;
  for (uint32_t key : kKeys) {
    const auto* slot = static_cast<const item_value*>(item->GetValuePointer(key));
    if (slot == nullptr) continue;
    if (!first) text += ",";
    first = false;
    text += std::to_string(key) + ":";
    if (key == P_EXPR) {
      text += DumpExpression(ItemValuePointer<const expr_t>(*slot));
    } else if (kTextKeys.count(key) != 0) {
      text += std::string("'") + ItemValuePointer<const char>(*slot) + "'";
    } else {
      text += std::to_string(ItemValueInt(*slot));
    }
  }
  return text + "}";
}

std::string DumpRule(const rule& parsed) {
  std::string text =
      std::string(parsed.get_name().c_str()) + "/" + std::to_string(parsed.get_type());
  if (parsed.get_condition() != nullptr) text += " c=" + DumpItem(parsed.get_condition());
  for (const ascommon::CBlackBox* item : parsed.get_actions()) text += " a=" + DumpItem(item);
  for (const ascommon::CBlackBox* item : parsed.get_metainfo()) text += " m=" + DumpItem(item);
  return text;
}

std::string DumpRules(const parser_state_info& state) {
  const auto& rules = state.get_rules();
  std::vector<std::string> dumps;
  if (rules.GetCount() > 0) {
    auto position = rules.GetStartPosition();
    for (uint32_t i = 0; i < rules.GetCount(); ++i) {
      dumps.push_back(DumpRule(*position.Value()));
      if (i + 1 < rules.GetCount()) position.Next();
    }
  }
  std::sort(dumps.begin(), dumps.end());
  std::string joined;
  for (const std::string& dump : dumps) joined += (joined.empty() ? "" : "; ") + dump;
  return joined;
}

}  // namespace rules_testing
