// emlscan: a framework host for the breaker plug-in, for people who write
// rules and operate filters. It loads the plug-in with dlopen exactly as the
// framework does, configures the modules from a TOML file and scans mails.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "emlbreaker/exceptions.h"
#include "tools/emlscan/config.h"
#include "tools/emlscan/host_settings.h"
#include "tools/emlscan/locations.h"
#include "tools/emlscan/plugin_host.h"

namespace emlscan {
namespace {

struct Options {
  std::string config_file;
  std::string plugin_path;
  std::vector<std::string> overrides;
};

const char16_t* const kModuleNames[] = {
    u"EML Real Breaker",
    u"Virtual Eml Header Breaker",
    u"Virtual Eml Parts Breaker",
    u"Virtual Eml Html Parts Breaker",
    u"Virtual Eml Text Parts Breaker",
    u"Eml Streamer",
    u"Performer Module for the Mail Entity Type",
};

Config LoadConfig(const Options& options, const std::string& plugin_path) {
  Config config = Config::Load(options.config_file);
  for (const std::string& assignment : options.overrides) config.Override(assignment);
  config.ExpandPluginDir(std::filesystem::path(plugin_path).parent_path().string());
  return config;
}

// `emlscan info`: what is loaded from where, and what the modules are.
int RunInfo(const Options& options) {
  PluginHost host(options.plugin_path);
  Config config = LoadConfig(options, options.plugin_path);
  HostSettings settings(config);
  PluginHost::Version v = host.version();
  std::printf("plug-in   %s (version %u.%u.%u)\n", host.path().c_str(), v.major, v.minor,
              v.build);
  std::printf("config    %s\n", config.file().c_str());
  std::printf("modules\n");
  for (const char16_t* name : kModuleNames) {
    CAModule* module = host.CreateModule(name, &settings, 0);
    std::string kind;
    if (auto* breaker = dynamic_cast<CABreaker*>(module)) {
      kind = "breaker kind " + std::to_string(breaker->GetBreakerKind()) +
             (breaker->isVirtual ? ", virtual" : ", real");
    }
    std::printf("  %-44s type %d%s%s\n", Utf16ToUtf8(name).c_str(), module->moduleType,
                kind.empty() ? "" : ", ", kind.c_str());
  }
  std::printf("settings\n");
  for (const auto& [path, value] : config.values()) {
    if (path.rfind("/eml/", 0) == 0) std::printf("  %s = %s\n", path.c_str(), value.c_str());
  }
  return 0;
}

}  // namespace
}  // namespace emlscan

int main(int argc, char** argv) {
  using namespace emlscan;
  Options options;
  options.config_file = DefaultConfigPath();
  options.plugin_path = DefaultPluginPath();

  CLI::App app{"emlscan: load the mail breaker plug-in as a framework host does and scan mails"};
  app.require_subcommand(1);
  app.add_option("-c,--config", options.config_file, "settings file (TOML)")
      ->default_str(options.config_file);
  app.add_option("--plugin", options.plugin_path, "the plug-in shared object")
      ->default_str(options.plugin_path);
  app.add_option("--set", options.overrides,
                 "override one setting, e.g. --set /eml/global/AggressivityLevel=5");
  CLI::App* info = app.add_subcommand("info", "show the plug-in, its modules and the settings");
  CLI11_PARSE(app, argc, argv);

  try {
    if (*info) return RunInfo(options);
  } catch (const ASException& e) {
    std::fprintf(stderr, "emlscan: %s (code %d)\n", e.what(), e.GetErrorCode());
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "emlscan: %s\n", e.what());
    return 2;
  }
  return 0;
}
