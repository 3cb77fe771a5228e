#include "mail/modules/eml_breaker.h"

#include <new>

#include "emlbreaker/exceptions.h"
#include "framework/not_available.h"

namespace nsEmlModules {

using nsEmlFramework::ThrowNotAvailable;

CEmlBreaker::CEmlBreaker(const ascommon::usstring& module_name) : CABreaker(module_name, 0) {
  if (name.GetError() != 0 || familyName.GetError() != 0) {
    throw CBreakerException(-10, "Memory allocation problems");
  }
}

CEmlBreaker::~CEmlBreaker() = default;

void CEmlBreaker::ApplySettings(uint32_t) {
  ThrowNotAvailable("nsEmlModules::CEmlBreaker::ApplySettings");
}

void* CEmlBreaker::CreateProfileData() { return new (std::nothrow) SEmlBreakerProfileData(); }

void CEmlBreaker::DestroyProfileData(void* data) {
  delete static_cast<SEmlBreakerProfileData*>(data);
}

void* CEmlBreaker::CreateSharedData() { return new (std::nothrow) SEmlBreakerSharedData(); }

void CEmlBreaker::DestroySharedData(void* data) {
  delete static_cast<SEmlBreakerSharedData*>(data);
}

void CEmlBreaker::ApplySharedSettings(uint32_t) {
  ThrowNotAvailable("nsEmlModules::CEmlBreaker::ApplySharedSettings");
}

int32_t CEmlBreaker::Break(uint32_t, MailItem*) {
  ThrowNotAvailable("nsEmlModules::CEmlBreaker::Break");
}

void CEmlBreaker::ReleaseBrokenMail(uint32_t, MailItem*) {
  ThrowNotAvailable("nsEmlModules::CEmlBreaker::ReleaseBrokenMail");
}

void CEmlBreaker::CommitChanges(uint32_t, MailItem*) {
  ThrowNotAvailable("nsEmlModules::CEmlBreaker::CommitChanges");
}

int32_t CEmlBreaker::Rebreak(uint32_t profile, MailItem* item) {
  ReleaseBrokenMail(profile, item);
  return Break(profile, item);
}

int32_t CEmlBreaker::BreakHeaders(uint32_t, MailItem*) {
  ThrowNotAvailable("nsEmlModules::CEmlBreaker::BreakHeaders");
}

int32_t CEmlBreaker::BreakParts(uint32_t, MailItem*) {
  ThrowNotAvailable("nsEmlModules::CEmlBreaker::BreakParts");
}

int32_t CEmlBreaker::BreakTextParts(uint32_t, MailItem*) {
  ThrowNotAvailable("nsEmlModules::CEmlBreaker::BreakTextParts");
}

int32_t CEmlBreaker::BreakHtmlParts(uint32_t, MailItem*) {
  ThrowNotAvailable("nsEmlModules::CEmlBreaker::BreakHtmlParts");
}

}  // namespace nsEmlModules
