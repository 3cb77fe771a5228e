// Every setting emlscan knows: the plug-in's (what its modules ask the
// settings interface for) and the host's own ([emlscan...] tables). A value
// read from the config or --set is checked against its entry before any
// command runs, so that a typo or a wrong value stops emlscan with a message
// instead of being ignored by the module that reads it.
#ifndef TOOLS_EMLSCAN_SETTINGS_SCHEMA_H_
#define TOOLS_EMLSCAN_SETTINGS_SCHEMA_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace emlscan {

enum class SettingKind {
  kText,        // any text
  kHeaderName,  // a mail header's field name: printable ASCII, no space nor ':'
  kInteger,     // a whole number from min to max
  kNumber,      // a decimal number from min to max
  kBoolean,     // true or false, read by the plug-in as "1" / "0"
  kFolder,      // a folder that exists; empty text names none
  kChoice,      // one of a few words (Choices)
};

struct SettingInfo {
  const char* path;  // "/eml/global/AggressivityLevel"; a few plug-in names have no "/"
  SettingKind kind;
  double min;        // kInteger and kNumber only
  double max;
  const char* fallback;  // what the reader uses when the setting is absent; null: nothing
  const char* description;
};

// The table, in the order the documentation lists it.
const std::vector<SettingInfo>& KnownSettings();

// The entry of `path`, or null.
const SettingInfo* FindSetting(std::string_view path);

// The known setting whose path is nearest `path` (a misspelt name, the right
// name in the wrong table), or "" when none is near enough to be meant.
std::string ClosestSetting(std::string_view path);

// The words a kChoice setting takes ("accept", "tempfail"); empty for others.
std::vector<std::string> Choices(std::string_view path);

// What a value of `kind` must be: "a whole number from 0 to 9", "a folder".
std::string KindText(const SettingInfo& info);

// "true"/"false" (any case) as the "1"/"0" the plug-in tests for, for a
// boolean setting; any other value as it is.
std::string NormalizeValue(std::string_view path, const std::string& value);

// A value that does not fit its setting: `reason` follows the value
// ("is not a whole number from 0 to 9") or, when `about_value` is false,
// the path the value named ("no such folder").
struct ValueProblem {
  std::string reason;
  bool about_value = true;
};

// Checks `value` (paths already resolved and expanded) against `info`.
std::optional<ValueProblem> CheckValue(const SettingInfo& info, const std::string& value);

}  // namespace emlscan

#endif  // TOOLS_EMLSCAN_SETTINGS_SCHEMA_H_
