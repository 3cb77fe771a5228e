// `emlscan dump`: what the breaker made of a mail, as readable text or JSON.
// Both read the broken mail's black box only (ids 1 and 2), as a filter would.
#ifndef TOOLS_EMLSCAN_DUMP_H_
#define TOOLS_EMLSCAN_DUMP_H_

#include <nlohmann/json.hpp>
#include <string>

#include "emlbreaker/mail_item.h"

namespace emlscan {

// The headers (id 1) and the parts tree (id 2) of a broken mail.
nlohmann::json DumpJson(MailItem& item);

// The same, for a person: one header per line with its parsed fields, then
// the parts tree indented by depth.
std::string DumpText(MailItem& item);

}  // namespace emlscan

#endif  // TOOLS_EMLSCAN_DUMP_H_
