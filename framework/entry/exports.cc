// The plug-in's only exported symbols.
#include <new>

#include "emlbreaker/class_factory.h"
#include "framework/entry/class_factory.h"

namespace {

// The factory singleton. GetClassFactory and ReleaseClassFactory are called by
// the host from one thread, so no lock guards it.
CAClassFactory* g_factory = nullptr;

}  // namespace

extern "C" EMLB_EXPORT CAClassFactory* GetClassFactory() {
  if (g_factory == nullptr) {
    // A failure leaves no factory, so the next call tries again.
    try {
      g_factory = new nsEmlFramework::CEMLBRClassFactory();
    } catch (...) {
      g_factory = nullptr;
    }
  }
  return g_factory;
}

extern "C" EMLB_EXPORT void ReleaseClassFactory() {
  delete g_factory;
  g_factory = nullptr;
}

extern "C" EMLB_EXPORT void GetASVersion(uint32_t* major, uint32_t* minor, uint32_t* build) {
  if (major != nullptr) *major = kVersionMajor;
  if (minor != nullptr) *minor = kVersionMinor;
  if (build != nullptr) *build = kVersionBuild;
}
