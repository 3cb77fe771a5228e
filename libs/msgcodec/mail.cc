#include "mail.h"

#include <cstring>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "limits.h"

namespace msgcodec {
namespace {

// Length of the mbox "From " lines (also munged as ">From ") that open the
// mail, each one invalid as a field, which GMime skips before a message's
// header block but refuses before a part's. The top part is parsed as a
// part, so they are stepped over here instead.
size_t MboxMarkerLines(std::string_view mail) {
  size_t pos = 0;
  while (pos < mail.size()) {
    const char* line = mail.data() + pos;
    const char* end = mail.data() + mail.size();
    bool field;
    const char* p = ScanFieldName(line, end, &field);
    if (field || p == end) break;  // a field, or a name running to the end
    std::string_view scanned(line, static_cast<size_t>(p - line));
    if (!scanned.empty() && scanned.front() == '>') scanned.remove_prefix(1);
    if (scanned.substr(0, 5) != "From ") break;
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
    pos = nl ? static_cast<size_t>(nl + 1 - mail.data()) : mail.size();
  }
  return pos;
}

// Refuses a large mail whose lines would make GMime build more objects than
// the limits allow; see limits.h for the memory this bounds.
bool Prescan(std::string_view mail, std::string* error) {
  if (mail.size() <= kPrescanBytes) return true;
  uint32_t dash_lines = 0, header_lines = 0;
  for (size_t line = 0; line < mail.size();) {
    const char* p = mail.data() + line;
    size_t left = mail.size() - line;
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', left));
    size_t length = nl ? static_cast<size_t>(nl - p) : left;
    if (length >= 2 && p[0] == '-' && p[1] == '-') {
      if (++dash_lines > kMaxDashLines) {
        *error = "too many boundary-like lines (starting with \"--\"): more than " +
                 std::to_string(kMaxDashLines);
        return false;
      }
    } else if (length > 0 && p[0] != ' ' && p[0] != '\t') {
      bool field;
      ScanFieldName(p, p + length, &field);
      if (field && ++header_lines > kMaxHeaderLikeLines) {
        *error = "too many header-like lines (\"name:\"): more than " +
                 std::to_string(kMaxHeaderLikeLines);
        return false;
      }
    }
    line += length + 1;
  }
  return true;
}

PartKind KindOf(GMimeObject* object) {
  if (GMIME_IS_MULTIPART(object)) {
    // A boundary that opened no part: GMime read all of the content into the
    // preamble, which no reader of the tree would see (see PartKind::kUnsplit).
    // Without a boundary parameter there is nothing that failed to split.
    if (g_mime_multipart_get_count(GMIME_MULTIPART(object)) == 0 &&
        g_mime_object_get_content_type_parameter(object, "boundary"))
      return PartKind::kUnsplit;
    return PartKind::kMultipart;
  }
  if (GMIME_IS_MESSAGE_PART(object)) return PartKind::kMessage;
  return PartKind::kLeaf;
}

bool IsTokenByte(char c) {
  return c > ' ' && c < 0x7f && !std::strchr("()<>@,;:\\\"/[]?=", c);
}

// Whether the top part is a single leaf whose content type and transfer
// encoding can be read off its scanned fields without GMime: at most one
// Content-Type, a plain "type/subtype" (blanks around it, parameters after a
// ";"), neither multipart nor message, and at most one
// Content-Transfer-Encoding of one word, not uuencode (its begin line is
// found by GMime's decoder). Anything else is left to GMime's parse. Such a
// part's content is everything after the header block's empty line, as GMime
// gives a top part without a boundary.
std::optional<Mail::PlainTop> ReadPlainTop(std::string_view raw,
                                           const std::vector<RawField>& fields) {
  const RawField* type = nullptr;
  const RawField* encoding = nullptr;
  for (const RawField& field : fields) {
    std::string_view name = raw.substr(field.offset, field.name_end - field.offset);
    auto is = [&name](std::string_view wanted) {
      return name.size() == wanted.size() &&
             g_ascii_strncasecmp(name.data(), wanted.data(), wanted.size()) == 0;
    };
    if (name.size() < 8 || g_ascii_strncasecmp(name.data(), "Content-", 8) != 0) continue;
    const RawField** slot = is("Content-Type")                ? &type
                            : is("Content-Transfer-Encoding") ? &encoding
                                                              : nullptr;
    if (!slot) continue;
    if (*slot) return std::nullopt;  // which of two GMime takes is its business
    *slot = &field;
  }
  // A token at p (after blanks); p is left after it.
  auto token = [&raw](size_t* p, size_t end) {
    while (*p < end && IsBlank(raw[*p])) ++*p;
    const size_t start = *p;
    while (*p < end && IsTokenByte(raw[*p])) ++*p;
    return raw.substr(start, *p - start);
  };
  // Nothing but blanks and line breaks from p to end.
  auto rest_blank = [&raw](size_t p, size_t end) {
    for (; p < end; ++p) {
      if (!IsBlank(raw[p]) && raw[p] != '\r' && raw[p] != '\n') return false;
    }
    return true;
  };
  Mail::PlainTop top;
  top.type = "text/plain";
  if (type) {
    size_t p = type->colon + 1;
    std::string_view media = token(&p, type->end);
    if (media.empty() || p >= type->end || raw[p] != '/') return std::nullopt;
    ++p;
    std::string_view sub = token(&p, type->end);
    if (sub.empty()) return std::nullopt;
    while (p < type->end && IsBlank(raw[p])) ++p;
    if (p < type->end && raw[p] != ';' && !rest_blank(p, type->end)) return std::nullopt;
    auto media_is = [&media](const char* wanted) {
      return g_ascii_strncasecmp(media.data(), wanted, media.size()) == 0 &&
             wanted[media.size()] == '\0';
    };
    if (media_is("multipart") || media_is("message")) return std::nullopt;
    top.type.assign(media).append("/").append(sub);
    for (char& c : top.type) c = g_ascii_tolower(c);
  }
  top.encoding = GMIME_CONTENT_ENCODING_DEFAULT;
  if (encoding) {
    size_t p = encoding->colon + 1;
    std::string word(token(&p, encoding->end));
    if (word.empty() || !rest_blank(p, encoding->end)) return std::nullopt;
    top.encoding = g_mime_content_encoding_from_string(word.c_str());
    if (top.encoding == GMIME_CONTENT_ENCODING_UUENCODE) return std::nullopt;
  }
  return top;
}

// One parser per thread, set to each mail's stream in turn: a GObject fewer
// per mail. It keeps a reference to the
// last mail's stream until the next mail; that stream does not own the mail's
// bytes and is not read again.
GMimeParser* ThreadParser() {
  struct Holder {
    GMimeParser* parser = g_mime_parser_new();
    ~Holder() { g_object_unref(parser); }
  };
  thread_local Holder holder;
  return holder.parser;
}

// GMime's parser gathers each header in one buffer that it grows to the
// longest header met and frees only when it is set to another stream; the
// thread's parser would keep it until the thread's next mail. After a large
// mail, where one header may be most of the mail, it is set to an empty
// stream now, which also drops its reference to the mail's stream.
void ReleaseParserBuffers(GMimeParser* parser) {
  GMimeStream* empty = g_mime_stream_mem_new();
  g_mime_parser_init_with_stream(parser, empty);
  g_object_unref(empty);
}

}  // namespace

void EnsureGMime() {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

Mail::Mail(GByteArray* bytes, std::string body_base)
    : bytes_(bytes), store_(std::move(body_base)) {}

Mail::~Mail() {
  parts_.clear();
  if (top_) g_object_unref(top_);
  if (stream_) g_object_unref(stream_);
  g_byte_array_unref(bytes_);
}

std::unique_ptr<Mail> Mail::Parse(GByteArray* bytes, std::string body_base, std::string* error) {
  EnsureGMime();
  std::unique_ptr<Mail> mail(new Mail(bytes, std::move(body_base)));
  std::string_view raw = mail->bytes();
  if (!Prescan(raw, error)) return nullptr;
  const char* first_nl = static_cast<const char*>(std::memchr(raw.data(), '\n', raw.size()));
  if (first_nl && first_nl > raw.data() && first_nl[-1] == '\r') mail->newline_ = "\r\n";

  // The top part is parsed as a part, not as a message: GMime then keeps all
  // of its fields in one list in mail order, and skips the message object with
  // its six address lists and its date and address parsing. Those are eight
  // more GObjects per mail, each taking GLib's global type and signal locks
  // when made and freed, which is most of what two breaking threads wait on.
  // The fields are read by the breaker's own header parser anyway.
  //
  // GMime's offsets stay those of the whole mail: the parser starts at the
  // stream's position and counts from there.
  size_t skip = MboxMarkerLines(raw);
  // The top part's fields are read off the raw header block, and GMime is
  // shown only the Content-* ones, which decide the tree. It starts at the
  // first of them (at the empty line when there is none), and every other
  // field after that gets a control byte as its first byte for the parse,
  // which makes GMime drop the field (with its continuation lines) as an
  // invalid one. A mail has some twenty fields at the top, each a GObject to
  // GMime with the same global locks as above. The bytes are put back right
  // after: GMime has copied what it keeps of the header block.
  size_t start = skip, block_end = 0;
  std::vector<std::pair<size_t, char>> masked;
  if (!ScanHeaderBlock(raw, skip, &mail->scanned_fields_, &block_end)) {
    mail->scanned_fields_.clear();  // what it read before it gave up
  } else if ((mail->plain_top_ = ReadPlainTop(raw, mail->scanned_fields_))) {
    // Nine mails in ten are a single part: GMime's parse would only make the
    // seven GObjects of one leaf (and free them) to say what the fields say.
    mail->headers_end_ = static_cast<int64_t>(block_end);
    mail->BuildTree();
    return mail;
  } else {
    start = block_end;
    char* bytes_out = reinterpret_cast<char*>(bytes->data);
    for (const RawField& field : mail->scanned_fields_) {
      bool content = g_ascii_strncasecmp(raw.data() + field.offset, "Content-", 8) == 0;
      if (content && start == block_end) start = field.offset;
      if (content || start == block_end) continue;
      masked.emplace_back(field.offset, bytes_out[field.offset]);
      bytes_out[field.offset] = '\x01';
    }
  }
  // The stream reads the mail's own array; GMime's content streams are views
  // of it, so no part's content is copied.
  mail->stream_ = g_mime_stream_mem_new_with_byte_array(bytes);
  g_mime_stream_mem_set_owner(GMIME_STREAM_MEM(mail->stream_), FALSE);
  g_mime_stream_seek(mail->stream_, static_cast<gint64>(start), GMIME_STREAM_SEEK_SET);
  GMimeParser* parser = ThreadParser();
  g_mime_parser_init_with_stream(parser, mail->stream_);
  // No warning callback: with one GMime validates every header as UTF-8 and
  // looks up repeated ones, a quarter of the parse time on ordinary mail. The
  // defects that matter are read off the finished tree instead.
  mail->top_ = g_mime_parser_construct_part(parser, nullptr);
  for (const auto& [offset, byte] : masked) bytes->data[offset] = static_cast<guint8>(byte);
  if (!mail->scanned_fields_.empty() &&
      (!mail->top_ || g_mime_parser_get_headers_end(parser) != static_cast<gint64>(block_end))) {
    // GMime read the block otherwise than the scan did: let it read all.
    mail->scanned_fields_.clear();
    if (mail->top_) g_object_unref(mail->top_);
    g_mime_stream_seek(mail->stream_, static_cast<gint64>(skip), GMIME_STREAM_SEEK_SET);
    g_mime_parser_init_with_stream(parser, mail->stream_);
    mail->top_ = g_mime_parser_construct_part(parser, nullptr);
  }
  if (!mail->top_ && skip > 0) {
    // Nothing but "From " lines: as a message that is a mail with no fields
    // and an empty body, where a part finds no header block at all.
    g_mime_stream_seek(mail->stream_, 0, GMIME_STREAM_SEEK_SET);
    g_mime_parser_init_with_stream(parser, mail->stream_);
    if (GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr)) {
      mail->top_ = g_mime_message_get_mime_part(message);
      if (mail->top_) g_object_ref(mail->top_);
      g_object_unref(message);
    }
  }
  mail->headers_end_ = mail->top_ ? g_mime_parser_get_headers_end(parser) : -1;
  if (raw.size() > kParserKeepBytes) ReleaseParserBuffers(parser);
  mail->BuildTree();
  return mail;
}

void Mail::BuildTree() {
  struct Node {
    GMimeObject* object;
    int32_t parent;
    int32_t depth;
    PartKind kind;
  };
  std::vector<Node> nodes;
  // A multipart without a boundary, or without its close delimiter (GMime
  // then clears write_end_boundary): ended by an enclosing multipart's
  // delimiter when one of those did close, else by the end of the input.
  auto note_defects = [this](const std::vector<Node>& all, int32_t index) {
    GMimeMultipart* multipart = GMIME_MULTIPART(all[index].object);
    if (!g_mime_object_get_content_type_parameter(all[index].object, "boundary")) {
      defects_ |= kDefectNoBoundary;
      return;
    }
    if (multipart->write_end_boundary) return;
    for (int32_t outer = all[index].parent; outer >= 0; outer = all[outer].parent) {
      if (GMIME_MULTIPART(all[outer].object)->write_end_boundary) {
        defects_ |= kDefectMalformedMultipart;
        return;
      }
    }
    defects_ |= kDefectTruncated;
  };
  GMimeObject* top = top_;
  if (plain_top_) {
    nodes.push_back({nullptr, -1, 0, PartKind::kLeaf});
  } else {
    if (!top_) defects_ |= kDefectNotAMail;
    nodes.push_back({top, -1, 0, top ? KindOf(top) : PartKind::kRawBody});
  }

  // Depth-first in document order with an explicit stack: children are
  // pushed last to first so they come off first to last.
  std::vector<Node> stack;
  auto push_children = [&](int32_t index) {
    const Node node = nodes[index];
    if (node.kind != PartKind::kMultipart && node.kind != PartKind::kUnsplit) return;
    GMimeMultipart* multipart = GMIME_MULTIPART(node.object);
    note_defects(nodes, index);
    int count = g_mime_multipart_get_count(multipart);
    if (count > 0 && node.depth >= kMaxDepth) {
      defects_ |= kDefectTooDeep;
      return;
    }
    for (int i = count - 1; i >= 0; i--) {
      GMimeObject* child = g_mime_multipart_get_part(multipart, i);
      stack.push_back({child, index, node.depth + 1, KindOf(child)});
    }
  };
  push_children(0);
  while (!stack.empty()) {
    if (nodes.size() >= kMaxParts) {
      defects_ |= kDefectTooManyParts;
      break;
    }
    nodes.push_back(stack.back());
    stack.pop_back();
    push_children(static_cast<int32_t>(nodes.size() - 1));
  }

  // The array never grows after this, so part addresses stay valid.
  parts_.reserve(nodes.size());
  for (const Node& node : nodes) {
    Part* parent = node.parent < 0 ? nullptr : &parts_[node.parent];
    parts_.emplace_back(this, parent, node.depth, node.kind, node.object);
    if (parent) parent->AddChild(&parts_.back());
  }
  // Only now can a part find its content in the raw mail (it needs its
  // parents' boundaries and its own headers).
  for (Part& part : parts_) {
    if (part.kind() != PartKind::kUnsplit) continue;
    if (part.OpensNoPart()) {
      defects_ |= kDefectBoundaryNotFound;
    } else {
      part.set_kind(PartKind::kMultipart);
    }
  }
}

Part* Mail::PartAt(const void* pointer) {
  auto address = reinterpret_cast<uintptr_t>(pointer);
  auto first = reinterpret_cast<uintptr_t>(static_cast<CAMimePart*>(parts_.data()));
  if (address < first) return nullptr;
  uintptr_t offset = address - first;
  if (offset % sizeof(Part) != 0 || offset / sizeof(Part) >= parts_.size()) return nullptr;
  return &parts_[offset / sizeof(Part)];
}

}  // namespace msgcodec
