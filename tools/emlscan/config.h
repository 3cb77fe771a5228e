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
// Keys at the top level or in tables outside [eml...] (such as [emlscan]) are
// the host's own options.
#ifndef TOOLS_EMLSCAN_CONFIG_H_
#define TOOLS_EMLSCAN_CONFIG_H_

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace emlscan {

class Config {
 public:
  // Reads `file`; throws std::runtime_error naming the file, line and problem.
  static Config Load(const std::string& file);

  // Applies "/path/of/setting=value" (as given to --set); throws
  // std::invalid_argument when it has no "=" or the path does not start with "/".
  void Override(const std::string& assignment);

  // Replaces "${plugin_dir}" in every value.
  void ExpandPluginDir(const std::string& plugin_dir);

  std::optional<std::string> Get(const std::string& path) const;
  const std::map<std::string, std::string>& values() const { return values_; }
  const std::string& file() const { return file_; }

 private:
  std::string file_;
  std::map<std::string, std::string> values_;  // "/eml/global/X" -> UTF-8 text
};

// The config a command runs with: `file` read, the --set `overrides`
// applied, "${plugin_dir}" the folder of `plugin_path`.
Config LoadHostConfig(const std::string& file, const std::vector<std::string>& overrides,
                      const std::string& plugin_path);

}  // namespace emlscan

#endif  // TOOLS_EMLSCAN_CONFIG_H_
