// The MIME packer as the host itself uses it, beside the streamer: `filter`
// opens the mail it reads (a file or standard input) through the packer, lets
// the plug-in break it as a memory stream (subtype 4), and writes the result
// out through the packer, which keeps every byte the filter did not change.
// The library is the one the streamer loads (the same path, so dlopen hands
// out the same object).
#ifndef TOOLS_EMLSCAN_PACKER_HOST_H_
#define TOOLS_EMLSCAN_PACKER_HOST_H_

#include <string>

#include "emlbreaker/packer.h"

namespace emlscan {

class PackerHost {
 public:
  // Loads "libmsgcodec.so" from `directory`; throws std::runtime_error with
  // the loader's or the library's reason.
  explicit PackerHost(const std::string& directory);
  ~PackerHost();
  PackerHost(const PackerHost&) = delete;
  PackerHost& operator=(const PackerHost&) = delete;

  CAMimePacker* packer() const { return packer_; }
  // The packer's reason for its last failure on this thread, or `fallback`.
  std::string LastError(const char* fallback) const;

 private:
  void* library_ = nullptr;
  CAMimePacker* packer_ = nullptr;
  ReleaseInterfaceFn release_ = nullptr;
};

// The packer's reason for its last failure on the calling thread, when the
// library in `directory` is loaded already (by the streamer, say); empty when
// it is not or has no reason to give. Loads nothing itself.
std::string LoadedPackerLastError(const std::string& directory);

// A mail opened through the packer, closed when this goes.
class OpenedMail {
 public:
  OpenedMail(CAMimePacker* packer, CAMimePart* top) : packer_(packer), top_(top) {}
  ~OpenedMail() {
    if (top_ != nullptr) packer_->Close(top_, 0, 0, 0);
  }
  OpenedMail(const OpenedMail&) = delete;
  OpenedMail& operator=(const OpenedMail&) = delete;
  CAMimePart* top() const { return top_; }

 private:
  CAMimePacker* packer_;
  CAMimePart* top_;
};

}  // namespace emlscan

#endif  // TOOLS_EMLSCAN_PACKER_HOST_H_
