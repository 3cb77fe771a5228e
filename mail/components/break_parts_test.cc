#include "mail/components/break_parts.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <strings.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/charset_converter.h"
#include "emlbreaker/blackbox.h"
#include "emlbreaker/exceptions.h"
#include "emlbreaker/packer.h"
#include "mail/components/header_parser.h"
#include "mail/components/headers.h"
#include "mail/components/parts_tree_dump.h"

namespace nsEmlComponents {
namespace {

// The real packer, loaded once for the whole program and never unloaded (the
// library is marked nodelete anyway): from $EMLB_PACKER_DIR when set (a
// sanitizer build may borrow the packer of a plain one), else from the build.
// Null when there is none.
CAMimePacker* Packer() {
  static CAMimePacker* const packer = [] {
    const char* dir = std::getenv("EMLB_PACKER_DIR");
#ifdef EMLB_PACKER_DIR
    if (dir == nullptr) dir = EMLB_PACKER_DIR;
#endif
    CAMimePacker* loaded = nullptr;
    if (dir == nullptr) return loaded;
    void* library = dlopen((std::string(dir) + "/libmsgcodec.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return loaded;
    auto request = reinterpret_cast<RequestInterfaceFn>(dlsym(library, kRequestInterfaceName));
    if (request == nullptr || request(kPackerKindMime, &loaded) == 0) loaded = nullptr;
    return loaded;
  }();
  return packer;
}

#define SKIP_WITHOUT_PACKER() \
  if (Packer() == nullptr) GTEST_SKIP() << "libmsgcodec.so not built"

// One mail opened by the packer with its headers under id 1, as the header
// stage leaves it (unless told not to); frees everything as the breaker's
// release does.
class OpenedMail {
 public:
  explicit OpenedMail(const std::string& bytes, bool store_headers = true)
      : top_(Packer()->OpenMemory(bytes.data(), bytes.size())) {
    converter_.Init(ascommon::usstring(u""));
    parser_.SetConverter(&converter_);
    auto headers = std::make_unique<CPartHeaderMap>(64, nullptr);
    if (top_ == nullptr) return;
    ok_ = !store_headers || (parser_.ParseHeaders(top_, headers.get()) == 0 &&
                             box_.SetObject(headers.get(), kMailHeadersId, false) == 0);
    if (ok_ && store_headers) headers_ = headers.release();
  }
  ~OpenedMail() {
    if (headers_ != nullptr && headers_->GetCount() > 0) {
      auto position = headers_->GetStartPosition();
      for (uint32_t i = 0; i < headers_->GetCount(); ++i) {
        delete position.Value();
        if (i + 1 < headers_->GetCount()) position.Next();
      }
    }
    box_.Remove(kMailHeadersId);
    box_.Remove(kPartsTreeId);
    if (top_ != nullptr) Packer()->Close(top_, 0, 0, 0);
  }

  bool ok() const { return ok_; }
  CAMimePart* top() const { return top_; }
  ascommon::CBlackBox& box() { return box_; }
  const CHeaderParser& parser() const { return parser_; }
  CPartsTree* Break() {
    BreakParts(&box_, top_, parser_);
    return dynamic_cast<CPartsTree*>(box_.GetObject(kPartsTreeId));
  }

 private:
  ascommon::CCharsetConverter converter_{true};
  CHeaderParser parser_;
  CAMimePart* top_;
  ascommon::CBlackBox box_;
  CPartHeaderMap* headers_ = nullptr;
  bool ok_ = false;
};

bool HasContentType(CAMimePart* part) {
  uint32_t name_length = 0, value_length = 0;
  part->GetMaxHeaderLengths(&name_length, &value_length);
  std::vector<char> name(name_length + 1), value(value_length + 1);
  part->RewindHeaders();
  while (part->NextHeader(name.data(), value.data())) {
    if (strcasecmp(name.data(), "Content-Type") == 0) return true;
  }
  return false;
}

// The packer's own view of a mail in the dump's notation, independently of the
// tree: what the tree must show, parts below the depth limit left out. A part
// below the root without Content-Type is plain text to the tree even where
// MIME gives it another default (message/rfc822 in a digest).
std::string PackerDump(CAMimePart* part, int32_t depth) {
  char type[512] = {};
  std::string out = part->GetContentType(type, sizeof(type)) > 0 ? type : "?";
  if (part->IsMultipart() == 0) {
    const bool typed_by_tree = depth > 0 && out != "text/plain" && !HasContentType(part);
    return typed_by_tree ? out + "=text" : out;
  }
  std::string children;
  if (depth < kMaxPartDepth) {
    for (CAMimePart* child = nullptr; part->NextChild(&child);) {
      children += (children.empty() ? "" : ",") + PackerDump(child, depth + 1);
    }
  }
  return out + "(" + children + ")";
}

std::string Multipart(const std::string& boundary, const std::vector<std::string>& parts) {
  std::string body = "Content-Type: multipart/mixed; boundary=" + boundary + "\r\n\r\n";
  for (const std::string& part : parts) body += "--" + boundary + "\r\n" + part + "\r\n";
  return body + "--" + boundary + "--\r\n";
}

TEST(BreakPartsTest, BodyKindsFollowContentTypes) {
  SKIP_WITHOUT_PACKER();
  const std::string kPlain = "Content-Type: text/plain\r\n\r\nplain";
  const std::string kHtml = "Content-Type: text/html; charset=utf-8\r\n\r\n<p>html</p>";
  const std::string kAlternative =
      "Content-Type: multipart/alternative; boundary=alt\r\n\r\n"
      "--alt\r\n" +
      kPlain + "\r\n--alt\r\n" + kHtml + "\r\n--alt--";
  const struct {
    std::string mail;
    const char* tree;
    int32_t max_depth;
  } kCases[] = {
      {"Subject: no type\r\n\r\nhello\r\n", "text/plain", 0},
      {"Content-Type: text/html\r\n\r\n<p>hi</p>", "text/html", 0},
      {"Content-Type: TEXT/HTML\r\n\r\n<p>hi</p>", "text/html", 0},  // case does not matter
      {"Content-Type: image/gif\r\n\r\nGIF89a", "image/gif", 0},
      // An empty type gives a binary body, as the packer's own fallback does.
      {"Content-Type: ; charset=us-ascii\r\n\r\nhello", "application/octet-stream", 0},
      {"Content-Type: message/rfc822\r\n\r\nSubject: inner\r\n\r\nx", "message/rfc822", 0},
      {Multipart("b",
                 {kPlain, "\r\nno headers", kHtml, "Content-Type: application/pdf\r\n\r\n%PDF"}),
       "multipart/mixed(text/plain,text/plain,text/html,application/pdf)", 1},
      {Multipart("b", {kAlternative, "Content-Type: image/png\r\n\r\npng"}),
       "multipart/mixed(multipart/alternative(text/plain,text/html),image/png)", 2},
      {Multipart("b", {}), "multipart/mixed()", 0},
      // MIME's default in a digest is message/rfc822; the tree's is text/plain.
      {"Content-Type: multipart/digest; boundary=d\r\n\r\n--d\r\n\r\nSubject: a\r\n\r\nx\r\n--d--",
       "multipart/digest(message/rfc822=text)", 1},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.mail);
    OpenedMail mail(c.mail);
    ASSERT_TRUE(mail.ok());
    const CPartsTree* tree = mail.Break();
    ASSERT_NE(nullptr, tree);
    EXPECT_EQ(c.tree, DumpPartsTree(*tree));
    EXPECT_EQ(c.max_depth, tree->GetMaxDepth());
    EXPECT_EQ(0u, tree->GetRoot()->part->headers.GetCount());  // the mail's are under id 1
    EXPECT_EQ(tree, mail.Break());                             // a second run keeps the tree
  }
}

TEST(BreakPartsTest, PartsBelowTwentyLevelsAreLeftOut) {
  SKIP_WITHOUT_PACKER();
  // Multiparts at depths 0 to 20; the one at depth 19 also holds a text part
  // (depth 20, kept), the one at depth 20 holds a text part at depth 21.
  std::string mail = Multipart("b21", {"Content-Type: text/plain\r\n\r\ntoo deep"});
  for (int32_t depth = kMaxPartDepth - 1; depth >= 0; --depth) {
    std::vector<std::string> parts = {mail};
    if (depth == kMaxPartDepth - 1) parts.push_back("Content-Type: text/plain\r\n\r\nkept");
    mail = Multipart("b" + std::to_string(depth), parts);
  }
  OpenedMail opened(mail);
  ASSERT_TRUE(opened.ok());
  const CPartsTree* tree = opened.Break();
  ASSERT_NE(nullptr, tree);
  std::string expected;
  for (int32_t depth = 0; depth < kMaxPartDepth; ++depth) expected += "multipart/mixed(";
  expected += "multipart/mixed(),text/plain" + std::string(kMaxPartDepth, ')');
  EXPECT_EQ(expected, DumpPartsTree(*tree));
  EXPECT_EQ(kMaxPartDepth, tree->GetMaxDepth());
  int32_t error = 0;
  EXPECT_EQ(1u, const_cast<CPartsTree*>(tree)->GetTextParts(kMaxPartDepth, &error)->GetSize());
}

TEST(BreakPartsTest, StageFailuresThrowWithTheBreakersMessages) {
  SKIP_WITHOUT_PACKER();
  const struct {
    const char* name;
    bool store_other_object;
    bool store_headers;
    int32_t code;
    const char* message;
  } kCases[] = {
      // checked in this order, so a null top part shows only last
      {"other object under id 2", true, false, -301,
       "Another object with the same id already exists strIn BBInt"},
      {"no headers under id 1", false, false, -12,
       "Unknown problem occured: Mail headers should have been in BBInt"},
      {"no top part", false, true, -11, "Invalid packer"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    OpenedMail mail("Subject: x\r\n\r\nbody", c.store_headers);
    ASSERT_TRUE(mail.ok());
    if (c.store_other_object) {
      ASSERT_EQ(0, mail.box().SetObject(new ascommon::sstring("x"), kPartsTreeId, false));
    }
    try {
      BreakParts(&mail.box(), nullptr, mail.parser());
      ADD_FAILURE() << "no exception";
    } catch (const CBreakerException& e) {
      EXPECT_EQ(c.code, e.GetErrorCode());
      EXPECT_STREQ(c.message, e.what());
    }
  }
}

// Header failures of child parts end the walk; the root's headers are the
// mail's, read before, so a single-part mail needs no parsing here.
TEST(BreakPartsTest, ChildHeaderFailuresEndTheStage) {
  SKIP_WITHOUT_PACKER();
  const CHeaderParser without_converter;  // every ParseHeaders gives -11
  OpenedMail single("Content-Type: text/html\r\n\r\n<p>x</p>");
  ASSERT_TRUE(single.ok());
  BreakParts(&single.box(), single.top(), without_converter);
  EXPECT_NE(nullptr, single.box().GetObject(kPartsTreeId));

  OpenedMail multi(Multipart("b", {"Content-Type: text/plain\r\n\r\nx"}));
  ASSERT_TRUE(multi.ok());
  try {
    BreakParts(&multi.box(), multi.top(), without_converter);
    ADD_FAILURE() << "no exception";
  } catch (const CBreakerException& e) {
    EXPECT_EQ(-11, e.GetErrorCode());
    EXPECT_STREQ("Problems when iterating through parts", e.what());
  }
  EXPECT_EQ(nullptr, multi.box().GetObject(kPartsTreeId));  // the half-built tree is gone
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::filesystem::path CorpusDir() {
  const char* from_environment = std::getenv("MAIL_CORPUS");
  std::filesystem::path dir = from_environment != nullptr ? from_environment : EMLB_CORPUS_DIR;
  return std::filesystem::is_directory(dir / "mime") ? dir / "mime" : std::filesystem::path();
}

// Every mail of the corpus breaks, and its tree holds what the packer
// enumerates: the same parts in the same order with the same media types, each
// with the body kind its type gives.
TEST(BreakPartsTest, CorpusTreesAgreeWithThePacker) {
  SKIP_WITHOUT_PACKER();
  const std::filesystem::path dir = CorpusDir();
  if (dir.empty()) GTEST_SKIP() << "mail corpus not found";
  int mails = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() != ".eml") continue;
    SCOPED_TRACE(entry.path().filename().string());
    ++mails;
    OpenedMail mail(ReadFile(entry.path()));
    ASSERT_TRUE(mail.ok());
    const CPartsTree* tree = nullptr;
    try {
      tree = mail.Break();
    } catch (const CBreakerException& e) {
      ADD_FAILURE() << e.GetErrorCode() << " " << e.what();
      continue;
    }
    ASSERT_NE(nullptr, tree);
    EXPECT_EQ(PackerDump(mail.top(), 0), DumpPartsTree(*tree));
  }
  EXPECT_GT(mails, 0);
}

}  // namespace
}  // namespace nsEmlComponents
