// Where the decoded bodies of one mail go: a private directory (mode 0700),
// taken on the first body written from the directories earlier mails left empty
// or else made, holding one file per part. The destructor removes the files and
// hands the directory on. One per mail; not thread-safe.
#ifndef MSGCODEC_BODY_STORE_H_
#define MSGCODEC_BODY_STORE_H_

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

class BodyStore {
 public:
  explicit BodyStore(std::string base) : base_(std::move(base)) {}
  ~BodyStore();
  BodyStore(const BodyStore&) = delete;
  BodyStore& operator=(const BodyStore&) = delete;

  // Creates file `name` in the directory (made on first use) and returns its
  // descriptor (write-only, close-on-exec), with its full path in *path; -1 on
  // failure with the reason in *error.
  int Create(const std::string& name, std::string* path, std::string* error);

  // Longest path Create can return for a name of `name_length` bytes.
  size_t MaxPathLength(size_t name_length) const;

 private:
  // Makes a new directory under base_ into dir_; false with the reason in *error.
  bool MakeDirectory(std::string* error);

  std::string base_;
  std::string dir_;                 // empty until made
  std::vector<std::string> files_;  // full paths of the files made
};

}  // namespace msgcodec

#endif  // MSGCODEC_BODY_STORE_H_
