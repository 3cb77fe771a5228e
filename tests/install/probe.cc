// A filter developer's first program against an installed emlbreaker: it
// compiles the public headers, links the host-side library (ascommon: a
// MailItem's black box), loads the installed plug-in and asks its version.
// EMLBREAKER_PLUGIN, the plug-in's path, comes from the package (pkg-config's
// `plugin` variable or CMake's EMLBREAKER_PLUGIN). Prints "emlbreaker X.Y.Z".
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>

#include <emlbreaker/broken_mail.h>
#include <emlbreaker/class_factory.h>
#include <emlbreaker/mail_item.h>

#ifndef EMLBREAKER_PLUGIN
#error "build with -DEMLBREAKER_PLUGIN=\"path of the installed libemlbreaker.so\""
#endif

int main() {
  // ascommon builds, fills and destroys the box a host keeps in each mail.
  MailItem item;
  item.box.SetInt(7, 1, true);
  if (item.box.GetInt(1) != 7) {
    std::fprintf(stderr, "probe: the black box lost a value\n");
    return 1;
  }
  void* plugin = dlopen(EMLBREAKER_PLUGIN, RTLD_NOW | RTLD_LOCAL);
  if (plugin == nullptr) {
    std::fprintf(stderr, "probe: %s\n", dlerror());
    return 1;
  }
  auto get_version = reinterpret_cast<GetASVersionFn>(dlsym(plugin, "GetASVersion"));
  if (get_version == nullptr) {
    std::fprintf(stderr, "probe: no GetASVersion in %s\n", EMLBREAKER_PLUGIN);
    return 1;
  }
  uint32_t major = 0, minor = 0, build = 0;
  get_version(&major, &minor, &build);
  if (major != kVersionMajor || minor != kVersionMinor || build != kVersionBuild) {
    std::fprintf(stderr, "probe: plug-in %u.%u.%u, headers %u.%u.%u\n", major, minor, build,
                 kVersionMajor, kVersionMinor, kVersionBuild);
    return 1;
  }
  std::printf("emlbreaker %u.%u.%u\n", major, minor, build);
  dlclose(plugin);
  return 0;
}
