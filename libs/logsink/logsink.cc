// liblogsink.so: the tracer library the plug-in loads at start-up.
//
// GetTracer answers a tracer only when the environment variable EMLSCAN_TRACE
// names a destination: "stderr", or a file path that lines are appended to.
// Unset (or empty) means no tracer, so the plug-in keeps its silent one.
// Each line is formatted first and then written with one write(2) under a
// mutex, so lines of concurrent threads never interleave.
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "emlbreaker/trace.h"

namespace {

// A trace line longer than this is cut; the plug-in's own lines stay far
// below it (exception messages are at most 1000 characters).
constexpr size_t kMaxLine = 4096;

class FileTracer final : public CADebugTrace {
 public:
  FileTracer(int fd, bool owns_fd) : fd_(fd), owns_fd_(owns_fd) {}
  ~FileTracer() override {
    if (owns_fd_) close(fd_);
  }

  void SetLevel(uint16_t) override {}
  void Print(const char* format, ...) override {
    va_list args;
    va_start(args, format);
    Write(format, args);
    va_end(args);
  }
  void Flush() override {}
  void Trace(const char* format, ...) override {
    va_list args;
    va_start(args, format);
    Write(format, args);
    va_end(args);
  }

 private:
  void Write(const char* format, va_list args) {
    if (format == nullptr) return;
    char line[kMaxLine + 1];
    int n = std::vsnprintf(line, kMaxLine, format, args);
    if (n < 0) return;
    size_t length = static_cast<size_t>(n) < kMaxLine ? static_cast<size_t>(n) : kMaxLine - 1;
    if (length == 0 || line[length - 1] != '\n') line[length++] = '\n';
    std::lock_guard<std::mutex> hold(mutex_);
    for (size_t done = 0; done < length;) {
      ssize_t written = write(fd_, line + done, length - done);
      if (written <= 0) return;  // a tracer never fails its caller
      done += static_cast<size_t>(written);
    }
  }

  std::mutex mutex_;
  int fd_;
  bool owns_fd_;
};

}  // namespace

extern "C" EMLB_EXPORT CADebugTrace* GetTracer(void*, void*, void*) {
  // One tracer per process: the plug-in may be loaded, released and loaded
  // again, and never deletes the tracer it was given.
  static CADebugTrace* tracer = []() -> CADebugTrace* {
    const char* target = std::getenv("EMLSCAN_TRACE");
    if (target == nullptr || *target == '\0') return nullptr;
    if (std::strcmp(target, "stderr") == 0) return new FileTracer(STDERR_FILENO, false);
    int fd = open(target, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    return new FileTracer(fd, true);
  }();
  return tracer;
}
