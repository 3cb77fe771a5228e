// libFuzzer target of the MIME packer, entered as a host enters it: open a
// mail from memory, walk every header, part and body file, write it
// unchanged (must give the input back byte for byte), then tag the subject,
// remove a part, write again and open the result. The top part's fields must
// be the ones GMime's own message parser finds, in the same order.
#include <fcntl.h>
#include <gmime/gmime.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "emlbreaker/packer.h"

extern "C" int32_t RequestInterface(int32_t kind, CAMimePacker** out);

namespace {

// Larger mails find no new paths in a header and boundary parser, only
// timeouts: structure is in lines, and 256 KiB holds thousands of them.
constexpr size_t kFuzzMaxMail = 256 << 10;

void Walk(CAMimePart* part, std::vector<char>* name, std::vector<char>* value) {
  uint32_t name_length = 0, value_length = 0;
  if (!part->GetMaxHeaderLengths(&name_length, &value_length)) abort();
  name->resize(name_length + 1);
  value->resize(value_length + 1);
  part->RewindHeaders();
  while (part->NextHeader(name->data(), value->data())) {
  }
  char type[128];
  part->GetContentType(type, sizeof type);
  part->GetEncodedSize();
  if (!part->IsMultipart()) {
    char path[kPackerMaxPath];
    part->GetBodyFile(path);
    return;
  }
  for (CAMimePart* child = nullptr; part->NextChild(&child);) Walk(child, name, value);
}

std::string ReadWhole(const char* path) {
  std::string out;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) abort();
  char buffer[65536];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) out.append(buffer, n);
  close(fd);
  return out;
}

std::string Write(CAMimePacker* packer, CAMimePart* top) {
  int fd = memfd_create("msgcodec-fuzz", MFD_CLOEXEC);
  if (fd < 0) abort();
  std::string out;
  if (packer->WriteToFd(top, fd)) {
    off_t size = lseek(fd, 0, SEEK_END);
    out.resize(static_cast<size_t>(size));
    if (pread(fd, &out[0], out.size(), 0) != size) abort();
  } else {
    out = "\n<failed>";
  }
  close(fd);
  return out;
}

using Fields = std::vector<std::pair<std::string, std::string>>;

Fields OurFields(CAMimePart* top, std::vector<char>* name, std::vector<char>* value) {
  uint32_t name_length = 0, value_length = 0;
  top->GetMaxHeaderLengths(&name_length, &value_length);
  name->resize(name_length + 1);
  value->resize(value_length + 1);
  Fields fields;
  top->RewindHeaders();
  while (top->NextHeader(name->data(), value->data()))
    fields.emplace_back(name->data(), value->data());
  return fields;
}

// What GMime's message parser makes of the top part when it is one leaf, or
// when it is a multipart whose boundary opened no part.
struct Leaf {
  bool found = false;
  std::string type;  // lower-case "type/subtype"
  std::string body;  // decoded
  // A multipart without parts: `body` is its preamble, which the packer shows
  // as a text leaf. `encoded`: it declares a transfer encoding, which the
  // packer undoes and GMime's preamble does not.
  bool unsplit = false;
  bool encoded = false;
};

// The fields GMime gives a message and its MIME part, merged in mail order,
// with values unfolded as the packer gives them; false when it finds no mail.
bool GMimeFields(const uint8_t* data, size_t size, Fields* fields, Leaf* leaf) {
  GMimeStream* stream =
      g_mime_stream_mem_new_with_buffer(reinterpret_cast<const char*>(data), size);
  GMimeParser* parser = g_mime_parser_new_with_stream(stream);
  GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
  g_object_unref(parser);
  g_object_unref(stream);
  if (!message) return false;
  std::vector<std::pair<gint64, GMimeHeader*>> all;
  for (GMimeObject* owner : {GMIME_OBJECT(message), g_mime_message_get_mime_part(message)}) {
    GMimeHeaderList* list = owner ? g_mime_object_get_header_list(owner) : nullptr;
    for (int i = 0; list && i < g_mime_header_list_get_count(list); i++) {
      GMimeHeader* header = g_mime_header_list_get_header_at(list, i);
      all.emplace_back(g_mime_header_get_offset(header), header);
    }
  }
  std::stable_sort(all.begin(), all.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& entry : all) {
    std::string unfolded;
    for (const char* p = g_mime_header_get_raw_value(entry.second); *p; p++) {
      if (*p == '\n' || (*p == '\r' && (p[1] == '\n' || !p[1]))) continue;
      if (unfolded.empty() && (*p == ' ' || *p == '\t')) continue;
      unfolded += *p;
    }
    fields->emplace_back(g_mime_header_get_name(entry.second), std::move(unfolded));
  }
  GMimeObject* body = g_mime_message_get_mime_part(message);
  if (body && GMIME_IS_PART(body)) {
    GMimeContentType* type = g_mime_object_get_content_type(body);
    leaf->found = true;
    leaf->type = std::string(g_mime_content_type_get_media_type(type)) + "/" +
                 g_mime_content_type_get_media_subtype(type);
    for (char& c : leaf->type) c = g_ascii_tolower(c);
    if (GMimeDataWrapper* content = g_mime_part_get_content(GMIME_PART(body))) {
      GMimeStream* memory = g_mime_stream_mem_new();
      g_mime_data_wrapper_write_to_stream(content, memory);
      GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(memory));
      leaf->body.assign(reinterpret_cast<const char*>(bytes->data), bytes->len);
      g_object_unref(memory);
    }
  } else if (body && GMIME_IS_MULTIPART(body) &&
             g_mime_multipart_get_count(GMIME_MULTIPART(body)) == 0 &&
             g_mime_object_get_content_type_parameter(body, "boundary")) {
    leaf->unsplit = true;
    leaf->encoded = g_mime_object_get_header(body, "Content-Transfer-Encoding") != nullptr;
    const char* preamble = GMIME_MULTIPART(body)->prologue;
    leaf->body = preamble ? preamble : "";
  }
  g_object_unref(message);
  return true;
}

// Whether an mbox "From " (or ">From ") line before the first field is longer
// than GMime's 4096-byte line buffer: GMime's message parser then loses the
// line after it too, where the packer keeps it (docs/PACKER.md), and what
// GMime makes of the rest follows from that loss.
bool HasLongMarkerLine(const uint8_t* data, size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  while (rest.substr(0, 5) == "From " || rest.substr(0, 6) == ">From ") {
    const size_t nl = rest.find('\n');
    const size_t length = nl == std::string_view::npos ? rest.size() : nl + 1;
    if (length > 4096) return true;
    rest.remove_prefix(length);
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kFuzzMaxMail) return 0;
  static CAMimePacker* packer = [] {
    CAMimePacker* p = nullptr;
    if (!RequestInterface(kPackerKindMime, &p)) abort();
    return p;
  }();
  std::vector<char> name, value;
  CAMimePart* top = packer->OpenMemory(data, size);
  if (!top) return 0;
  Walk(top, &name, &value);
  Fields theirs;
  Leaf leaf;
  // After an over-long "From " line GMime's reading is no reference: every
  // comparison with it is left out; the writing checks below still hold.
  const bool comparable = !HasLongMarkerLine(data, size);
  bool is_mail = comparable && GMimeFields(data, size, &theirs, &leaf);
  if (comparable && is_mail != !(top->GetDefects() & kDefectNotAMail)) abort();
  if (is_mail && OurFields(top, &name, &value) != theirs) abort();
  // A single-part mail is read without GMime's parse: its type and body must
  // still be GMime's.
  if (leaf.found && !(top->GetDefects() & (kDefectTooDeep | kDefectTooManyParts))) {
    // Room for GMime's type and one byte more: a longer one does not fit.
    std::vector<char> type(leaf.type.size() + 2);
    char path[kPackerMaxPath];
    if (top->IsMultipart() || !top->GetContentType(type.data(), type.size()) ||
        leaf.type != type.data())
      abort();
    if (!top->GetBodyFile(path) || ReadWhole(path) != leaf.body) abort();
  }
  // A multipart whose boundary opened no part, shown as a text leaf (unless a
  // delimiter line GMime made no part of keeps it a multipart): its body is
  // GMime's preamble, which GMime keeps as a C string with LF line breaks.
  if (leaf.unsplit && !top->IsMultipart()) {
    char type[16];
    char path[kPackerMaxPath];
    if (!top->GetContentType(type, sizeof type) || std::string(type) != "text/plain" ||
        !(top->GetDefects() & kDefectBoundaryNotFound) || !top->GetBodyFile(path))
      abort();
    if (!leaf.encoded) {
      std::string body = ReadWhole(path), lf;
      for (size_t i = 0; i < body.size() && body[i] != '\0'; i++) {
        if (body[i] != '\r' || i + 1 >= body.size() || body[i + 1] != '\n') lf += body[i];
      }
      if (lf != leaf.body) abort();
    }
  }
  if (Write(packer, top) != std::string(reinterpret_cast<const char*>(data), size)) abort();

  top->SetHeader("SUBJECT", "[spam] fuzz\nline", kSetHeaderReplace);
  top->SetHeader("X-ORVANE-SPAM", "yes", kSetHeaderReplace);
  CAMimePart* child = nullptr;
  if (top->NextChild(&child)) {
    child->SetHeader("X-Part", "1", kSetHeaderReplace);
    CAMimePart* second = child;
    if (top->NextChild(&second)) second->Remove(nullptr);
  }
  std::string changed = Write(packer, top);
  packer->Close(top, 0, 0, 0);
  if (changed != "\n<failed>") {
    CAMimePart* again = packer->OpenMemory(changed.data(), changed.size());
    if (!again) abort();  // what we write must open again
    Walk(again, &name, &value);
    packer->Close(again, 0, 0, 0);
  }
  return 0;
}
