#include "raw_scan.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace msgcodec {
namespace {

// GMime's is_lwsp: what may follow a boundary on its line.
bool IsLwsp(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The line starting at `begin`, without its '\n' and a '\r' before it.
std::string_view LineAt(std::string_view mail, size_t begin) {
  const char* nl =
      static_cast<const char*>(std::memchr(mail.data() + begin, '\n', mail.size() - begin));
  size_t end = nl ? static_cast<size_t>(nl - mail.data()) : mail.size();
  if (end > begin && mail[end - 1] == '\r') end--;
  return mail.substr(begin, end - begin);
}

bool IsAnyDelimiter(std::string_view line, const std::string_view* boundaries, size_t count) {
  if (line.size() < 2 || line[0] != '-' || line[1] != '-') return false;
  for (size_t i = 0; i < count; i++) {
    if (IsDelimiterLine(line, boundaries[i], true) || IsDelimiterLine(line, boundaries[i], false))
      return true;
  }
  return false;
}

}  // namespace

size_t NextLine(std::string_view mail, size_t pos) {
  if (pos >= mail.size()) return mail.size();
  const char* nl =
      static_cast<const char*>(std::memchr(mail.data() + pos, '\n', mail.size() - pos));
  return nl ? static_cast<size_t>(nl - mail.data()) + 1 : mail.size();
}

size_t LineStart(std::string_view mail, size_t pos) {
  if (pos > mail.size()) pos = mail.size();
  while (pos > 0 && mail[pos - 1] != '\n') pos--;
  return pos;
}

size_t HeaderFieldEnd(std::string_view mail, size_t pos) {
  size_t end = NextLine(mail, pos);
  while (end < mail.size() && IsBlank(mail[end])) end = NextLine(mail, end);
  return end;
}

size_t FindHeaderField(std::string_view mail, size_t pos, size_t limit, std::string_view raw_name) {
  if (limit > mail.size()) limit = mail.size();
  for (size_t line = pos; line < limit; line = NextLine(mail, line)) {
    if (limit - line > raw_name.size() && mail.compare(line, raw_name.size(), raw_name) == 0 &&
        mail[line + raw_name.size()] == ':')
      return line;
  }
  return kNotFound;
}

size_t EmptyLineLength(std::string_view mail, size_t pos) {
  if (pos < mail.size() && mail[pos] == '\n') return 1;
  if (pos + 1 < mail.size() && mail[pos] == '\r' && mail[pos + 1] == '\n') return 2;
  return 0;
}

size_t FindEmptyLine(std::string_view mail, size_t pos) {
  for (size_t line = pos; line < mail.size(); line = NextLine(mail, line)) {
    if (EmptyLineLength(mail, line) != 0) return line;
  }
  return kNotFound;
}

bool IsDelimiterLine(std::string_view line, std::string_view boundary, bool close) {
  size_t need = boundary.size() + (close ? 4 : 2);
  if (line.size() < need || line[0] != '-' || line[1] != '-' ||
      line.compare(2, boundary.size(), boundary) != 0)
    return false;
  if (close && (line[need - 2] != '-' || line[need - 1] != '-')) return false;
  for (size_t i = need; i < line.size(); i++) {
    if (!IsLwsp(line[i])) return false;
  }
  return true;
}

size_t FindDelimiterBefore(std::string_view mail, size_t pos, size_t floor,
                           std::string_view boundary) {
  size_t line = LineStart(mail, pos);
  while (line > floor) {
    line = LineStart(mail, line - 1);
    if (line < floor) break;
    if (IsDelimiterLine(LineAt(mail, line), boundary, false)) return line;
  }
  return kNotFound;
}

size_t FindAnyDelimiter(std::string_view mail, size_t pos, const std::string_view* boundaries,
                        size_t count) {
  for (size_t line = pos; line < mail.size(); line = NextLine(mail, line)) {
    if (IsAnyDelimiter(LineAt(mail, line), boundaries, count)) return line;
  }
  return kNotFound;
}

const char* ScanFieldName(const char* line, const char* end, bool* valid) {
  bool blank = false;
  *valid = false;
  for (const char* p = line; p < end; p++) {
    if (*p == ':') {
      *valid = true;
      return p;
    }
    if (IsBlank(*p)) {
      blank = true;
    } else if (blank || static_cast<unsigned char>(*p) < 32 || *p == 127) {
      return p;
    }
  }
  return end;
}

bool ScanHeaderBlock(std::string_view mail, size_t pos, std::vector<RawField>* fields,
                     size_t* block_end) {
  fields->clear();
  bool in_field = false;  // a valid field is open, to take continuation lines
  while (pos < mail.size()) {
    const char* line = mail.data() + pos;
    size_t left = mail.size() - pos;
    const char* nl = static_cast<const char*>(std::memchr(line, '\n', left));
    if (!nl) return false;  // the block runs to the end of the mail
    size_t length = static_cast<size_t>(nl - line) + 1;
    if (std::memchr(line, '\0', length)) return false;
    if (length == 1 || (length == 2 && line[0] == '\r')) {
      if (fields->empty()) return false;
      *block_end = pos;
      return true;
    }
    if (IsBlank(line[0])) {
      if (fields->empty()) return false;
      if (in_field) fields->back().end = pos + length;
      pos += length;
      continue;
    }
    // A line longer than GMime's buffer is read in pieces; only its field
    // name must be read in one (see kMaxScannedLine).
    bool valid;
    const size_t name_span = std::min(length, kMaxScannedLine);
    size_t i = static_cast<size_t>(ScanFieldName(line, line + name_span, &valid) - line);
    if (i >= name_span && length > kMaxScannedLine) return false;
    if (!valid && fields->empty()) return false;  // GMime finds no mail here
    in_field = valid;
    if (valid) {
      size_t name_end = i;
      while (name_end > 0 && IsBlank(line[name_end - 1])) name_end--;
      if (name_end == 0) return false;
      fields->push_back({pos, pos + name_end, pos + i, pos + length});
    }
    pos += length;
  }
  return false;
}

}  // namespace msgcodec
