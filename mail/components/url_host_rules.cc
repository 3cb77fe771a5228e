#include "mail/components/url_host_rules.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "mail/components/html_scanner.h"
#include "mail/components/html_units.h"
#include "mail/components/url_finder.h"

namespace nsEmlComponents {
namespace {

using std::u16string_view;

constexpr size_t kNotFound = u16string_view::npos;

bool StartsWith(u16string_view text, u16string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// Lower-cased (ASCII) copy, for the numeric host rule.
std::u16string Lowered(u16string_view text) {
  std::u16string lowered(text);
  for (char16_t& c : lowered) {
    if (c >= u'A' && c <= u'Z') c += u'a' - u'A';
  }
  return lowered;
}

}  // namespace

bool IsWebAddress(u16string_view decoded) {
  return StartsWith(decoded, u"HTTP://") || StartsWith(decoded, u"HTTPS://");
}

bool ReadTagAddress(const char16_t* address, CUrl& url, CHtmlInfo& info) {
  const bool filled = url.raw.Assign(address) == 0 && DecodeUrl(url, info.encodedUrl) == 0;
  ApplyNumericHostRule(url.decoded.View(), info);
  return filled;
}

void ApplyNumericHostRule(u16string_view decoded, CHtmlInfo& info) {
  const std::u16string lowered = Lowered(decoded);
  const u16string_view address(lowered);
  size_t at = address.find(u"http://");
  size_t prefix = 7;
  if (at == kNotFound) {
    at = address.find(u"https://");
    prefix = 8;
  }
  if (at == kNotFound) return;
  u16string_view host = address.substr(at + prefix);
  host = host.substr(0, std::min(host.find(u'/'), kHtmlTagMax));
  const size_t user_end = host.find(u'@');
  if (user_end != kNotFound) host.remove_prefix(user_end + 1);
  if (host.empty()) return;
  size_t dots = 0;
  for (char16_t c : host) {
    if (c == u'.') {
      ++dots;
    } else if (!IsAsciiDigit(c)) {
      return;
    }
  }
  if (dots == 3) info.numericIpHost = 1;
  if (dots == 0 && host.size() >= 4) info.decimalHost = 1;
}

void ApplyBizAndAtRule(u16string_view decoded, CHtmlInfo& info) {
  auto decide = [&](size_t found, u16string_view breakers, uint8_t* flag) {
    if (found == kNotFound) return;
    *flag = 1;
    for (size_t i = 7; i < found; ++i) {
      if (breakers.find(decoded[i]) != kNotFound) *flag = 0;
    }
  };
  decide(decoded.find(u".BIZ"), u"/?", &info.bizHost);
  decide(decoded.find(u'@'), u"./", &info.atInHost);
}

}  // namespace nsEmlComponents
