// The process-wide tracer pointer and the binding to the tracer library.
#include "emlbreaker/trace.h"

#include <dlfcn.h>

#include <new>

namespace {

// Handle of the loaded tracer library; null while none is loaded. Written only
// by LoadTracer/UnloadTracer, which run before modules exist and after they are
// gone, so no lock guards it.
void* g_tracer_library = nullptr;

// The silent tracer. It lives in static storage and is never destroyed: a
// trace may still come from destructors of static objects after everything
// else is gone, and nothing is left on the heap when a host unloads the
// library. One instance serves every "install a dummy" step, since a dummy
// has no state.
CADebugTrace* SilentTracer() {
  alignas(CDummyDebugTrace) static unsigned char storage[sizeof(CDummyDebugTrace)];
  static CADebugTrace* const dummy = new (storage) CDummyDebugTrace();
  return dummy;
}

}  // namespace

CADebugTrace*& GetDebugTrace() {
  static CADebugTrace* tracer = SilentTracer();
  return tracer;
}

void LoadTracer() {
  CADebugTrace*& tracer = GetDebugTrace();
  if (g_tracer_library != nullptr) return;
  void* library = dlopen(kTracerLibraryName, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return;
  auto get_tracer = reinterpret_cast<GetTracerFn>(dlsym(library, "GetTracer"));
  CADebugTrace* loaded = get_tracer != nullptr ? get_tracer(nullptr, nullptr, nullptr) : nullptr;
  if (loaded == nullptr) {
    dlclose(library);
    return;
  }
  g_tracer_library = library;
  tracer = loaded;
}

void UnloadTracer() {
  if (g_tracer_library == nullptr) return;
  // The library's tracer object belongs to the library: it is not deleted.
  GetDebugTrace() = SilentTracer();
  dlclose(g_tracer_library);
  g_tracer_library = nullptr;
}
