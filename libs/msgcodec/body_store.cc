#include "body_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <utility>

namespace msgcodec {
namespace {

// A body directory is named `msgcodec-PID-XXXXXX`, PID the process that made it,
// so that a later process can tell the directories of a process that was killed
// (and so never removed them) from those of one still running.
constexpr char kDirPrefix[] = "msgcodec-";
constexpr char kDirSuffix[] = "-XXXXXX";
// Digits of the largest process id (pid_t is 32 bits).
constexpr size_t kPidDigits = 10;

std::string ErrnoText(const char* what, const std::string& path) {
  return std::string(what) + " " + path + ": " + std::strerror(errno);
}

bool IsWritableRamDirectory(const char* path) {
  struct statfs fs;
  if (statfs(path, &fs) != 0) return false;
  if (fs.f_type != TMPFS_MAGIC && fs.f_type != RAMFS_MAGIC) return false;
  return access(path, W_OK | X_OK) == 0;
}

// Kept files are descriptors the host does not see: at most this many stay
// open in the whole process (two per thread of a host running 32 at once);
// past it files are removed at Close as before.
constexpr int kMaxKeptFiles = 64;
std::atomic<int> kept_files{0};

bool ReserveKept() {
  if (kept_files.fetch_add(1, std::memory_order_relaxed) < kMaxKeptFiles) return true;
  kept_files.fetch_sub(1, std::memory_order_relaxed);
  return false;
}

void CloseKept(int fd) {
  close(fd);
  kept_files.fetch_sub(1, std::memory_order_relaxed);
}

// The file of body `index` in directory dir.
std::string PartPath(const std::string& dir, size_t index) {
  return dir + "/part-" + std::to_string(index);
}

// Closes the kept files of dir and removes them; the directory is left.
void RemoveKept(const std::string& dir, KeptFiles& kept) {
  for (size_t i = 0; i < kept.size(); ++i) {
    if (kept[i] < 0) continue;
    CloseKept(kept[i]);
    unlink(PartPath(dir, i).c_str());
    kept[i] = -1;
  }
}

// Body directories outlive their mails. Making and removing a directory for every
// mail cost two system calls per mail and, with several threads, serialised them all
// on the base directory's lock; so a mail's directory, emptied of its files, goes back
// here with its kept files and the next mail under the same base takes it. A directory
// is held by one mail at a time, so file names need not differ between mails. The idle
// directories are removed when the library is unloaded or the process ends.
//
// The idle directories are kept in a few lists, each on its own cache lines, and a
// thread gives back to and takes from its own list first: with one list, the two
// locks of every mail moved its cache line between the cores of two threads.
class DirectoryPool {
 public:
  struct Entry {
    std::string base;
    std::string dir;
    KeptFiles kept;
    KeptChecks linked_at;
  };

  // An idle directory under base (dir empty when there is none), from the calling
  // thread's own list if it has one.
  Entry Take(const std::string& base) {
    const size_t own = OwnList();
    for (size_t n = 0; n < kLists; ++n) {
      List& list = lists_[(own + n) % kLists];
      std::lock_guard<std::mutex> lock(list.mutex);
      for (auto it = list.idle.begin(); it != list.idle.end(); ++it) {
        if (it->base == base) {
          Entry entry = std::move(*it);
          list.idle.erase(it);
          return entry;
        }
      }
    }
    Entry none;
    none.kept.fill(-1);
    return none;
  }

  // Keeps an emptied directory for later mails, or removes it when the pool is
  // full or already closed.
  void Give(Entry entry) {
    {
      List& list = lists_[OwnList()];
      std::lock_guard<std::mutex> lock(list.mutex);
      if (!list.closed && list.idle.size() < kMaxIdle) {
        list.idle.push_back(std::move(entry));
        return;
      }
    }
    RemoveKept(entry.dir, entry.kept);
    rmdir(entry.dir.c_str());
  }

  void Close() {
    for (List& list : lists_) {
      std::lock_guard<std::mutex> lock(list.mutex);
      list.closed = true;
      for (Entry& entry : list.idle) {
        RemoveKept(entry.dir, entry.kept);
        rmdir(entry.dir.c_str());
      }
      list.idle.clear();
    }
  }

 private:
  static constexpr size_t kLists = 8;
  // More idle directories than this in one list means more mails at once than any
  // host runs threads; the surplus is removed.
  static constexpr size_t kMaxIdle = 8;
  struct alignas(64) List {
    std::mutex mutex;
    bool closed = false;
    std::vector<Entry> idle;
  };

  // Threads are dealt lists in turn as they first use the pool.
  size_t OwnList() {
    thread_local size_t own = next_list_.fetch_add(1, std::memory_order_relaxed) % kLists;
    return own;
  }

  std::array<List, kLists> lists_;
  std::atomic<size_t> next_list_{0};
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

// The process id in a body directory's name, or 0 when the name is not one
// (a directory of an older packer named without it is left alone).
pid_t OwnerOf(const char* name) {
  const size_t prefix = sizeof(kDirPrefix) - 1;
  if (std::strncmp(name, kDirPrefix, prefix) != 0) return 0;
  const char* digits = name + prefix;
  char* end = nullptr;
  errno = 0;
  const long pid = std::strtol(digits, &end, 10);
  if (errno != 0 || end == digits || *digits < '1' || *digits > '9' || pid <= 0 ||
      pid > 0x7fffffffL || *end != '-' || std::strlen(end) != sizeof(kDirSuffix) - 1)
    return 0;
  return static_cast<pid_t>(pid);
}

bool ProcessIsGone(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

// Removes the body directories under base that belong to this user and whose
// process no longer exists: what a killed process left. Their files are
// removed without following links; anything else in them keeps the directory.
void RemoveOrphans(const std::string& base) {
  const int base_fd = open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (base_fd < 0) return;
  DIR* listing = fdopendir(base_fd);
  if (listing == nullptr) {
    close(base_fd);
    return;
  }
  const uid_t me = geteuid();
  while (const dirent* entry = readdir(listing)) {
    const pid_t owner = OwnerOf(entry->d_name);
    if (owner == 0 || owner == getpid() || !ProcessIsGone(owner)) continue;
    struct stat status;
    if (fstatat(base_fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISDIR(status.st_mode) || status.st_uid != me)
      continue;
    const int dir_fd =
        openat(base_fd, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir_fd < 0) continue;
    if (DIR* files = fdopendir(dir_fd)) {
      while (const dirent* file = readdir(files)) {
        if (std::strcmp(file->d_name, ".") != 0 && std::strcmp(file->d_name, "..") != 0)
          unlinkat(dirfd(files), file->d_name, 0);
      }
      closedir(files);
    } else {
      close(dir_fd);
    }
    unlinkat(base_fd, entry->d_name, AT_REMOVEDIR);
  }
  closedir(listing);
}

// Sweeps each base once per process, before the first directory made under it.
// Directories are made only when the pool has none, so this costs nothing per mail.
void RemoveOrphansOnce(const std::string& base) {
  static std::mutex mutex;
  static std::set<std::string>* swept = new std::set<std::string>;
  std::lock_guard<std::mutex> lock(mutex);
  if (swept->insert(base).second) RemoveOrphans(base);
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
  bool emptied = true;
  for (size_t i = 0; i < kept_.size(); ++i) {
    // An emptied file frees its pages as unlinking would; one that cannot be
    // emptied is removed instead, so no mail's text outlives its Close.
    if (kept_[i] < 0 || !written_[i] || ftruncate(kept_[i], 0) == 0) continue;
    CloseKept(kept_[i]);
    if (unlink(PathOf(i).c_str()) != 0 && errno != ENOENT) emptied = false;
    kept_[i] = -1;
  }
  for (const std::string& path : files_) {
    if (unlink(path.c_str()) != 0 && errno != ENOENT) emptied = false;
  }
  // A directory that could not be emptied is not handed on: the next mail's files
  // would meet this one's names.
  if (emptied) {
    Pool().Give({std::move(base_), std::move(dir_), kept_, linked_at_});
  } else {
    RemoveKept(dir_, kept_);
    rmdir(dir_.c_str());
  }
}

size_t BodyStore::MaxPathLength(size_t name_length) const {
  return base_.size() + 1 + sizeof(kDirPrefix) - 1 + kPidDigits + sizeof(kDirSuffix) - 1 + 1 +
         name_length;
}

std::string BodyStore::PathOf(size_t index) const { return PartPath(dir_, index); }

// Files are made by path, not through a descriptor of the directory: the
// directory is private (mkdtemp, mode 0700), and two system calls fewer per
// mail show in the rate.
int BodyStore::Open(size_t index, std::string* path, std::string* error) {
  if (dir_.empty()) {
    DirectoryPool::Entry entry = Pool().Take(base_);
    pooled_ = !entry.dir.empty();
    if (pooled_) {
      dir_ = std::move(entry.dir);
      kept_ = entry.kept;
      linked_at_ = entry.linked_at;
    } else if (!MakeDirectory(error)) {
      return -1;
    }
  }
  const bool keep = index < kKeptFiles;
  if (keep && kept_[index] >= 0) {
    const int fd = kept_[index];
    if (written_[index]) {
      // Asked again after a failed write: start over.
      if (ftruncate(fd, 0) == 0) {
        *path = PathOf(index);
        return fd;
      }
      *error = ErrnoText("cannot empty the body file", PathOf(index));
      return -1;
    }
    // A kept file removed behind our back would take the body and leave
    // nothing under its name, so it is checked to be still linked, else made
    // again; but at most once a second, since the check was one system call
    // in ten of a dump. Cleaners of temporary files take only files left
    // untouched for hours; one removed by hand fails the mails of at most
    // that second.
    const auto now = std::chrono::steady_clock::now();
    bool linked = now - linked_at_[index] < kLinkedCheckEvery;
    if (!linked) {
      struct stat status;
      linked = fstat(fd, &status) == 0 && status.st_nlink > 0;
      if (linked) linked_at_[index] = now;
    }
    if (linked) {
      written_[index] = true;
      *path = PathOf(index);
      return fd;
    }
    CloseKept(fd);
    kept_[index] = -1;
  }
  const bool keep_this = keep && ReserveKept();
  std::string file = PathOf(index);
  files_.reserve(files_.size() + 1);
  // Kept files are written at their end (O_APPEND), so that after being emptied
  // the next mail's body starts at 0 without a seek.
  const int flags =
      O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | (keep_this ? O_APPEND : 0);
  int fd = open(file.c_str(), flags, 0600);
  if (fd < 0 && (errno == ENOENT || errno == EEXIST) && pooled_ && !HandedOut()) {
    // A pooled directory removed behind our back or holding files of someone
    // else's, before this mail put anything in it: make a new one.
    if (!MakeDirectory(error)) return -1;
    file = PathOf(index);
    fd = open(file.c_str(), flags, 0600);
  }
  if (fd < 0) {
    if (keep_this) kept_files.fetch_sub(1, std::memory_order_relaxed);
    *error = ErrnoText("cannot create the body file", file);
    return -1;
  }
  if (keep_this) {
    kept_[index] = fd;
    linked_at_[index] = std::chrono::steady_clock::now();
    written_[index] = true;
  } else {
    files_.push_back(file);
  }
  *path = std::move(file);
  return fd;
}

bool BodyStore::HandedOut() const {
  if (!files_.empty()) return true;
  for (bool written : written_) {
    if (written) return true;
  }
  return false;
}

bool BodyStore::Done(int fd, std::string* error) {
  for (int kept : kept_) {
    if (kept == fd) return true;
  }
  if (close(fd) == 0) return true;
  *error = std::string("cannot close a body file: ") + std::strerror(errno);
  return false;
}

bool BodyStore::MakeDirectory(std::string* error) {
  if (!dir_.empty()) {
    // What the old directory still holds goes with it, best effort.
    DropKept();
    for (const std::string& path : files_) unlink(path.c_str());
    files_.clear();
    rmdir(dir_.c_str());
    dir_.clear();
    pooled_ = false;
  }
  RemoveOrphansOnce(base_);
  std::string dir = base_ + "/" + kDirPrefix + std::to_string(getpid()) + kDirSuffix;
  if (!mkdtemp(&dir[0])) {
    *error = ErrnoText("cannot create the body directory under", base_);
    return false;
  }
  dir_ = std::move(dir);
  return true;
}

void BodyStore::DropKept() {
  RemoveKept(dir_, kept_);
  written_.fill(false);
}

}  // namespace msgcodec
