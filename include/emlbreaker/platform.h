// Platform glue shared by the plug-in, its companion libraries and hosts.
//
// The plug-in is built with hidden visibility; only the class factory entry
// points are exported. Classes whose type information must be the same on both
// sides of the boundary (the exception family, thrown by module operations and
// caught by the host) are marked EMLB_EXPORT so that catching them by type works
// across shared objects.
#ifndef EMLBREAKER_PLATFORM_H_
#define EMLBREAKER_PLATFORM_H_

#include <cstdint>

#define EMLB_EXPORT __attribute__((visibility("default")))
#define EMLB_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

// "long" of the black box and module interfaces is 32 bits wide on every
// platform the framework runs on; it is spelled out so LP64 does not widen it.
namespace ascommon {
using as_long = int32_t;
using as_ulong = uint32_t;
}  // namespace ascommon

#endif  // EMLBREAKER_PLATFORM_H_
