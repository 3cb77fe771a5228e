// One open mail: its raw bytes (owned), the GMime part tree parsed from them
// and the array of Part objects handed out for it. Created by Mail::Parse,
// destroyed by CAMimePacker::Close, which also removes its body files. Used by
// one thread at a time.
#ifndef MSGCODEC_MAIL_H_
#define MSGCODEC_MAIL_H_

#include <gmime/gmime.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "body_store.h"
#include "part.h"
#include "raw_scan.h"

namespace msgcodec {

class Mail {
 public:
  // Parses `bytes`, which the mail takes over (freed with it). Body files go
  // to a private directory under `body_base`. Returns null with *error set
  // when the mail is refused (a limit) or cannot be parsed at all.
  static std::unique_ptr<Mail> Parse(GByteArray* bytes, std::string body_base, std::string* error);
  ~Mail();
  Mail(const Mail&) = delete;
  Mail& operator=(const Mail&) = delete;

  Part* top() { return &parts_[0]; }
  // The part at `pointer` when it is one of this mail's parts, else null.
  // Only compares addresses: `pointer` is never read.
  Part* PartAt(const void* pointer);
  size_t IndexOf(const Part* part) const { return static_cast<size_t>(part - parts_.data()); }
  std::vector<Part>& parts() { return parts_; }

  std::string_view bytes() const {
    return std::string_view(reinterpret_cast<const char*>(bytes_->data), bytes_->len);
  }
  GByteArray* byte_array() const { return bytes_; }
  // Offset of the empty line that ends the mail's header block, -1 when none.
  int64_t headers_end() const { return headers_end_; }
  // The line break the mail uses: "\r\n" when its first line ends so, else "\n".
  std::string_view newline() const { return newline_; }
  uint32_t defects() const { return defects_; }
  // The top part's fields as read off the raw header block, or null when
  // GMime read them (a block the raw scan leaves to it).
  const std::vector<RawField>* scanned_fields() const {
    return scanned_fields_.empty() ? nullptr : &scanned_fields_;
  }
  // The top part read without GMime (a single part: see Mail::Parse), with
  // its lower-case "type/subtype" and its transfer encoding; null otherwise.
  struct PlainTop {
    std::string type;
    GMimeContentEncoding encoding;
  };
  const PlainTop* plain_top() const { return plain_top_ ? &*plain_top_ : nullptr; }
  BodyStore& store() { return store_; }
  bool modified() const { return modified_; }
  void MarkModified() { modified_ = true; }

 private:
  Mail(GByteArray* bytes, std::string body_base);
  void BuildTree();

  GByteArray* bytes_;
  GMimeStream* stream_ = nullptr;
  GMimeObject* top_ = nullptr;  // the top part, null when GMime found no mail
  std::vector<Part> parts_;
  int64_t headers_end_ = -1;
  std::vector<RawField> scanned_fields_;  // empty when GMime read the block
  std::optional<PlainTop> plain_top_;
  std::string_view newline_ = "\n";
  uint32_t defects_ = 0;
  bool modified_ = false;
  BodyStore store_;
};

// g_mime_init, once per process.
void EnsureGMime();

}  // namespace msgcodec

#endif  // MSGCODEC_MAIL_H_
