#include "tools/emlscan/config.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <toml++/toml.h>

#include "tools/emlscan/settings_schema.h"

namespace emlscan {
namespace fs = std::filesystem;

namespace {

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Settings whose text is a file or folder, resolved against the settings file's folder.
bool NamesFile(const std::string& path) {
  return EndsWith(path, "Path") || path == "/eml/breaker/UrlDatabase" ||
         path == "/eml/breaker/UrlDatabaseUpdate" || path == "/emlscan/learning/Database";
}

std::string ResolvePath(const std::string& value, const fs::path& base) {
  if (value.empty() || value.rfind("${plugin_dir}", 0) == 0) return value;
  if (value.find("://") != std::string::npos) return value;  // a server, not a file
  fs::path path(value);
  if (path.is_absolute()) return value;
  return (base / path).lexically_normal().string();
}

struct Reading {
  fs::path base;
  std::string file;
  std::map<std::string, std::string>* values;
  std::map<std::string, SettingSource>* sources;
  std::vector<std::string>* problems;
};

// A plug-in name without "/" (GENERATE_NNMAP_FILE) is a top-level key.
std::string PathOf(const std::string& prefix, std::string_view key) {
  if (prefix.empty() && FindSetting(key) != nullptr) return std::string(key);
  return prefix + "/" + std::string(key);
}

void Flatten(const toml::table& table, const std::string& prefix, const Reading& reading) {
  for (const auto& [key, node] : table) {
    std::string path = PathOf(prefix, key.str());
    if (const toml::table* sub = node.as_table()) {
      Flatten(*sub, path, reading);
      continue;
    }
    std::string raw;
    std::string value;
    if (auto text = node.value<std::string>(); text && node.is_string()) {
      raw = *text;
      value = NamesFile(path) ? ResolvePath(*text, reading.base) : *text;
    } else if (node.is_integer()) {
      raw = value = std::to_string(*node.value<int64_t>());
    } else if (node.is_boolean()) {
      raw = *node.value<bool>() ? "true" : "false";
      value = *node.value<bool>() ? "1" : "0";
    } else if (node.is_floating_point()) {
      std::ostringstream number;
      number << *node.value<double>();
      raw = value = number.str();
    } else {
      std::ostringstream message;
      message << reading.file << ":" << node.source().begin.line << ": setting " << path
              << " must be a string, a number or a boolean";
      reading.problems->push_back(message.str());
      continue;
    }
    (*reading.values)[path] = NormalizeValue(path, value);
    SettingSource& source = (*reading.sources)[path];
    source.file = reading.file;
    source.line = static_cast<long>(node.source().begin.line);
    source.raw = raw;
  }
}

// `text` between double quotes, with quotes, backslashes and control
// characters escaped, so that a trailing space or an empty value shows.
std::string Quote(const std::string& text) {
  std::string quoted = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      quoted += escaped;
    } else {
      quoted += static_cast<char>(c);
    }
  }
  return quoted + "\"";
}

std::string Shown(const SettingInfo* info, const std::string& value) {
  if (info == nullptr) return Quote(value);
  switch (info->kind) {
    case SettingKind::kInteger:
    case SettingKind::kNumber:
      return value;
    case SettingKind::kBoolean:
      return value == "1" ? "true" : value == "0" ? "false" : Quote(value);
    default:
      return Quote(value);
  }
}

}  // namespace

std::string SettingSource::Where(const std::string& path) const {
  if (!assignment.empty()) return "--set " + assignment;
  return file + ":" + std::to_string(line) + ": " + path;
}

Config Config::Load(const std::string& file) {
  std::vector<std::string> problems;
  Config config = Read(file, &problems);
  if (!problems.empty()) throw std::runtime_error(problems.front());
  return config;
}

Config Config::Read(const std::string& file, std::vector<std::string>* problems) {
  std::error_code error;
  const fs::file_status status = fs::status(file, error);
  if (!fs::exists(status)) throw std::runtime_error(file + ": no such settings file");
  if (fs::is_directory(status))
    throw std::runtime_error(file + ": a folder, not a settings file");
  if (std::FILE* probe = std::fopen(file.c_str(), "rb")) {
    std::fclose(probe);
  } else {
    throw std::runtime_error(file + ": cannot read it: " + std::strerror(errno));
  }
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
  const Reading reading{fs::absolute(fs::path(file)).parent_path(), file, &config.values_,
                        &config.sources_, problems};
  Flatten(root, "", reading);
  return config;
}

void Config::Override(const std::string& assignment) {
  size_t equals = assignment.find('=');
  const std::string path = assignment.substr(0, std::min(equals, assignment.size()));
  if (equals == std::string::npos || path.empty() ||
      (path[0] != '/' && FindSetting(path) == nullptr)) {
    throw std::invalid_argument("--set expects /path/of/setting=value, got \"" + assignment +
                                "\"");
  }
  const std::string raw = assignment.substr(equals + 1);
  values_[path] = NormalizeValue(path, raw);
  SettingSource& source = sources_[path];
  source = SettingSource();
  source.assignment = assignment;
  source.raw = raw;
}

void Config::ExpandPluginDir(const std::string& plugin_dir) {
  static const std::string kToken = "${plugin_dir}";
  for (auto& [path, value] : values_) {
    for (size_t at; (at = value.find(kToken)) != std::string::npos;) {
      value.replace(at, kToken.size(), plugin_dir);
    }
  }
}

const SettingSource* Config::Source(const std::string& path) const {
  auto found = sources_.find(path);
  return found == sources_.end() ? nullptr : &found->second;
}

std::optional<std::string> Config::Get(const std::string& path) const {
  auto found = values_.find(path);
  if (found == values_.end()) return std::nullopt;
  return found->second;
}

int32_t Config::GetWholeNumber(const std::string& path, int32_t fallback) const {
  const std::optional<std::string> text = Get(path);
  if (!text) return fallback;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text->c_str(), &end, 10);
  if (text->empty() || *end != '\0' || errno != 0 || value < INT32_MIN || value > INT32_MAX)
    throw std::runtime_error(file_ + ": " + path + " must be a whole number, not \"" + *text +
                             "\"");
  return static_cast<int32_t>(value);
}

Config LoadHostConfig(const std::string& file, const std::vector<std::string>& overrides,
                      const std::string& plugin_path) {
  Config config = Config::Load(file);
  for (const std::string& assignment : overrides) config.Override(assignment);
  config.ExpandPluginDir(std::filesystem::path(plugin_path).parent_path().string());
  return config;
}

std::string DescribeSettings(const Config& config) {
  std::string out;
  auto line = [&](const std::string& path, const std::string& shown, const std::string& where) {
    out += path;
    out += shown.empty() ? "" : " = " + shown;
    out += "   (" + where + ")\n";
  };
  auto where = [&](const std::string& path) -> std::string {
    const SettingSource* source = config.Source(path);
    if (source == nullptr) return "set by the host";
    if (!source->assignment.empty()) return "--set";
    return source->file + ":" + std::to_string(source->line);
  };
  for (const SettingInfo& info : KnownSettings()) {
    if (std::optional<std::string> value = config.Get(info.path)) {
      line(info.path, Shown(&info, *value), where(info.path));
    } else if (info.fallback != nullptr) {
      line(info.path, Shown(&info, info.fallback), "default");
    } else {
      line(info.path, "", "not set");
    }
  }
  for (const auto& [path, value] : config.values()) {
    if (FindSetting(path) == nullptr) line(path, Shown(nullptr, value), where(path));
  }
  return out;
}

std::vector<std::string> CheckHostConfig(const std::string& file,
                                         const std::vector<std::string>& overrides,
                                         const std::string& plugin_path) {
  std::vector<std::string> problems;
  Config config;
  try {
    config = Config::Read(file, &problems);
  } catch (const std::runtime_error& e) {
    // Nothing of the file is known: its values cannot be checked.
    return {e.what()};
  }
  for (const std::string& assignment : overrides) {
    try {
      config.Override(assignment);
    } catch (const std::invalid_argument& e) {
      problems.push_back(e.what());
    }
  }
  config.ExpandPluginDir(fs::path(plugin_path).parent_path().string());

  // The file's values in the order of their lines, then the --set ones in
  // the order given.
  std::vector<std::pair<long, std::string>> found;
  for (const auto& [path, value] : config.values()) {
    const SettingSource& source = *config.Source(path);
    const std::string where = source.Where(path);
    std::string message;
    if (const SettingInfo* info = FindSetting(path)) {
      std::optional<ValueProblem> problem = CheckValue(*info, value);
      if (!problem) continue;
      if (problem->about_value) {
        message = where + ": " + Quote(source.raw) + " " + problem->reason;
      } else if (source.assignment.empty()) {
        message = where + ": " + Quote(source.raw) +
                  (value != source.raw ? " (" + value + ")" : "") + ": " + problem->reason;
      } else {
        message = where + ": " + (value != source.raw ? value + ": " : "") + problem->reason;
      }
    } else {
      const std::string closest = ClosestSetting(path);
      message = where + ": unknown setting" +
                (closest.empty() ? "" : "; did you mean " + closest + "?");
    }
    long order = source.line;
    if (!source.assignment.empty()) {
      order = std::numeric_limits<long>::max() - static_cast<long>(overrides.size()) +
              (std::find(overrides.begin(), overrides.end(), source.assignment) -
               overrides.begin());
    }
    found.emplace_back(order, message);
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& [order, message] : found) problems.push_back(std::move(message));
  return problems;
}

}  // namespace emlscan
