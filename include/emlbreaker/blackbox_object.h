// The root of everything the black box can own.
#ifndef EMLBREAKER_BLACKBOX_OBJECT_H_
#define EMLBREAKER_BLACKBOX_OBJECT_H_

#include "emlbreaker/platform.h"

namespace ascommon {

// A polymorphic base with no data: an object handed to the black box as an owned
// BBE_OBJECT is destroyed through this class's virtual destructor, so deleting a
// CBlackBoxObject pointer must destroy the whole object. Strings, arrays and maps
// derive from it. Exported so that dynamic_cast on stored objects works the same in
// the plug-in and in the host.
class CBlackBoxObject {
 public:
  CBlackBoxObject() = default;
  CBlackBoxObject(const CBlackBoxObject&) = default;
  CBlackBoxObject& operator=(const CBlackBoxObject&) = default;
  virtual ~CBlackBoxObject() = default;
};

}  // namespace ascommon

#endif  // EMLBREAKER_BLACKBOX_OBJECT_H_
