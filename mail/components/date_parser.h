// Reads RFC 5322 dates ("Tue, 1 Jul 2008 10:52:37 +0200"), accepting the
// obsolete forms of RFC 822 mailers. Stateless; callable from any thread.
#ifndef MAIL_COMPONENTS_DATE_PARSER_H_
#define MAIL_COMPONENTS_DATE_PARSER_H_

#include <string_view>

namespace nsEmlComponents {

struct DateRecord;

// Fills *record from the tokens of text (separated by blanks, tabs, CR, LF):
// optional day name, day, month name, year, time, zone. Reading stops at the
// first token that does not fit, which clears `valid` and `complete`; running
// out of tokens is not a fault. Every field is reset first, so the record
// tells only what this text says. Tokens after the zone are ignored.
void ParseDate(DateRecord* record, std::string_view text);

}  // namespace nsEmlComponents

#endif  // MAIL_COMPONENTS_DATE_PARSER_H_
