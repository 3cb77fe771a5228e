// Where emlscan finds the plug-in and its default config, so the common case
// needs no option, both in the build tree and after `cmake --install`:
//   install:    PREFIX/bin/emlscan, PREFIX/lib/emlbreaker/libemlbreaker.so,
//               PREFIX/share/emlbreaker/emlscan.toml
//   build tree: BUILD/bin/emlscan, BUILD/lib/libemlbreaker.so,
//               SOURCE/data/emlscan.toml (path compiled in)
#ifndef TOOLS_EMLSCAN_LOCATIONS_H_
#define TOOLS_EMLSCAN_LOCATIONS_H_

#include <string>

namespace emlscan {

std::string DefaultPluginPath();
// $EMLSCAN_CONFIG when set, else the installed config, else the source tree's.
std::string DefaultConfigPath();

}  // namespace emlscan

#endif  // TOOLS_EMLSCAN_LOCATIONS_H_
