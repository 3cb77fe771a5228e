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
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "emlbreaker/broken_mail.h"
#include "emlbreaker/exceptions.h"
#include "emlbreaker/mail_item.h"
#include "emlbreaker/packer.h"
#include "framework/base/testing/map_settings.h"
#include "framework/base/testing/outcome.h"
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

// The rule folder shipped beside the sample mail.
std::string ShippedRules() {
  return (fs::path(EMLB_SAMPLE_MAIL).parent_path().parent_path() / "rules").string();
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
    for (CAModule* module : {static_cast<CAModule*>(breaker_), static_cast<CAModule*>(streamer_)})
      PluginLoader::DestroyModule(module, kProfile);
    plugin_.release_factory();
  }

  CAModule* Create(const char16_t* name) {
    return plugin_.CreateModule(factory_, name, &settings_, kProfile);
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

// A multipart whose boundary never occurs hides its text from a reader of the
// tree; the packer shows it as a text leaf, and the text stage must read it,
// at the top of the mail as inside another multipart.
TEST_F(BreakerTest, TextOfAMultipartWhoseBoundaryNeverOccursIsAnalysed) {
  TempMail top("From: a@example.org\r\nContent-Type: multipart/alternative; boundary=nowhere\r\n"
               "\r\nCheap pills here\r\n");
  TempMail nested(
      "From: a@example.org\r\nContent-Type: multipart/mixed; boundary=a\r\n\r\n"
      "--a\r\nContent-Type: text/plain\r\n\r\nhello\r\n"
      "--a\r\nContent-Type: multipart/related; boundary=nowhere\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\nQ2hlYXAgcGlsbHMgaGVyZQ==\r\n--a--\r\n");
  for (const TempMail* mail : {&top, &nested}) {
    SCOPED_TRACE(mail->path());
    std::unique_ptr<CAStream> stream = Open(mail->path());
    MailItem item;
    item.stream = stream.get();
    ASSERT_EQ(0, breaker_->Break(kProfile, &item));
    auto* tree = GetPartsTree(item.box);
    ASSERT_NE(nullptr, tree);
    std::vector<std::string> texts = PlainTexts(*tree);
    EXPECT_NE(texts.end(), std::find(texts.begin(), texts.end(), "Cheap pills here"))
        << ::testing::PrintToString(texts);
    breaker_->ReleaseBrokenMail(kProfile, &item);
  }
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
// parser uses and the regex library. The mails run the shipped rules as a
// filter does, each with its own context over the one rule engine. Run under
// ThreadSanitizer in CI.
TEST_F(BreakerTest, ConcurrentBreaksWhileSharedSettingsAreReapplied) {
  settings_.values[u"/eml/breaker/SlfPath"] = Wide(ShippedRules());
  breaker_->ApplySharedSettings(kProfile);
  std::vector<std::string> mails = CorpusMails(25);
  mails.push_back(EMLB_SAMPLE_MAIL);
  std::atomic<size_t> rules_run{0};
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
            CAExecutionUnit* unit = GetExecutionUnit(item.box);
            if (item.box.GetObject(1) == nullptr || item.box.GetObject(2) == nullptr ||
                unit == nullptr) {
              ++failures;
            }
            ++broken;
            const SignatureArray empty;
            for (const SignatureInfo* signature : unit != nullptr ? unit->GetSignatures() : empty) {
              try {
                unit->ExecRule(signature->name);
              } catch (const ASException&) {
                // A verdict rule fails on a mail nothing scored.
              }
              ++rules_run;
            }
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
  EXPECT_GT(rules_run.load(), 0u);
}

// Rules run through the execution unit the breaker publishes under id 4, on
// mails broken over the real packer, as a filter runs them.
class RulesOnMailTest : public BreakerTest {
 protected:
  void SetUp() override {
    BreakerTest::SetUp();
    folder_ = fs::path(::testing::TempDir()) /
              ("rules_on_mail_" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
  }
  void TearDown() override {
    Release();
    fs::remove_all(folder_);
    BreakerTest::TearDown();
  }

  // Applies the shared settings with a new rule folder holding `rules` (none:
  // a folder without rule files).
  void Load(const std::string& rules) {
    const fs::path folder = folder_ / std::to_string(loads_++);
    fs::create_directories(folder);
    if (!rules.empty()) std::ofstream(folder / "rules.slf") << rules;
    settings_.values[u"/eml/breaker/SlfPath"] = Wide(folder.string());
    breaker_->ApplySharedSettings(kProfile);
  }
  // Breaks `text` into item_ (the mail broken before is released) and answers
  // the unit published for it.
  CAExecutionUnit* Break(const std::string& text) {
    Release();
    mail_ = std::make_unique<TempMail>(text);
    stream_ = Open(mail_->path());
    item_.stream = stream_.get();
    item_.modified = false;
    EXPECT_EQ(0, breaker_->Break(kProfile, &item_));
    return GetExecutionUnit(item_.box);
  }
  void Release() {
    if (item_.stream != nullptr) breaker_->ReleaseBrokenMail(kProfile, &item_);
    item_.stream = nullptr;
    stream_.reset();
  }
  // An integer variable of the mail, -1 when no rule set it.
  static int32_t Variable(CAExecutionUnit* unit, const char* name) {
    try {
      return unit->GetIntValue(name);
    } catch (const ASException&) {
      return -1;
    }
  }
  // The text of a mail header as the header actions left it ("-": none).
  std::string HeaderText(const char* key, uint8_t* modified = nullptr) {
    nsEmlComponents::CHeader** found = GetMailHeaders(item_.box)->Lookup(ascommon::sstring(key));
    if (found == nullptr) return "-";
    if ((*found)->GetType() == nsEmlComponents::kHeaderSubject) {
      auto* subject = static_cast<CHeaderSubject*>(*found);
      if (modified != nullptr) *modified = subject->modified;
      return subject->text.c_str();
    }
    if ((*found)->GetType() != nsEmlComponents::kHeaderOther) return "?";
    auto* other = static_cast<nsEmlComponents::CHeaderOther*>(*found);
    if (modified != nullptr) *modified = other->modified;
    return other->text.c_str();
  }

  fs::path folder_;
  int loads_ = 0;
  std::unique_ptr<TempMail> mail_;
  std::unique_ptr<CAStream> stream_;
  MailItem item_;
};

std::string SimpleRule(const std::string& name, const std::string& condition,
                       const std::string& actions = "none;",
                       const std::string& metadata = "none;") {
  return "rule " + name + " { condition: " + condition + "; actions: " + actions +
         " metadata: " + metadata + " }\n";
}

// An encoded subject in capitals, a header that is not UTF-8, a Latin-1 text
// part with a URL written with an escape, an HTML part with an entity, a tag
// and a link, and headers of the parts' own.
const char kShopMail[] =
    "From: Shop <news@shop.example>\r\nTo: you@example.org\r\n"
    "Subject: =?UTF-8?B?RlJFRSBNT05FWSBpbnNpZGU=?=\r\n"  // FREE MONEY inside
    "X-Mailer: BulkMail 3.1\r\nX-Latin: caf\xe9 au lait\r\nMIME-Version: 1.0\r\n"
    "Content-Type: multipart/alternative; boundary=b1\r\n\r\n"
    "--b1\r\nContent-Type: text/plain; charset=iso-8859-1\r\nContent-Disposition: inline\r\n\r\n"
    "Visit http://Shop.EXAMPLE/%4Ffer?id=7 today, caf\xe9 lovers.\r\n"
    "--b1\r\nContent-Type: text/html; charset=utf-8\r\nX-Part-Note: second part\r\n\r\n"
    "<html><body><p>Fish &amp; chips <b>now</b></p>"
    "<a href=\"http://Link.Example/Path\">click here</a></body></html>\r\n"
    "--b1--\r\n";

TEST_F(RulesOnMailTest, MatchLooksOnlyWhereAndHowTheRuleSays) {
  const struct {
    const char* name;
    const char* condition;
    double expected;
  } kCases[] = {
      // All headers: the subject as decoded, the others by their value.
      {"H_ALL_DECODED_SUBJECT", R"(match("free money", Headers::ALL, EXACT_INSENSITIVE))", 1},
      {"H_ALL_CASE", R"(match("free money", Headers::ALL, EXACT))", 0},
      {"H_ALL_ENCODED_WORD", R"(match("RlJFRSBN", Headers::ALL, EXACT))", 0},
      {"H_ALL_OTHER_VALUE", R"(match("BulkMail 3", Headers::ALL, EXACT))", 1},
      {"H_ALL_REGEX", R"(match("MONEY\s+in", Headers::ALL, REGEX))", 1},
      // A named header: exact on the subject as written, regex on it decoded;
      // names are upper case, as the mail's keys.
      {"H_SUBJECT_AS_WRITTEN", R"(match("=?UTF-8?B?", Headers::"SUBJECT", EXACT))", 1},
      {"H_SUBJECT_NOT_DECODED", R"(match("FREE", Headers::"SUBJECT", EXACT))", 0},
      {"H_SUBJECT_REGEX_DECODED", R"(match("^FREE MONEY", Headers::"SUBJECT", REGEX))", 1},
      {"H_MIXED_CASE_NAME", R"(match("=?UTF-8?B?", Headers::"Subject", EXACT))", 0},
      {"H_MISSING", R"(match("x", Headers::"X-NONE", EXACT_INSENSITIVE))", 0},
      {"H_NAMED_REGEX_INSENSITIVE", R"(match("bulkmail \d", Headers::"X-MAILER", REGEX_INSENSITIVE))", 1},
      // Bytes that are not UTF-8 leave the header without a value: nothing matches.
      {"H_NOT_UTF8", R"(match("caf", Headers::"X-LATIN", REGEX))", 0},
      // Parts: plain text, HTML source (RAW, the default) or visible text (DECODED).
      {"P_PLAIN", R"(match("today", Parts::TextPlain, EXACT))", 1},
      {"P_PLAIN_ONLY", R"(match("chips", Parts::TextPlain, EXACT))", 0},
      {"P_HTML_RAW", R"(match("<b>now</b>", Parts::TextHTML, EXACT))", 1},
      {"P_HTML_RAW_ENTITY", R"(match("Fish & chips", Parts::TextHTML, EXACT, RAW))", 0},
      {"P_HTML_DECODED", R"(match("Fish & chips", Parts::TextHTML, EXACT, DECODED))", 1},
      {"P_HTML_DECODED_TAG", R"(match("<b>", Parts::TextHTML, EXACT, DECODED))", 0},
      {"P_ALL_INSENSITIVE", R"(match("VISIT", Parts::ALL, EXACT_INSENSITIVE))", 1},
      {"P_LATIN1_REGEX", R"(match("caf. lovers", Parts::Text, REGEX))", 1},
      {"P_REGEX_DECODED", R"(match("FISH & CHIPS NOW", Parts::ALL, REGEX_INSENSITIVE, DECODED))", 1},
      {"P_OBFUSCATED", R"(match("today", Parts::ALL, OBFUSCATED))", 0},
      // Part headers: each part's own map; the mail's headers are not in it.
      {"PH_ALL", R"(match("inline", PartHeaders::ALL, EXACT))", 1},
      {"PH_NOT_MAIL_HEADERS", R"(match("BulkMail", PartHeaders::ALL, EXACT))", 0},
      {"PH_NAMED", R"(match("second", PartHeaders::"X-PART-NOTE", EXACT))", 1},
      {"PH_MIXED_CASE_NAME", R"(match("second", PartHeaders::"X-Part-Note", EXACT))", 0},
      {"PH_REGEX", R"(match("^text/html;", PartHeaders::"CONTENT-TYPE", REGEX))", 1},
      // URLs: decoded (escapes resolved, lower case), never as written.
      {"U_DECODED", R"(match("shop.example/ofer?id=7", Urls::ALL, EXACT))", 1},
      {"U_RAW_ESCAPE", R"(match("%4Ffer", Urls::ALL, EXACT_INSENSITIVE))", 0},
      {"U_RAW_CASE", R"(match("Shop", Urls::ALL, REGEX))", 0},
      {"U_HTML_LINK", R"(match("^http://link\.example/path$", Urls::ALL, REGEX))", 1},
  };
  std::string rules;
  for (const auto& c : kCases) rules += SimpleRule(c.name, c.condition);
  Load(rules);
  CAExecutionUnit* unit = Break(kShopMail);
  ASSERT_NE(nullptr, unit);
  for (const auto& c : kCases) EXPECT_EQ(c.expected, unit->ExecRule(c.name)) << c.name;
}

TEST_F(RulesOnMailTest, ExistsIsEmptyAndScoreLimits) {
  Load(SimpleRule("E_HEADER", R"(exists(Headers::"X-MAILER"))") +
       SimpleRule("E_MIXED_CASE", R"(exists(Headers::"X-Mailer"))") +
       SimpleRule("E_TEXT", "exists(Parts::Text)") + SimpleRule("E_HTML", "exists(Parts::TextHTML)") +
       SimpleRule("Z_NOT_UTF8", R"(is_empty(Headers::"X-LATIN"))") +
       SimpleRule("Z_MISSING", R"(is_empty(Headers::"X-NONE"))") +
       SimpleRule("Z_SUBJECT", R"(is_empty(Headers::"SUBJECT"))") +
       SimpleRule("Z_PLAIN", "is_empty(Parts::TextPlain)") +
       SimpleRule("ADD_10", "none", "increase_score(SCORE, 10);") +
       SimpleRule("S_10", "score_greater_than(SCORE, 10)") +
       SimpleRule("S_11", "score_greater_than(SCORE, 11)") +
       SimpleRule("S_NAMED_LIMIT", "score_greater_than(SCORE, LIMIT)"));
  const struct {
    const char* mail;
    std::vector<std::pair<const char*, double>> values;
  } kMails[] = {
      {kShopMail,
       {{"E_HEADER", 1}, {"E_MIXED_CASE", 0}, {"E_TEXT", 1}, {"E_HTML", 1}, {"Z_NOT_UTF8", 1},
        {"Z_MISSING", 0}, {"Z_SUBJECT", 0}, {"Z_PLAIN", 0}}},
      // One plain part alone; then a second one left empty.
      {"Subject: \r\nContent-Type: text/plain\r\n\r\nhello\r\n",
       {{"E_HEADER", 0}, {"E_TEXT", 1}, {"E_HTML", 0}, {"Z_SUBJECT", 1}, {"Z_PLAIN", 0}}},
      {"Content-Type: multipart/mixed; boundary=a\r\n\r\n--a\r\n\r\nhello\r\n"
       "--a\r\nContent-Type: text/plain\r\n\r\n--a--\r\n",
       {{"Z_PLAIN", 1}}},
  };
  for (const auto& m : kMails) {
    CAExecutionUnit* unit = Break(m.mail);
    ASSERT_NE(nullptr, unit);
    for (const auto& [name, value] : m.values) EXPECT_EQ(value, unit->ExecRule(name)) << name;
  }

  // A limit is reached when equalled; an unset score fails the rule (and is
  // tried again next time); a limit in a variable never hits.
  CAExecutionUnit* unit = Break(kShopMail);
  EXPECT_EQ("-1 CEmlContextInterface::GetIntValue - variable with given name does not exist",
            emlbtest::Outcome([&] { unit->ExecRule("S_10"); }));
  EXPECT_EQ(1.0, unit->ExecRule("ADD_10"));
  EXPECT_EQ(1.0, unit->ExecRule("S_10"));
  EXPECT_EQ(0.0, unit->ExecRule("S_11"));
  EXPECT_EQ(0.0, unit->ExecRule("S_NAMED_LIMIT"));
}

// The breaker counts the fields a mail carries once while it parses the headers; the
// heuristics read those counts, which see the repeats the header map merges.
TEST_F(RulesOnMailTest, HeaderHeuristicsSeeRepeatsThroughTheBreak) {
  Load(SimpleRule("FROM_TWICE", "exec(H_HDR_FROM_TWICE)") +
       SimpleRule("SINGLE_TWICE", "exec(H_HDR_SINGLE_TWICE)"));
  const struct {
    const char* mail;
    double from_twice, single_twice;
  } kMails[] = {
      {"From: a@good.example\r\nSubject: a\r\nfrom: b@evil.example\r\nSUBJECT: b\r\n"
       "Resent-From: c@d.example\r\nResent-From: e@f.example\r\n\r\nhello\r\n",
       2, 2},
      {"From: a@good.example\r\nReceived: x\r\nReceived: y\r\n\r\nhello\r\n", 0, 0},
  };
  for (const auto& m : kMails) {
    CAExecutionUnit* unit = Break(m.mail);
    ASSERT_NE(nullptr, unit);
    EXPECT_EQ(m.from_twice, unit->ExecRule("FROM_TWICE")) << m.mail;
    EXPECT_EQ(m.single_twice, unit->ExecRule("SINGLE_TWICE")) << m.mail;
  }
}

TEST_F(RulesOnMailTest, MetaRulesRunTheRulesTheyReachInOrder) {
  // H1 and H2 hit and count their runs; M1 and M2 miss.
  const std::string simple = SimpleRule("H1", "none", "increase_score(H1_RUNS, 1);") +
                             SimpleRule("H2", "none", "increase_score(H2_RUNS, 1);") +
                             SimpleRule("M1", R"(exists(Headers::"X-NONE"))") +
                             SimpleRule("M2", "exists(Parts::TextHTML)");
  const struct {
    const char* expression;
    double value;
    int h1_runs, h2_runs;  // -1: never ran
    const char* hits;      // the hit list after the meta-rule ran
  } kCases[] = {
      {"H1 || H2", 1, 1, -1, "H1; META"},   {"H1 ||| H2", 1, 1, 1, "H1; H2; META"},
      {"M1 || H2", 1, -1, 1, "H2; META"},   {"M1 && H2", 0, -1, -1, ""},
      {"M1 &&& H2", 0, -1, 1, "H2"},        {"H1 && H2", 1, 1, 1, "H1; H2; META"},
      {"M1 == M2", 1, -1, -1, "META"},      {"H1 == M1", 0, 1, -1, "H1"},
      {"H1 != M1", 1, 1, -1, "H1; META"},   {"!(M1 || !H2)", 1, -1, 1, "H2; META"},
      // A rule reached twice runs its actions twice, its value computed once.
      {"H1 &&& (H1 ||| H2)", 1, 2, 1, "H1; H2; META"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.expression);
    Load(simple + "metarule META { condition: " + c.expression +
         "; actions: none; metadata: none; }\n");
    CAExecutionUnit* unit = Break("Subject: s\r\n\r\nbody\r\n");
    ASSERT_NE(nullptr, unit);
    EXPECT_EQ(c.value, unit->ExecRule("META"));
    EXPECT_EQ(c.h1_runs, Variable(unit, "H1_RUNS"));
    EXPECT_EQ(c.h2_runs, Variable(unit, "H2_RUNS"));
    // The hit list follows the engine's rule order; compare it sorted.
    std::vector<std::string> hits;
    std::stringstream joined(unit->GetHitRules().c_str());
    for (std::string hit; std::getline(joined, hit, ';');) hits.push_back(hit.substr(hit[0] == ' '));
    std::sort(hits.begin(), hits.end());
    std::string sorted;
    for (const std::string& hit : hits) sorted += (sorted.empty() ? "" : "; ") + hit;
    EXPECT_EQ(c.hits, sorted);
  }
}

TEST_F(RulesOnMailTest, ActionsSetVariablesAndWriteHeaders) {
  Load(SimpleRule("R_CATEGORY", "none", R"(set_category("phishing");)") +
       // Two actions of one kind and form merge into one: 10 a run, not 20.
       SimpleRule("R_SCORE", "none", "increase_score(SCORE, 10); increase_score(SCORE, 10);") +
       SimpleRule("R_MARK", "none", R"(increase_score(SCORE, 5); mark("spam", 100);)") +
       SimpleRule("R_NEW", "none", R"x(add_header("X-RULE", "hit by $(RuleName)");)x") +
       SimpleRule("R_EXTEND", "none", R"x(add_to_header("X-MAILER", " +$(RuleName)");)x") +
       SimpleRule("R_PARSED", "none", R"(add_header("SUBJECT", "changed");)") +
       SimpleRule("R_MIXED", "none", R"(add_to_header("X-Mailer", "own");)") +
       SimpleRule("R_LONG", "none",
                  "add_header(\"X-LONG\", \"w000 w001 w002 w003 w004 w005 w006 w007 w008 w009 "
                  "w010 w011 w012 w013 w014 w015 w016 w017 w018 w019\");") +
       SimpleRule("R_FAILING", "none", "exec(NO_SUCH_HEURISTIC); increase_score(AFTER, 1);"));
  CAExecutionUnit* unit = Break(kShopMail);
  ASSERT_NE(nullptr, unit);

  EXPECT_EQ(1.0, unit->ExecRule("R_CATEGORY"));
  EXPECT_STREQ("phishing", unit->GetStringValue("CATEGORY").c_str());
  for (int expected : {10, 20}) {
    unit->ExecRule("R_SCORE");
    EXPECT_EQ(expected, unit->GetIntValue("SCORE"));
  }
  unit->ExecRule("R_MARK");  // the mark after the increase sets the score
  EXPECT_EQ(100, unit->GetIntValue("SCORE"));
  EXPECT_STREQ("spam", unit->GetStringValue("CATEGORY").c_str());

  EXPECT_FALSE(item_.modified);
  for (const char* rule : {"R_NEW", "R_EXTEND", "R_PARSED", "R_MIXED", "R_LONG"}) {
    unit->ExecRule(rule);
  }
  EXPECT_TRUE(item_.modified);
  uint8_t modified = 0;
  EXPECT_EQ("hit by R_NEW", HeaderText("X-RULE", &modified));
  EXPECT_EQ(1, modified);
  EXPECT_EQ("BulkMail 3.1 +R_EXTEND", HeaderText("X-MAILER", &modified));
  EXPECT_EQ(1, modified);
  // A header the breaker parsed is left alone; a name not in upper case is a
  // header of its own.
  EXPECT_EQ("=?UTF-8?B?RlJFRSBNT05FWSBpbnNpZGU=?=", HeaderText("SUBJECT", &modified));
  EXPECT_EQ(0, modified);
  EXPECT_EQ("own", HeaderText("X-Mailer"));
  EXPECT_EQ("w000 w001 w002 w003 w004 w005 w006 w007 w008 w009 w010 w011 w012 w013 w014\n\t"
            " w015 w016 w017 w018 w019",
            HeaderText("X-LONG"));

  // The failing action does not stop the one after it; the rule then fails.
  EXPECT_EQ("-1 CRule::Execute - one or more actions failed to execute",
            emlbtest::Outcome([&] { unit->ExecRule("R_FAILING"); }));
  EXPECT_EQ(1, unit->GetIntValue("AFTER"));
}

TEST_F(RulesOnMailTest, EachBreakPublishesAFreshUnitAndReleaseWithdrawsIt) {
  Load(SimpleRule("LOW", "none", "increase_score(SCORE, 1);", "priority = 1; relevance = 4;") +
       SimpleRule("HIGH", "none", "none;", "priority = 9;") + SimpleRule("PLAIN", "none"));
  CAExecutionUnit* unit = Break(kShopMail);
  ASSERT_NE(nullptr, unit);
  ASSERT_EQ(2u, unit->GetSignatures().GetSize());
  EXPECT_STREQ("HIGH", unit->GetSignatures()[0]->name);
  EXPECT_STREQ("LOW", unit->GetSignatures()[1]->name);
  ASSERT_EQ(1u, unit->GetNNetRules().GetSize());
  EXPECT_EQ(4, unit->GetNNetRules()[0]->relevance);
  EXPECT_STREQ("", unit->GetHitRules().c_str());
  const struct {
    std::function<void()> call;
    const char* outcome;
  } kFailures[] = {
      {[&] { unit->ExecRule("NOPE"); }, "CASSLEngine::ExecRule - rule with name NOPE does not exist"},
      {[&] { unit->AutoExecRule("NOPE", 1.0); },
       "CASSLEngine::AutoExecRule - rule with name NOPE does not exist"},
      {[&] { unit->GetIntValue("SCORE"); },
       "CEmlContextInterface::GetIntValue - variable with given name does not exist"},
      {[&] { unit->GetStringValue("CATEGORY"); },
       "CEmlContextInterface::GetStringValue - variable with given name does not exist"},
  };
  for (const auto& f : kFailures) EXPECT_EQ(std::string("-1 ") + f.outcome, emlbtest::Outcome(f.call));
  EXPECT_EQ(2.5, unit->AutoExecRule("LOW", 2.5));
  EXPECT_EQ(2.5, unit->ExecRule("LOW"));  // the value given stands; the actions ran twice
  EXPECT_EQ(2, unit->GetIntValue("SCORE"));

  // Breaking the item again replaces the unit, and the mail starts over.
  ASSERT_EQ(0, breaker_->Break(kProfile, &item_));
  CAExecutionUnit* again = GetExecutionUnit(item_.box);
  ASSERT_NE(nullptr, again);
  EXPECT_NE(unit, again);
  EXPECT_EQ(-1, Variable(again, "SCORE"));
  EXPECT_STREQ("", again->GetHitRules().c_str());
  breaker_->ReleaseBrokenMail(kProfile, &item_);
  EXPECT_EQ(nullptr, item_.box.GetReference(kExecutionUnitId));
  item_.stream = nullptr;
}

TEST_F(RulesOnMailTest, AFailedRuleFolderLeavesTheBreakerWorkingAndIsRetried) {
  Load(SimpleRule("EARLY", "none"));
  Load("");  // no rule file: the old rules are gone, the engine is empty
  CAExecutionUnit* unit = Break(kShopMail);
  ASSERT_NE(nullptr, unit);
  EXPECT_NE(nullptr, GetMailHeaders(item_.box));
  EXPECT_NE(nullptr, GetPartsTree(item_.box));
  EXPECT_EQ("-1 CASSLEngine::ExecRule - rule with name EARLY does not exist",
            emlbtest::Outcome([&] { unit->ExecRule("EARLY"); }));
  EXPECT_EQ(0u, unit->GetSignatures().GetSize());
  Release();

  // The same folder, now with a rule file: the next apply loads it.
  const fs::path folder = folder_ / std::to_string(loads_ - 1);
  std::ofstream(folder / "late.slf") << SimpleRule("LATE", "none");
  breaker_->ApplySharedSettings(kProfile);
  unit = Break(kShopMail);
  ASSERT_NE(nullptr, unit);
  EXPECT_EQ(1.0, unit->ExecRule("LATE"));
}

TEST_F(RulesOnMailTest, TheShippedRulesLoadAndRun) {
  settings_.values[u"/eml/breaker/SlfPath"] = Wide(ShippedRules());
  breaker_->ApplySharedSettings(kProfile);
  CAExecutionUnit* unit = Break(Slurp(EMLB_SAMPLE_MAIL));
  ASSERT_NE(nullptr, unit);
  ASSERT_GT(unit->GetSignatures().GetSize(), 0u);
  for (const SignatureInfo* signature : unit->GetSignatures()) {
    // A rule may fail on the mail (a score not set yet), never be missing.
    EXPECT_EQ(std::string::npos, emlbtest::Outcome([&] { unit->ExecRule(signature->name); })
                                     .find("rule with name"))
        << signature->name;
  }
}

}  // namespace
