#include "mail/components/html_reference_tables.h"

#include <cstring>

namespace nsEmlComponents {
namespace {

struct EntityRow {
  const char* name;
  uint16_t code;
};

// In table order: rows go to the end of their bucket's chain in this order.
constexpr EntityRow kEntities[CHtmlEntityTable::kRows] = {
    {"quot", 34},    {"amp", 38},     {"lt", 60},      {"gt", 62},      {"nbsp", 32},
    {"iexcl", 161},  {"Agrave", 192}, {"Aacute", 193}, {"Acirc", 194},  {"Atilde", 195},
    {"Auml", 196},   {"Aring", 197},  {"AElig", 198},  {"Ccedil", 199}, {"Egrave", 200},
    {"Eacute", 201}, {"Ecirc", 202},  {"Euml", 203},   {"Igrave", 204}, {"Iacute", 205},
    {"Icirc", 206},  {"Iuml", 207},   {"ETH", 208},    {"Ntilde", 209}, {"Ograve", 210},
    {"Oacute", 211}, {"Ocirc", 212},  {"Otilde", 213}, {"Ouml", 214},   {"Oslash", 216},
    {"Ugrave", 217}, {"Uacute", 218}, {"Ucirc", 219},  {"Uuml", 220},   {"Yacute", 221},
    {"THORN", 222},  {"szlig", 223},  {"agrave", 224}, {"aacute", 225}, {"acirc", 226},
    {"atilde", 227}, {"auml", 228},   {"aring", 229},  {"aelig", 230},  {"ccedil", 231},
    {"egrave", 232}, {"eacute", 233}, {"ecirc", 234},  {"euml", 235},   {"igrave", 236},
    {"iacute", 237}, {"icirc", 238},  {"iuml", 239},   {"eth", 240},    {"ntilde", 241},
    {"ograve", 242}, {"oacute", 243}, {"ocirc", 244},  {"otilde", 245}, {"ouml", 246},
    {"oslash", 248}, {"ugrave", 249}, {"uacute", 250}, {"ucirc", 251},  {"uuml", 252},
    {"yacute", 253}, {"thorn", 254},  {"yuml", 255},   {"Cent", 162},   {"pound", 163},
    {"curren", 164}, {"yen", 165},    {"brvbar", 166}, {"sect", 167},   {"uml", 168},
    {"copy", 169},   {"ordf", 170},   {"laquo", 171},  {"not", 172},    {"shy", 173},
    {"reg", 174},    {"macr", 175},   {"deg", 176},    {"plusmn", 177}, {"sup2", 178},
    {"sup3", 179},   {"acute", 180},  {"micro", 181},  {"para", 182},   {"middot", 183},
    {"cedil", 184},  {"sup1", 185},   {"ordm", 186},   {"raquo", 187},  {"frac14", 188},
    {"frac12", 189}, {"frac34", 190}, {"iquest", 191}, {"times", 215},  {"divide", 247},
};

constexpr const char* kEmptyTags[CHtmlEmptyTagSet::kNames] = {
    "P", "AREA", "BASE", "BASEFONT", "BR", "COL", "FRAME",
    "HR", "IMG", "INPUT", "ISINDEX", "LINK", "META", "PARAM"};

char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

}  // namespace

int32_t CHtmlEntityTable::Build() {
  if (built) return 0;
  for (int16_t& head : heads) head = -1;
  int16_t tails[kBuckets];
  for (int16_t& tail : tails) tail = -1;
  for (size_t i = 0; i < kRows; ++i) {
    const size_t length = std::strlen(kEntities[i].name);
    if (length == 0 || length > kMaxName) return -12;
    Row& row = rows[i];
    unsigned hash = 0;
    for (size_t k = 0; k < length; ++k) {
      row.name[k] = static_cast<char16_t>(kEntities[i].name[k]);
      hash ^= row.name[k];
    }
    row.name[length] = u'\0';
    row.length = static_cast<uint8_t>(length);
    row.code = kEntities[i].code;
    row.next = -1;
    const size_t bucket = hash & 127;
    if (tails[bucket] < 0) {
      heads[bucket] = static_cast<int16_t>(i);
    } else {
      rows[tails[bucket]].next = static_cast<int16_t>(i);
    }
    tails[bucket] = static_cast<int16_t>(i);
  }
  built = true;
  return 0;
}

int32_t CHtmlEntityTable::Lookup(const char16_t* name, size_t length) const {
  if (!built || name == nullptr || length == 0 || length > kMaxName) return -1;
  unsigned hash = 0;
  for (size_t k = 0; k < length; ++k) hash ^= name[k];
  for (int16_t i = heads[hash & 127]; i >= 0; i = rows[i].next) {
    const Row& row = rows[i];
    if (row.length == length && std::memcmp(row.name, name, length * sizeof(char16_t)) == 0)
      return row.code;
  }
  return -1;
}

uint32_t CHtmlEmptyTagSet::Hash(const char16_t* name, size_t length) {
  uint32_t hash = 5381;
  for (size_t k = 0; k < length; ++k) hash = (hash * 33) ^ Upper(name[k]);
  return hash;
}

int32_t CHtmlEmptyTagSet::Build() {
  if (built) return 0;
  for (int8_t& head : heads) head = -1;
  for (size_t i = 0; i < kNames; ++i) {
    char16_t wide[16];
    const size_t length = std::strlen(kEmptyTags[i]);
    for (size_t k = 0; k < length; ++k) wide[k] = static_cast<char16_t>(kEmptyTags[i][k]);
    const size_t bucket = Hash(wide, length) % kBuckets;
    // Appended at the end of the chain, so lookups meet names in table order.
    next[i] = -1;
    if (heads[bucket] < 0) {
      heads[bucket] = static_cast<int8_t>(i);
    } else {
      int8_t last = heads[bucket];
      while (next[last] >= 0) last = next[last];
      next[last] = static_cast<int8_t>(i);
    }
  }
  built = true;
  return 0;
}

bool CHtmlEmptyTagSet::Contains(const char16_t* name, size_t length) const {
  if (!built || name == nullptr || length == 0) return false;
  for (int8_t i = heads[Hash(name, length) % kBuckets]; i >= 0; i = next[i]) {
    const char* candidate = kEmptyTags[i];
    size_t k = 0;
    while (k < length && candidate[k] != '\0' && Upper(name[k]) == candidate[k]) ++k;
    if (k == length && candidate[k] == '\0') return true;
  }
  return false;
}

}  // namespace nsEmlComponents
