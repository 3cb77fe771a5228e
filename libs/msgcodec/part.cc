#include "part.h"

#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "body_store.h"
#include "last_error.h"
#include "limits.h"
#include "mail.h"
#include "raw_scan.h"

namespace msgcodec {
namespace {

// The content from `start` to the first delimiter line of any of
// `boundaries`, whose line break before it belongs to the delimiter, or to
// the end of the mail, as GMime ends a part. Returns the delimiter's offset,
// kNotFound when the content runs to the end.
size_t ContentUpTo(std::string_view mail, size_t start,
                   const std::vector<std::string_view>& boundaries, size_t* begin, size_t* end) {
  const size_t delimiter =
      start >= mail.size() ? kNotFound
                           : FindAnyDelimiter(mail, start, boundaries.data(), boundaries.size());
  size_t stop = mail.size();
  if (delimiter != kNotFound) {
    stop = delimiter;
    if (stop > start && mail[stop - 1] == '\n') stop--;
    if (stop > start && mail[stop - 1] == '\r') stop--;
  }
  *begin = std::min(start, mail.size());
  *end = std::max(*begin, stop);
  return delimiter;
}

// Copies `raw` (a value as GMime keeps it: everything after the colon, line
// breaks included) to `out` unfolded and terminated: line breaks dropped, then
// leading blanks.
size_t UnfoldValue(std::string_view raw, char* out) {
  const char* p = raw.data();
  const char* const end = p + raw.size();
  auto dropped = [end](const char* at) {
    return *at == '\n' || (*at == '\r' && (at + 1 == end || at[1] == '\n'));
  };
  while (p < end && (dropped(p) || IsBlank(*p))) p++;
  size_t n = 0;
  for (; p < end; p++) {
#if defined(__SSE2__)
    // Sixteen bytes at a time while none of them is CR or LF: a byte is at
    // most CR exactly when its unsigned minimum with CR is itself.
    const __m128i cr = _mm_set1_epi8('\r');
    while (end - p >= 16) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(block, cr), block)) != 0) break;
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + n), block);
      n += 16;
      p += 16;
    }
    if (p == end) break;
#endif
    // Every byte above CR is text; only the few below need a look.
    if (static_cast<unsigned char>(*p) > '\r' || !dropped(p)) out[n++] = *p;
  }
  out[n] = '\0';
  return n;
}

// A view of a C string GMime holds; empty for null.
std::string_view CText(const char* text) {
  return text ? std::string_view(text) : std::string_view();
}

// The text an added or replaced value is written as: the given value without
// trailing line breaks, each inner line break turned into '\n' followed by a
// blank unless one follows already, so the value stays one header.
std::string ToHeaderText(const char* value) {
  std::string text;
  size_t length = std::strlen(value);
  while (length > 0 && (value[length - 1] == '\r' || value[length - 1] == '\n')) length--;
  text.reserve(length + 8);
  for (size_t i = 0; i < length; i++) {
    char c = value[i];
    if (c != '\r' && c != '\n') {
      text += c;
      continue;
    }
    if (c == '\r' && i + 1 < length && value[i + 1] == '\n') i++;
    text += '\n';
    if (i + 1 >= length || !IsBlank(value[i + 1])) text += ' ';
  }
  return text;
}

bool IsValidName(const char* name) {
  if (!name || !*name) return false;
  for (const char* p = name; *p; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 33 || c > 126 || c == ':') return false;
  }
  return true;
}

// "X-ORVANE-SPAM" -> "X-Orvane-Spam"; a name with any lower-case letter is
// kept as given. Hosts often hold names upper-cased as map keys.
std::string SpellNewName(const char* name) {
  std::string spelled(name);
  if (std::any_of(spelled.begin(), spelled.end(), [](char c) { return c >= 'a' && c <= 'z'; }))
    return spelled;
  bool word_start = true;
  for (char& c : spelled) {
    if (!word_start && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    word_start = (c == '-');
  }
  return spelled;
}

bool WriteAll(int fd, const char* data, size_t size, std::string* error) {
  if (WriteFully(fd, data, size)) return true;
  *error = std::string("cannot write a body file: ") + std::strerror(errno);
  return false;
}

// Decodes [data, data + size) chunk by chunk with GMime's own decoder, the
// one its data wrappers use, and writes the result to `fd`.
bool DecodeTo(int fd, const char* data, size_t size, GMimeContentEncoding encoding,
              std::string* error) {
  thread_local std::vector<char> out;
  GMimeEncoding state;
  g_mime_encoding_init_decode(&state, encoding);
  for (size_t done = 0; done < size;) {
    size_t chunk = std::min(kDecodeChunk, size - done);
    out.resize(g_mime_encoding_outlen(&state, chunk) + 16);
    size_t n = g_mime_encoding_step(&state, data + done, chunk, out.data());
    if (!WriteAll(fd, out.data(), n, error)) return false;
    done += chunk;
  }
  out.resize(g_mime_encoding_outlen(&state, 0) + 16);
  size_t n = g_mime_encoding_flush(&state, nullptr, 0, out.data());
  return WriteAll(fd, out.data(), n, error);
}

// GMime's data wrapper decoding, for what DecodeTo does not cover (uuencode
// with its begin and end lines, content that is not a view of the mail).
bool DecodeWithWrapper(int fd, GMimeDataWrapper* content, std::string* error) {
  GMimeStream* memory = g_mime_stream_mem_new();
  bool ok = g_mime_data_wrapper_write_to_stream(content, memory) >= 0;
  GByteArray* decoded = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(memory));
  if (ok) {
    ok = WriteAll(fd, reinterpret_cast<const char*>(decoded->data), decoded->len, error);
  } else {
    *error = "GMime could not decode the part";
  }
  g_object_unref(memory);
  return ok;
}

// DecodeWithWrapper over [begin, end) of the mail's bytes, read in place.
bool DecodeRangeWithWrapper(int fd, GByteArray* bytes, size_t begin, size_t end,
                            GMimeContentEncoding encoding, std::string* error) {
  GMimeStream* whole = g_mime_stream_mem_new_with_byte_array(bytes);
  g_mime_stream_mem_set_owner(GMIME_STREAM_MEM(whole), FALSE);
  GMimeStream* range =
      g_mime_stream_substream(whole, static_cast<gint64>(begin), static_cast<gint64>(end));
  GMimeDataWrapper* content = g_mime_data_wrapper_new_with_stream(range, encoding);
  bool ok = DecodeWithWrapper(fd, content, error);
  g_object_unref(content);
  g_object_unref(range);
  g_object_unref(whole);
  return ok;
}

// The transfer encoding an unsplit multipart's header declares, when it is
// one a leaf would have undone (base64, quoted-printable, uuencode); any
// other is left as it stands, as for 7bit, 8bit and binary.
GMimeContentEncoding DeclaredLeafEncoding(GMimeObject* object) {
  const char* value = g_mime_object_get_header(object, "Content-Transfer-Encoding");
  if (!value) return GMIME_CONTENT_ENCODING_DEFAULT;
  std::string word(value);
  word.erase(0, std::min(word.size(), word.find_first_not_of(" \t\r\n")));
  word.erase(std::min(word.size(), word.find_last_not_of(" \t\r\n") + 1));
  GMimeContentEncoding encoding = g_mime_content_encoding_from_string(word.c_str());
  switch (encoding) {
    case GMIME_CONTENT_ENCODING_BASE64:
    case GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE:
    case GMIME_CONTENT_ENCODING_UUENCODE:
      return encoding;
    default:
      return GMIME_CONTENT_ENCODING_DEFAULT;
  }
}

}  // namespace

size_t HeaderOffset(std::string_view mail, const Field& field) {
  if (field.offset < 0 || static_cast<uint64_t>(field.offset) >= mail.size()) return kNotFound;
  return FindHeaderField(mail, static_cast<size_t>(field.offset), mail.size(), field.raw_name);
}

Part::Part(Mail* mail, Part* parent, int32_t depth, PartKind kind, GMimeObject* object)
    : mail_(mail), parent_(parent), depth_(depth), kind_(kind), object_(object) {}

void Part::AddChild(Part* child) {
  child->sibling_index_ = static_cast<uint32_t>(children_.size());
  children_.push_back(child);
}

std::string_view Part::MailBytes() const { return mail_->bytes(); }

std::string_view Part::boundary() const {
  if (kind_ != PartKind::kMultipart) return {};
  // Not g_mime_multipart_get_boundary: it makes one up (and rewrites the
  // Content-Type header) when the part has none.
  const char* b = g_mime_object_get_content_type_parameter(object_, "boundary");
  return b ? std::string_view(b) : std::string_view();
}

void Part::BuildHeaders() {
  headers_built_ = true;
  if (!parent_ && mail_->scanned_fields()) {
    // The top part's fields were read off the raw header block; GMime was
    // shown only the ones it needs (see Mail::Parse). They are views of the
    // mail's bytes.
    std::string_view raw = MailBytes();
    const std::vector<RawField>& fields = *mail_->scanned_fields();
    headers_.reserve(fields.size());
    for (const RawField& f : fields) {
      headers_.push_back({raw.substr(f.offset, f.name_end - f.offset),
                          raw.substr(f.offset, f.colon - f.offset),
                          raw.substr(f.colon + 1, f.end - (f.colon + 1)),
                          static_cast<int64_t>(f.offset)});
    }
    return;
  }
  GMimeHeaderList* list = object_ ? g_mime_object_get_header_list(object_) : nullptr;
  int count = list ? g_mime_header_list_get_count(list) : 0;
  headers_.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; i++) {
    GMimeHeader* header = g_mime_header_list_get_header_at(list, i);
    headers_.push_back(
        {CText(g_mime_header_get_name(header)), CText(g_mime_header_get_raw_name(header)),
         CText(g_mime_header_get_raw_value(header)), g_mime_header_get_offset(header)});
  }
}

const std::vector<Field>& Part::headers() {
  if (!headers_built_) BuildHeaders();
  return headers_;
}

int32_t Part::GetDepth() { return depth_; }

CAMimePart* Part::GetParent() { return parent_; }

int32_t Part::GetContentType(char* buffer, uint32_t size) {
  return Guard<int32_t>("GetContentType", 0, [&]() -> int32_t {
    if (!buffer || size == 0) return Fail("GetContentType: no buffer");
    std::string type = "text/plain";
    if (kind_ == PartKind::kUnsplit) {
      // Shown as the text its content is; its Content-Type still says multipart.
    } else if (const Mail::PlainTop* plain = parent_ ? nullptr : mail_->plain_top()) {
      type = plain->type;
    } else if (object_) {
      GMimeContentType* content_type = g_mime_object_get_content_type(object_);
      const char* media = content_type ? g_mime_content_type_get_media_type(content_type) : nullptr;
      const char* sub =
          content_type ? g_mime_content_type_get_media_subtype(content_type) : nullptr;
      if (media && sub) type = std::string(media) + "/" + sub;
    }
    if (type.size() >= size) return Fail("GetContentType: buffer too small");
    for (char& c : type) c = static_cast<char>(g_ascii_tolower(c));
    std::memcpy(buffer, type.c_str(), type.size() + 1);
    return static_cast<int32_t>(type.size());
  });
}

int64_t Part::GetEncodedSize() {
  return Guard<int64_t>("GetEncodedSize", -1, [&]() -> int64_t {
    size_t begin, end;
    GMimeContentEncoding encoding;
    if (kind_ == PartKind::kMultipart) return 0;
    if (!ContentRange(&begin, &end, &encoding)) {
      // GMime gives no content to a part whose header block ran into a boundary.
      bool empty = kind_ == PartKind::kLeaf && GMIME_IS_PART(object_) &&
                   !g_mime_part_get_content(GMIME_PART(object_));
      return empty ? 0 : -1;
    }
    return static_cast<int64_t>(end - begin);
  });
}

int32_t Part::IsRemoved() {
  for (Part* p = this; p; p = p->parent_) {
    if (p->removed_) return 1;
  }
  return 0;
}

int32_t Part::Remove(const void*) {
  return Guard<int32_t>("Remove", 0, [&]() -> int32_t {
    if (!parent_) return Fail("Remove: the top part cannot be removed");
    if (!removed_) {
      removed_ = true;
      mail_->MarkModified();
    }
    return 1;
  });
}

int32_t Part::RewindHeaders() {
  header_cursor_ = 0;
  return 1;
}

int32_t Part::NextHeader(char* name, char* value) {
  return Guard<int32_t>("NextHeader", 0, [&]() -> int32_t {
    if (!name || !value) return Fail("NextHeader: null buffer");
    const std::vector<Field>& list = headers();
    if (header_cursor_ < list.size()) {
      size_t index = header_cursor_++;
      const Field& field = list[index];
      std::memcpy(name, field.name.data(), field.name.size());
      name[field.name.size()] = '\0';
      std::string_view raw = field.raw_value;
      for (const HeaderEdit& edit : edits_) {
        if (edit.index == static_cast<int32_t>(index)) raw = edit.text;
      }
      UnfoldValue(raw, value);
      return 1;
    }
    size_t added = header_cursor_ - list.size();
    for (const HeaderEdit& edit : edits_) {
      if (edit.index >= 0) continue;
      if (added-- == 0) {
        header_cursor_++;
        std::memcpy(name, edit.name.c_str(), edit.name.size() + 1);
        UnfoldValue(edit.text, value);
        return 1;
      }
    }
    return 0;
  });
}

int32_t Part::GetMaxHeaderLengths(uint32_t* name_length, uint32_t* value_length) {
  return Guard<int32_t>("GetMaxHeaderLengths", 0, [&]() -> int32_t {
    if (!name_length || !value_length) return Fail("GetMaxHeaderLengths: null output");
    size_t longest_name = 0, longest_value = 0;
    for (const Field& field : headers()) {
      longest_name = std::max(longest_name, field.name.size());
      longest_value = std::max(longest_value, field.raw_value.size());
    }
    for (const HeaderEdit& edit : edits_) {
      longest_name = std::max(longest_name, edit.name.size());
      longest_value = std::max(longest_value, edit.text.size());
    }
    *name_length = static_cast<uint32_t>(longest_name);
    *value_length = static_cast<uint32_t>(longest_value);
    return 1;
  });
}

int32_t Part::SetHeader(const char* name, const char* value, int32_t mode) {
  return Guard<int32_t>("SetHeader", 0, [&]() -> int32_t {
    if (!IsValidName(name)) return Fail("SetHeader: invalid header name");
    if (!value) return Fail("SetHeader: null value");
    if (mode != kSetHeaderAppend && mode != kSetHeaderReplace) return Fail("SetHeader: bad mode");
    std::string text = ToHeaderText(value);
    mail_->MarkModified();
    if (mode == kSetHeaderReplace) {
      const std::vector<Field>& list = headers();
      for (size_t i = 0; i < list.size(); i++) {
        const std::string_view listed = list[i].name;
        if (listed.size() != std::strlen(name) ||
            g_ascii_strncasecmp(listed.data(), name, listed.size()) != 0)
          continue;
        for (HeaderEdit& edit : edits_) {
          if (edit.index == static_cast<int32_t>(i)) {
            edit.text = std::move(text);
            return 1;
          }
        }
        edits_.push_back({static_cast<int32_t>(i), std::string(), std::move(text)});
        return 1;
      }
      for (HeaderEdit& edit : edits_) {
        if (edit.index < 0 && g_ascii_strcasecmp(edit.name.c_str(), name) == 0) {
          edit.text = std::move(text);
          return 1;
        }
      }
    }
    edits_.push_back({-1, SpellNewName(name), std::move(text)});
    return 1;
  });
}

int32_t Part::IsMultipart() { return kind_ == PartKind::kMultipart ? 1 : 0; }

int32_t Part::NextChild(CAMimePart** child) {
  return Guard<int32_t>("NextChild", 0, [&]() -> int32_t {
    if (!child) return Fail("NextChild: null pointer");
    size_t next = 0;
    if (*child) {
      Part* previous = mail_->PartAt(*child);
      if (!previous || previous->parent_ != this) {
        *child = nullptr;
        return Fail("NextChild: not a child of this part");
      }
      next = previous->sibling_index_ + 1;
    }
    for (; next < children_.size(); next++) {
      if (!children_[next]->removed_) {
        *child = children_[next];
        return 1;
      }
    }
    *child = nullptr;
    return 0;
  });
}

int32_t Part::GetChildCount() {
  return static_cast<int32_t>(std::count_if(children_.begin(), children_.end(),
                                            [](const Part* p) { return !p->removed_; }));
}

uint32_t Part::GetDefects() { return mail_->defects(); }

bool Part::MessageRange(size_t* begin, size_t* end) {
  std::string_view mail = MailBytes();
  size_t start;
  if (!parent_) {
    // An attached mail as the whole mail: it follows the header block.
    if (mail_->headers_end() < 0) return false;
    start = static_cast<size_t>(mail_->headers_end());
    start += EmptyLineLength(mail, start);
  } else if (!headers().empty()) {
    size_t first = HeaderOffset(mail, headers().front());
    if (first == kNotFound) return false;
    size_t empty = FindEmptyLine(mail, first);
    start = empty == kNotFound ? mail.size() : empty + EmptyLineLength(mail, empty);
  } else {
    // No headers of its own (a digest entry): the attached mail starts after
    // the empty line that follows the delimiter line.
    GMimeMessage* attached = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object_));
    GMimeHeaderList* list =
        attached ? g_mime_object_get_header_list(GMIME_OBJECT(attached)) : nullptr;
    if (!list || g_mime_header_list_get_count(list) == 0) return false;
    GMimeHeader* header = g_mime_header_list_get_header_at(list, 0);
    size_t anchor =
        HeaderOffset(mail, {CText(g_mime_header_get_name(header)),
                            CText(g_mime_header_get_raw_name(header)), {},
                            g_mime_header_get_offset(header)});
    if (anchor == kNotFound) return false;
    size_t delimiter = FindDelimiterBefore(mail, anchor, 0, parent_->boundary());
    if (delimiter == kNotFound) return false;
    start = NextLine(mail, delimiter);
    start += EmptyLineLength(mail, start);
  }
  // It ends where GMime ended it: at the first delimiter of any enclosing
  // multipart, whose line break before it belongs to the delimiter.
  std::vector<std::string_view> boundaries;
  for (Part* p = parent_; p; p = p->parent_) {
    if (!p->boundary().empty()) boundaries.push_back(p->boundary());
  }
  ContentUpTo(mail, start, boundaries, begin, end);
  return true;
}

bool Part::OpensNoPart() {
  size_t begin, end;
  bool opened = false;
  return UnsplitRange(&begin, &end, &opened) && !opened;
}

bool Part::UnsplitRange(size_t* begin, size_t* end, bool* opened) {
  std::string_view mail = MailBytes();
  // Its own boundary first, to tell a delimiter line of it that GMime made
  // no part of; then every boundary open around it, as for any part.
  std::vector<std::string_view> boundaries;
  const char* own = g_mime_object_get_content_type_parameter(object_, "boundary");
  boundaries.push_back(own ? own : "");
  for (Part* p = parent_; p; p = p->parent_) {
    if (!p->boundary().empty()) boundaries.push_back(p->boundary());
  }
  size_t start;
  if (!parent_) {
    if (mail_->headers_end() < 0) {
      // The header block runs to the end of the mail: no content at all.
      *begin = *end = mail.size();
      return true;
    }
    size_t unused;
    AfterTopHeaderBlock(&start, &unused);
  } else {
    if (headers().empty()) return false;
    size_t first = HeaderOffset(mail, headers().front());
    if (first == kNotFound) return false;
    // Its header block ends at the empty line, unless an enclosing
    // delimiter comes first: then GMime gave it no content at all.
    size_t cut = FindAnyDelimiter(mail, first, boundaries.data() + 1, boundaries.size() - 1);
    size_t empty = FindEmptyLine(mail, first);
    if (empty == kNotFound || (cut != kNotFound && cut < empty)) {
      *begin = *end = cut == kNotFound ? mail.size() : cut;
      return true;
    }
    start = empty + EmptyLineLength(mail, empty);
  }
  const size_t delimiter = ContentUpTo(mail, start, boundaries, begin, end);
  if (opened && delimiter != kNotFound) {
    std::string_view line = mail.substr(delimiter, NextLine(mail, delimiter) - delimiter);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    // A close delimiter alone ends an empty multipart: one all the same.
    *opened = IsDelimiterLine(line, boundaries[0], false) ||
              IsDelimiterLine(line, boundaries[0], true);
  }
  return true;
}

void Part::AfterTopHeaderBlock(size_t* begin, size_t* end) const {
  std::string_view mail = MailBytes();
  size_t start = 0;
  if (mail_->headers_end() >= 0) {
    start = static_cast<size_t>(mail_->headers_end());
    start += EmptyLineLength(mail, start);
  }
  *begin = std::min(start, mail.size());
  *end = mail.size();
}

bool Part::ContentRange(size_t* begin, size_t* end, GMimeContentEncoding* encoding) {
  std::string_view mail = MailBytes();
  *encoding = GMIME_CONTENT_ENCODING_DEFAULT;
  switch (kind_) {
    case PartKind::kMultipart:
      return false;
    case PartKind::kRawBody:
      AfterTopHeaderBlock(begin, end);
      return true;
    case PartKind::kMessage:
      return MessageRange(begin, end);
    case PartKind::kUnsplit:
      *encoding = DeclaredLeafEncoding(object_);
      return UnsplitRange(begin, end);
    case PartKind::kLeaf:
      break;
  }
  if (const Mail::PlainTop* plain = parent_ ? nullptr : mail_->plain_top()) {
    AfterTopHeaderBlock(begin, end);  // as GMime gives a part without a boundary
    *encoding = plain->encoding;
    return true;
  }
  if (!GMIME_IS_PART(object_)) return false;
  GMimeDataWrapper* content = g_mime_part_get_content(GMIME_PART(object_));
  if (!content) return false;
  GMimeStream* stream = g_mime_data_wrapper_get_stream(content);
  if (!stream || !GMIME_IS_STREAM_MEM(stream) ||
      GMIME_STREAM_MEM(stream)->buffer != mail_->byte_array())
    return false;
  gint64 start = stream->bound_start, stop = stream->bound_end;
  if (stop < 0) stop = static_cast<gint64>(mail.size());
  if (start < 0 || start > stop || static_cast<uint64_t>(stop) > mail.size()) return false;
  *begin = static_cast<size_t>(start);
  *end = static_cast<size_t>(stop);
  *encoding = g_mime_data_wrapper_get_encoding(content);
  return true;
}

bool Part::WriteBody(int fd, std::string* error) {
  size_t begin, end;
  GMimeContentEncoding encoding;
  if (ContentRange(&begin, &end, &encoding)) {
    const char* data = MailBytes().data() + begin;
    switch (encoding) {
      case GMIME_CONTENT_ENCODING_BASE64:
      case GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE:
        return DecodeTo(fd, data, end - begin, encoding, error);
      case GMIME_CONTENT_ENCODING_UUENCODE:
        // Needs its begin line found: GMime's wrapper does that.
        if (kind_ == PartKind::kUnsplit)
          return DecodeRangeWithWrapper(fd, mail_->byte_array(), begin, end, encoding, error);
        break;
      default:
        return WriteAll(fd, data, end - begin, error);
    }
  }
  if (kind_ != PartKind::kLeaf || !GMIME_IS_PART(object_)) {
    *error = "the part's content cannot be located";
    return false;
  }
  // GMime gives no content to a part whose header block ran into a boundary.
  GMimeDataWrapper* content = g_mime_part_get_content(GMIME_PART(object_));
  return !content || DecodeWithWrapper(fd, content, error);
}

int32_t Part::GetBodyFile(char* path) {
  return Guard<int32_t>("GetBodyFile", 0, [&]() -> int32_t {
    if (!path) return Fail("GetBodyFile: null buffer");
    if (kind_ == PartKind::kMultipart) return Fail("GetBodyFile: a multipart has no body");
    if (body_path_.empty()) {
      std::string error, file_path;
      BodyStore& store = mail_->store();
      int fd = store.Open(mail_->IndexOf(this), &file_path, &error);
      if (fd < 0) return Fail("GetBodyFile: " + error);
      bool ok = WriteBody(fd, &error);
      if (!store.Done(fd, &error)) ok = false;
      if (!ok) return Fail("GetBodyFile: " + error);
      body_path_ = std::move(file_path);
    }
    if (body_path_.size() >= kPackerMaxPath) return Fail("GetBodyFile: path too long");
    std::memcpy(path, body_path_.c_str(), body_path_.size() + 1);
    return 1;
  });
}

}  // namespace msgcodec
