// Hostile and broken input: every mail either opens with a bounded tree or is
// refused with a reason; nothing crashes, and an unchanged write still gives
// the input back.
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
      {"no delimiter at all", kMixed + "just text\n", "multipart/mixed()", nullptr, 0},
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
    int children;  // of the top part, -1: not checked
    int deepest;   // -1: not checked
  } kCases[] = {
      {"5000 parts", "Content-Type: multipart/mixed; boundary=b\n\n" + Repeat("--b\n\nx\n", 5000),
       true, 0, 5000, 1},
      {"parts past the part limit",
       "Content-Type: multipart/mixed; boundary=b\n\n" + Repeat("--b\n\nx\n", msgcodec::kMaxParts),
       true, kDefectTooManyParts, static_cast<int>(msgcodec::kMaxParts) - 1, 1},
      {"nesting at the depth limit", Nested(msgcodec::kMaxDepth), true, 0, 1, msgcodec::kMaxDepth},
      {"nesting past the depth limit", Nested(msgcodec::kMaxDepth + 1), true, kDefectTooDeep, 1,
       msgcodec::kMaxDepth},
      {"nesting past GMime's own limit", Nested(1500), true, kDefectTooDeep, 1,
       msgcodec::kMaxDepth},
      {"attached mails nested 2000 deep",
       Repeat("Content-Type: message/rfc822\n\n", 2000) + "Subject: end\n\nx", true, 0, 0, 0},
      {"a 1 MB header line", "Subject: " + std::string(1 << 20, 'a') + "\n\nbody", true, 0, 0, 0},
      {"200000 short headers", Repeat("a:b\n", 200000) + "\nbody", false, 0, -1, -1},
      {"30000 dash lines in a large mail",
       "Subject: x\n\n" + Repeat("--x\n" + std::string(30, 'y') + "\n", 30000), false, 0, -1, -1},
      {"large mail of body text",
       "Subject: x\n\n" +
           Repeat("-- plain text, no structure\n" + std::string(70, 'z') + "\n", 15000),
       true, 0, 0, 0},
      {"over the size limit", std::string(msgcodec::kMaxMailBytes + 1, 'a'), false, 0, -1, -1},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    OpenMail mail(c.mail);
    ASSERT_EQ(c.opens, static_cast<bool>(mail)) << Packer()->GetLastError();
    if (!mail) {
      EXPECT_NE(std::string(), Packer()->GetLastError());
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
