// Bounds of the MIME packer: every size an input controls is capped here, and
// docs/PACKER.md lists them with what happens at each.
#ifndef MSGCODEC_LIMITS_H_
#define MSGCODEC_LIMITS_H_

#include <cstddef>
#include <cstdint>

namespace msgcodec {

// Largest mail Open and OpenMemory accept. GMime keeps the whole mail in
// memory and builds objects worth up to ~200 bytes per input line, so this
// caps one mail's memory; anti-spam hosts skip far smaller mails anyway.
inline constexpr uint64_t kMaxMailBytes = 64ull << 20;

// Mails above this size are pre-scanned for lines that GMime would turn into
// objects (measured: ~500 bytes per header, ~1.4 KB per part). Below it the
// worst case is ~200x the size, about 100 MB, so the scan is not worth it.
inline constexpr uint64_t kPrescanBytes = 512u << 10;

// In a pre-scanned mail: at most this many lines that look like a header
// field ("name:") and at most this many lines that start with "--" (each
// MIME part starts after one). Beyond either the mail is refused.
inline constexpr uint32_t kMaxHeaderLikeLines = 50000;
inline constexpr uint32_t kMaxDashLines = 20000;

// Parts nested deeper than this (top part = 0) are not shown: the part at
// the limit reports no children. rspamd stops at 64 as well; GMime itself
// stops recursing at 1024 levels, which bounds its stack use.
inline constexpr int32_t kMaxDepth = 64;

// At most this many parts of one mail are shown, in document order.
inline constexpr uint32_t kMaxParts = 10000;

// A folded line that an added header would make longer than this is broken
// at a blank before it (RFC 5322's hard line limit is 998 octets).
inline constexpr size_t kMaxHeaderLine = 998;

// After parsing a mail larger than this, the thread's GMime parser is made to
// give back the header buffer it grew (see mail.cc); below it the buffer is
// small and kept for the next mail.
inline constexpr uint64_t kParserKeepBytes = 1u << 20;

// Transfer decoding reads the content in chunks of this size, so decoding a
// large attachment needs no buffer of its full size.
inline constexpr size_t kDecodeChunk = 256u << 10;

}  // namespace msgcodec

#endif  // MSGCODEC_LIMITS_H_
