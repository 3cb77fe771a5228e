// Loads the built plug-in the way a framework host does: dlopen by path and
// the three exports looked up by name. Shared by the tests that drive the
// plug-in only through its external interface.
#ifndef TESTS_PLUGIN_LOADER_H_
#define TESTS_PLUGIN_LOADER_H_

#include <dlfcn.h>

#include <string>

#include "emlbreaker/class_factory.h"
#include "emlbreaker/modules.h"

class PluginLoader {
 public:
  explicit PluginLoader(const std::string& path = EMLB_PLUGIN_PATH) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
      error_ = dlerror();
      return;
    }
    get_factory = reinterpret_cast<GetClassFactoryFn>(dlsym(handle_, "GetClassFactory"));
    release_factory =
        reinterpret_cast<ReleaseClassFactoryFn>(dlsym(handle_, "ReleaseClassFactory"));
    get_version = reinterpret_cast<GetASVersionFn>(dlsym(handle_, "GetASVersion"));
  }
  ~PluginLoader() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  PluginLoader(const PluginLoader&) = delete;
  PluginLoader& operator=(const PluginLoader&) = delete;

  bool ok() const { return get_factory && release_factory && get_version; }
  const std::string& error() const { return error_; }
  void* handle() const { return handle_; }

  // The allocator whose name is `module_name`, or null.
  CBasicAllocator* FindAllocator(CAClassFactory* factory, const char16_t* module_name) {
    for (size_t i = 0; i < factory->allocators.GetSize(); ++i) {
      CBasicAllocator* allocator = factory->allocators[i];
      if (allocator != nullptr && std::u16string_view(allocator->GetName()->c_str()) == module_name)
        return allocator;
    }
    return nullptr;
  }

  // A module as a host sets it up: created by the named allocator, `settings`
  // planted, its profile and shared data made; null when no allocator has the
  // name. Configuring (ApplySettings...) is the caller's.
  CAModule* CreateModule(CAClassFactory* factory, const char16_t* module_name,
                         CASettings* settings, uint32_t profile) {
    CBasicAllocator* allocator = FindAllocator(factory, module_name);
    if (allocator == nullptr) return nullptr;
    CAModule* module = allocator->CreateModule();
    module->settings = settings;
    module->profileData[profile] = module->CreateProfileData();
    module->sharedData = module->CreateSharedData();
    return module;
  }
  // Undoes CreateModule, in the framework's order; null does nothing.
  static void DestroyModule(CAModule* module, uint32_t profile) {
    if (module == nullptr) return;
    module->DestroySharedData(module->sharedData);
    module->DestroyProfileData(module->profileData[profile]);
    delete module;
  }

  GetClassFactoryFn get_factory = nullptr;
  ReleaseClassFactoryFn release_factory = nullptr;
  GetASVersionFn get_version = nullptr;

 private:
  void* handle_ = nullptr;
  std::string error_;
};

#endif  // TESTS_PLUGIN_LOADER_H_
