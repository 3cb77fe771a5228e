// Reads the value of an address header ("From", "To", "Cc", ...) into its list
// of (display name, address) entries. Stateless; callable from any thread.
#ifndef MAIL_COMPONENTS_ADDRESS_PARSER_H_
#define MAIL_COMPONENTS_ADDRESS_PARSER_H_

#include <cstdint>
#include <string_view>

namespace ascommon {
class CCharsetConverter;
}

namespace nsEmlComponents {

class CHeaderAddress;

// Decodes the encoded words of the whole value, then splits the wide text into
// entries at top-level commas: `"Name, Jr." <a@b>`, `Name <a@b>`, `<a@b>` and
// bare `a@b` forms, quotes without escapes. Fills header->charset and
// header->addresses (replacing what they held) with at most
// kMaxAddressesPerHeader entries. Returns 0, or the code of DecodeEncodedWords
// (-10, -11, -303) with nothing stored, or -10 when the list cannot be stored.
int32_t ParseAddresses(const ascommon::CCharsetConverter* converter, std::string_view value,
                       CHeaderAddress* header);

}  // namespace nsEmlComponents

#endif  // MAIL_COMPONENTS_ADDRESS_PARSER_H_
