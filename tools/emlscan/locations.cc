#include "tools/emlscan/locations.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace emlscan {
namespace fs = std::filesystem;

namespace {

fs::path ExecutableDir() {
  std::error_code error;
  fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::current_path() : self.parent_path();
}

}  // namespace

std::string DefaultPluginPath() {
  fs::path bin = ExecutableDir();
  for (const fs::path& candidate :
       {bin / "../lib/emlbreaker/libemlbreaker.so", bin / "../lib/libemlbreaker.so"}) {
    if (fs::exists(candidate)) return candidate.lexically_normal().string();
  }
  return (bin / "../lib/libemlbreaker.so").lexically_normal().string();
}

std::string DefaultConfigPath() {
  if (const char* env = std::getenv("EMLSCAN_CONFIG"); env != nullptr && *env != '\0') return env;
  fs::path installed = ExecutableDir() / "../share/emlbreaker/emlscan.toml";
  if (fs::exists(installed)) return installed.lexically_normal().string();
  return EMLSCAN_SOURCE_CONFIG;
}

}  // namespace emlscan
