#include "tools/emlscan/host_settings.h"

#include <cerrno>
#include <cstdlib>

#include "common/wide_scan.h"
#include "emlbreaker/strings.h"

namespace emlscan {

std::u16string Utf8ToUtf16(const std::string& text) {
  ascommon::usstring wide = ascommon::usstring::FromUtf8(text);
  return std::u16string(wide.c_str(), wide.Length());
}

void AppendUtf8(std::string& out, std::u16string_view text) {
  out.reserve(out.size() + text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    // ASCII runs go over a block at a time.
    const size_t run = ascommon::AsciiPrefix(text.data() + i, text.size() - i);
    if (run > 0) {
      const size_t at = out.size();
      out.resize(at + run);
      ascommon::NarrowAscii(text.data() + i, run, &out[at]);
      i += run;
      if (i == text.size()) break;
    }
    uint32_t cp = text[i];
    if (cp >= 0xD800 && cp < 0xE000) {
      if (cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (text[++i] - 0xDC00u);
      } else {
        cp = 0xFFFD;
      }
    }
    char bytes[4];
    size_t n;
    if (cp < 0x800) {
      bytes[0] = static_cast<char>(0xC0 | (cp >> 6));
      bytes[1] = static_cast<char>(0x80 | (cp & 0x3F));
      n = 2;
    } else if (cp < 0x10000) {
      bytes[0] = static_cast<char>(0xE0 | (cp >> 12));
      bytes[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      bytes[2] = static_cast<char>(0x80 | (cp & 0x3F));
      n = 3;
    } else {
      bytes[0] = static_cast<char>(0xF0 | (cp >> 18));
      bytes[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      bytes[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      bytes[3] = static_cast<char>(0x80 | (cp & 0x3F));
      n = 4;
    }
    out.append(bytes, n);
  }
}

void AppendZeroPadded(std::string& out, int64_t value, int width) {
  char digits[24];
  // The magnitude as unsigned, so that the most negative value has one too.
  uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) {
    out.push_back('-');
    --width;
  }
  if (width > count) out.append(static_cast<size_t>(width - count), '0');
  while (count > 0) out.push_back(digits[--count]);
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string narrow;
  AppendUtf8(narrow, text);
  return narrow;
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
