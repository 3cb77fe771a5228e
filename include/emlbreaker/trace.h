// The process-wide tracer: every trace line of the library goes through the
// CADebugTrace that GetDebugTrace() answers. By default it is a do-nothing
// CDummyDebugTrace; LoadTracer() replaces it with the one the tracer library
// (liblogsink.so, export GetTracer) hands out, when that library is present.
//
// The tracer pointer is set up once, before modules exist (the class factory
// calls LoadTracer while it is built); afterwards it is only read, so Trace may
// be called from any thread as long as the installed tracer allows it (the
// dummy and logsink's tracer both do).
#ifndef EMLBREAKER_TRACE_H_
#define EMLBREAKER_TRACE_H_

#include <cstdint>

#include "emlbreaker/platform.h"

// Tracer interface; the slot order is shared with the tracer library.
class EMLB_EXPORT CADebugTrace {
 public:
  virtual ~CADebugTrace() = default;                         // slot 0
  virtual void SetLevel(uint16_t level) = 0;                 // slot 1, unused here
  virtual void Print(const char* format, ...) = 0;           // slot 2, unused here
  virtual void Flush() = 0;                                  // slot 3, unused here
  virtual void Trace(const char* format, ...) EMLB_PRINTF(2, 3) = 0;  // slot 4
};

// A tracer that drops everything; safe from any thread.
class EMLB_EXPORT CDummyDebugTrace : public CADebugTrace {
 public:
  void SetLevel(uint16_t) override {}
  void Print(const char*, ...) override {}
  void Flush() override {}
  void Trace(const char*, ...) override {}
};

// The exported entry point of the tracer library: called with three nulls,
// answers a tracer or null (null keeps the silent tracer).
extern "C" typedef CADebugTrace* (*GetTracerFn)(void*, void*, void*);

// The process-wide tracer pointer; created as a dummy on first use.
CADebugTrace*& GetDebugTrace();

// Loads liblogsink.so by name (the plug-in's $ORIGIN run path finds the copy
// beside it) and installs its tracer. Every failure is silent.
void LoadTracer();

// Puts a fresh dummy in place, then unloads the tracer library. The library's
// tracer object is not deleted: it belongs to the library.
void UnloadTracer();

// Name the tracer library is loaded by.
inline constexpr const char kTracerLibraryName[] = "liblogsink.so";

#endif  // EMLBREAKER_TRACE_H_
