// Writes a mail with its changes. The output is the mail's own bytes with
// each change spliced in where it belongs: a replaced header field over the
// field's lines, added fields at the end of their header block, a removed part
// cut out with its delimiter line. Everything else is copied byte for byte, so
// an unchanged mail comes out exactly as it went in.
#ifndef MSGCODEC_WRITER_H_
#define MSGCODEC_WRITER_H_

#include <cstddef>
#include <functional>
#include <string>

namespace msgcodec {

class Mail;

// Receives the output in pieces; returns false to stop the write.
using ByteSink = std::function<bool(const char* data, size_t size)>;

// Writes `mail` to `sink`. On failure (a change whose place in the raw mail
// cannot be found, or the sink failing) returns false with *error set; the
// sink may then have received part of the output.
bool WriteMail(Mail& mail, const ByteSink& sink, std::string* error);

}  // namespace msgcodec

#endif  // MSGCODEC_WRITER_H_
