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
  for (const std::string& path : files_) unlink(path.c_str());
  rmdir(dir_.c_str());
}

size_t BodyStore::MaxPathLength(size_t name_length) const {
  return base_.size() + sizeof(kDirTemplate) - 1 + 1 + name_length;
}

// Files are made by path, not through a descriptor of the directory: the
// directory is the mail's own (mkdtemp, mode 0700), and two system calls
// fewer per mail show in the rate.
int BodyStore::Create(const std::string& name, std::string* path, std::string* error) {
  if (dir_.empty()) {
    std::string dir = base_ + kDirTemplate;
    if (!mkdtemp(&dir[0])) {
      *error = ErrnoText("cannot create the body directory under", base_);
      return -1;
    }
    dir_ = std::move(dir);
  }
  std::string file = dir_ + "/" + name;
  files_.reserve(files_.size() + 1);
  int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    *error = ErrnoText("cannot create the body file", file);
    return -1;
  }
  files_.push_back(file);
  *path = std::move(file);
  return fd;
}

}  // namespace msgcodec
