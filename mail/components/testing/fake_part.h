// An in-memory CAMimePart for tests and fuzz targets: a part with a list of
// (name, value) headers, a media type, an optional body file path and owned
// children, answering every slot as the packer documents it (packer.h). It
// does no MIME parsing: the test builds the tree it wants. Not thread-safe.
#ifndef MAIL_COMPONENTS_TESTING_FAKE_PART_H_
#define MAIL_COMPONENTS_TESTING_FAKE_PART_H_

#include <strings.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "emlbreaker/packer.h"

namespace nsEmlComponents {

class CFakeMimePart final : public CAMimePart {
 public:
  using Header = std::pair<std::string, std::string>;

  explicit CFakeMimePart(std::vector<Header> headers = {}, std::string content_type = "text/plain")
      : headers_(std::move(headers)), content_type_(std::move(content_type)) {}
  CFakeMimePart(const CFakeMimePart&) = delete;
  CFakeMimePart& operator=(const CFakeMimePart&) = delete;
  ~CFakeMimePart() = default;

  // Adds a child (owned by this part) and makes this part a multipart.
  CFakeMimePart* AddChild(std::vector<Header> headers, std::string content_type = "text/plain") {
    children_.push_back(
        std::make_unique<CFakeMimePart>(std::move(headers), std::move(content_type)));
    CFakeMimePart* child = children_.back().get();
    child->parent_ = this;
    child->index_ = children_.size() - 1;
    is_multipart_ = true;
    return child;
  }
  void SetBody(std::string body_file, int64_t encoded_size) {
    body_file_ = std::move(body_file);
    encoded_size_ = encoded_size;
  }
  void SetDefects(uint32_t defects) { defects_ = defects; }
  const std::vector<Header>& headers() const { return headers_; }
  int remove_calls() const { return remove_calls_; }

  int32_t GetDepth() override { return parent_ == nullptr ? 0 : parent_->GetDepth() + 1; }
  CAMimePart* GetParent() override { return parent_; }
  int32_t GetContentType(char* buffer, uint32_t size) override {
    if (buffer == nullptr || content_type_.size() + 1 > size) return 0;
    std::memcpy(buffer, content_type_.c_str(), content_type_.size() + 1);
    return static_cast<int32_t>(content_type_.size());
  }
  int64_t GetEncodedSize() override { return is_multipart_ ? 0 : encoded_size_; }
  int32_t IsRemoved() override {
    return removed_ || (parent_ != nullptr && parent_->IsRemoved() != 0) ? 1 : 0;
  }
  int32_t Remove(const void*) override {
    ++remove_calls_;
    if (parent_ == nullptr) return 0;
    removed_ = true;
    return 1;
  }
  int32_t RewindHeaders() override {
    next_header_ = 0;
    return 1;
  }
  int32_t NextHeader(char* name, char* value) override {
    if (next_header_ >= headers_.size()) return 0;
    const Header& header = headers_[next_header_++];
    std::memcpy(name, header.first.data(), header.first.size());
    name[header.first.size()] = 0;
    std::memcpy(value, header.second.data(), header.second.size());
    value[header.second.size()] = 0;
    return 1;
  }
  int32_t GetMaxHeaderLengths(uint32_t* name_length, uint32_t* value_length) override {
    if (name_length == nullptr || value_length == nullptr) return 0;
    *name_length = *value_length = 0;
    for (const Header& header : headers_) {
      *name_length = std::max<uint32_t>(*name_length, static_cast<uint32_t>(header.first.size()));
      *value_length =
          std::max<uint32_t>(*value_length, static_cast<uint32_t>(header.second.size()));
    }
    return 1;
  }
  int32_t SetHeader(const char* name, const char* value, int32_t mode) override {
    if (name == nullptr || value == nullptr || *name == 0) return 0;
    for (const char* c = name; *c != 0; ++c) {
      if (*c <= ' ' || *c > '~' || *c == ':') return 0;
    }
    if (mode == kSetHeaderReplace) {
      for (Header& header : headers_) {
        if (strcasecmp(header.first.c_str(), name) == 0) {
          header.second = value;
          return 1;
        }
      }
    }
    headers_.emplace_back(name, value);
    return 1;
  }
  int32_t IsMultipart() override { return is_multipart_ ? 1 : 0; }
  int32_t NextChild(CAMimePart** child) override {
    if (child == nullptr) return 0;
    size_t next = 0;
    if (*child != nullptr) {
      auto* previous = static_cast<CFakeMimePart*>(*child);
      if (previous->parent_ != this) {
        *child = nullptr;
        return 0;
      }
      next = previous->index_ + 1;
    }
    while (next < children_.size() && children_[next]->removed_) ++next;
    *child = next < children_.size() ? children_[next].get() : nullptr;
    return *child != nullptr ? 1 : 0;
  }
  int32_t GetChildCount() override {
    return static_cast<int32_t>(std::count_if(children_.begin(), children_.end(),
                                              [](const auto& child) { return !child->removed_; }));
  }
  uint32_t GetDefects() override { return parent_ != nullptr ? parent_->GetDefects() : defects_; }
  int32_t GetBodyFile(char* path) override {
    if (path == nullptr || is_multipart_ || body_file_.empty() ||
        body_file_.size() >= kPackerMaxPath) {
      return 0;
    }
    std::memcpy(path, body_file_.c_str(), body_file_.size() + 1);
    return 1;
  }

 private:
  std::vector<Header> headers_;
  std::string content_type_;
  std::string body_file_;
  int64_t encoded_size_ = 0;
  std::vector<std::unique_ptr<CFakeMimePart>> children_;
  CFakeMimePart* parent_ = nullptr;
  size_t index_ = 0;  // in the parent's children
  size_t next_header_ = 0;
  uint32_t defects_ = 0;
  bool is_multipart_ = false;
  bool removed_ = false;
  int remove_calls_ = 0;
};

}  // namespace nsEmlComponents

#endif  // MAIL_COMPONENTS_TESTING_FAKE_PART_H_
