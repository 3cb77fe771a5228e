// Where the decoded bodies of one mail go: a private directory (mode 0700),
// taken on the first body written from the directories earlier mails left empty
// or else made, holding one file per part. A directory is named
// `msgcodec-PID-XXXXXX` after the process that made it; before the first one a
// process makes under a base, it removes those there whose process is gone. The destructor empties or removes the
// files and hands the directory on. One per mail; not thread-safe.
#ifndef MSGCODEC_BODY_STORE_H_
#define MSGCODEC_BODY_STORE_H_

#include <array>
#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace msgcodec {

// The directory under which body directories are made when nothing was set:
// env MSGCODEC_TMPDIR, else /dev/shm when it is a writable RAM file system,
// else env TMPDIR, else /tmp.
std::string DefaultBodyBase();

// Writes all of [data, data + size) to `fd`, retrying short writes and EINTR.
// False on an error, with errno set.
bool WriteFully(int fd, const char* data, size_t size);

// The first kKeptFiles files of a directory outlive their mails: Close empties
// them and the directory keeps them open for the next mail that takes it.
// Creating and unlinking a file on tmpfs cost three times what writing it does
// (open with create, close and unlink against one write), and most mails have
// one to three bodies.
constexpr size_t kKeptFiles = 4;

// A descriptor of a kept file; -1 when the slot has none.
using KeptFiles = std::array<int, kKeptFiles>;
// When each kept file was last seen still linked under its name, and how long
// it is then taken to stay so.
using KeptChecks = std::array<std::chrono::steady_clock::time_point, kKeptFiles>;
constexpr std::chrono::seconds kLinkedCheckEvery{1};

class BodyStore {
 public:
  explicit BodyStore(std::string base) : base_(std::move(base)) { kept_.fill(-1); }
  ~BodyStore();
  BodyStore(const BodyStore&) = delete;
  BodyStore& operator=(const BodyStore&) = delete;

  // Gives an empty file for body `index` of the mail (the directory is made or
  // taken on first use), open for writing at its end, with its full path in
  // *path; -1 on failure with the reason in *error. Asking again for the same
  // index empties the file again. Every descriptor goes back through Done.
  int Open(size_t index, std::string* path, std::string* error);

  // Ends the writing of a descriptor Open gave (a kept file stays open). False
  // with the reason in *error when closing failed.
  bool Done(int fd, std::string* error);

  // Longest path Open can return for a file name of `name_length` bytes.
  size_t MaxPathLength(size_t name_length) const;

 private:
  std::string PathOf(size_t index) const;
  // Makes a new directory under base_ into dir_, dropping what an old one
  // left; false with the reason in *error.
  bool MakeDirectory(std::string* error);
  // Closes the kept files and removes them from dir_.
  void DropKept();
  // Whether this mail has been given a file yet.
  bool HandedOut() const;

  std::string base_;
  std::string dir_;                         // empty until made or taken
  bool pooled_ = false;                     // dir_ was taken from the pool
  KeptFiles kept_;                          // kept files of dir_, taken with it or made
  KeptChecks linked_at_{};                  // and when each was last seen linked
  std::array<bool, kKeptFiles> written_{};  // kept files written by this mail
  std::vector<std::string> files_;          // full paths of the other files made
};

}  // namespace msgcodec

#endif  // MSGCODEC_BODY_STORE_H_
