// The header part of `emlscan dump`: every header object with its parsed
// fields, for the mail (black box id 1) and for each MIME part.
#ifndef TOOLS_EMLSCAN_DUMP_HEADERS_H_
#define TOOLS_EMLSCAN_DUMP_HEADERS_H_

#include <nlohmann/json.hpp>
#include <string>

#include "emlbreaker/mail_item.h"
#include "emlbreaker/headers.h"

namespace emlscan {

nlohmann::json HeadersJson(MailItem& item);
nlohmann::json PartHeadersJson(const nsEmlComponents::CHeaderMap& headers);
// Appends the text form to `out`.
void AppendHeadersText(std::string& out, MailItem& item);

}  // namespace emlscan

#endif  // TOOLS_EMLSCAN_DUMP_HEADERS_H_
