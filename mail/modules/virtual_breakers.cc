#include "mail/modules/virtual_breakers.h"

#include <cstdint>
#include <new>

#include "emlbreaker/exceptions.h"

namespace nsEmlModules {

// Profile and shared data of a virtual breaker: 4-byte blocks that hold
// nothing, kept so hosts can treat every module alike.
void* CEmlVirtualBreakerBase::CreateProfileData() { return new (std::nothrow) int32_t(0); }
void CEmlVirtualBreakerBase::DestroyProfileData(void* data) { delete static_cast<int32_t*>(data); }
void* CEmlVirtualBreakerBase::CreateSharedData() { return new (std::nothrow) int32_t(0); }
void CEmlVirtualBreakerBase::DestroySharedData(void* data) { delete static_cast<int32_t*>(data); }

CEmlBreaker& CEmlVirtualBreakerBase::Bound() {
  if (realBreaker == nullptr) throw CBreakerException(-1, "No real breaker provided");
  return *realBreaker;
}

int32_t CEmlVirtualBreakerBase::Break(uint32_t profile, MailItem* item) {
  CEmlBreaker& real = Bound();
  try {
    return (real.*stage_)(profile, item);
  } catch (const CBreakerException&) {
    ReleaseBrokenMail(profile, item);
    throw;
  }
}

void CEmlVirtualBreakerBase::ReleaseBrokenMail(uint32_t profile, MailItem* item) {
  Bound().ReleaseBrokenMail(profile, item);
}

void CEmlVirtualBreakerBase::CommitChanges(uint32_t profile, MailItem* item) {
  Bound().CommitChanges(profile, item);
}

int32_t CEmlVirtualBreakerBase::Rebreak(uint32_t profile, MailItem* item) {
  return Bound().Rebreak(profile, item);
}

void CEmlVirtualBreakerBase::SetRealBreaker(CAModule* module) {
  if (module == nullptr) throw CBreakerException(-1, "NULL pointer exception");
  auto* breaker = dynamic_cast<CABreaker*>(module);
  auto* real = breaker != nullptr ? dynamic_cast<CEmlBreaker*>(breaker) : nullptr;
  if (real == nullptr) {
    throw CBreakerException(-1, "Object provided it's not an instance of real eml breaker");
  }
  realBreaker = real;
}

}  // namespace nsEmlModules
