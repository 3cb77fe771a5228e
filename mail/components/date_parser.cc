#include "mail/components/date_parser.h"

#include <cstring>

#include "mail/components/header_text.h"
#include "mail/components/headers.h"

namespace nsEmlComponents {
namespace {

constexpr const char* kWeekdays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The zone names RFC 822 allows besides the military letters; values in hours.
struct NamedZone {
  const char* name;
  int32_t hours;
};
constexpr NamedZone kZones[] = {{"UT", 0},   {"GMT", 0},  {"EST", -5}, {"EDT", -4}, {"CST", -6},
                                {"CDT", -5}, {"MST", -7}, {"MDT", -6}, {"PST", -8}, {"PDT", -7}};

// Hands out the tokens of a text one by one.
class Tokens {
 public:
  explicit Tokens(std::string_view text) : text_(text) {}
  bool Next(std::string_view* token) {
    while (pos_ < text_.size() && IsHeaderSpace(text_[pos_])) ++pos_;
    if (pos_ >= text_.size()) return false;
    const size_t start = pos_;
    while (pos_ < text_.size() && !IsHeaderSpace(text_[pos_])) ++pos_;
    *token = text_.substr(start, pos_ - start);
    return true;
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

// Index of a three-letter name in a table (any case), or -1.
template <size_t N>
int FindName(std::string_view token, const char* const (&names)[N]) {
  for (size_t i = 0; i < N; ++i) {
    if (EqualsNoCase(token, names[i])) return static_cast<int>(i);
  }
  return -1;
}

// A number of 1 to max_digits digits, or -1.
int32_t Number(std::string_view digits, size_t max_digits) {
  if (digits.empty() || digits.size() > max_digits) return -1;
  int32_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

bool ReadYear(std::string_view token, DateRecord* record) {
  const int32_t year = Number(token, 4);
  if (year < 0) return false;
  if (token.size() == 4) {
    if (year < 1900) return false;
    record->year = year;
    return true;
  }
  if (token.size() != 2) return false;
  record->year = year < 50 ? 2000 + year : 1900 + year;
  record->obsolete = 1;
  return true;
}

// "hh:mm" or "hh:mm:ss".
bool ReadTime(std::string_view token, DateRecord* record) {
  int32_t parts[3] = {0, 0, 0};
  size_t count = 0;
  while (count < 3) {
    const size_t colon = token.find(':');
    parts[count] = Number(token.substr(0, colon), 2);
    if (parts[count] < 0) return false;
    ++count;
    if (colon == std::string_view::npos) break;
    token.remove_prefix(colon + 1);
    if (count == 3) return false;  // a fourth field
  }
  if (count < 2 || parts[0] >= 24 || parts[1] >= 60 || parts[2] >= 61) return false;
  record->hour = parts[0];
  record->minute = parts[1];
  record->second = parts[2];
  return true;
}

bool ReadZone(std::string_view token, DateRecord* record) {
  const size_t comment = token.find('(');
  if (comment != std::string_view::npos) token = token.substr(0, comment);
  if (token.size() == 5 && (token[0] == '+' || token[0] == '-')) {
    const int32_t hours = Number(token.substr(1, 2), 2);
    const int32_t minutes = Number(token.substr(3, 2), 2);
    if (hours >= 0 && minutes >= 0) {
      if (minutes >= 60) return false;
      const int32_t offset = hours * 60 + minutes;
      record->zone = token[0] == '-' ? -offset : offset;
      return true;
    }
  }
  record->zone = 0;  // a name the list lacks counts as UT
  for (const NamedZone& zone : kZones) {
    if (EqualsNoCase(token, zone.name)) {
      record->zone = zone.hours;
      record->obsolete = 1;
      break;
    }
  }
  return true;
}

void CopyName(const char* name, char (&field)[4]) { std::memcpy(field, name, 4); }

// The steps in their order; false at the first token that does not fit.
bool ReadDate(Tokens* tokens, DateRecord* record) {
  std::string_view token;
  if (!tokens->Next(&token)) return true;
  if ((token.size() == 4 && token[3] == ',') || token.size() == 3) {
    const int weekday = FindName(token.substr(0, 3), kWeekdays);
    if (weekday < 0) return false;
    record->weekday = weekday;
    CopyName(kWeekdays[weekday], record->weekdayName);
    if (token.size() == 3) record->obsolete = 1;
    if (!tokens->Next(&token)) return true;
  }
  const int32_t day = Number(token, 2);
  if (day < 1 || day > 31) return false;
  record->day = day;
  if (!tokens->Next(&token)) return true;
  const int month = token.size() == 3 ? FindName(token, kMonths) : -1;
  if (month < 0) return false;
  record->month = month;
  CopyName(kMonths[month], record->monthName);
  if (!tokens->Next(&token)) return true;
  if (!ReadYear(token, record)) return false;
  if (!tokens->Next(&token)) return true;
  if (!ReadTime(token, record)) return false;
  if (!tokens->Next(&token)) return true;
  return ReadZone(token, record);
}

}  // namespace

void ParseDate(DateRecord* record, std::string_view text) {
  if (record == nullptr) return;
  *record = DateRecord();
  Tokens tokens(text);
  const bool is_valid = ReadDate(&tokens, record);
  record->valid = is_valid ? 1 : 0;
  record->complete = record->valid;
}

}  // namespace nsEmlComponents
