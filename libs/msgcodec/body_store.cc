#include "body_store.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

namespace msgcodec {
namespace {

constexpr char kDirTemplate[] = "/msgcodec-XXXXXX";

std::string ErrnoText(const char* what, const std::string& path) {
  return std::string(what) + " " + path + ": " + std::strerror(errno);
}

bool IsWritableRamDirectory(const char* path) {
  struct statfs fs;
  if (statfs(path, &fs) != 0) return false;
  if (fs.f_type != TMPFS_MAGIC && fs.f_type != RAMFS_MAGIC) return false;
  return access(path, W_OK | X_OK) == 0;
}

// Body directories outlive their mails. Making and removing a directory for every
// mail cost two system calls per mail and, with several threads, serialised them all
// on the base directory's lock; so a mail's directory, emptied of its files, goes back
// here and the next mail under the same base takes it. A directory is held by one mail
// at a time, so file names need not differ between mails. The idle directories are
// removed when the library is unloaded or the process ends.
class DirectoryPool {
 public:
  // An idle directory under base, or "" when there is none.
  std::string Take(const std::string& base) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = idle_.begin(); it != idle_.end(); ++it) {
      if (it->first == base) {
        std::string dir = std::move(it->second);
        idle_.erase(it);
        return dir;
      }
    }
    return {};
  }

  // Keeps an empty directory for later mails, or removes it when the pool is full or
  // already closed.
  void Give(std::string base, std::string dir) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!closed_ && idle_.size() < kMaxIdle) {
        idle_.emplace_back(std::move(base), std::move(dir));
        return;
      }
    }
    rmdir(dir.c_str());
  }

  void Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    for (const auto& entry : idle_) rmdir(entry.second.c_str());
    idle_.clear();
  }

 private:
  // More idle directories than this means more mails at once than any host runs
  // threads; the surplus is removed.
  static constexpr size_t kMaxIdle = 64;
  std::mutex mutex_;
  bool closed_ = false;
  std::vector<std::pair<std::string, std::string>> idle_;  // base, directory
};

// Never destroyed, so that a mail closed during static destruction still finds it;
// the closer below empties it at unload or exit.
DirectoryPool& Pool() {
  static DirectoryPool* pool = new DirectoryPool;
  return *pool;
}

struct PoolCloser {
  ~PoolCloser() { Pool().Close(); }
} pool_closer;

}  // namespace

std::string DefaultBodyBase() {
  const char* own = std::getenv("MSGCODEC_TMPDIR");
  if (own && *own) return own;
  // Whether /dev/shm is usable does not change while the process runs.
  static std::once_flag probe_once;
  static bool shm_usable = false;
  std::call_once(probe_once, [] { shm_usable = IsWritableRamDirectory("/dev/shm"); });
  if (shm_usable) return "/dev/shm";
  const char* tmp = std::getenv("TMPDIR");
  if (tmp && *tmp) return tmp;
  return "/tmp";
}

bool WriteFully(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

BodyStore::~BodyStore() {
  if (dir_.empty()) return;
  bool emptied = true;
  for (const std::string& path : files_) {
    if (unlink(path.c_str()) != 0 && errno != ENOENT) emptied = false;
  }
  // A directory that could not be emptied is not handed on: the next mail's files
  // would meet this one's names.
  if (emptied) {
    Pool().Give(std::move(base_), std::move(dir_));
  } else {
    rmdir(dir_.c_str());
  }
}

size_t BodyStore::MaxPathLength(size_t name_length) const {
  return base_.size() + sizeof(kDirTemplate) - 1 + 1 + name_length;
}

// Files are made by path, not through a descriptor of the directory: the
// directory is private (mkdtemp, mode 0700), and two system calls fewer per
// mail show in the rate.
int BodyStore::Create(const std::string& name, std::string* path, std::string* error) {
  bool from_pool = false;
  if (dir_.empty()) {
    dir_ = Pool().Take(base_);
    from_pool = !dir_.empty();
    if (!from_pool && !MakeDirectory(error)) return -1;
  }
  std::string file = dir_ + "/" + name;
  files_.reserve(files_.size() + 1);
  int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0 && (errno == ENOENT || errno == EEXIST) && from_pool) {
    // A pooled directory removed behind our back (a cleaner of old temporary files)
    // or holding files of someone else's: make a new one.
    if (!MakeDirectory(error)) return -1;
    file = dir_ + "/" + name;
    fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  }
  if (fd < 0) {
    *error = ErrnoText("cannot create the body file", file);
    return -1;
  }
  files_.push_back(file);
  *path = std::move(file);
  return fd;
}

bool BodyStore::MakeDirectory(std::string* error) {
  std::string dir = base_ + kDirTemplate;
  if (!mkdtemp(&dir[0])) {
    dir_.clear();
    *error = ErrnoText("cannot create the body directory under", base_);
    return false;
  }
  dir_ = std::move(dir);
  return true;
}

}  // namespace msgcodec
