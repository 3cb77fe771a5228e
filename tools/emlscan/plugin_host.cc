#include "tools/emlscan/plugin_host.h"

#include <dlfcn.h>

#include <exception>
#include <stdexcept>

#include "tools/emlscan/host_settings.h"

namespace emlscan {

PluginHost::PluginHost(const std::string& plugin_path) : path_(plugin_path) {
  library_ = dlopen(plugin_path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library_ == nullptr) throw std::runtime_error(std::string("cannot load plug-in: ") + dlerror());
  auto get_factory = reinterpret_cast<GetClassFactoryFn>(dlsym(library_, "GetClassFactory"));
  release_ = reinterpret_cast<ReleaseClassFactoryFn>(dlsym(library_, "ReleaseClassFactory"));
  version_ = reinterpret_cast<GetASVersionFn>(dlsym(library_, "GetASVersion"));
  if (get_factory == nullptr || release_ == nullptr || version_ == nullptr) {
    dlclose(library_);
    throw std::runtime_error(plugin_path + ": not a breaker plug-in (class factory exports missing)");
  }
  factory_ = get_factory();
  if (factory_ == nullptr) {
    dlclose(library_);
    throw std::runtime_error(plugin_path + ": the class factory could not be created");
  }
}

PluginHost::~PluginHost() {
  for (auto it = modules_.rbegin(); it != modules_.rend(); ++it) {
    CAModule* module = it->module;
    try {
      if (module->sharedData != nullptr) module->DestroySharedData(module->sharedData);
      module->sharedData = nullptr;
      void*& profile_data = module->profileData[it->profile];
      if (profile_data != nullptr) module->DestroyProfileData(profile_data);
      profile_data = nullptr;
    } catch (const std::exception&) {
      // Teardown goes on: the module is deleted below whatever its data did.
    }
    delete module;
  }
  release_();
  // An exception on its way out may have been made by the plug-in: its
  // virtual table and its what() live in the shared object, so the object is
  // unloaded only when nothing is in flight (the process ends soon after).
  if (std::uncaught_exceptions() == 0) dlclose(library_);
}

PluginHost::Version PluginHost::version() const {
  Version v;
  version_(&v.major, &v.minor, &v.build);
  return v;
}

CAModule* PluginHost::CreateModule(const std::u16string& name, CASettings* settings,
                                   uint32_t profile) {
  for (size_t i = 0; i < factory_->allocators.GetSize(); ++i) {
    CBasicAllocator* allocator = factory_->allocators[i];
    if (allocator == nullptr || std::u16string_view(allocator->GetName()->c_str()) != name)
      continue;
    CAModule* module = allocator->CreateModule();
    if (module == nullptr) throw std::runtime_error("out of memory creating " + Utf16ToUtf8(name));
    modules_.push_back({module, profile});
    module->settings = settings;
    module->profileData[profile] = module->CreateProfileData();
    module->profileValid[profile] = 1;
    module->sharedData = module->CreateSharedData();
    return module;
  }
  throw std::runtime_error("the plug-in has no module named \"" + Utf16ToUtf8(name) + "\"");
}

namespace {

CAModule* CheckType(CAModule* module, const std::u16string& name, int32_t type, int32_t is_virtual) {
  bool right = module->moduleType == type;
  if (right && type == kModuleTypeBreaker)
    right = (static_cast<CABreaker*>(module)->isVirtual != 0) == (is_virtual != 0);
  if (!right) {
    throw std::runtime_error("the plug-in's module \"" + Utf16ToUtf8(name) +
                             "\" is of another type (" + std::to_string(module->moduleType) + ")");
  }
  return module;
}

}  // namespace

CAStreamer* PluginHost::CreateStreamer(const std::u16string& name, CASettings* settings,
                                       uint32_t profile) {
  return static_cast<CAStreamer*>(
      CheckType(CreateModule(name, settings, profile), name, kModuleTypeStreamer, 0));
}

CABreaker* PluginHost::CreateBreaker(const std::u16string& name, CASettings* settings,
                                     uint32_t profile) {
  return static_cast<CABreaker*>(
      CheckType(CreateModule(name, settings, profile), name, kModuleTypeBreaker, 0));
}

CAVirtualBreaker* PluginHost::CreateVirtualBreaker(const std::u16string& name,
                                                   CASettings* settings, uint32_t profile) {
  return static_cast<CAVirtualBreaker*>(
      CheckType(CreateModule(name, settings, profile), name, kModuleTypeBreaker, 1));
}

CAPerformer* PluginHost::CreatePerformer(const std::u16string& name, CASettings* settings,
                                         uint32_t profile) {
  return static_cast<CAPerformer*>(
      CheckType(CreateModule(name, settings, profile), name, kModuleTypePerformer, 0));
}

}  // namespace emlscan
