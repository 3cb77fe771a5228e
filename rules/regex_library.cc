#include "rules/regex_library.h"

#include <dlfcn.h>

#include "emlbreaker/trace.h"

namespace {

constexpr const char kLibraryName[] = "libpatmatch.so";
// The loader's error text is cut here so one trace line stays readable.
constexpr size_t kMaxLoaderError = 1022;

}  // namespace

std::string CRegexLibrary::LibraryPath(const std::string& directory) {
  std::string path = directory;
  if (!path.empty() && path.back() != '/' && path.back() != '\\') path += '/';
  return path + kLibraryName;
}

bool CRegexLibrary::Load(const std::string& directory) {
  Unload();
  std::string path = LibraryPath(directory);
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* reason = dlerror();
    std::string text = reason != nullptr ? reason : "unknown error";
    if (text.size() > kMaxLoaderError) text.resize(kMaxLoaderError);
    GetDebugTrace()->Trace("%s - cannot load the Regex library (%s): %s", "CRegexLibrary::Load",
                           path.c_str(), text.c_str());
    return false;
  }
  auto new_regex = reinterpret_cast<NewRegExFn>(dlsym(module, "NewRegEx"));
  if (new_regex == nullptr) {
    GetDebugTrace()->Trace(
        "WARNING: invalid Regex DLL library ! The product will run, but with a lot less "
        "functionality.");
    dlclose(module);
    return false;
  }
  module_ = module;
  new_regex_ = new_regex;
  return true;
}

void CRegexLibrary::Unload() {
  if (module_ != nullptr) dlclose(module_);
  module_ = nullptr;
  new_regex_ = nullptr;
}

CARegEx* CRegexLibrary::NewRegex() const {
  return new_regex_ != nullptr ? new_regex_() : nullptr;
}
