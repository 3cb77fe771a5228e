// The binding to the regular-expression library libpatmatch.so: loaded once
// from the breaker's libraries folder when its shared settings are applied,
// then asked for one regex object per regex condition. Load and Unload run
// under the breaker's exclusive lock; NewRegex may be called from any thread
// once loaded.
#ifndef RULES_REGEX_LIBRARY_H_
#define RULES_REGEX_LIBRARY_H_

#include <string>

#include "emlbreaker/regex.h"

class CRegexLibrary {
 public:
  CRegexLibrary() = default;
  ~CRegexLibrary() { Unload(); }
  CRegexLibrary(const CRegexLibrary&) = delete;
  CRegexLibrary& operator=(const CRegexLibrary&) = delete;

  // Loads libpatmatch.so from `directory` (a "/" is added unless it already
  // ends in "/" or "\"). A library that does not load, or lacks NewRegEx, is
  // traced and leaves nothing loaded; answers whether the library is usable.
  bool Load(const std::string& directory);
  void Unload();
  bool IsLoaded() const { return new_regex_ != nullptr; }

  // A new regex object owned by the caller, or null without a library.
  CARegEx* NewRegex() const;

  // The file Load tries for `directory`.
  static std::string LibraryPath(const std::string& directory);

 private:
  void* module_ = nullptr;
  NewRegExFn new_regex_ = nullptr;
};

#endif  // RULES_REGEX_LIBRARY_H_
