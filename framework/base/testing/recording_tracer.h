// For tests: installs itself as the process-wide tracer for its lifetime and keeps every
// line it is given.
#ifndef FRAMEWORK_BASE_TESTING_RECORDING_TRACER_H_
#define FRAMEWORK_BASE_TESTING_RECORDING_TRACER_H_

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "emlbreaker/trace.h"

namespace emlbtest {

class RecordingTracer : public CADebugTrace {
 public:
  RecordingTracer() : saved_(GetDebugTrace()) { GetDebugTrace() = this; }
  ~RecordingTracer() override { GetDebugTrace() = saved_; }
  RecordingTracer(const RecordingTracer&) = delete;
  RecordingTracer& operator=(const RecordingTracer&) = delete;

  void SetLevel(uint16_t) override {}
  void Print(const char*, ...) override {}
  void Flush() override {}
  void Trace(const char* format, ...) override {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string line(static_cast<size_t>(length > 0 ? length : 0), '\0');
    std::vsnprintf(line.data(), line.size() + 1, format, args);
    va_end(args);
    lines.push_back(std::move(line));
  }

  std::vector<std::string> lines;

 private:
  CADebugTrace* saved_;
};

}  // namespace emlbtest

#endif  // FRAMEWORK_BASE_TESTING_RECORDING_TRACER_H_
