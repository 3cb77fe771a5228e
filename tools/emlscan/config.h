// emlscan's settings: a TOML file whose tables mirror the plug-in's setting
// paths, plus command-line overrides.
//
//   [eml.global]
//   SharedDataPath = "data"        # answers "/eml/global/SharedDataPath"
//
// A string value whose key ends in "Path" is a path: a relative one resolves
// against the folder of the file it was read from, and "${plugin_dir}" stands
// for the folder the plug-in was loaded from. Integers and booleans answer as
// text too ("5", "1"/"0"), since the plug-in reads most settings as text.
// Keys in tables outside [eml...] (such as [emlscan.check]) are the host's own
// options. A top-level key that is one of the plug-in's names without a "/"
// (GENERATE_NNMAP_FILE) answers that name as it is.
//
// Every value remembers where it came from (the file and line, or the --set
// that gave it), so that CheckHostConfig can name it when it does not fit
// its setting (tools/emlscan/settings_schema.h).
#ifndef TOOLS_EMLSCAN_CONFIG_H_
#define TOOLS_EMLSCAN_CONFIG_H_

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace emlscan {

// Where a value came from: `file` and `line`, or `assignment`, the text of
// the --set that gave it. `raw` is the value as written there, before paths
// were resolved.
struct SettingSource {
  std::string file;
  long line = 0;
  std::string assignment;
  std::string raw;

  // "emlscan.toml:12: /eml/global/AggressivityLevel" or "--set /x/Y=1".
  std::string Where(const std::string& path) const;
};

class Config {
 public:
  // Reads `file`; throws std::runtime_error naming the file, line and problem.
  static Config Load(const std::string& file);

  // Reads `file`, leaving out values that are no string, number nor boolean
  // and naming each of them in `problems`; throws std::runtime_error when the
  // file cannot be read (missing, a folder, not readable) or is not TOML.
  static Config Read(const std::string& file, std::vector<std::string>* problems);

  // Applies "/path/of/setting=value" (as given to --set); throws
  // std::invalid_argument when it has no "=" or the path does not start with
  // "/" (nor is one of the plug-in's names without it).
  void Override(const std::string& assignment);

  // Replaces "${plugin_dir}" in every value.
  void ExpandPluginDir(const std::string& plugin_dir);

  std::optional<std::string> Get(const std::string& path) const;
  // The whole number at `path`, or fallback when it has no value. Throws
  // std::runtime_error naming the file, the setting and the value when the
  // value is not a 32-bit whole number.
  int32_t GetWholeNumber(const std::string& path, int32_t fallback) const;
  const std::map<std::string, std::string>& values() const { return values_; }
  const std::string& file() const { return file_; }
  // Where the value of `path` came from; null when it has no value.
  const SettingSource* Source(const std::string& path) const;

 private:
  std::string file_;
  std::map<std::string, std::string> values_;  // "/eml/global/X" -> UTF-8 text
  std::map<std::string, SettingSource> sources_;
};

// The config a command runs with: `file` read, the --set `overrides`
// applied, "${plugin_dir}" the folder of `plugin_path`.
Config LoadHostConfig(const std::string& file, const std::vector<std::string>& overrides,
                      const std::string& plugin_path);

// The effective settings for `emlscan config`: every known setting, then any
// other value, one a line as "path = value   (where)"; where is "FILE:LINE",
// "--set" or "default". Text is quoted; a setting without a value nor a
// fallback shows "(not set)".
std::string DescribeSettings(const Config& config);

// LoadHostConfig's settings checked: every value whose path is no known
// setting, whose text does not fit its kind or range, or whose folder does not
// exist, and a file that cannot be read or parsed, or a malformed --set. One
// message per problem, all of them, each naming the setting, its value and
// where it came from; empty when the settings are good.
std::vector<std::string> CheckHostConfig(const std::string& file,
                                         const std::vector<std::string>& overrides,
                                         const std::string& plugin_path);

}  // namespace emlscan

#endif  // TOOLS_EMLSCAN_CONFIG_H_
