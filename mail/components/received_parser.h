// Reads one Received header ("from helo (host [ip]) by ...; date") into a hop
// record. Stateless; callable from any thread.
#ifndef MAIL_COMPONENTS_RECEIVED_PARSER_H_
#define MAIL_COMPONENTS_RECEIVED_PARSER_H_

#include <cstdint>
#include <string_view>

namespace nsEmlComponents {

struct ReceivedData;

// Fills *hop (reset first) from one Received value: the text before the first
// ";" is `fromText`, the text after it the date (no ";": no date, the record
// stays as constructed). A from clause "from NAME" with up to two comments
// "(host [ip])" or "(HELO name)" gives `hostName`, `ip` and `heloName`; the
// rest is `byText`. The caller appends the hop. Returns 0, or -10 when a text
// cannot be stored.
int32_t ParseReceived(std::string_view value, ReceivedData* hop);

}  // namespace nsEmlComponents

#endif  // MAIL_COMPONENTS_RECEIVED_PARSER_H_
