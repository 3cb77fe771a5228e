// Changes through the packer (SetHeader, Remove), written and opened again:
// the change is there and every other byte is where it was.
#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>

#include <thread>

#include "body_store.h"
#include "packer_test_util.h"

namespace msgcodec_test {
namespace {

const std::string kMultipart =
    "From: a@example.com\r\n"
    "subject: Hello\r\n"
    "Content-Type: multipart/mixed; boundary=\"b\"\r\n"
    "\r\n"
    "preamble\r\n"
    "--b\r\n"
    "Content-Type: text/plain\r\n"
    "\r\n"
    "one\r\n"
    "--b\r\n"
    "Content-Type: text/html\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "\r\n"
    "PGI+dHdvPC9iPg==\r\n"
    "--b\r\n"
    "Content-Type: multipart/alternative; boundary=\"c\"\r\n"
    "\r\n"
    "--c\r\n"
    "\r\n"
    "three\r\n"
    "--c--\r\n"
    "--b--\r\n"
    "epilogue\r\n";

std::string Value(CAMimePart* part, const std::string& name) {
  for (const auto& header : Headers(part)) {
    if (header.first == name) return header.second;
  }
  return "<absent>";
}

std::string Rewritten(const std::string& mail, void (*change)(CAMimePart*)) {
  OpenMail open(mail);
  EXPECT_TRUE(open);
  change(open.get());
  EXPECT_EQ(1, Packer()->IsModified(open.get()));
  return Written(open.get());
}

TEST(PackerEditTest, SetHeaderSplicesOnlyTheField) {
  const struct {
    const char* what;
    void (*change)(CAMimePart*);
    std::string expected;
  } kCases[] = {
      {"replace keeps the mail's spelling",
       [](CAMimePart* top) { top->SetHeader("SUBJECT", "[spam] Hello", kSetHeaderReplace); },
       "From: a@example.com\r\nsubject: [spam] Hello\r\n"},
      {"add goes to the end of the block, name spelled from upper case",
       [](CAMimePart* top) { top->SetHeader("X-ORVANE-SPAM", "yes", kSetHeaderReplace); },
       "From: a@example.com\r\nsubject: Hello\r\nContent-Type: multipart/mixed; "
       "boundary=\"b\"\r\nX-Orvane-Spam: yes\r\n"},
      {"a line break in the value becomes a continuation",
       [](CAMimePart* top) { top->SetHeader("From", "x@y\nz", kSetHeaderReplace); },
       "From: x@y\r\n z\r\nsubject: Hello\r\n"},
      {"append mode adds a second field",
       [](CAMimePart* top) { top->SetHeader("Subject", "Two", kSetHeaderAppend); },
       "From: a@example.com\r\nsubject: Hello\r\nContent-Type: multipart/mixed; "
       "boundary=\"b\"\r\nSubject: Two\r\n"},
  };
  const std::string kRest = kMultipart.substr(kMultipart.find("\r\n\r\npreamble") + 2);
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    std::string written = Rewritten(kMultipart, c.change);
    EXPECT_EQ(0u, written.find(c.expected));
    ASSERT_GE(written.size(), kRest.size());
    EXPECT_EQ(kRest, written.substr(written.size() - kRest.size()));
    OpenMail again(written);
    EXPECT_EQ(Dump(OpenMail(kMultipart).get()), Dump(again.get()));
  }
}

TEST(PackerEditTest, EnumerationShowsChangesAtOnce) {
  OpenMail mail(kMultipart);
  EXPECT_EQ(1, mail->SetHeader("subject", "New\r\n", kSetHeaderReplace));
  EXPECT_EQ(1, mail->SetHeader("X-New", "  added", kSetHeaderReplace));
  EXPECT_EQ(1, mail->SetHeader("x-new", "again", kSetHeaderReplace));  // the added one
  EXPECT_EQ("New", Value(mail.get(), "subject"));
  EXPECT_EQ("again", Value(mail.get(), "X-New"));
  EXPECT_EQ(4u, Headers(mail.get()).size());
  const char* kBadNames[] = {"", "Bad Name", "Colon:", "Tab\t"};
  for (const char* name : kBadNames) EXPECT_EQ(0, mail->SetHeader(name, "v", kSetHeaderReplace));
  EXPECT_EQ(0, mail->SetHeader("X", nullptr, kSetHeaderReplace));
}

TEST(PackerEditTest, ChildHeaderAndLongValue) {
  std::string long_value;
  for (int i = 0; i < 300; i++) long_value += "rule" + std::to_string(i) + " ";
  std::string written;
  {
    OpenMail mail(kMultipart);
    std::vector<CAMimePart*> children = Children(mail.get());
    ASSERT_EQ(3u, children.size());
    EXPECT_EQ(1, children[0]->SetHeader("Content-Type", "text/plain; charset=utf-8", 1));
    EXPECT_EQ(1, children[1]->SetHeader("X-Hit-Rules", long_value.c_str(), 1));
    written = Written(mail.get());
  }
  OpenMail again(written);
  std::vector<CAMimePart*> children = Children(again.get());
  ASSERT_EQ(3u, children.size());
  EXPECT_EQ("text/plain; charset=utf-8", Value(children[0], "Content-Type"));
  EXPECT_EQ(long_value.substr(0, long_value.size() - 1) + " ", Value(children[1], "X-Hit-Rules"));
  EXPECT_EQ("<b>two</b>", Body(children[1]));
  for (size_t start = 0, end; (end = written.find("\r\n", start)) != std::string::npos;
       start = end + 2)
    EXPECT_LE(end - start, 998u);
}

TEST(PackerEditTest, RemoveCutsThePartWithItsDelimiter) {
  const struct {
    size_t child;
    std::string cut;  // the bytes that disappear
    const char* tree;
  } kCases[] = {
      {0, "--b\r\nContent-Type: text/plain\r\n\r\none\r\n",
       "multipart/mixed(text/html,multipart/alternative(text/plain))"},
      {1,
       "--b\r\nContent-Type: text/html\r\nContent-Transfer-Encoding: base64\r\n\r\n"
       "PGI+dHdvPC9iPg==\r\n",
       "multipart/mixed(text/plain,multipart/alternative(text/plain))"},
      {2,
       "--b\r\nContent-Type: multipart/alternative; boundary=\"c\"\r\n\r\n--c\r\n\r\n"
       "three\r\n--c--\r\n",
       "multipart/mixed(text/plain,text/html)"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.child);
    std::string written;
    {
      OpenMail mail(kMultipart);
      CAMimePart* child = Children(mail.get())[c.child];
      EXPECT_EQ(1, child->Remove(nullptr));
      EXPECT_EQ(1, child->IsRemoved());
      EXPECT_EQ(2, mail->GetChildCount());
      written = Written(mail.get());
    }
    std::string expected = kMultipart;
    expected.erase(expected.find(c.cut), c.cut.size());
    EXPECT_EQ(expected, written);
    OpenMail again(written);
    EXPECT_EQ(c.tree, Dump(again.get()));
  }
  OpenMail mail(kMultipart);
  EXPECT_EQ(0, mail->Remove(nullptr));  // the top part stays
}

TEST(PackerEditTest, RemoveAndSetHeaderTogether) {
  std::string written;
  {
    OpenMail mail(kMultipart);
    std::vector<CAMimePart*> children = Children(mail.get());
    children[2]->SetHeader("X-Gone", "with the part", 1);  // dropped with its part
    children[2]->Remove(nullptr);
    mail->SetHeader("Subject", "Tagged", 1);
    written = Written(mail.get());
  }
  OpenMail again(written);
  EXPECT_EQ("Tagged", Value(again.get(), "subject"));
  EXPECT_EQ("multipart/mixed(text/plain,text/html)", Dump(again.get()));
  EXPECT_EQ(std::string::npos, written.find("X-Gone"));
}

TEST(PackerEditTest, PartsWithoutHeadersTakeOne) {
  const struct {
    std::string mail, written;
  } kCases[] = {
      {"Content-Type: multipart/digest; boundary=b\n\n--b\n\nFrom: x\n\nhi\n--b--\n",
       "Content-Type: multipart/digest; boundary=b\n\n--b\nX-P: 1\n\nFrom: x\n\nhi\n--b--\n"},
      {"Content-Type: multipart/mixed; boundary=b\n\n--b\r\n\r\nhi\r\n--b--\n",
       "Content-Type: multipart/mixed; boundary=b\n\n--b\r\nX-P: 1\r\n\r\nhi\r\n--b--\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.mail);
    OpenMail mail(c.mail);
    CAMimePart* child = Children(mail.get()).at(0);
    std::string body = Body(child);
    ASSERT_EQ(1, child->SetHeader("X-P", "1", kSetHeaderReplace));
    EXPECT_EQ(c.written, Written(mail.get()));
    OpenMail again(c.written);
    CAMimePart* reread = Children(again.get()).at(0);
    EXPECT_EQ("1", Value(reread, "X-P"));
    EXPECT_EQ(body, Body(reread));
  }
}

// Every corpus mail: tag the subject, remove the top's first child, write,
// open again: the tag is there and the other parts' bodies are unchanged.
TEST(PackerEditTest, CorpusMailsSurviveAnEdit) {
  std::string dir = CorpusDir();
  if (dir.empty()) GTEST_SKIP() << "mail corpus not found";
  size_t edited = 0, removals = 0;
  for (const std::string& file : CorpusFiles(dir)) {
    SCOPED_TRACE(file);
    std::string written;
    std::vector<std::string> kept_bodies;
    size_t children_before = 0;
    {
      OpenMail mail(ReadFile(file));
      ASSERT_TRUE(mail);
      if (mail->GetDefects() & kDefectNotAMail) continue;
      ASSERT_EQ(1, mail->SetHeader("X-ORVANE-SPAM", "tagged", kSetHeaderReplace));
      std::vector<CAMimePart*> children = Children(mail.get());
      children_before = children.size();
      if (children.size() > 1) {
        ASSERT_EQ(1, children[0]->Remove(nullptr));
        for (size_t i = 1; i < children.size(); i++)
          if (!children[i]->IsMultipart()) kept_bodies.push_back(Body(children[i]));
      }
      written = Written(mail.get());
      ASSERT_EQ(std::string::npos, written.find("<write failed")) << written;
    }
    edited++;
    OpenMail again(written);
    ASSERT_TRUE(again);
    EXPECT_EQ("tagged", Value(again.get(), "X-Orvane-Spam"));
    if (children_before > 1) {
      removals++;
      std::vector<CAMimePart*> children = Children(again.get());
      EXPECT_EQ(children_before - 1, children.size());
      std::vector<std::string> bodies;
      for (CAMimePart* child : children)
        if (!child->IsMultipart()) bodies.push_back(Body(child));
      EXPECT_EQ(kept_bodies, bodies);
    }
  }
  std::printf("corpus edits: %zu mails tagged and reopened, %zu with a part removed\n", edited,
              removals);
}

TEST(PackerApiTest, MisuseFailsCleanly) {
  CAMimePacker* packer = Packer();
  EXPECT_EQ(1, packer->Check(kPackerKindMime));
  EXPECT_EQ(0, packer->Check(2));
  CAMimePacker* other = nullptr;
  EXPECT_EQ(0, RequestInterface(2, &other));
  EXPECT_EQ(nullptr, other);
  EXPECT_EQ(nullptr, packer->Open("/nonexistent/mail.eml"));
  EXPECT_NE(std::string(), packer->GetLastError());
  EXPECT_EQ(nullptr, packer->OpenMemory(nullptr, 5));
  CAMimePart* top = packer->OpenMemory(kMultipart.data(), kMultipart.size());
  ASSERT_NE(nullptr, top);
  CAMimePart* foreign = top;  // not a child of itself
  EXPECT_EQ(0, top->NextChild(&foreign));
  EXPECT_EQ(nullptr, foreign);
  char path[kPackerMaxPath];
  EXPECT_EQ(0, top->GetBodyFile(path));  // a multipart
  EXPECT_EQ(0, top->GetBodyFile(nullptr));
  EXPECT_EQ(0, top->NextHeader(nullptr, path));
  EXPECT_EQ(0, packer->WriteToFd(top, -1));
  EXPECT_EQ(1, packer->Close(top, 0, 0, 0));
  EXPECT_EQ(0, packer->Close(top, 0, 0, 0));  // twice
  EXPECT_EQ(0, packer->Close(nullptr, 0, 0, 0));
  EXPECT_EQ(0, packer->IsModified(top));
  EXPECT_EQ(0, packer->SetBodyDirectory("/nonexistent"));
}

TEST(PackerApiTest, SharedObjectExportsTheTwoEntryPoints) {
  void* library = dlopen(MSGCODEC_SO_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, library) << dlerror();
  auto request = reinterpret_cast<RequestInterfaceFn>(dlsym(library, kRequestInterfaceName));
  auto release = reinterpret_cast<ReleaseInterfaceFn>(dlsym(library, kReleaseInterfaceName));
  ASSERT_TRUE(request && release);
  CAMimePacker* packer = nullptr;
  ASSERT_EQ(1, request(kPackerKindMime, &packer));
  EXPECT_EQ(1, packer->Check(1));
  CAMimePart* top = packer->OpenMemory(kMultipart.data(), kMultipart.size());
  ASSERT_NE(nullptr, top);
  EXPECT_EQ(3, top->GetChildCount());
  EXPECT_EQ(1, packer->Close(top, 0, 0, 0));
  release(&packer);
  EXPECT_EQ(nullptr, packer);
  dlclose(library);
}

TEST(PackerApiTest, BodyFilesGoWhereTheyAreSent) {
  std::string base = ::testing::TempDir() + "msgcodec-bodies";
  std::filesystem::create_directories(base);
  ASSERT_EQ(1, Packer()->SetBodyDirectory(base.c_str()));
  std::string path;
  {
    OpenMail mail(kMultipart);
    path = BodyPath(Children(mail.get())[0]);
    EXPECT_EQ(0u, path.find(base + "/msgcodec-")) << path;
    EXPECT_EQ(path, BodyPath(Children(mail.get())[0]));  // written once
  }
  EXPECT_TRUE(HoldsNothing(path));
  // The next mail takes the emptied directory (and its emptied file); a file or a
  // directory removed behind the packer's back (seen once its last check is a
  // second old), or a stranger's file of the same name, is replaced by a new one.
  const std::filesystem::path dir = std::filesystem::path(path).parent_path();
  {
    OpenMail mail(kMultipart);
    EXPECT_EQ(path, BodyPath(Children(mail.get())[0]));
    EXPECT_EQ("one", Body(Children(mail.get())[0]));
  }
  std::filesystem::remove(path);
  std::this_thread::sleep_for(msgcodec::kLinkedCheckEvery);
  {
    OpenMail mail(kMultipart);
    EXPECT_EQ(path, BodyPath(Children(mail.get())[0]));
    EXPECT_EQ("one", Body(Children(mail.get())[0]));
  }
  EXPECT_TRUE(HoldsNoBodies(dir));
  std::filesystem::remove_all(dir);
  std::this_thread::sleep_for(msgcodec::kLinkedCheckEvery);
  {
    OpenMail mail(kMultipart);
    const std::string fresh = BodyPath(Children(mail.get())[0]);
    EXPECT_EQ(0u, fresh.find(base + "/msgcodec-")) << fresh;
    EXPECT_NE(path, fresh);
    path = fresh;
    // The name the next mail's second part (part-2) will want.
    std::ofstream(std::filesystem::path(fresh).parent_path() / "part-2") << "not ours";
  }
  {
    OpenMail mail(kMultipart);
    const std::string second = BodyPath(Children(mail.get())[1]);
    EXPECT_NE(std::filesystem::path(path).parent_path(),
              std::filesystem::path(second).parent_path());
    EXPECT_EQ("<b>two</b>", Body(Children(mail.get())[1]));
  }
  ASSERT_EQ(1, Packer()->SetBodyDirectory(nullptr));
  setenv("MSGCODEC_TMPDIR", base.c_str(), 1);
  {
    OpenMail mail(kMultipart);
    EXPECT_EQ(0u, BodyPath(Children(mail.get())[1]).find(base + "/"));
  }
  unsetenv("MSGCODEC_TMPDIR");
  std::filesystem::remove_all(base);
}

// A killed process cannot remove its body directories; the next process to make
// one under the same base removes those whose owner is gone, and only those.
TEST(PackerApiTest, BodyDirectoriesOfAKilledProcessGoAtTheNextStart) {
  namespace fs = std::filesystem;
  const fs::path base = ::testing::TempDir() + "msgcodec-orphans-" + std::to_string(getpid());
  fs::remove_all(base);
  fs::create_directories(base);
  // Not the packer's to judge: a running process's directory (our parent's
  // id) and a name without a process id.
  const fs::path alive = base / ("msgcodec-" + std::to_string(getppid()) + "-abcdef");
  const fs::path unnamed = base / "msgcodec-abcdef";
  for (const fs::path& dir : {alive, unnamed}) {
    fs::create_directories(dir);
    std::ofstream(dir / "part-0") << "body";
  }
  int ready[2];
  ASSERT_EQ(0, pipe(ready));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(ready[0]);
    Packer()->SetBodyDirectory(base.c_str());
    CAMimePart* top = Packer()->OpenMemory(kMultipart.data(), kMultipart.size());
    const std::string path = top ? BodyPath(Children(top)[0]) + "\n" : "\n";
    if (write(ready[1], path.data(), path.size()) < 0) _exit(1);
    pause();
    _exit(0);
  }
  close(ready[1]);
  std::string line;
  char c;
  while (read(ready[0], &c, 1) == 1 && c != '\n') line += c;
  close(ready[0]);
  kill(child, SIGKILL);
  ASSERT_EQ(child, waitpid(child, nullptr, 0));
  ASSERT_EQ(0u, line.find((base / ("msgcodec-" + std::to_string(child) + "-")).string())) << line;
  const fs::path orphan = fs::path(line).parent_path();
  EXPECT_EQ("one", ReadFile(line));  // the killed mail's body stays behind

  ASSERT_EQ(1, Packer()->SetBodyDirectory(base.c_str()));
  {
    OpenMail mail(kMultipart);
    const std::string mine = BodyPath(Children(mail.get())[0]);
    EXPECT_EQ(0u, mine.find((base / ("msgcodec-" + std::to_string(getpid()) + "-")).string()))
        << mine;
  }
  EXPECT_FALSE(fs::exists(orphan));
  EXPECT_EQ("body", ReadFile((alive / "part-0").string()));
  EXPECT_EQ("body", ReadFile((unnamed / "part-0").string()));
  ASSERT_EQ(1, Packer()->SetBodyDirectory(nullptr));
  fs::remove_all(base);
}

TEST(PackerApiTest, MailsParseConcurrently) {
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&failures] {
      for (int i = 0; i < 200; i++) {
        OpenMail mail(kMultipart);
        std::vector<CAMimePart*> children = Children(mail.get());
        if (children.size() != 3 || Body(children[1]) != "<b>two</b>" ||
            Written(mail.get()) != kMultipart)
          failures++;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0, failures.load());
}

}  // namespace
}  // namespace msgcodec_test
