#include "tools/emlscan/config.h"

#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <toml++/toml.h>

namespace emlscan {
namespace fs = std::filesystem;

namespace {

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string ResolvePath(const std::string& value, const fs::path& base) {
  if (value.empty() || value.rfind("${plugin_dir}", 0) == 0) return value;
  fs::path path(value);
  if (path.is_absolute()) return value;
  return (base / path).lexically_normal().string();
}

void Flatten(const toml::table& table, const std::string& prefix, const fs::path& base,
             const std::string& file, std::map<std::string, std::string>& out) {
  for (const auto& [key, node] : table) {
    std::string path = prefix + "/" + std::string(key.str());
    if (const toml::table* sub = node.as_table()) {
      Flatten(*sub, path, base, file, out);
    } else if (auto text = node.value<std::string>(); text && node.is_string()) {
      out[path] = EndsWith(path, "Path") ? ResolvePath(*text, base) : *text;
    } else if (node.is_integer()) {
      out[path] = std::to_string(*node.value<int64_t>());
    } else if (node.is_boolean()) {
      out[path] = *node.value<bool>() ? "1" : "0";
    } else if (node.is_floating_point()) {
      std::ostringstream number;
      number << *node.value<double>();
      out[path] = number.str();
    } else {
      std::ostringstream message;
      message << file << ":" << node.source().begin.line << ": setting " << path
              << " must be a string, a number or a boolean";
      throw std::runtime_error(message.str());
    }
  }
}

}  // namespace

Config Config::Load(const std::string& file) {
  Config config;
  config.file_ = file;
  toml::table root;
  try {
    root = toml::parse_file(file);
  } catch (const toml::parse_error& e) {
    std::ostringstream message;
    message << file << ":" << e.source().begin.line << ":" << e.source().begin.column << ": "
            << e.description();
    throw std::runtime_error(message.str());
  }
  fs::path base = fs::absolute(fs::path(file)).parent_path();
  Flatten(root, "", base, file, config.values_);
  return config;
}

void Config::Override(const std::string& assignment) {
  size_t equals = assignment.find('=');
  if (equals == std::string::npos || assignment.empty() || assignment[0] != '/') {
    throw std::invalid_argument("--set expects /path/of/setting=value, got \"" + assignment +
                                "\"");
  }
  values_[assignment.substr(0, equals)] = assignment.substr(equals + 1);
}

void Config::ExpandPluginDir(const std::string& plugin_dir) {
  static const std::string kToken = "${plugin_dir}";
  for (auto& [path, value] : values_) {
    for (size_t at; (at = value.find(kToken)) != std::string::npos;) {
      value.replace(at, kToken.size(), plugin_dir);
    }
  }
}

std::optional<std::string> Config::Get(const std::string& path) const {
  auto found = values_.find(path);
  if (found == values_.end()) return std::nullopt;
  return found->second;
}

Config LoadHostConfig(const std::string& file, const std::vector<std::string>& overrides,
                      const std::string& plugin_path) {
  Config config = Config::Load(file);
  for (const std::string& assignment : overrides) config.Override(assignment);
  config.ExpandPluginDir(std::filesystem::path(plugin_path).parent_path().string());
  return config;
}

}  // namespace emlscan
