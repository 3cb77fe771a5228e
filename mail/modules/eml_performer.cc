#include "mail/modules/eml_performer.h"

#include <new>

#include "framework/base/not_available.h"

namespace nsEmlModules {

void CEmlPerformer::ApplySettings(uint32_t) {
  nsEmlFramework::ThrowNotAvailable("nsEmlModules::CEmlPerformer::ApplySettings");
}

void* CEmlPerformer::CreateProfileData() { return new (std::nothrow) SPerformerSettings(); }

void CEmlPerformer::DestroyProfileData(void* data) {
  delete static_cast<SPerformerSettings*>(data);
}

// The shared block is four bytes that nothing uses.
void* CEmlPerformer::CreateSharedData() { return new (std::nothrow) int32_t(0); }
void CEmlPerformer::DestroySharedData(void* data) { delete static_cast<int32_t*>(data); }

void CEmlPerformer::Perform(uint32_t, MailItem*, int32_t) {
  nsEmlFramework::ThrowNotAvailable("nsEmlModules::CEmlPerformer::Perform");
}

}  // namespace nsEmlModules
