// A settings object for tests: answers from a map of wide paths to texts.
#ifndef FRAMEWORK_BASE_TESTING_MAP_SETTINGS_H_
#define FRAMEWORK_BASE_TESTING_MAP_SETTINGS_H_

#include <cstdlib>
#include <map>
#include <string>

#include "emlbreaker/modules.h"

class MapSettings final : public CASettings {
 public:
  const char16_t* GetSetting(uint32_t, const char16_t* path) override {
    auto found = values.find(path);
    return found == values.end() ? nullptr : found->second.c_str();
  }
  int32_t GetIntSetting(uint32_t, const char16_t* path, int32_t default_value) override {
    auto found = values.find(path);
    if (found == values.end()) return default_value;
    return static_cast<int32_t>(std::strtol(std::string(found->second.begin(),
                                                         found->second.end()).c_str(),
                                            nullptr, 10));
  }
  void Set(const char16_t* path, const std::string& ascii_value) {
    values[path] = std::u16string(ascii_value.begin(), ascii_value.end());
  }

  std::map<std::u16string, std::u16string> values;
};

#endif  // FRAMEWORK_BASE_TESTING_MAP_SETTINGS_H_
