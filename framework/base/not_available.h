// Operations that a later stage of the library fills in call this instead of
// pretending to work: the host gets a clear exception naming the operation.
#ifndef FRAMEWORK_BASE_NOT_AVAILABLE_H_
#define FRAMEWORK_BASE_NOT_AVAILABLE_H_

#include "emlbreaker/exceptions.h"

namespace nsEmlFramework {

[[noreturn]] inline void ThrowNotAvailable(const char* function) {
  throw ASInternalException(-3, "%s - not available yet", function);
}

}  // namespace nsEmlFramework

#endif  // FRAMEWORK_BASE_NOT_AVAILABLE_H_
