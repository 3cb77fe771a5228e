// Line-level scans over the raw bytes of a mail, used where GMime does not
// report an offset: the extent of a header field, the empty line that ends a
// header block, and the delimiter lines of a multipart. Each one follows the
// rule GMime's parser applies (gmime-parser.c), so the offsets found here are
// the ones GMime parsed by. Stateless; every function reads only `mail`.
#ifndef MSGCODEC_RAW_SCAN_H_
#define MSGCODEC_RAW_SCAN_H_

#include <cstddef>
#include <string_view>
#include <vector>

namespace msgcodec {

inline constexpr size_t kNotFound = static_cast<size_t>(-1);

// A blank of a header line: space or tab.
inline bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Offset just past the '\n' that ends the line holding `pos`, or mail.size().
size_t NextLine(std::string_view mail, size_t pos);

// Start of the line holding `pos`.
size_t LineStart(std::string_view mail, size_t pos);

// End of the header field that starts at `pos`: past its line and every
// continuation line (one that starts with a blank or a tab).
size_t HeaderFieldEnd(std::string_view mail, size_t pos);

// Offset of the field "name:" (`raw_name` is the bytes before the colon) at or
// after `pos` and before `limit`, trying each line start; kNotFound when none.
size_t FindHeaderField(std::string_view mail, size_t pos, size_t limit, std::string_view raw_name);

// Start of the first empty line ("\n" or "\r\n") at or after the line start
// `pos`; kNotFound when none.
size_t FindEmptyLine(std::string_view mail, size_t pos);

// Length of the empty line at `pos` (1 for "\n", 2 for "\r\n"), else 0.
size_t EmptyLineLength(std::string_view mail, size_t pos);

// True when the line [begin, end) (line end excluded) is "--boundary" or,
// with `close`, "--boundary--", followed by nothing but blanks.
bool IsDelimiterLine(std::string_view line, std::string_view boundary, bool close);

// Start of the nearest line before `pos` and at or after `floor` that is a
// delimiter (not a close delimiter) of `boundary`; kNotFound when none.
size_t FindDelimiterBefore(std::string_view mail, size_t pos, size_t floor,
                           std::string_view boundary);

// Start of the first line at or after the line start `pos` that is a
// delimiter or close delimiter of any of `boundaries` (innermost first), as
// GMime ends a part at any boundary open around it; kNotFound when none.
size_t FindAnyDelimiter(std::string_view mail, size_t pos, const std::string_view* boundaries,
                        size_t count);

// Where GMime's field-name scan of the line at `line` stops: at the colon of
// a valid name (*valid set), or at the first byte that makes the name invalid
// (no control byte, which a line break is, and blanks only between the name
// and the colon); `end` when the bytes run out first.
const char* ScanFieldName(const char* line, const char* end, bool* valid);

// One field of a header block as GMime's parser reads it: the bytes before
// the colon are its raw name, those without trailing blanks its name, and its
// raw value runs from after the colon to the end of its last continuation
// line, line breaks included.
struct RawField {
  size_t offset;    // start of the field's first line
  size_t name_end;  // end of the name (trailing blanks dropped)
  size_t colon;     // end of the raw name
  size_t end;       // end of the raw value
};

// Longest field name (with what precedes the colon) ScanHeaderBlock reads
// itself. GMime refills its 4 KiB buffer within longer lines, and the name
// rules are only sure to hold within one fill; a longer line is read here
// when its name ends (or turns invalid) within this many bytes, since the
// rest of a line is value either way. Lines of a megabyte and more are read
// here then, and GMime does not keep its own copies of them.
inline constexpr size_t kMaxScannedLine = 2048;

// Reads the header block that starts at the line start `pos` into `fields`,
// by GMime's rules, and sets *block_end to the empty line that ends it.
// Returns false, leaving the block to GMime, when the block is not one that
// plain rules are sure to read as GMime does: it has no empty line, its first
// line is no field, a field name is empty, or it holds a NUL byte or a line
// whose field name does not end within kMaxScannedLine bytes.
bool ScanHeaderBlock(std::string_view mail, size_t pos, std::vector<RawField>* fields,
                     size_t* block_end);

}  // namespace msgcodec

#endif  // MSGCODEC_RAW_SCAN_H_
