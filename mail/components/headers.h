// The plug-in's side of the header model: the classes are laid out in the
// public headers.h (filters read them); freeing a map's headers is the
// breaker's.
#ifndef MAIL_COMPONENTS_HEADERS_H_
#define MAIL_COMPONENTS_HEADERS_H_

#include "emlbreaker/headers.h"
#include "emlbreaker/parts_tree.h"

namespace nsEmlComponents {

// Deletes every header of the map and leaves null in its place, so the map can
// then be destroyed (or this be called again) safely. A null map does nothing.
void DeleteHeaders(CHeaderMap* headers);

}  // namespace nsEmlComponents

#endif  // MAIL_COMPONENTS_HEADERS_H_
