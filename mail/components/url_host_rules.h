// The rules the HTML summary (CHtmlInfo) applies to the addresses of links
// and images: escapes spelling plain characters (encodedUrl), hosts written as
// numbers (numericIpHost, decimalHost), ".biz" hosts (bizHost) and "user@host"
// addresses (atInHost). The addresses come from tag text, which the scanner
// has upper-cased, so schemes and names are matched in upper case.
//
// Stateless; each call writes only the summary it is handed.
#ifndef MAIL_COMPONENTS_URL_HOST_RULES_H_
#define MAIL_COMPONENTS_URL_HOST_RULES_H_

#include <string_view>

#include "emlbreaker/parts_tree.h"

namespace nsEmlComponents {

// True when `decoded` starts with "HTTP://" or "HTTPS://".
bool IsWebAddress(std::u16string_view decoded);

// Reads the address of a tag: url.raw becomes `address` (NUL-terminated) and
// url.decoded its decoded form (DecodeUrl); an escape that spells a plain
// character sets info.encodedUrl, and ApplyNumericHostRule runs on what was
// decoded. False when memory ran out before the record was filled.
bool ReadTagAddress(const char16_t* address, CUrl& url, CHtmlInfo& info);

// Hosts written as numbers ("http://3232235777/", "http://192.168.1.1/") hide
// who runs the site from a reader and from domain lists. The host is what
// follows the first "http://" (or, failing one, "https://"), in any case, up
// to a "/", less any "user@" before it. Made of digits and three dots it sets
// info.numericIpHost; of four digits or more and no dot, info.decimalHost.
// Neither flag is ever cleared.
void ApplyNumericHostRule(std::u16string_view decoded, CHtmlInfo& info);

// ".biz" hosts and "user@host" addresses in web links. Each link that holds
// the sequence decides anew, setting or clearing the flag: it counts only when
// it stands in the host part, that is before any "/" or "?" (".BIZ") or any
// "." or "/" ("@") after the scheme (the first seven units).
void ApplyBizAndAtRule(std::u16string_view decoded, CHtmlInfo& info);

}  // namespace nsEmlComponents

#endif  // MAIL_COMPONENTS_URL_HOST_RULES_H_
