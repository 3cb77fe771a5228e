#include "rules/language/rule_items.h"

#include <cstring>
#include <new>

#include "emlbreaker/exceptions.h"
#include "rules/language/expression.h"

namespace {

using ascommon::CBlackBox;
using ascommon::MElement;

// Stores one scalar under key as a BBE_VALUE entry, replacing an earlier one.
template <class T>
void StoreScalar(CBlackBox* item, uint32_t key, T value, const char* where) {
  T* cell = new (std::nothrow) T(value);
  if (cell == nullptr) throw ASMemException("%s - memory problems", where);
  if (item->SetElement(key, MElement{ascommon::BBE_VALUE, cell, sizeof(T)}, true) != 0) {
    delete cell;
    throw ASMemException("%s - memory problems while adding item", where);
  }
}

const int32_t* SpecificTypeOf(const CBlackBox* item) {
  return static_cast<const int32_t*>(item->GetValuePointer(ITEM_SPECIFIC_TYPE));
}

// An item holds its two type keys and a handful of parameters; the default box's 64
// buckets per item were most of a parsed rule's memory, and loading ten thousand rules
// spent its time in malloc on them.
constexpr uint32_t kItemBuckets = 8;

// A new item black box with both type keys set; the caller owns it.
CBlackBox* NewItem(uint32_t generic_type, uint32_t specific_type, const char* where) {
  std::unique_ptr<CBlackBox> item;
  try {
    item.reset(new CBlackBox(kItemBuckets));
  } catch (const std::bad_alloc&) {
    throw ASMemException("%s - memory problems", where);
  }
  StoreScalar<int32_t>(item.get(), ITEM_GENERIC_TYPE, static_cast<int32_t>(generic_type), where);
  StoreScalar<int32_t>(item.get(), ITEM_SPECIFIC_TYPE, static_cast<int32_t>(specific_type), where);
  return item.release();
}

const char* MissingTypeMessage(uint32_t generic_type) {
  return generic_type == GENERIC_ACTION ? "%s - action missing specific item type!!"
                                        : "%s - metainfo missing specific item type!!";
}

}  // namespace

rule::~rule() { release_items(); }

void rule::release_items() {
  // The condition item always carries its specific type (NewItem sets it before anything
  // else), so the tree lookup below cannot meet an item without one.
  if (type == RULE_TYPE_META && condition != nullptr) {
    const int32_t* specific = SpecificTypeOf(condition);
    const auto* root = static_cast<const item_value*>(condition->GetValuePointer(P_EXPR));
    if (specific != nullptr && *specific == static_cast<int32_t>(COND_EXPR) && root != nullptr) {
      DestroyExpressionTree(ItemValuePointer<expr_t>(*root), false);
    }
  }
  delete condition;
  condition = nullptr;
  for (CBlackBox* item : actions) delete item;
  actions.SetSize(0, false);
  for (CBlackBox* item : metainfo) delete item;
  metainfo.SetSize(0, false);
  buffers.clear();
  buffers.shrink_to_fit();
}

CBlackBox* rule::FindItem(const ascommon::CArray<CBlackBox*, 64>& items, uint32_t specific_type,
                          const char* missing_message, const char* where) {
  for (CBlackBox* item : items) {
    const int32_t* specific = SpecificTypeOf(item);
    if (specific == nullptr) throw ASException(missing_message, where);
    if (*specific == static_cast<int32_t>(specific_type)) return item;
  }
  return nullptr;
}

void rule::set_value(uint32_t generic_type, uint32_t specific_type, uint32_t key,
                     const item_value* value) {
  static const char kWhere[] = "rule::set_value";
  CBlackBox* item = nullptr;
  if (generic_type == GENERIC_CONDITION) {
    if (condition == nullptr) condition = NewItem(generic_type, specific_type, kWhere);
    item = condition;
  } else if (generic_type == GENERIC_ACTION || generic_type == GENERIC_METAINFO) {
    auto& items = generic_type == GENERIC_ACTION ? actions : metainfo;
    item = FindItem(items, specific_type, MissingTypeMessage(generic_type), kWhere);
    if (item == nullptr) {
      item = NewItem(generic_type, specific_type, kWhere);
      if (items.Add(item) != 0) {
        delete item;
        throw ASMemException("%s - memory problems", kWhere);
      }
    }
  } else {
    throw ASException("%s - unknown generic item type", kWhere);
  }
  StoreScalar<item_value>(item, key, *value, kWhere);
}

int rule::get_value(uint32_t generic_type, uint32_t specific_type, uint32_t key,
                    item_value* value) const {
  static const char kWhere[] = "rule::get_value";
  const CBlackBox* item = nullptr;
  if (generic_type == GENERIC_CONDITION) {
    if (condition == nullptr) return -1;
    const int32_t* specific = SpecificTypeOf(condition);
    if (specific == nullptr)
      throw ASException("%s - condition missing specific item type!!", kWhere);
    if (*specific != static_cast<int32_t>(specific_type)) return -1;
    item = condition;
  } else if (generic_type == GENERIC_ACTION || generic_type == GENERIC_METAINFO) {
    item = FindItem(generic_type == GENERIC_ACTION ? actions : metainfo, specific_type,
                    MissingTypeMessage(generic_type), kWhere);
    if (item == nullptr) return -1;
  } else {
    throw ASException("%s - unknown generic item type", kWhere);
  }
  const auto* stored = static_cast<const item_value*>(item->GetValuePointer(key));
  if (stored == nullptr) return -1;
  *value = *stored;
  return 0;
}

void rule::register_buffer(char* text) {
  std::unique_ptr<char[]> owned(text);
  try {
    buffers.push_back(std::move(owned));
  } catch (const std::bad_alloc&) {
    throw ASMemException("%s - memory problems", "rule::register_buffer");
  }
}

void rule::set_name(const char* text) {
  if (name.Assign(text) != 0) throw ASMemException("%s - memory problems", "rule::set_name");
}
