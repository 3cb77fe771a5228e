// Hostile and broken input: every mail either opens with a bounded tree or is
// refused with a reason; nothing crashes, and an unchanged write still gives
// the input back.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "limits.h"
#include "packer_test_util.h"

namespace msgcodec_test {
namespace {

std::string Repeat(const std::string& text, size_t times) {
  std::string out;
  out.reserve(text.size() * times);
  for (size_t i = 0; i < times; i++) out += text;
  return out;
}

std::string Nested(int levels) {
  std::string head, tail;
  for (int i = 0; i < levels; i++) {
    std::string b = "b" + std::to_string(i);
    head += "Content-Type: multipart/mixed; boundary=" + b + "\n\n--" + b + "\n";
    tail = "\n--" + b + "--\n" + tail;
  }
  return head + "Content-Type: text/plain\n\nleaf" + tail;
}

// Depth of the deepest part reached through NextChild.
int Deepest(CAMimePart* part) {
  int deepest = part->GetDepth();
  for (CAMimePart* child : Children(part)) deepest = std::max(deepest, Deepest(child));
  return deepest;
}

TEST(PackerHostileTest, BrokenMailsOpenBounded) {
  const std::string kMixed = "Content-Type: multipart/mixed; boundary=b\n\n";
  const struct {
    const char* what;
    std::string mail;
    const char* tree;  // Dump() of the top part
    const char* body;  // body of the first leaf, null: not checked
    uint32_t defects;  // bits that must be set
  } kCases[] = {
      {"empty input", "", "text/plain", "", kDefectNotAMail},
      {"only a line break", "\n", "text/plain", "", 0},
      {"no line end at all", "Subject: x", "text/plain", "", 0},
      {"first line is not a header", "garbage line\nSubject: x\n\nbody", "text/plain",
       "garbage line\nSubject: x\n\nbody", kDefectNotAMail},
      {"NUL bytes in header and body", std::string("Subject: a\0b\n\nx\0y", 17), "text/plain",
       nullptr, 0},
      {"broken base64: junk skipped", "Content-Transfer-Encoding: base64\n\nQUJD@@@RE\nVG!!",
       "text/plain", "ABCDEF", 0},
      {"truncated base64: partial quantum dropped", "Content-Transfer-Encoding: base64\n\nQUJDRA",
       "text/plain", "ABC", 0},
      {"soft line breaks and bad escapes in QP",
       "Content-Transfer-Encoding: quoted-printable\n\na=\nb=3Dc=ZZ", "text/plain", "ab=c=ZZ", 0},
      {"uuencode", "Content-Transfer-Encoding: x-uuencode\n\nbegin 644 f\n#86)C\n`\nend\n",
       "text/plain", "abc", 0},
      {"missing close delimiter", kMixed + "--b\n\nx", "multipart/mixed(text/plain)", "x",
       kDefectTruncated},
      {"no delimiter at all", kMixed + "just text\n", "text/plain", "just text\n",
       kDefectBoundaryNotFound},
      {"multipart without boundary", "Content-Type: multipart/mixed\n\n--b\n\nx\n",
       "multipart/mixed()", nullptr, kDefectNoBoundary},
      {"headers ended by a boundary", kMixed + "--b\nContent-Type: text/html\n--b--\n",
       "multipart/mixed(text/html)", "", 0},
      {"bare CR line ends", "Subject: x\r\rbody\r", "text/plain", nullptr, 0},
      {"attached mail that is empty", kMixed + "--b\nContent-Type: message/rfc822\n\n--b--\n",
       "multipart/mixed(message/rfc822)", "", 0},
      {"attached mail is a leaf with its bytes",
       kMixed + "--b\nContent-Type: message/rfc822\n\nSubject: in\n\nhi\n--b--\n",
       "multipart/mixed(message/rfc822)", "Subject: in\n\nhi", 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    OpenMail mail(c.mail);
    ASSERT_TRUE(mail) << Packer()->GetLastError();
    EXPECT_EQ(c.tree, Dump(mail.get()));
    EXPECT_EQ(c.defects, mail->GetDefects() & c.defects);
    if (c.body) {
      CAMimePart* leaf = mail.get();
      while (leaf->IsMultipart()) leaf = Children(leaf).at(0);
      EXPECT_EQ(c.body, Body(leaf));
      EXPECT_LE(0, leaf->GetEncodedSize());
    }
    Headers(mail.get());
    EXPECT_EQ(c.mail, Written(mail.get()));
  }
}

TEST(PackerHostileTest, LimitsHideOrRefuse) {
  const struct {
    const char* what;
    std::string mail;
    bool opens;
    uint32_t defects;
    int children;        // of the top part, -1: not checked
    int deepest;         // -1: not checked
    const char* reason;  // GetLastError of a refused mail
  } kCases[] = {
      {"5000 parts", "Content-Type: multipart/mixed; boundary=b\n\n" + Repeat("--b\n\nx\n", 5000),
       true, 0, 5000, 1, nullptr},
      {"parts past the part limit",
       "Content-Type: multipart/mixed; boundary=b\n\n" + Repeat("--b\n\nx\n", msgcodec::kMaxParts),
       true, kDefectTooManyParts, static_cast<int>(msgcodec::kMaxParts) - 1, 1, nullptr},
      {"nesting at the depth limit", Nested(msgcodec::kMaxDepth), true, 0, 1, msgcodec::kMaxDepth,
       nullptr},
      {"nesting past the depth limit", Nested(msgcodec::kMaxDepth + 1), true, kDefectTooDeep, 1,
       msgcodec::kMaxDepth, nullptr},
      {"nesting past GMime's own limit", Nested(1500), true, kDefectTooDeep, 1,
       msgcodec::kMaxDepth, nullptr},
      {"attached mails nested 2000 deep",
       Repeat("Content-Type: message/rfc822\n\n", 2000) + "Subject: end\n\nx", true, 0, 0, 0,
       nullptr},
      {"a 1 MB header line", "Subject: " + std::string(1 << 20, 'a') + "\n\nbody", true, 0, 0, 0,
       nullptr},
      {"200000 short headers", Repeat("a:b\n", 200000) + "\nbody", false, 0, -1, -1,
       "too many header-like lines (\"name:\"): more than 50000"},
      {"30000 dash lines in a large mail",
       "Subject: x\n\n" + Repeat("--x\n" + std::string(30, 'y') + "\n", 30000), false, 0, -1, -1,
       "too many boundary-like lines (starting with \"--\"): more than 20000"},
      {"large mail of body text",
       "Subject: x\n\n" +
           Repeat("-- plain text, no structure\n" + std::string(70, 'z') + "\n", 15000),
       true, 0, 0, 0, nullptr},
      {"over the size limit", std::string(msgcodec::kMaxMailBytes + 1, 'a'), false, 0, -1, -1,
       "too large: 67108865 bytes, the limit is 64 MiB"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    OpenMail mail(c.mail);
    ASSERT_EQ(c.opens, static_cast<bool>(mail)) << Packer()->GetLastError();
    if (!mail) {
      EXPECT_STREQ(c.reason, Packer()->GetLastError());
      continue;
    }
    EXPECT_EQ(c.defects, mail->GetDefects() & c.defects);
    if (c.children >= 0) {
      EXPECT_EQ(c.children, mail->GetChildCount());
    }
    if (c.deepest >= 0) {
      EXPECT_EQ(c.deepest, Deepest(mail.get()));
    }
    for (const auto& header : Headers(mail.get())) EXPECT_FALSE(header.first.empty());
    EXPECT_EQ(c.mail.size(), Written(mail.get()).size());
  }
}

// A multipart whose declared boundary never opens a part hides its text from
// a reader of the tree unless the packer shows it: it must come out as a text
// leaf of the content as it stands, decoded when its header says so, and the
// mail must still be written back and edited around it.
TEST(PackerHostileTest, BoundaryThatOpensNoPartShowsItsContent) {
  const std::string kAlt = "Content-Type: multipart/alternative; boundary=\"h\"\r\n";
  const std::string kOuter = "Subject: s\nContent-Type: multipart/mixed; boundary=o\n\n";
  const struct {
    const char* what;
    std::string mail;
    const char* tree;
    std::vector<int> path;  // children to follow to the unsplit part
    const char* body;
    int64_t encoded;  // GetEncodedSize
  } kCases[] = {
      {"top part, CRLF", kAlt + "\r\nBuy cheap pills\r\nnow\r\n", "text/plain", {},
       "Buy cheap pills\r\nnow\r\n", 22},
      {"a near miss is no delimiter, blanks after one are",
       kAlt + "\r\n--H\r\n--hh\r\nhidden\r\n--h \t\r\n\r\nshown\r\n",
       "multipart/alternative(text/plain)", {0}, "shown\r\n", -1},
      {"a delimiter the close follows at once is still one",
       kAlt + "\r\npreamble\r\n--h\r\n--h--\r\n", "multipart/alternative()", {}, "<no body>", -1},
      {"a close delimiter alone is still one", kAlt + "\r\npreamble\r\n--h--\r\nepilogue\r\n",
       "multipart/alternative()", {}, "<no body>", -1},
      {"declared base64", kAlt + "Content-Transfer-Encoding: base64\r\n\r\naGlkZGVu\r\n",
       "text/plain", {}, "hidden", 10},
      {"declared quoted-printable",
       kAlt + "Content-Transfer-Encoding: Quoted-Printable \r\n\r\nhid=\r\nden=3D\r\n", "text/plain",
       {}, "hidden=\r\n", 14},
      {"declared uuencode",
       kAlt + "Content-Transfer-Encoding: x-uuencode\r\n\r\nbegin 644 f\r\n&:&ED9&5N\r\n`\r\nend\r\n",
       "text/plain", {}, "hidden", 32},
      {"declared 7bit stays as it is", kAlt + "Content-Transfer-Encoding: 7bit\r\n\r\naGlkZGVu",
       "text/plain", {}, "aGlkZGVu", 8},
      {"top part whose header block runs to the end",
       "Subject: s\nContent-Type: multipart/mixed; boundary=b\nX-Last: no empty line",
       "text/plain", {}, "", 0},
      {"empty boundary parameter",
       "Content-Type: multipart/mixed; boundary=\"\"\n\n-- not one\nhidden\n", "text/plain", {},
       "-- not one\nhidden\n", 18},
      {"inside a multipart, ended by its delimiter",
       kOuter + "--o\nContent-Type: multipart/related; boundary=in\n\n--inx\nhidden\n"
                "--o\nContent-Type: text/html\n\n<p>seen</p>\n--o--\n",
       "multipart/mixed(text/plain,text/html)", {0}, "--inx\nhidden", 12},
      {"inside a multipart, header block cut by its delimiter",
       kOuter + "--o\nContent-Type: multipart/related; boundary=in\n--o\n\nseen\n--o--\n",
       "multipart/mixed(text/plain,text/plain)", {0}, "", 0},
      {"inside a multipart, to the end of the input",
       kOuter + "--o\nContent-Type: multipart/related; boundary=in\n\nhidden\n",
       "multipart/mixed(text/plain)", {0}, "hidden\n", 7},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    OpenMail mail(c.mail);
    ASSERT_TRUE(mail) << Packer()->GetLastError();
    EXPECT_EQ(c.tree, Dump(mail.get()));
    CAMimePart* part = mail.get();
    for (int index : c.path) part = Children(part).at(index);
    EXPECT_EQ(c.body, Body(part));
    if (c.encoded >= 0) {
      EXPECT_EQ(kDefectBoundaryNotFound, mail->GetDefects() & ~kDefectMalformedMultipart &
                                             ~kDefectTruncated);
      EXPECT_EQ(0, part->IsMultipart());
      EXPECT_EQ(0, part->GetChildCount());
      EXPECT_EQ(c.encoded, part->GetEncodedSize());
    } else {
      EXPECT_EQ(0u, mail->GetDefects() & kDefectBoundaryNotFound);
    }
    EXPECT_EQ(c.mail, Written(mail.get()));
  }

  // Taken out of its parent, it goes with its delimiter line and nothing more.
  const std::string mail = kOuter +
                           "--o\nContent-Type: text/plain\n\nfirst\n"
                           "--o\nContent-Type: multipart/related; boundary=in\n\nhidden\n"
                           "--o\nContent-Type: text/html\n\n<p>last</p>\n--o--\n";
  std::string written;
  {
    OpenMail open(mail);
    CAMimePart* hidden = Children(open.get()).at(1);
    ASSERT_EQ(1, hidden->SetHeader("X-Seen", "1", kSetHeaderAppend));
    ASSERT_EQ(1, open->SetHeader("X-Tag", "1", kSetHeaderAppend));
    written = Written(open.get());
    EXPECT_NE(std::string::npos, written.find("boundary=in\nX-Seen: 1\n\nhidden\n--o\n"));
    ASSERT_EQ(1, hidden->Remove(nullptr));
    written = Written(open.get());
  }
  std::string expected = mail;
  expected.erase(expected.find("--o\nContent-Type: multipart/related"),
                 std::string("--o\nContent-Type: multipart/related; boundary=in\n\nhidden\n").size());
  expected.insert(expected.find("\n\n"), "\nX-Tag: 1");
  EXPECT_EQ(expected, written);
}

// Every reason a mail is not opened is told as it is, not as one "could not open".
TEST(PackerHostileTest, RefusedFilesSayWhy) {
  namespace fs = std::filesystem;
  fs::path dir = fs::temp_directory_path() / ("msgcodec-refused-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string huge = (dir / "huge.eml").string();
  {
    std::ofstream out(huge);
    out << "Subject: x\n\n";
  }
  fs::resize_file(huge, msgcodec::kMaxMailBytes + 7);  // sparse: nothing is written
  const std::string missing = (dir / "missing.eml").string();
  const std::string unreadable = (dir / "unreadable.eml").string();
  {
    std::ofstream out(unreadable);
    out << "Subject: x\n\n";
  }
  fs::permissions(unreadable, fs::perms::none);
  const bool root = geteuid() == 0;  // reads whatever the mode says

  const struct {
    const char* what;
    const char* file;
    std::string reason;
    bool run;
  } kCases[] = {
      {"over the size limit", huge.c_str(), "too large: 67108871 bytes, the limit is 64 MiB",
       true},
      {"a stream past the size limit", "/dev/zero",
       "too large: more than 67108864 bytes, the limit is 64 MiB", true},
      {"no such file", missing.c_str(), "cannot open " + missing + ": " + std::strerror(ENOENT),
       true},
      {"no read permission", unreadable.c_str(),
       "cannot open " + unreadable + ": " + std::strerror(EACCES), !root},
      {"a directory", dir.c_str(), "cannot read " + dir.string() + ": " + std::strerror(EISDIR),
       true},
      {"no name", nullptr, "no file name", true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    if (!c.run) continue;
    CAMimePart* top = Packer()->Open(c.file);
    EXPECT_EQ(nullptr, top);
    if (top) Packer()->Close(top, 0, 0, 0);
    EXPECT_EQ(c.reason, Packer()->GetLastError());
  }
  EXPECT_EQ(nullptr, Packer()->OpenMemory(nullptr, 3));
  EXPECT_STREQ("null data for a mail of 3 bytes", Packer()->GetLastError());
  fs::remove_all(dir);
}

TEST(PackerHostileTest, DeepNestingFitsASmallThreadStack) {
  // GMime recurses once per level up to its own limit of 1024; a host thread
  // with 2 MiB of stack must survive the deepest mail GMime will follow.
  std::string mail = Nested(1100);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 2 << 20);
  pthread_t thread;
  struct Job {
    std::string* mail;
    int deepest = -1;
  } job{&mail};
  ASSERT_EQ(0, pthread_create(
                   &thread, &attr,
                   [](void* arg) -> void* {
                     Job* job = static_cast<Job*>(arg);
                     OpenMail open(*job->mail);
                     if (open) job->deepest = Deepest(open.get());
                     return nullptr;
                   },
                   &job));
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  EXPECT_EQ(msgcodec::kMaxDepth, job.deepest);
}

}  // namespace
}  // namespace msgcodec_test
