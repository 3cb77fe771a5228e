// The packer object and the library's two exports. Every slot runs inside
// Guard, so nothing thrown inside (std::bad_alloc included) crosses the
// interface; failures become the slot's failure code and GetLastError text.
#include "emlbreaker/packer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "body_store.h"
#include "last_error.h"
#include "limits.h"
#include "mail.h"
#include "writer.h"

namespace msgcodec {
namespace {

thread_local std::string t_last_error;

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

// The reason a mail over kMaxMailBytes is refused. `size` is its size, or
// with `at_least` what was read of a stream before it passed the limit.
std::string TooLarge(uint64_t size, bool at_least) {
  return std::string("too large: ") + (at_least ? "more than " : "") +
         std::to_string(at_least ? kMaxMailBytes : size) + " bytes, the limit is " +
         std::to_string(kMaxMailBytes >> 20) + " MiB";
}

// Reads a whole file into a new byte array; null with *error on failure.
GByteArray* ReadMailFile(const char* file_name, std::string* error) {
  int fd = open(file_name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = ErrnoText(std::string("cannot open ") + file_name);
    return nullptr;
  }
  struct stat st;
  bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (regular && static_cast<uint64_t>(st.st_size) > kMaxMailBytes) {
    close(fd);
    *error = TooLarge(static_cast<uint64_t>(st.st_size), false);
    return nullptr;
  }
  // Read straight into the array, sized from the file with one spare byte,
  // so a file that did not change reads in one call: a regular file's read
  // that returns less than asked for has met the end, and no second read is
  // needed to see it. A file that grew meanwhile gets 64 KiB more per step; a
  // pipe's array doubles.
  size_t capacity = regular ? static_cast<size_t>(st.st_size) + 1 : 64 << 10;
  GByteArray* bytes = g_byte_array_sized_new(static_cast<guint>(capacity));
  for (;;) {
    size_t used = bytes->len;
    if (regular && used == capacity) {
      capacity += 64 << 10;
    } else if (!regular && capacity - used < 4096) {
      capacity *= 2;
    }
    g_byte_array_set_size(bytes, static_cast<guint>(capacity));
    const size_t wanted = capacity - used;
    ssize_t n = read(fd, bytes->data + used, wanted);
    g_byte_array_set_size(bytes, static_cast<guint>(used + (n > 0 ? n : 0)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = ErrnoText(std::string("cannot read ") + file_name);
      break;
    }
    if (n == 0) break;
    if (bytes->len > kMaxMailBytes) {
      // A pipe, or a file that grew while it was read: its size is not known.
      *error = TooLarge(bytes->len, true);
      break;
    }
    if (regular && static_cast<size_t>(n) < wanted) break;
  }
  close(fd);
  if (!error->empty()) {
    g_byte_array_unref(bytes);
    return nullptr;
  }
  return bytes;
}

bool IsWritableDirectory(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode) && access(path, W_OK | X_OK) == 0;
}

class Packer final : public CAMimePacker {
 public:
  int32_t Check(int32_t kind) override { return kind == kPackerKindMime ? 1 : 0; }

  CAMimePart* Open(const char* file_name) override {
    // The reasons of Open and OpenMemory are about the mail, and a host puts
    // them after its own words: they carry no slot name.
    return Guard<CAMimePart*>("", nullptr, [&]() -> CAMimePart* {
      if (!file_name) return OpenFailed("no file name");
      std::string error;
      GByteArray* bytes = ReadMailFile(file_name, &error);
      if (!bytes) return OpenFailed(std::move(error));
      return Register(bytes);
    });
  }

  int32_t Close(CAMimePart* mail, int32_t, int32_t, int32_t) override {
    return Guard<int32_t>("Close", 0, [&]() -> int32_t {
      Mail* open = Unregister(mail);
      if (!open) return Fail("Close: not an open mail");
      delete open;
      return 1;
    });
  }

  CAMimePart* OpenMemory(const void* data, uint64_t size) override {
    return Guard<CAMimePart*>("", nullptr, [&]() -> CAMimePart* {
      if (!data && size > 0)
        return OpenFailed("null data for a mail of " + std::to_string(size) + " bytes");
      if (size > kMaxMailBytes) return OpenFailed(TooLarge(size, false));
      GByteArray* bytes = g_byte_array_sized_new(static_cast<guint>(size + 1));
      if (size > 0)
        g_byte_array_append(bytes, static_cast<const guint8*>(data), static_cast<guint>(size));
      return Register(bytes);
    });
  }

  int32_t WriteToFile(CAMimePart* mail, const char* path) override {
    return Guard<int32_t>("WriteToFile", 0, [&]() -> int32_t {
      Mail* open = Find(mail);
      if (!open) return Fail("WriteToFile: not an open mail");
      if (!path || !*path) return Fail("WriteToFile: no path");
      return WriteReplacing(*open, path);
    });
  }

  int32_t WriteToFd(CAMimePart* mail, int32_t fd) override {
    return Guard<int32_t>("WriteToFd", 0, [&]() -> int32_t {
      Mail* open = Find(mail);
      if (!open) return Fail("WriteToFd: not an open mail");
      std::string error;
      if (!WriteMail(
              *open, [fd](const char* d, size_t n) { return WriteFully(fd, d, n); }, &error))
        return Fail("WriteToFd: " + error);
      return 1;
    });
  }

  int32_t IsModified(CAMimePart* mail) override {
    return Guard<int32_t>("IsModified", 0, [&]() -> int32_t {
      Mail* open = Find(mail);
      if (!open) return Fail("IsModified: not an open mail");
      return open->modified() ? 1 : 0;
    });
  }

  const char* GetLastError() override { return LastError(); }

  int32_t SetBodyDirectory(const char* directory) override {
    return Guard<int32_t>("SetBodyDirectory", 0, [&]() -> int32_t {
      if (directory && *directory && !IsWritableDirectory(directory))
        return Fail(std::string("SetBodyDirectory: not a writable directory: ") + directory);
      SetBodyBase(directory ? directory : "");
      return 1;
    });
  }

 private:
  CAMimePart* OpenFailed(std::string text) {
    SetLastError(std::move(text));
    return nullptr;
  }

  CAMimePart* Register(GByteArray* bytes) {
    std::string base = *body_base_.load(std::memory_order_acquire);
    if (base.empty()) base = DefaultBodyBase();
    std::string error;
    std::unique_ptr<Mail> mail = Mail::Parse(bytes, base, &error);
    if (!mail) return OpenFailed(std::move(error));
    // Part names are "part-<index>", at most 10 digits.
    if (mail->store().MaxPathLength(15) >= kPackerMaxPath)
      return OpenFailed("body directory path too long: the paths of its body files under " +
                        base + " would pass " + std::to_string(kPackerMaxPath - 1) + " bytes");
    CAMimePart* top = mail->top();
    Shard& shard = ShardOf(top);
    std::lock_guard<std::mutex> lock(shard.mutex);
    shard.open.emplace(top, mail.get());
    mail.release();
    return top;
  }

  Mail* Find(CAMimePart* top) {
    Shard& shard = ShardOf(top);
    std::lock_guard<std::mutex> lock(shard.mutex);
    auto it = shard.open.find(top);
    return it == shard.open.end() ? nullptr : it->second;
  }

  Mail* Unregister(CAMimePart* top) {
    Shard& shard = ShardOf(top);
    std::lock_guard<std::mutex> lock(shard.mutex);
    auto it = shard.open.find(top);
    if (it == shard.open.end()) return nullptr;
    Mail* mail = it->second;
    shard.open.erase(it);
    return mail;
  }

  void SetBodyBase(std::string base) {
    std::lock_guard<std::mutex> lock(bases_mutex_);
    if (*body_base_.load(std::memory_order_relaxed) == base) return;
    bases_.push_back(std::make_unique<const std::string>(std::move(base)));
    body_base_.store(bases_.back().get(), std::memory_order_release);
  }

  // Writes to a temporary file beside `path` and renames it over `path`, so a
  // reader never sees half a mail and a failed write leaves `path` as it was.
  int32_t WriteReplacing(Mail& mail, const char* path) {
    std::string temp = std::string(path) + ".msgcodec-XXXXXX";
    int fd = mkostemp(&temp[0], O_CLOEXEC);
    if (fd < 0)
      return Fail(ErrnoText(std::string("WriteToFile: cannot create a file beside ") + path));
    struct stat st;
    if (stat(path, &st) == 0) fchmod(fd, st.st_mode & 07777);
    std::string error;
    bool ok = WriteMail(
        mail, [fd](const char* d, size_t n) { return WriteFully(fd, d, n); }, &error);
    if (close(fd) != 0 && ok) {
      ok = false;
      error = ErrnoText("cannot close the written file");
    }
    if (ok && rename(temp.c_str(), path) != 0) {
      ok = false;
      error = ErrnoText(std::string("cannot rename the written file to ") + path);
    }
    if (!ok) {
      unlink(temp.c_str());
      return Fail("WriteToFile: " + error);
    }
    return 1;
  }

  // Every mail not yet closed, in one of kShards tables by its address. Each
  // Open and Close of a mail writes its table's lock: one table shared by all
  // threads, beside the object's virtual table, made every call on the packer
  // from another core wait for that cache line. With two threads, one table
  // per 64-byte line and sixteen of them, the two seldom meet.
  struct alignas(64) Shard {
    std::mutex mutex;
    std::unordered_map<CAMimePart*, Mail*> open;
  };
  static constexpr size_t kShards = 16;
  Shard& ShardOf(CAMimePart* top) {
    // Mails are heap blocks: the low bits say little, the next ones differ.
    const uintptr_t at = reinterpret_cast<uintptr_t>(top);
    return shards_[((at >> 6) ^ (at >> 12)) % kShards];
  }
  std::array<Shard, kShards> shards_;

  // The directory for body files (empty: DefaultBodyBase()). Read by every
  // Open without a lock: each value set stays in bases_ until the process
  // ends, so a reader never meets a freed one. Hosts set it when they
  // configure, not per mail.
  alignas(64) std::mutex bases_mutex_;
  std::vector<std::unique_ptr<const std::string>> bases_;
  const std::string kNoBase;
  std::atomic<const std::string*> body_base_{&kNoBase};
};

// The one packer of the process. Created on first request and never
// destroyed: mails may outlive ReleaseInterface and are closed through it.
Packer& ThePacker() {
  static Packer* packer = new Packer;
  return *packer;
}

}  // namespace

void ClearLastError() { t_last_error.clear(); }
void SetLastError(std::string text) { t_last_error = std::move(text); }
const char* LastError() { return t_last_error.c_str(); }

}  // namespace msgcodec

extern "C" EMLB_EXPORT int32_t RequestInterface(int32_t kind, CAMimePacker** out) {
  try {
    if (!out) return 0;
    *out = nullptr;
    if (kind != kPackerKindMime) return 0;
    msgcodec::EnsureGMime();
    *out = &msgcodec::ThePacker();
    return 1;
  } catch (...) {
    return 0;
  }
}

extern "C" EMLB_EXPORT void ReleaseInterface(CAMimePacker** packer) {
  if (packer) *packer = nullptr;
}
