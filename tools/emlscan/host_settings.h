// The settings object emlscan plants in every module: answers the plug-in's
// GetSetting / GetIntSetting from a Config, the same for every profile.
// Built once before modules are configured and read-only afterwards, so any
// number of threads may ask at once.
#ifndef TOOLS_EMLSCAN_HOST_SETTINGS_H_
#define TOOLS_EMLSCAN_HOST_SETTINGS_H_

#include <cstdint>
#include <map>
#include <string>

#include "emlbreaker/modules.h"
#include "tools/emlscan/config.h"

namespace emlscan {

class HostSettings final : public CASettings {
 public:
  explicit HostSettings(const Config& config);

  const char16_t* GetSetting(uint32_t profile, const char16_t* path) override;
  int32_t GetIntSetting(uint32_t profile, const char16_t* path, int32_t default_value) override;

 private:
  std::map<std::u16string, std::u16string> values_;
};

// UTF-8 <-> UTF-16 for the host's own use (setting paths, names, messages,
// dumps). A lone surrogate, which mail text may hold, becomes U+FFFD.
std::u16string Utf8ToUtf16(const std::string& text);
std::string Utf16ToUtf8(std::u16string_view text);
void AppendUtf8(std::string& out, std::u16string_view text);

// Appends value as printf's "%0*d" writes it with that width: a dump prints
// several numbers for each date, and snprintf costs thousands of instructions
// a date.
void AppendZeroPadded(std::string& out, int64_t value, int width);

}  // namespace emlscan

#endif  // TOOLS_EMLSCAN_HOST_SETTINGS_H_
