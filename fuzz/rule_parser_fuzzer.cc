// Rule files in, a map of parsed rules out: the parse the rule engine runs at load time,
// and the factories over every committed rule, as the engine turns them into rules. Inputs
// of odd length build at each commit and free the parse items there, as the engine does;
// even ones build from the finished map.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "rules/language/rule_items.h"
#include "rules/language/rule_parser.h"

namespace {

// Real rule files are a few hundred kilobytes at most; 256 KiB keeps every grammar path
// and the 10000-entry stack limit reachable while leaving each run fast enough that the
// fuzzer explores instead of timing out on long token runs.
constexpr size_t kFuzzMaxRuleFile = 256 * 1024;

void BuildItems(const rule& parsed) {
  std::unique_ptr<ACondition> condition(ACondition::Create(parsed.get_condition()));
  for (const ascommon::CBlackBox* item : parsed.get_actions()) {
    std::unique_ptr<AAction> action(AAction::Create(item));
  }
  for (const ascommon::CBlackBox* item : parsed.get_metainfo()) {
    std::unique_ptr<AMetainfo> metainfo(AMetainfo::Create(item));
  }
}

// Builds at each commit and lets the items go, as the engine's loader does.
class BuildAtCommit : public parser_state_info::CommitListener {
 public:
  void OnRuleCommitted(rule& committed) override {
    BuildItems(committed);
    committed.release_items();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kFuzzMaxRuleFile) return 0;
  parser_state_info state;
  BuildAtCommit builder;
  const bool at_commit = size % 2 == 1;
  if (at_commit) state.set_commit_listener(&builder);
  ParseRuleText(std::string_view(reinterpret_cast<const char*>(data), size), &state);
  if (at_commit) return 0;
  const auto& rules = state.get_rules();
  if (rules.GetCount() == 0) return 0;
  auto position = rules.GetStartPosition();
  for (uint32_t i = 0; i < rules.GetCount(); ++i) {
    BuildItems(*position.Value());
    if (i + 1 < rules.GetCount()) position.Next();
  }
  return 0;
}
