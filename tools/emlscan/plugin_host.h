// Loads the plug-in the way a framework host does and owns what it creates:
// the shared object, its class factory, and the modules with their profile and
// shared data. Teardown runs in the framework's order: shared data, profile
// data, modules, then ReleaseClassFactory and dlclose.
// One PluginHost per process; its modules may then be used from many threads
// as the module interfaces allow.
#ifndef TOOLS_EMLSCAN_PLUGIN_HOST_H_
#define TOOLS_EMLSCAN_PLUGIN_HOST_H_

#include <memory>
#include <string>
#include <vector>

#include "emlbreaker/class_factory.h"
#include "emlbreaker/modules.h"

namespace emlscan {

class PluginHost {
 public:
  // Throws std::runtime_error with dlerror's text when the plug-in does not
  // load or lacks an export.
  explicit PluginHost(const std::string& plugin_path);
  ~PluginHost();
  PluginHost(const PluginHost&) = delete;
  PluginHost& operator=(const PluginHost&) = delete;

  struct Version {
    uint32_t major = 0, minor = 0, build = 0;
  };
  Version version() const;
  CAClassFactory* factory() const { return factory_; }
  const std::string& path() const { return path_; }

  // Creates the module named `name` (UTF-16), plants `settings` and creates
  // its profile data for `profile` and its shared data. The host keeps
  // ownership; the module lives until the PluginHost goes. Throws
  // std::runtime_error when no allocator has that name.
  CAModule* CreateModule(const std::u16string& name, CASettings* settings, uint32_t profile);
  // The same for a module of a known interface, checked by its type code
  // (moduleType, and isVirtual for breakers) rather than by C++ run-time type
  // information, which does not cross the library boundary. Throws
  // std::runtime_error when the module is of another type.
  CAStreamer* CreateStreamer(const std::u16string& name, CASettings* settings, uint32_t profile);
  CABreaker* CreateBreaker(const std::u16string& name, CASettings* settings, uint32_t profile);
  CAVirtualBreaker* CreateVirtualBreaker(const std::u16string& name, CASettings* settings,
                                         uint32_t profile);
  CAPerformer* CreatePerformer(const std::u16string& name, CASettings* settings,
                               uint32_t profile);

 private:
  struct Created {
    CAModule* module;
    uint32_t profile;
  };

  std::string path_;
  void* library_ = nullptr;
  CAClassFactory* factory_ = nullptr;
  ReleaseClassFactoryFn release_ = nullptr;
  GetASVersionFn version_ = nullptr;
  std::vector<Created> modules_;
};

}  // namespace emlscan

#endif  // TOOLS_EMLSCAN_PLUGIN_HOST_H_
