#include "mail/components/html_tables.h"

namespace nsEmlComponents {
namespace {

struct EntityRow {
  const char16_t* name;
  char16_t code;
};

// Table order decides the order inside a chain; the rows are the Latin-1 set
// in its usual listing, special characters first.
constexpr EntityRow kEntityRows[CHtmlEntityTable::kRows] = {
    {u"quot", 34},    {u"amp", 38},     {u"lt", 60},      {u"gt", 62},      {u"nbsp", 32},
    {u"iexcl", 161},  {u"Agrave", 192}, {u"Aacute", 193}, {u"Acirc", 194},  {u"Atilde", 195},
    {u"Auml", 196},   {u"Aring", 197},  {u"AElig", 198},  {u"Ccedil", 199}, {u"Egrave", 200},
    {u"Eacute", 201}, {u"Ecirc", 202},  {u"Euml", 203},   {u"Igrave", 204}, {u"Iacute", 205},
    {u"Icirc", 206},  {u"Iuml", 207},   {u"ETH", 208},    {u"Ntilde", 209}, {u"Ograve", 210},
    {u"Oacute", 211}, {u"Ocirc", 212},  {u"Otilde", 213}, {u"Ouml", 214},   {u"Oslash", 216},
    {u"Ugrave", 217}, {u"Uacute", 218}, {u"Ucirc", 219},  {u"Uuml", 220},   {u"Yacute", 221},
    {u"THORN", 222},  {u"szlig", 223},  {u"agrave", 224}, {u"aacute", 225}, {u"acirc", 226},
    {u"atilde", 227}, {u"auml", 228},   {u"aring", 229},  {u"aelig", 230},  {u"ccedil", 231},
    {u"egrave", 232}, {u"eacute", 233}, {u"ecirc", 234},  {u"euml", 235},   {u"igrave", 236},
    {u"iacute", 237}, {u"icirc", 238},  {u"iuml", 239},   {u"eth", 240},    {u"ntilde", 241},
    {u"ograve", 242}, {u"oacute", 243}, {u"ocirc", 244},  {u"otilde", 245}, {u"ouml", 246},
    {u"oslash", 248}, {u"ugrave", 249}, {u"uacute", 250}, {u"ucirc", 251},  {u"uuml", 252},
    {u"yacute", 253}, {u"thorn", 254},  {u"yuml", 255},   {u"Cent", 162},   {u"pound", 163},
    {u"curren", 164}, {u"yen", 165},    {u"brvbar", 166}, {u"sect", 167},   {u"uml", 168},
    {u"copy", 169},   {u"ordf", 170},   {u"laquo", 171},  {u"not", 172},    {u"shy", 173},
    {u"reg", 174},    {u"macr", 175},   {u"deg", 176},    {u"plusmn", 177}, {u"sup2", 178},
    {u"sup3", 179},   {u"acute", 180},  {u"micro", 181},  {u"para", 182},   {u"middot", 183},
    {u"cedil", 184},  {u"sup1", 185},   {u"ordm", 186},   {u"raquo", 187},  {u"frac14", 188},
    {u"frac12", 189}, {u"frac34", 190}, {u"iquest", 191}, {u"times", 215},  {u"divide", 247},
};

constexpr const char16_t* kEmptyTagNames[CHtmlEmptyTagSet::kNames] = {
    u"P",  u"AREA", u"BASE",  u"BASEFONT", u"BR",   u"COL",  u"FRAME",
    u"HR", u"IMG",  u"INPUT", u"ISINDEX",  u"LINK", u"META", u"PARAM",
};

size_t NameLength(const char16_t* name) {
  size_t len = 0;
  while (name[len] != 0) ++len;
  return len;
}

char16_t AsciiUpper(char16_t c) { return c >= u'a' && c <= u'z' ? c - (u'a' - u'A') : c; }

}  // namespace

// ---- CHtmlEntityTable ----

size_t CHtmlEntityTable::Bucket(const char16_t* name, size_t len) {
  char16_t hash = 0;
  for (size_t i = 0; i < len; ++i) hash ^= name[i];
  return hash & (kBuckets - 1);
}

int CHtmlEntityTable::Build() {
  if (built_) return 0;
  heads_.fill(-1);
  next_.fill(-1);
  std::array<int16_t, kBuckets> tails;
  tails.fill(-1);
  for (size_t row = 0; row < kRows; ++row) {
    const size_t len = NameLength(kEntityRows[row].name);
    if (len == 0 || len > kMaxName) return -12;
    const size_t bucket = Bucket(kEntityRows[row].name, len);
    if (tails[bucket] < 0) {
      heads_[bucket] = static_cast<int16_t>(row);
    } else {
      next_[tails[bucket]] = static_cast<int16_t>(row);
    }
    tails[bucket] = static_cast<int16_t>(row);
  }
  built_ = true;
  return 0;
}

int CHtmlEntityTable::Lookup(const char16_t* name, size_t len) const {
  if (!built_ || name == nullptr || len == 0 || len > kMaxName) return -1;
  for (int row = heads_[Bucket(name, len)]; row >= 0; row = next_[row]) {
    const char16_t* candidate = kEntityRows[row].name;
    size_t i = 0;
    while (i < len && candidate[i] == name[i]) ++i;
    if (i == len && candidate[len] == 0) return kEntityRows[row].code;
  }
  return -1;
}

// ---- CHtmlEmptyTagSet ----

uint32_t CHtmlEmptyTagSet::Bucket(const char16_t* name, size_t len) {
  uint32_t hash = 5381;
  for (size_t i = 0; i < len; ++i) hash = (hash * 33) ^ AsciiUpper(name[i]);
  return hash % kBuckets;
}

int CHtmlEmptyTagSet::Build() {
  if (built_) return 0;
  heads_.fill(-1);
  next_.fill(-1);
  std::array<int8_t, kBuckets> tails;
  tails.fill(-1);
  for (size_t row = 0; row < kNames; ++row) {
    const uint32_t bucket = Bucket(kEmptyTagNames[row], NameLength(kEmptyTagNames[row]));
    if (tails[bucket] < 0) {
      heads_[bucket] = static_cast<int8_t>(row);
    } else {
      next_[tails[bucket]] = static_cast<int8_t>(row);
    }
    tails[bucket] = static_cast<int8_t>(row);
  }
  built_ = true;
  return 0;
}

bool CHtmlEmptyTagSet::Contains(const char16_t* name, size_t len) const {
  if (!built_ || name == nullptr || len == 0) return false;
  for (int row = heads_[Bucket(name, len)]; row >= 0; row = next_[row]) {
    const char16_t* candidate = kEmptyTagNames[row];
    size_t i = 0;
    while (i < len && candidate[i] != 0 && candidate[i] == AsciiUpper(name[i])) ++i;
    if (i == len && candidate[len] == 0) return true;
  }
  return false;
}

}  // namespace nsEmlComponents
