// Helpers shared by the packer's tests: the packer itself, RAII mails, a
// compact dump of a part tree and the corpus location.
#ifndef MSGCODEC_PACKER_TEST_UTIL_H_
#define MSGCODEC_PACKER_TEST_UTIL_H_

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "emlbreaker/packer.h"

extern "C" int32_t RequestInterface(int32_t kind, CAMimePacker** out);

namespace msgcodec_test {

inline CAMimePacker* Packer() {
  CAMimePacker* packer = nullptr;
  EXPECT_NE(0, RequestInterface(kPackerKindMime, &packer));
  return packer;
}

// Closes the mail when it goes out of scope.
class OpenMail {
 public:
  explicit OpenMail(std::string_view bytes)
      : top_(Packer()->OpenMemory(bytes.data(), bytes.size())) {}
  explicit OpenMail(CAMimePart* top) : top_(top) {}
  ~OpenMail() {
    if (top_) Packer()->Close(top_, 0, 0, 0);
  }
  OpenMail(const OpenMail&) = delete;
  OpenMail& operator=(const OpenMail&) = delete;
  CAMimePart* get() const { return top_; }
  CAMimePart* operator->() const { return top_; }
  explicit operator bool() const { return top_ != nullptr; }

 private:
  CAMimePart* top_;
};

// After Close a body file is gone or, when its directory keeps it for the
// next mail, empty: no mail text outlives its mail.
inline bool HoldsNothing(const std::filesystem::path& path) {
  std::error_code error;
  return !std::filesystem::exists(path, error) || std::filesystem::file_size(path, error) == 0;
}

// A body directory after Close: gone, or holding empty files only.
inline bool HoldsNoBodies(const std::filesystem::path& dir) {
  std::error_code error;
  if (!std::filesystem::exists(dir, error)) return true;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    if (!entry.is_regular_file() || entry.file_size() != 0) return false;
  }
  return true;
}

inline std::vector<CAMimePart*> Children(CAMimePart* part) {
  std::vector<CAMimePart*> children;
  for (CAMimePart* child = nullptr; part->NextChild(&child);) children.push_back(child);
  return children;
}

inline std::vector<std::pair<std::string, std::string>> Headers(CAMimePart* part) {
  uint32_t name_length = 0, value_length = 0;
  EXPECT_EQ(1, part->GetMaxHeaderLengths(&name_length, &value_length));
  std::vector<char> name(name_length + 1), value(value_length + 1);
  std::vector<std::pair<std::string, std::string>> headers;
  part->RewindHeaders();
  while (part->NextHeader(name.data(), value.data()))
    headers.emplace_back(name.data(), value.data());
  return headers;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline std::string BodyPath(CAMimePart* part) {
  char path[kPackerMaxPath];
  return part->GetBodyFile(path) ? std::string(path) : std::string();
}

inline std::string Body(CAMimePart* part) {
  std::string path = BodyPath(part);
  return path.empty() ? "<no body>" : ReadFile(path);
}

inline std::string ContentType(CAMimePart* part) {
  char type[256];
  return part->GetContentType(type, sizeof type) ? std::string(type) : "?";
}

// "multipart/mixed(text/plain,image/gif)": the tree by media types.
inline std::string Dump(CAMimePart* part) {
  std::string out = ContentType(part);
  if (!part->IsMultipart()) return out;
  out += '(';
  bool first = true;
  for (CAMimePart* child : Children(part)) {
    if (!first) out += ',';
    first = false;
    out += Dump(child);
  }
  return out + ')';
}

// The mail as the packer writes it, through WriteToFd.
inline std::string Written(CAMimePart* top) {
  int fd = memfd_create("msgcodec-test", MFD_CLOEXEC);
  if (fd < 0) return "<memfd failed>";
  std::string out;
  if (Packer()->WriteToFd(top, fd)) {
    off_t size = lseek(fd, 0, SEEK_END);
    out.resize(static_cast<size_t>(size));
    if (pread(fd, &out[0], out.size(), 0) != size) out = "<read failed>";
  } else {
    out = std::string("<write failed: ") + Packer()->GetLastError() + ">";
  }
  close(fd);
  return out;
}

// The mail corpus: $MAIL_CORPUS, else the shared corpus beside the project.
inline std::string CorpusDir() {
  const char* env = std::getenv("MAIL_CORPUS");
  std::string dir = env && *env ? env : MSGCODEC_CORPUS_DIR;
  return std::filesystem::is_directory(dir) ? dir : std::string();
}

inline std::vector<std::string> CorpusFiles(const std::string& dir) {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file() && entry.path().extension() == ".eml")
      files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace msgcodec_test

#endif  // MSGCODEC_PACKER_TEST_UTIL_H_
