#include "tools/emlscan/host_settings.h"

#include <cerrno>
#include <cstdlib>

#include "emlbreaker/strings.h"

namespace emlscan {

std::u16string Utf8ToUtf16(const std::string& text) {
  ascommon::usstring wide = ascommon::usstring::FromUtf8(text);
  return std::u16string(wide.c_str(), wide.Length());
}

std::string Utf16ToUtf8(std::u16string_view text) {
  ascommon::sstring narrow = ascommon::sstring::FromUtf16(text);
  return std::string(narrow.c_str(), narrow.Length());
}

HostSettings::HostSettings(const Config& config) {
  for (const auto& [path, value] : config.values()) values_[Utf8ToUtf16(path)] = Utf8ToUtf16(value);
}

const char16_t* HostSettings::GetSetting(uint32_t, const char16_t* path) {
  if (path == nullptr) return nullptr;
  auto found = values_.find(path);
  return found == values_.end() ? nullptr : found->second.c_str();
}

int32_t HostSettings::GetIntSetting(uint32_t, const char16_t* path, int32_t default_value) {
  if (path == nullptr) return default_value;
  auto found = values_.find(path);
  if (found == values_.end()) return default_value;
  std::string text = Utf16ToUtf8(found->second);
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != '\0' || errno != 0 || value < INT32_MIN || value > INT32_MAX)
    return default_value;
  return static_cast<int32_t>(value);
}

}  // namespace emlscan
