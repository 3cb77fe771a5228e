// Every mail of the corpus through the packer, checked against GMime used
// directly: same tree, same headers, same decoded bodies; nothing left on disk
// after Close; an unchanged write gives the input back.
#include <gmime/gmime.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>

#include "packer_test_util.h"

namespace msgcodec_test {
namespace {

struct Reference {
  explicit Reference(const std::string& bytes) {
    stream = g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size());
    GMimeParser* parser = g_mime_parser_new_with_stream(stream);
    message = g_mime_parser_construct_message(parser, nullptr);
    g_object_unref(parser);
  }
  ~Reference() {
    if (message) g_object_unref(message);
    g_object_unref(stream);
  }
  GMimeStream* stream;
  GMimeMessage* message;
};

std::string Unfolded(const char* raw) {
  std::string out;
  for (const char* p = raw; *p; p++) {
    if (*p == '\n' || (*p == '\r' && (p[1] == '\n' || !p[1]))) continue;
    if (out.empty() && (*p == ' ' || *p == '\t')) continue;
    out += *p;
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> ReferenceHeaders(GMimeObject* a, GMimeObject* b) {
  std::vector<std::pair<gint64, GMimeHeader*>> all;
  for (GMimeObject* owner : {a, b}) {
    if (!owner) continue;
    GMimeHeaderList* list = g_mime_object_get_header_list(owner);
    for (int i = 0; i < g_mime_header_list_get_count(list); i++) {
      GMimeHeader* h = g_mime_header_list_get_header_at(list, i);
      all.emplace_back(g_mime_header_get_offset(h), h);
    }
  }
  std::stable_sort(all.begin(), all.end(),
                   [](const auto& x, const auto& y) { return x.first < y.first; });
  std::vector<std::pair<std::string, std::string>> headers;
  for (const auto& entry : all)
    headers.emplace_back(g_mime_header_get_name(entry.second),
                         Unfolded(g_mime_header_get_raw_value(entry.second)));
  return headers;
}

std::string Decoded(GMimePart* part) {
  GMimeDataWrapper* content = g_mime_part_get_content(part);
  if (!content) return "";
  GMimeStream* memory = g_mime_stream_mem_new();
  g_mime_data_wrapper_write_to_stream(content, memory);
  GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(memory));
  std::string out(reinterpret_cast<const char*>(bytes->data), bytes->len);
  g_object_unref(memory);
  return out;
}

std::string Serialized(GMimeObject* object) {
  char* text = g_mime_object_to_string(object, nullptr);
  std::string out = text ? text : "";
  g_free(text);
  return out;
}

struct Walk {
  std::set<std::string> body_paths;
  bool limited = false;  // a limit hid parts: child counts may be smaller
  int leaves = 0, attached_mails = 0, unsplit = 0;
};

std::string ReferenceType(GMimeObject* object) {
  GMimeContentType* type = g_mime_object_get_content_type(object);
  std::string text = std::string(g_mime_content_type_get_media_type(type)) + "/" +
                     g_mime_content_type_get_media_subtype(type);
  for (char& c : text) c = g_ascii_tolower(c);
  return text;
}

// A multipart whose boundary opens no part: GMime holds all its content as
// the preamble, where the packer shows it as a text/plain leaf.
// GMime makes no part of a close delimiter alone, of a delimiter line that
// the close delimiter follows at once, nor of one too long for its line
// buffer; the packer then shows a multipart without children, as GMime does.
bool IsUnsplit(GMimeObject* object) {
  return GMIME_IS_MULTIPART(object) && g_mime_multipart_get_count(GMIME_MULTIPART(object)) == 0 &&
         g_mime_object_get_content_type_parameter(object, "boundary");
}

void Compare(CAMimePart* ours, GMimeObject* theirs, Walk* walk) {
  if (IsUnsplit(theirs) && !ours->IsMultipart()) {
    walk->unsplit++;
    EXPECT_NE(0u, ours->GetDefects() & kDefectBoundaryNotFound);
    EXPECT_EQ("text/plain", ContentType(ours));
    ASSERT_FALSE(ours->IsMultipart());
    std::string path = BodyPath(ours);
    ASSERT_FALSE(path.empty()) << Packer()->GetLastError();
    walk->body_paths.insert(path);
    std::string body = ReadFile(path);
    if (!g_mime_object_get_header(theirs, "Content-Transfer-Encoding")) {
      EXPECT_EQ(static_cast<int64_t>(body.size()), ours->GetEncodedSize());
      // GMime keeps the preamble as a C string (up to a NUL byte) with its
      // line breaks made LF; the packer gives the bytes as they stand.
      std::string lf;
      for (size_t i = 0; i < body.size() && body[i] != '\0'; i++) {
        if (body[i] != '\r' || i + 1 >= body.size() || body[i + 1] != '\n') lf += body[i];
      }
      const char* preamble = GMIME_MULTIPART(theirs)->prologue;
      EXPECT_EQ(preamble ? preamble : "", lf);
    }
    return;
  }
  EXPECT_EQ(ReferenceType(theirs), ContentType(ours));
  if (GMIME_IS_MULTIPART(theirs)) {
    ASSERT_TRUE(ours->IsMultipart());
    std::vector<CAMimePart*> children = Children(ours);
    int count = g_mime_multipart_get_count(GMIME_MULTIPART(theirs));
    if (!walk->limited) {
      ASSERT_EQ(count, static_cast<int>(children.size()));
    }
    for (size_t i = 0; i < children.size(); i++) {
      GMimeObject* child = g_mime_multipart_get_part(GMIME_MULTIPART(theirs), static_cast<int>(i));
      EXPECT_EQ(ReferenceHeaders(child, nullptr), Headers(children[i]));
      Compare(children[i], child, walk);
    }
    return;
  }
  ASSERT_FALSE(ours->IsMultipart());
  std::string path = BodyPath(ours);
  ASSERT_FALSE(path.empty()) << Packer()->GetLastError();
  walk->body_paths.insert(path);
  std::string body = ReadFile(path);
  if (GMIME_IS_MESSAGE_PART(theirs)) {
    // The attached mail's bytes, parsed again, give the mail GMime parsed.
    walk->attached_mails++;
    GMimeMessage* attached = g_mime_message_part_get_message(GMIME_MESSAGE_PART(theirs));
    if (!attached) {  // GMime found the part empty
      EXPECT_EQ("", body);
      return;
    }
    Reference again(body);
    ASSERT_TRUE(again.message);
    EXPECT_EQ(Serialized(GMIME_OBJECT(attached)), Serialized(GMIME_OBJECT(again.message)));
  } else if (GMIME_IS_PART(theirs)) {
    walk->leaves++;
    EXPECT_EQ(Decoded(GMIME_PART(theirs)), body);
  }
}

struct Counts {
  size_t mails = 0, reproduced = 0, gmime_reproduced = 0, not_mails = 0, leaves = 0, attached = 0,
         unsplit = 0;
};

// One mail file through the packer, against GMime's own parse of its bytes.
void CheckMail(const std::string& file, Counts* counts) {
  SCOPED_TRACE(file);
  std::string bytes = ReadFile(file);
  CAMimePart* top = Packer()->Open(file.c_str());
  ASSERT_NE(nullptr, top) << Packer()->GetLastError();
  Walk walk;
  {
    OpenMail mail(top);
    counts->mails++;
    walk.limited = (mail->GetDefects() & (kDefectTooDeep | kDefectTooManyParts)) != 0;
    Reference reference(bytes);
    if (!reference.message) {
      counts->not_mails++;
      EXPECT_NE(0u, mail->GetDefects() & kDefectNotAMail);
      EXPECT_EQ(bytes, Body(mail.get()));
    } else {
      EXPECT_EQ(0u, mail->GetDefects() & kDefectNotAMail);
      GMimeObject* body = g_mime_message_get_mime_part(reference.message);
      EXPECT_EQ(ReferenceHeaders(GMIME_OBJECT(reference.message), body), Headers(mail.get()));
      if (body) Compare(mail.get(), body, &walk);
      counts->gmime_reproduced += Serialized(GMIME_OBJECT(reference.message)) == bytes;
    }
    std::string written = Written(mail.get());
    EXPECT_EQ(bytes.size(), written.size());
    counts->reproduced += written == bytes;
  }
  counts->leaves += walk.leaves;
  counts->attached += walk.attached_mails;
  counts->unsplit += walk.unsplit;
  for (const std::string& path : walk.body_paths) {
    EXPECT_TRUE(HoldsNothing(path)) << path;
    // The directory stays for later mails, with nothing of this one.
    EXPECT_TRUE(HoldsNoBodies(std::filesystem::path(path).parent_path())) << path;
  }
}

TEST(PackerCorpusTest, EveryMailMatchesGMimeAndRoundTrips) {
  std::string dir = CorpusDir();
  if (dir.empty()) GTEST_SKIP() << "mail corpus not found";
  Counts counts;
  for (const std::string& file : CorpusFiles(dir)) CheckMail(file, &counts);
  std::printf(
      "corpus: %zu mails, %zu leaves, %zu attached mails and %zu unsplit multiparts compared; "
      "%zu not parsable by GMime (read as one body); unchanged write reproduced %zu of %zu "
      "(GMime's own writer: %zu)\n",
      counts.mails, counts.leaves, counts.attached, counts.unsplit, counts.not_mails,
      counts.reproduced, counts.mails, counts.gmime_reproduced);
  EXPECT_EQ(counts.mails, counts.reproduced);
}

// Header blocks of the shapes the packer reads differently from a plain
// GMime message: mbox "From " lines (">From " once munged) that GMime steps
// over only before a message's fields, blanks before a colon, Content fields
// first, last or missing, folded fields that GMime is not shown, and blocks
// left to GMime whole.
TEST(PackerCorpusTest, HeaderBlocksOfEveryShapeMatchGMime) {
  using namespace std::string_literals;
  const std::string mails[] = {
      "From a@b.example Mon Dec  7 10:00:00 2026\nFrom: a@b.example\nSubject: s\n\nbody\n"s,
      "From x\r\n>From y\r\nSubject: s\r\nContent-Type: text/html\r\n\r\n<p>b</p>\r\n"s,
      "From x\n>>From y\nSubject: s\n\nb\n"s,  // twice munged: no marker
      "From x\nnot a field\nSubject: s\n\nb\n"s,
      "From x\n Subject: s\n\nb\n"s,
      "From :x\n\nbody\n"s,  // a field named "From"
      "From\tx\nSubject: s\n\nb\n"s,
      "From x\n\nbody\n"s,
      "From x\nFrom y\n"s,  // nothing but markers
      "From x"s,
      "Subject  :  spaced \nX-Long-Name\t: v\n folded\nContent-Type : text/plain\n\nb\n"s,
      "Content-Type: multipart/mixed; boundary=b\nSubject: s\n\tfolded\nbad line\n more\n"
      "content-transfer-encoding: 7bit\nX: 1\n\n--b\nContent-Type: text/html\n\n<b>x</b>\n--b--\n"s,
      "A: 1\nB: 2\n"s,                   // no empty line
      "A: 1\nB: 2\0x\nC: 3\n\nbody\n"s,  // a NUL
  };
  std::filesystem::path dir = std::filesystem::temp_directory_path() / "msgcodec-header-blocks";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  Counts counts;
  int index = 0;
  for (const std::string& text : mails) {
    std::string file = (dir / ("m" + std::to_string(index++) + ".eml")).string();
    std::FILE* out = std::fopen(file.c_str(), "wb");
    ASSERT_NE(nullptr, out);
    std::fwrite(text.data(), 1, text.size(), out);
    std::fclose(out);
    CheckMail(file, &counts);
  }
  std::filesystem::remove_all(dir);
  EXPECT_EQ(counts.mails, counts.reproduced);
  EXPECT_EQ(4u, counts.not_mails);
}

}  // namespace
}  // namespace msgcodec_test
