// Bounds of header parsing: every count a mail controls is capped here.
#ifndef MAIL_COMPONENTS_HEADER_LIMITS_H_
#define MAIL_COMPONENTS_HEADER_LIMITS_H_

#include <cstddef>

#include "emlbreaker/headers.h"

namespace nsEmlComponents {

// Entries kept from one address header; later entries are dropped. Real
// recipient lists run to a few hundred, but a value of bare commas makes one
// (empty) entry per byte, and each entry costs two wide strings.
inline constexpr size_t kMaxAddressesPerHeader = 4096;

// Bytes of one header's value that the header model takes in; the rest is
// dropped. Everything the model builds from a
// value (the wide value, the decoded text, the addresses, a hop) is a
// multiple of it, so a mail of one 50 MB header line would otherwise cost
// several times its size. Real headers stay far below it (RFC 5322 lines stop
// at 998 bytes; long References and recipient lists run to some tens of KiB).
// The cut falls before a UTF-8 sequence, never inside one. A cut header that a
// rule rewrites is written back from the kept text.
inline constexpr size_t kMaxHeaderTextBytes = kMaxHeaderValueBytes;

// Received headers kept in one map (hops and joined value alike); later ones
// are skipped. Real mails carry a few dozen; the packer admits tens of
// thousands of header lines, and every hop costs a date and eight strings.
inline constexpr size_t kMaxReceivedHops = 1024;

// A header map whose count passes this many entries per bucket gets twice the
// buckets, so that a mail of many distinct header names cannot make every
// insertion walk a long chain. Maps of ordinary mails never reach it.
inline constexpr size_t kMaxHeadersPerBucket = 8;

}  // namespace nsEmlComponents

#endif  // MAIL_COMPONENTS_HEADER_LIMITS_H_
