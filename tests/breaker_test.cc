// The real breaker driven as a framework host drives it: the plug-in loaded
// with dlopen, streams made by its streamer over the real packer, and the
// broken mail read back from the black box.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "emlbreaker/broken_mail.h"
#include "emlbreaker/exceptions.h"
#include "emlbreaker/mail_item.h"
#include "emlbreaker/packer.h"
#include "framework/base/testing/map_settings.h"
#include "tests/plugin_loader.h"

namespace {

namespace fs = std::filesystem;
using nsEmlComponents::CHeaderMap;
using nsEmlComponents::CHeaderSubject;
using nsEmlComponents::CPartsTree;

constexpr uint32_t kProfile = 0;

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Every nth regular file of the corpus folders the packer is expected to
// open as mail; empty when the corpus is not there.
std::vector<std::string> CorpusMails(size_t every) {
  std::vector<std::string> mails;
  const fs::path root = EMLB_CORPUS_DIR;
  for (const char* folder : {"mime", "charsets", "html", "ham", "spam"}) {
    std::error_code error;
    std::vector<std::string> found;
    for (fs::directory_iterator it(root / folder, error), end; !error && it != end;
         it.increment(error)) {
      if (it->is_regular_file()) found.push_back(it->path().string());
    }
    std::sort(found.begin(), found.end());
    for (size_t i = 0; i < found.size(); i += every) mails.push_back(found[i]);
  }
  return mails;
}

// Every node of the tree in document order.
std::vector<CPartsTree::CNode*> Nodes(const CPartsTree& tree) {
  std::vector<CPartsTree::CNode*> nodes, stack;
  if (tree.GetRoot() != nullptr) stack.push_back(tree.GetRoot());
  while (!stack.empty()) {
    CPartsTree::CNode* node = stack.back();
    stack.pop_back();
    nodes.push_back(node);
    for (size_t i = node->children.GetSize(); i-- > 0;) stack.push_back(node->children[i]);
  }
  return nodes;
}

class BreakerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(plugin_.ok()) << plugin_.error();
    factory_ = plugin_.get_factory();
    CAModule* streamer = Create(u"Eml Streamer");
    CAModule* breaker = Create(u"EML Real Breaker");
    ASSERT_NE(nullptr, streamer);
    ASSERT_NE(nullptr, breaker);
    ASSERT_EQ(kModuleTypeStreamer, streamer->moduleType);
    ASSERT_EQ(kModuleTypeBreaker, breaker->moduleType);
    streamer_ = static_cast<CAStreamer*>(streamer);
    breaker_ = static_cast<CABreaker*>(breaker);
    settings_.values[u"/eml/streamer/PackerPath"] = Wide(EMLB_PACKER_DIR);
    settings_.values[u"/eml/streamer/LoadPacker"] = u"1";
    settings_.values[u"/eml/global/SharedLibsPath"] = Wide(EMLB_PACKER_DIR);
    for (CAModule* module : {static_cast<CAModule*>(streamer_), static_cast<CAModule*>(breaker_)}) {
      module->ApplySettings(kProfile);
      module->ApplySharedSettings(kProfile);
    }
  }
  void TearDown() override {
    for (CAModule* module : {static_cast<CAModule*>(breaker_), static_cast<CAModule*>(streamer_)}) {
      if (module == nullptr) continue;
      module->DestroySharedData(module->sharedData);
      module->DestroyProfileData(module->profileData[kProfile]);
      delete module;
    }
    plugin_.release_factory();
  }

  CAModule* Create(const char16_t* name) {
    CBasicAllocator* allocator = plugin_.FindAllocator(factory_, name);
    if (allocator == nullptr) return nullptr;
    CAModule* module = allocator->CreateModule();
    module->settings = &settings_;
    module->profileData[kProfile] = module->CreateProfileData();
    module->sharedData = module->CreateSharedData();
    return module;
  }

  std::unique_ptr<CAStream> Open(const std::string& path) {
    return std::unique_ptr<CAStream>(
        streamer_->CreateStream(kProfile, const_cast<char*>(path.c_str()), kEmlSubtypeFile));
  }

  // Breaks `path`, checks what a filter finds in the box, releases it and
  // checks the box is empty again. Returns the number of parts, 0 when a
  // body's bytes do not convert from their declared charset (the breaker
  // refuses such mail rather than guess).
  size_t BreakAndRelease(const std::string& path) {
    std::unique_ptr<CAStream> stream = Open(path);
    MailItem item;
    item.stream = stream.get();
    try {
      EXPECT_EQ(0, breaker_->Break(kProfile, &item)) << path;
    } catch (const CBreakerException& e) {
      EXPECT_EQ(-303, e.GetErrorCode()) << path << ": " << e.what();
      breaker_->ReleaseBrokenMail(kProfile, &item);
      EXPECT_EQ(nullptr, item.box.GetObject(1)) << path;
      return 0;
    }
    auto* headers = GetMailHeaders(item.box);
    auto* tree = GetPartsTree(item.box);
    EXPECT_NE(nullptr, headers) << path;
    EXPECT_NE(nullptr, tree) << path;
    size_t parts = 0;
    if (tree != nullptr) {
      EXPECT_NE(nullptr, tree->GetRoot()) << path;
      parts = Nodes(*tree).size();
    }
    breaker_->ReleaseBrokenMail(kProfile, &item);
    EXPECT_EQ(nullptr, item.box.GetObject(1)) << path;
    EXPECT_EQ(nullptr, item.box.GetObject(2)) << path;
    return parts;
  }

  PluginLoader plugin_;
  CAClassFactory* factory_ = nullptr;
  CAStreamer* streamer_ = nullptr;
  CABreaker* breaker_ = nullptr;
  MapSettings settings_;
};

TEST_F(BreakerTest, BreaksTheSampleAndCorpusMailsAndReleasesThem) {
  EXPECT_EQ(3u, BreakAndRelease(EMLB_SAMPLE_MAIL));
  std::vector<std::string> mails = CorpusMails(7);
  if (mails.empty()) GTEST_SKIP() << "no corpus at " << EMLB_CORPUS_DIR;
  size_t broken = 0;
  for (const std::string& mail : mails) {
    std::unique_ptr<CAStream> stream = Open(mail);
    auto* top = static_cast<CAMimePart*>(static_cast<CAEmlStream*>(stream.get())->GetHandle());
    if (top->GetDefects() & kDefectNotAMail) continue;  // the host refuses these
    stream.reset();
    if (BreakAndRelease(mail) > 0) ++broken;
  }
  EXPECT_GT(broken, mails.size() * 9 / 10);  // about 1% declare a charset their bytes break
}

TEST_F(BreakerTest, BreakingTwiceKeepsTheFirstObjectsAndRebreakRebuildsThem) {
  std::unique_ptr<CAStream> stream = Open(EMLB_SAMPLE_MAIL);
  MailItem item;
  item.stream = stream.get();
  breaker_->Break(kProfile, &item);
  ascommon::CBlackBoxObject* headers = item.box.GetObject(1);
  breaker_->Break(kProfile, &item);
  EXPECT_EQ(headers, item.box.GetObject(1));
  breaker_->Rebreak(kProfile, &item);
  EXPECT_NE(nullptr, GetMailHeaders(item.box));
  EXPECT_NE(nullptr, GetPartsTree(item.box));
  breaker_->ReleaseBrokenMail(kProfile, &item);
  breaker_->ReleaseBrokenMail(kProfile, &item);  // nothing left to release
  EXPECT_EQ(nullptr, item.box.GetObject(1));
}

TEST_F(BreakerTest, CommittedHeaderAndRemovedPartReachTheWrittenMail) {
  std::unique_ptr<CAStream> stream = Open(EMLB_SAMPLE_MAIL);
  MailItem item;
  item.stream = stream.get();
  breaker_->Break(kProfile, &item);
  auto* headers = GetMailHeaders(item.box);
  ASSERT_NE(nullptr, headers);
  nsEmlComponents::CHeader** found = headers->Lookup(ascommon::sstring("SUBJECT"));
  ASSERT_NE(nullptr, found);
  ASSERT_EQ(nsEmlComponents::kHeaderSubject, (*found)->GetType());
  auto* subject = static_cast<CHeaderSubject*>(*found);
  ASSERT_EQ(0, subject->text.Assign("[SPAM] Welcome"));
  subject->modified = 1;
  // The filters drop the HTML alternative.
  auto* tree = GetPartsTree(item.box);
  ASSERT_NE(nullptr, tree);
  CPartsTree::CNode* html = nullptr;
  for (CPartsTree::CNode* node : Nodes(*tree))
    if (node->part->GetKind() == nsEmlComponents::kBodyTextHtml) html = node;
  ASSERT_NE(nullptr, html);
  ASSERT_EQ(0, tree->MarkRemoved(html));
  breaker_->CommitChanges(kProfile, &item);

  void* library = dlopen(EMLB_PACKER_DIR "/libmsgcodec.so", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, library);
  auto request = reinterpret_cast<RequestInterfaceFn>(dlsym(library, kRequestInterfaceName));
  auto release = reinterpret_cast<ReleaseInterfaceFn>(dlsym(library, kReleaseInterfaceName));
  CAMimePacker* packer = nullptr;
  ASSERT_NE(0, request(kPackerKindMime, &packer));
  auto* top = static_cast<CAMimePart*>(static_cast<CAEmlStream*>(stream.get())->GetHandle());
  EXPECT_NE(0, packer->IsModified(top));
  const std::string written = ::testing::TempDir() + "/breaker_test_written.eml";
  ASSERT_EQ(1, packer->WriteToFile(top, written.c_str())) << packer->GetLastError();
  release(&packer);
  dlclose(library);
  breaker_->ReleaseBrokenMail(kProfile, &item);

  const std::string out = Slurp(written);
  const std::string original = Slurp(EMLB_SAMPLE_MAIL);
  EXPECT_NE(std::string::npos, out.find("Subject: [SPAM] Welcome"));
  EXPECT_EQ(std::string::npos, out.find("=?UTF-8?B?"));
  EXPECT_EQ(std::string::npos, out.find("text/html"));
  EXPECT_NE(std::string::npos, original.find("text/html"));
  // Everything else of the mail survives: the plain alternative and the
  // other headers.
  EXPECT_NE(std::string::npos, out.find("Message-ID: <20261205091400.4711@shop.example>"));
  EXPECT_NE(std::string::npos, out.find("text/plain"));
  unlink(written.c_str());
}

TEST_F(BreakerTest, StagesRefuseItemsWithoutAMailStream) {
  MailItem item;
  try {
    breaker_->Break(kProfile, &item);
    ADD_FAILURE() << "no exception";
  } catch (const CBreakerException& e) {
    EXPECT_EQ(-11, e.GetErrorCode());
    EXPECT_STREQ("An invalid pointer was passed", e.what());
  }
  EXPECT_EQ(nullptr, item.box.GetObject(1));
}

// Writes `text` to a temporary mail file, removed with the object.
class TempMail {
 public:
  explicit TempMail(const std::string& text) {
    static int serial = 0;
    path_ = ::testing::TempDir() + "/breaker_test_" + std::to_string(getpid()) + "_" +
            std::to_string(serial++) + ".eml";
    std::ofstream(path_, std::ios::binary) << text;
  }
  ~TempMail() { unlink(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The decoded texts of the plain-text parts in document order; "-" for a
// part the text stage left alone.
std::vector<std::string> PlainTexts(const CPartsTree& tree) {
  std::vector<std::string> texts;
  for (CPartsTree::CNode* node : Nodes(tree)) {
    if (node->part->GetKind() != nsEmlComponents::kBodyTextPlain) continue;
    auto* body = static_cast<nsEmlComponents::CPartBodyTextPlain*>(node->part->body);
    std::string text;
    for (size_t i = 0; i < body->text.Length(); ++i)
      text += static_cast<char>(body->text.c_str()[i] < 0x80 ? body->text.c_str()[i] : '?');
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    texts.push_back(body->text.IsSet() ? text : "-");
  }
  return texts;
}

TEST_F(BreakerTest, TextStageAnalysesThreeLevelsWithEachPartsOwnCharset) {
  TempMail mail(
      "From: a@example.org\r\nContent-Type: multipart/mixed; boundary=a; charset=utf-8\r\n\r\n"
      "--a\r\nContent-Type: text/plain\r\n\r\none\r\n"
      "--a\r\n\r\nno type: caf\xe9\r\n"
      "--a\r\nContent-Type: text/plain\r\n\r\n"
      "--a\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n"
      "--b\r\nContent-Type: text/plain\r\n\r\ntwo\r\n"
      "--b\r\nContent-Type: multipart/mixed; boundary=c\r\n\r\n"
      "--c\r\nContent-Type: text/plain\r\n\r\nthree\r\n"
      "--c\r\nContent-Type: multipart/mixed; boundary=d\r\n\r\n"
      "--d\r\nContent-Type: text/plain\r\n\r\nfour\r\n"
      "--d--\r\n--c--\r\n--b--\r\n--a--\r\n");
  std::unique_ptr<CAStream> stream = Open(mail.path());
  MailItem item;
  item.stream = stream.get();
  ASSERT_EQ(0, breaker_->Break(kProfile, &item));
  auto* tree = GetPartsTree(item.box);
  ASSERT_NE(nullptr, tree);
  // The part without Content-Type is Latin-1 whatever the mail declares (as
  // UTF-8 its byte would not convert); the empty part is no failure; depth 4
  // is below what the stage reads.
  EXPECT_EQ((std::vector<std::string>{"one", "no type: caf?", "-", "two", "three", "-"}),
            PlainTexts(*tree));
  breaker_->ReleaseBrokenMail(kProfile, &item);
}

TEST_F(BreakerTest, FailingTextPartsBreakerLeavesNothingBehind) {
  CAModule* text_breaker = Create(u"Virtual Eml Text Parts Breaker");
  ASSERT_NE(nullptr, text_breaker);
  ASSERT_EQ(kModuleTypeBreaker, text_breaker->moduleType);
  auto* virtual_breaker = static_cast<CAVirtualBreaker*>(text_breaker);
  ASSERT_TRUE(virtual_breaker->isVirtual);
  virtual_breaker->SetRealBreaker(breaker_);
  // Declared ASCII, but the body holds an 8-bit byte: the conversion fails
  // after the headers and the parts were stored.
  TempMail mail("From: a@example.org\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n"
                "na\xefve\r\n");
  std::unique_ptr<CAStream> stream = Open(mail.path());
  MailItem item;
  item.stream = stream.get();
  try {
    virtual_breaker->Break(kProfile, &item);
    ADD_FAILURE() << "no exception";
  } catch (const CBreakerException& e) {
    EXPECT_EQ(-303, e.GetErrorCode());
    EXPECT_STREQ("Problems breaking the body of text parts", e.what());
  }
  EXPECT_EQ(nullptr, item.box.GetObject(1));
  EXPECT_EQ(nullptr, item.box.GetObject(2));
  text_breaker->DestroySharedData(text_breaker->sharedData);
  text_breaker->DestroyProfileData(text_breaker->profileData[kProfile]);
  delete text_breaker;
}

// Breaking threads hold the shared lock read-only; re-applying the shared
// settings takes it exclusively and replaces the converter the header
// parser uses. Run under ThreadSanitizer in CI.
TEST_F(BreakerTest, ConcurrentBreaksWhileSharedSettingsAreReapplied) {
  std::vector<std::string> mails = CorpusMails(25);
  mails.push_back(EMLB_SAMPLE_MAIL);
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::atomic<size_t> broken{0};
  std::thread applier([&] {
    // Alternating spellings of one folder count as a change of path, so the
    // converter is initialised anew each time.
    const std::u16string spellings[] = {Wide(EMLB_PACKER_DIR), Wide(EMLB_PACKER_DIR "/")};
    for (int round = 0; !stop.load(); ++round) {
      settings_.values[u"/eml/global/SharedLibsPath"] = spellings[round % 2];
      breaker_->ApplySharedSettings(kProfile);
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> workers;
  for (int w = 0; w < 3; ++w) {
    workers.emplace_back([&, w] {
      for (int pass = 0; pass < 2; ++pass) {
        for (size_t i = w; i < mails.size(); i += 3) {
          std::unique_ptr<CAStream> stream = Open(mails[i]);
          MailItem item;
          item.stream = stream.get();
          try {
            breaker_->Break(kProfile, &item);
            if (item.box.GetObject(1) == nullptr || item.box.GetObject(2) == nullptr) ++failures;
            ++broken;
          } catch (const CBreakerException&) {
            // A body that does not convert from its declared charset is
            // refused; that is not what this test watches.
          }
          // As a host does, whether or not the break succeeded.
          breaker_->ReleaseBrokenMail(kProfile, &item);
        }
      }
    });
  }
  for (auto& worker : workers) worker.join();
  stop = true;
  applier.join();
  EXPECT_EQ(0, failures.load());
  EXPECT_GT(broken.load(), mails.size());
}

}  // namespace
