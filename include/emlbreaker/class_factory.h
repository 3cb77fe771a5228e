// The plug-in's class factory and its exported entry points.
//
// The host calls GetClassFactory once (from one thread), walks `allocators`
// (null entries are skipped), creates modules through CreateModule and calls
// ReleaseClassFactory at the end. The factory destroys the modules the host put
// in `modules`, then its allocators.
#ifndef EMLBREAKER_CLASS_FACTORY_H_
#define EMLBREAKER_CLASS_FACTORY_H_

#include <cstdint>

#include "emlbreaker/array.h"
#include "emlbreaker/modules.h"
#include "emlbreaker/strings.h"

class CBasicAllocator {
 public:
  virtual CAModule* CreateModule() = 0;               // slot 0
  virtual const ascommon::usstring* GetName() = 0;    // slot 1
  virtual ~CBasicAllocator() = default;               // slot 2
};

class CAClassFactory {
 public:
  virtual ~CAClassFactory();

  ascommon::CArray<CBasicAllocator*, 64> allocators;
  ascommon::CArray<CAModule*, 64> modules;
};

// Version of the plug-in: 2.5.16.
inline constexpr uint32_t kVersionMajor = 2;
inline constexpr uint32_t kVersionMinor = 5;
inline constexpr uint32_t kVersionBuild = 16;

// Signatures of the exports, for hosts that look them up with dlsym.
extern "C" {
typedef CAClassFactory* (*GetClassFactoryFn)();
typedef void (*ReleaseClassFactoryFn)();
typedef void (*GetASVersionFn)(uint32_t* major, uint32_t* minor, uint32_t* build);
}

#endif  // EMLBREAKER_CLASS_FACTORY_H_
