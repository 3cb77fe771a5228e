// The three factories that turn one parsed item black box into one typed item. They never
// throw: a broken item gives null (traced when the trace has something to say), and the
// rule engine then drops the whole rule.
#include <memory>
#include <new>
#include <optional>

#include "emlbreaker/trace.h"
#include "rules/actions.h"
#include "rules/conditions.h"
#include "rules/language/expression.h"
#include "rules/language/rule_items.h"

namespace {

using ascommon::CBlackBox;
using ascommon::sstring;

// Reads the parameters of one item as the parser stored them (rule::set_value).
class ItemReader {
 public:
  explicit ItemReader(const CBlackBox* item) : item_(item) {}

  bool Has(uint32_t key) const { return Slot(key) != nullptr; }

  std::optional<int32_t> Int(uint32_t key) const {
    const item_value* slot = Slot(key);
    if (slot == nullptr) return std::nullopt;
    return ItemValueInt(*slot);
  }

  // A copy of the text under key; a failed copy counts as a failed allocation.
  std::optional<sstring> Text(uint32_t key) const {
    const item_value* slot = Slot(key);
    if (slot == nullptr) return std::nullopt;
    sstring text(ItemValuePointer<const char>(*slot));
    if (text.GetError() != 0) throw std::bad_alloc();
    return text;
  }

  const expr_t* Expression(uint32_t key) const {
    const item_value* slot = Slot(key);
    return slot != nullptr ? ItemValuePointer<const expr_t>(*slot) : nullptr;
  }

 private:
  const item_value* Slot(uint32_t key) const {
    return static_cast<const item_value*>(item_->GetValuePointer(key));
  }

  const CBlackBox* item_;
};

// The type keys hold 32-bit integers (rule::set_value stores them so).
std::optional<int32_t> TypeKey(const CBlackBox* item, uint32_t key) {
  const auto* value = static_cast<const int32_t*>(item->GetValuePointer(key));
  if (value == nullptr) return std::nullopt;
  return *value;
}

// The steps every factory shares: both type keys present (else traced), the generic type
// the factory's own, then build(specific, reader); a failed allocation is traced.
template <class Base, class Build>
Base* CreateItem(const CBlackBox* item, uint32_t generic, const char* where, Build build) {
  if (item == nullptr) return nullptr;
  const std::optional<int32_t> generic_type = TypeKey(item, ITEM_GENERIC_TYPE);
  if (!generic_type) {
    GetDebugTrace()->Trace("%s - blackbox missing generic item type", where);
    return nullptr;
  }
  const std::optional<int32_t> specific_type = TypeKey(item, ITEM_SPECIFIC_TYPE);
  if (!specific_type) {
    GetDebugTrace()->Trace("%s - blackbox missing specific item type", where);
    return nullptr;
  }
  if (static_cast<uint32_t>(*generic_type) != generic) return nullptr;
  try {
    std::unique_ptr<Base> created = build(static_cast<uint32_t>(*specific_type), ItemReader(item));
    return created.release();
  } catch (const std::bad_alloc&) {
    GetDebugTrace()->Trace("%s - could not alloc memory", where);
  } catch (...) {
    // A factory never throws; anything else unexpected drops the item silently.
  }
  return nullptr;
}

// For the "exactly one of two keys" parameters: the key present, or nullopt when both or
// neither are.
std::optional<uint32_t> OneOf(const ItemReader& reader, uint32_t first, uint32_t second) {
  if (reader.Has(first) == reader.Has(second)) return std::nullopt;
  return reader.Has(first) ? first : second;
}

std::unique_ptr<ACondition> CreateMatch(const ItemReader& reader, const char* where) {
  const std::optional<sstring> what = reader.Text(P_MATCH_WHAT);
  if (!what) {
    GetDebugTrace()->Trace("%s - missing what to match", where);
    return nullptr;
  }
  const std::optional<int32_t> place = reader.Int(P_MATCH_WHERE);
  if (!place) {
    GetDebugTrace()->Trace("%s - missing where to match", where);
    return nullptr;
  }
  const std::optional<int32_t> how = reader.Int(P_MATCH_HOW);
  if (!how) {
    GetDebugTrace()->Trace("%s - missing match type", where);
    return nullptr;
  }
  const uint32_t where_value = static_cast<uint32_t>(*place);
  sstring header;
  if (where_value == WHERE_HEADER_NAMED || where_value == WHERE_PART_HEADER_NAMED) {
    const bool is_part = where_value == WHERE_PART_HEADER_NAMED;
    std::optional<sstring> name = reader.Text(is_part ? P_PART_HEADER_NAME : P_HEADER_NAME);
    if (!name) {
      GetDebugTrace()->Trace(is_part ? "%s - specific part header name not present"
                                     : "%s - specific header name not present",
                             where);
      return nullptr;
    }
    header = std::move(*name);
  }
  // The mode only ever chooses between the source and the visible text of HTML parts.
  uint32_t part_mode = 0;
  if (where_value == WHERE_PARTS_ALL || where_value == WHERE_PARTS_TEXT ||
      where_value == WHERE_PARTS_TEXT_HTML) {
    part_mode = static_cast<uint32_t>(reader.Int(P_MATCH_PART_MODE).value_or(MODE_RAW));
  }
  auto condition = std::make_unique<MatchCondition>(*what, where_value, header,
                                                    static_cast<uint32_t>(*how), part_mode);
  if (condition->GetWhat().GetError() != 0 || condition->GetHeaderName().GetError() != 0 ||
      condition->GetWideWhat().GetError() != 0) {
    throw std::bad_alloc();
  }
  return condition;
}

// exists and is_empty: a place, and for a named header its name.
template <class Condition>
std::unique_ptr<ACondition> CreatePlace(const ItemReader& reader, uint32_t place_key) {
  const std::optional<int32_t> place = reader.Int(place_key);
  if (!place) return nullptr;
  sstring header;
  if (static_cast<uint32_t>(*place) == WHERE_HEADER_NAMED) {
    std::optional<sstring> name = reader.Text(P_HEADER_NAME);
    if (!name) return nullptr;
    header = std::move(*name);
  }
  return std::make_unique<Condition>(static_cast<uint32_t>(*place), header);
}

std::unique_ptr<ACondition> CreateKnnCategory(const ItemReader& reader) {
  const std::optional<int32_t> mode = reader.Int(P_KNN_MODE);
  if (!mode) return nullptr;
  sstring category;
  if (static_cast<uint32_t>(*mode) == KNN_GIVEN) {
    std::optional<sstring> given = reader.Text(P_KNN_CATEGORY);
    if (!given) return nullptr;
    category = std::move(*given);
  }
  return std::make_unique<KNNCategCondition>(static_cast<uint32_t>(*mode), category);
}

std::unique_ptr<ACondition> CreateScoreGreater(const ItemReader& reader) {
  const std::optional<sstring> score = reader.Text(P_SCORE_NAME);
  const std::optional<uint32_t> source = OneOf(reader, P_COMPARE_CONSTANT, P_COMPARE_VARIABLE);
  if (!score || !source) return nullptr;
  const int32_t threshold = reader.Int(P_COMPARE_CONSTANT).value_or(0);
  const sstring variable = reader.Text(P_COMPARE_VARIABLE).value_or(sstring());
  return std::make_unique<ScoreGreaterCondition>(threshold, *source, variable, *score);
}

// The text of one of two keys (literal or variable name) and which one it was.
struct Sourced {
  sstring text;
  uint32_t source;
};

std::optional<Sourced> SourcedText(const ItemReader& reader, uint32_t first, uint32_t second) {
  const std::optional<uint32_t> source = OneOf(reader, first, second);
  if (!source) return std::nullopt;
  return Sourced{*reader.Text(*source), *source};
}

std::unique_ptr<AAction> CreateIncreaseScore(const ItemReader& reader) {
  const std::optional<sstring> target = reader.Text(P_SCORE_TARGET);
  const std::optional<uint32_t> source = OneOf(reader, P_INCREMENT_CONSTANT, P_INCREMENT_VARIABLE);
  if (!target || !source) return nullptr;
  return std::make_unique<IncreaseScoreAction>(
      reader.Int(P_INCREMENT_CONSTANT).value_or(0), *source,
      reader.Text(P_INCREMENT_VARIABLE).value_or(sstring()), *target);
}

std::unique_ptr<AAction> CreateMark(const ItemReader& reader) {
  const std::optional<Sourced> category =
      SourcedText(reader, P_MARK_CATEGORY_LITERAL, P_MARK_CATEGORY_VARIABLE);
  const std::optional<uint32_t> source =
      OneOf(reader, P_MARK_SCORE_CONSTANT, P_MARK_SCORE_VARIABLE);
  if (!category || !source) return nullptr;
  return std::make_unique<MarkAction>(reader.Int(P_MARK_SCORE_CONSTANT).value_or(0), *source,
                                      reader.Text(P_MARK_SCORE_VARIABLE).value_or(sstring()),
                                      category->text, category->source);
}

template <class Action>
std::unique_ptr<AAction> CreateHeaderAction(const ItemReader& reader) {
  const std::optional<sstring> value = reader.Text(P_HEADER_VALUE);
  const std::optional<Sourced> name =
      SourcedText(reader, P_HEADER_NAME_LITERAL, P_HEADER_NAME_VARIABLE);
  if (!value || !name) return nullptr;
  return std::make_unique<Action>(name->text, name->source, *value);
}

}  // namespace

ACondition* ACondition::Create(const CBlackBox* item) {
  static const char kWhere[] = "ACondition::Create";
  return CreateItem<ACondition>(
      item, GENERIC_CONDITION, kWhere,
      [](uint32_t specific, const ItemReader& reader) -> std::unique_ptr<ACondition> {
        switch (specific) {
          case COND_NONE:
            return std::make_unique<NoCondition>();
          case COND_EXPR: {
            const expr_t* root = reader.Expression(P_EXPR);
            if (root == nullptr) return nullptr;
            expr_t* copy = CopyExpressionTree(root);
            try {
              return std::make_unique<ExprCondition>(copy);
            } catch (...) {
              DestroyExpressionTree(copy, true);
              throw;
            }
          }
          case COND_MATCH:
            return CreateMatch(reader, kWhere);
          case COND_EXISTS:
            return CreatePlace<ExistsCondition>(reader, P_EXISTS_WHERE);
          case COND_IS_EMPTY:
            return CreatePlace<IsEmptyCondition>(reader, P_IS_EMPTY_WHERE);
          case COND_EXEC: {
            std::optional<sstring> function = reader.Text(P_EXEC_FUNCTION);
            if (!function) return nullptr;
            return std::make_unique<ExecCondition>(*function);
          }
          case COND_KNN_CATEG:
            return CreateKnnCategory(reader);
          case COND_SCORE_GREATER:
            return CreateScoreGreater(reader);
          default:
            return nullptr;
        }
      });
}

AAction* AAction::Create(const CBlackBox* item) {
  return CreateItem<AAction>(
      item, GENERIC_ACTION, "AAction::Create",
      [](uint32_t specific, const ItemReader& reader) -> std::unique_ptr<AAction> {
        switch (specific) {
          case ACT_SET_CATEGORY: {
            std::optional<Sourced> category =
                SourcedText(reader, P_CATEGORY_LITERAL, P_CATEGORY_VARIABLE);
            if (!category) return nullptr;
            return std::make_unique<SetCategoryAction>(category->text, category->source);
          }
          case ACT_INCREASE_SCORE:
            return CreateIncreaseScore(reader);
          case ACT_MARK:
            return CreateMark(reader);
          case ACT_EXEC: {
            std::optional<sstring> function = reader.Text(P_EXEC_ACTION_FUNCTION);
            if (!function) return nullptr;
            return std::make_unique<ExecAction>(*function);
          }
          case ACT_ADD_HEADER:
            return CreateHeaderAction<AddHeaderAction>(reader);
          case ACT_ADD_TO_HEADER:
            return CreateHeaderAction<AddToHeaderAction>(reader);
          default:
            return nullptr;
        }
      });
}

AMetainfo* AMetainfo::Create(const CBlackBox* item) {
  return CreateItem<AMetainfo>(
      item, GENERIC_METAINFO, "AMetainfo::Create",
      [](uint32_t specific, const ItemReader& reader) -> std::unique_ptr<AMetainfo> {
        switch (specific) {
          case META_STATE: {
            const std::optional<int32_t> state = reader.Int(P_STATE);
            if (!state) return nullptr;
            return std::make_unique<StateMetainfo>(*state != 0);
          }
          case META_RELEVANCE: {
            const std::optional<int32_t> relevance = reader.Int(P_RELEVANCE);
            if (!relevance) return nullptr;
            return std::make_unique<RelevanceMetainfo>(*relevance);
          }
          case META_COMMENT: {
            const std::optional<sstring> comment = reader.Text(P_COMMENT);
            if (!comment) return nullptr;
            return std::make_unique<CommentMetainfo>(*comment);
          }
          case META_PRIORITY: {
            const std::optional<int32_t> priority = reader.Int(P_PRIORITY);
            if (!priority) return nullptr;
            return std::make_unique<PriorityMetainfo>(*priority);
          }
          default:
            return nullptr;
        }
      });
}
