// The module bases and the factory base. They live in ascommon so that a
// host has their type information too (dynamic_cast on the modules it got).
#include "emlbreaker/modules.h"

#include "emlbreaker/class_factory.h"

#include <cstring>

CNotifiableObject::CNotifiableObject() {
  std::memset(profileData, 0, sizeof(profileData));
  std::memset(profileValid, 0, sizeof(profileValid));
}

CNotifiableObject::~CNotifiableObject() { sharedLock.SetDeleting(); }

CAModule::CAModule(int32_t type, const ascommon::usstring& module_name)
    : moduleType(type), name(module_name) {}

CABreaker::CABreaker(const ascommon::usstring& module_name, int32_t is_virtual)
    : CAModule(kModuleTypeBreaker, module_name),
      familyName(kEmlBreakersFamilyName),
      isVirtual(is_virtual) {}

CAVirtualBreaker::CAVirtualBreaker(const ascommon::usstring& module_name)
    : CABreaker(module_name, 1) {}

CAStreamer::CAStreamer(const ascommon::usstring& module_name)
    : CAModule(kModuleTypeStreamer, module_name) {}

CAPerformer::CAPerformer(const ascommon::usstring& module_name)
    : CAModule(kModuleTypePerformer, module_name) {}

CAClassFactory::~CAClassFactory() {
  for (size_t i = 0; i < modules.GetSize(); ++i) delete modules[i];
  for (size_t i = 0; i < allocators.GetSize(); ++i) delete allocators[i];
}
