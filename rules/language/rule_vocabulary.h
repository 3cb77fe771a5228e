// The item vocabulary of the rule language: what the parser records for every construct
// and what the item factories read back. A parsed item is a black box whose key
// ITEM_GENERIC_TYPE names its section, ITEM_SPECIFIC_TYPE the construct, and whose other
// keys are the construct's parameters. The numbers are shared by the parser, the parsed
// `rule`, the factories and the rule engine, so they live in this one header.
#ifndef RULES_LANGUAGE_RULE_VOCABULARY_H_
#define RULES_LANGUAGE_RULE_VOCABULARY_H_

#include <cstdint>

// Keys every item carries.
enum : uint32_t {
  ITEM_GENERIC_TYPE = 10,
  ITEM_SPECIFIC_TYPE = 11,
};

// Generic types: the section an item belongs to.
enum : uint32_t {
  GENERIC_CONDITION = 20,
  GENERIC_ACTION = 21,
  GENERIC_METAINFO = 22,
};

// Specific types of conditions.
enum : uint32_t {
  COND_NONE = 100,
  COND_EXPR = 101,
  COND_MATCH = 102,
  COND_EXISTS = 103,
  COND_IS_EMPTY = 104,
  COND_EXEC = 105,
  COND_KNN_CATEG = 106,
  COND_SCORE_GREATER = 107,
};

// Specific types of actions.
enum : uint32_t {
  ACT_SET_CATEGORY = 1000,
  ACT_INCREASE_SCORE = 1001,
  ACT_MARK = 1002,
  ACT_EXEC = 1003,
  ACT_ADD_HEADER = 1004,
  ACT_ADD_TO_HEADER = 1005,
};

// Specific types of metainfo.
enum : uint32_t {
  META_STATE = 2000,
  META_RELEVANCE = 2001,
  META_COMMENT = 2002,
  META_PRIORITY = 2003,
};

// Parameter keys. P_NONE shares its number with COND_NONE (and holds it as its value).
enum : uint32_t {
  P_NONE = 100,
  P_MATCH_WHAT = 120,
  P_MATCH_WHERE = 121,
  P_MATCH_HOW = 122,
  P_MATCH_PART_MODE = 123,
  P_EXISTS_WHERE = 130,
  P_IS_EMPTY_WHERE = 140,
  P_EXEC_FUNCTION = 150,
  P_KNN_MODE = 160,
  P_KNN_CATEGORY = 163,
  P_SCORE_NAME = 170,
  P_COMPARE_VARIABLE = 171,
  P_COMPARE_CONSTANT = 172,
  P_HEADER_NAME = 202,
  P_EXPR = 250,
  P_PART_HEADER_NAME = 262,
  P_CATEGORY_VARIABLE = 1020,
  P_CATEGORY_LITERAL = 1021,
  P_SCORE_TARGET = 1030,
  P_INCREMENT_VARIABLE = 1031,
  P_INCREMENT_CONSTANT = 1032,
  P_MARK_CATEGORY_VARIABLE = 1040,
  P_MARK_CATEGORY_LITERAL = 1041,
  P_MARK_SCORE_VARIABLE = 1042,
  P_MARK_SCORE_CONSTANT = 1043,
  P_EXEC_ACTION_FUNCTION = 1050,
  P_HEADER_NAME_LITERAL = 1060,
  P_HEADER_NAME_VARIABLE = 1061,
  P_HEADER_VALUE = 1062,
  P_STATE = 2020,
  P_RELEVANCE = 2030,
  P_COMMENT = 2040,
  P_PRIORITY = 2050,
};

// Enumerated parameter values: classifier modes, places, match types, part modes.
enum : uint32_t {
  KNN_GIVEN = 161,
  KNN_ANY = 162,

  WHERE_HEADERS_ALL = 200,
  WHERE_HEADER_NAMED = 201,
  WHERE_PARTS_ALL = 210,
  WHERE_PARTS_TEXT = 211,
  WHERE_PARTS_TEXT_PLAIN = 212,
  WHERE_PARTS_TEXT_HTML = 213,
  WHERE_URLS = 220,
  WHERE_PART_HEADERS_ALL = 260,
  WHERE_PART_HEADER_NAMED = 261,

  HOW_EXACT = 230,
  HOW_EXACT_INSENSITIVE = 231,
  HOW_OBFUSCATED = 232,
  HOW_REGEX = 233,
  HOW_REGEX_INSENSITIVE = 234,

  MODE_RAW = 240,
  MODE_DECODED = 241,
};

// Rule types.
enum : int32_t {
  RULE_TYPE_SIMPLE = 0,
  RULE_TYPE_META = 1,
};

// A parameter value as the parser records it: integers in the low 32 bits, texts and the
// expression root as pointers.
using item_value = uint64_t;

inline item_value IntItemValue(int32_t value) {
  return static_cast<item_value>(static_cast<uint32_t>(value));
}
inline item_value PointerItemValue(const void* pointer) {
  return static_cast<item_value>(reinterpret_cast<uintptr_t>(pointer));
}
inline int32_t ItemValueInt(item_value value) {
  return static_cast<int32_t>(static_cast<uint32_t>(value));
}
template <class T>
T* ItemValuePointer(item_value value) {
  return reinterpret_cast<T*>(static_cast<uintptr_t>(value));
}

#endif  // RULES_LANGUAGE_RULE_VOCABULARY_H_
