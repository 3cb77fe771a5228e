// Reads the values of "Content-Type" and "Content-Disposition": a media type
// or disposition token and "key=value" parameters separated by ";". Quoted
// semicolons are not special, and a value runs to the next double quote, as
// the breaker has always read these headers. Stateless; callable from any thread.
#ifndef MAIL_COMPONENTS_CONTENT_PARAMS_H_
#define MAIL_COMPONENTS_CONTENT_PARAMS_H_

#include <cstdint>
#include <string_view>

namespace nsEmlComponents {

class CHeaderContentType;
class CHeaderContentDisposition;

// The first bare token is the type; "type=" gives it when no bare token came
// first; "charset", "boundary" and "name" (any case) fill their fields, the
// last one of a key winning. Values are kept as written. 0, or -10 when a
// field cannot be stored.
int32_t ParseContentType(std::string_view value, CHeaderContentType* header);

// "filename" (any case) fills `filename`; a bare token (the disposition type)
// empties `disposition`. 0, or -10.
int32_t ParseContentDisposition(std::string_view value, CHeaderContentDisposition* header);

}  // namespace nsEmlComponents

#endif  // MAIL_COMPONENTS_CONTENT_PARAMS_H_
