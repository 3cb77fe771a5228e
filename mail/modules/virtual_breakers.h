// The four virtual breakers: each runs one stage of a bound real breaker on
// the host's request, and forwards release, commit and rebreak to it. They
// hold no state but the binding; the host keeps the real breaker alive and
// must not apply its shared settings while a virtual breaker works (the stages
// take no lock).
#ifndef MAIL_MODULES_VIRTUAL_BREAKERS_H_
#define MAIL_MODULES_VIRTUAL_BREAKERS_H_

#include "emlbreaker/modules.h"
#include "mail/modules/eml_breaker.h"

namespace nsEmlModules {

class CEmlVirtualBreakerBase : public CAVirtualBreaker {
 public:
  using Stage = int32_t (CEmlBreaker::*)(uint32_t, MailItem*);

  CEmlVirtualBreakerBase(const ascommon::usstring& module_name, uint8_t kind, Stage stage)
      : CAVirtualBreaker(module_name), kind_(kind), stage_(stage) {}

  void ApplySettings(uint32_t) override {}
  void* CreateProfileData() override;
  void DestroyProfileData(void* data) override;
  void* CreateSharedData() override;
  void DestroySharedData(void* data) override;
  void ApplySharedSettings(uint32_t) override {}

  uint8_t GetBreakerKind() override { return kind_; }
  // Runs the stage; when it fails with a CBreakerException, releases what the
  // real breaker stored so far and rethrows.
  int32_t Break(uint32_t profile, MailItem* item) override;
  void ReleaseBrokenMail(uint32_t profile, MailItem* item) override;
  void CommitChanges(uint32_t profile, MailItem* item) override;
  int32_t Rebreak(uint32_t profile, MailItem* item) override;
  void SetRealBreaker(CAModule* module) override;

  CEmlBreaker* realBreaker = nullptr;  // not owned

 private:
  CEmlBreaker& Bound();

  uint8_t kind_;
  Stage stage_;
};

class CEmlHeaderBreaker final : public CEmlVirtualBreakerBase {
 public:
  explicit CEmlHeaderBreaker(const ascommon::usstring& module_name)
      : CEmlVirtualBreakerBase(module_name, kBreakerHeader, &CEmlBreaker::BreakHeaders) {}
};

class CEmlPartsBreaker final : public CEmlVirtualBreakerBase {
 public:
  explicit CEmlPartsBreaker(const ascommon::usstring& module_name)
      : CEmlVirtualBreakerBase(module_name, kBreakerParts, &CEmlBreaker::BreakParts) {}
};

class CEmlTextPartsBreaker final : public CEmlVirtualBreakerBase {
 public:
  explicit CEmlTextPartsBreaker(const ascommon::usstring& module_name)
      : CEmlVirtualBreakerBase(module_name, kBreakerTextParts, &CEmlBreaker::BreakTextParts) {}
};

class CEmlHtmlPartsBreaker final : public CEmlVirtualBreakerBase {
 public:
  explicit CEmlHtmlPartsBreaker(const ascommon::usstring& module_name)
      : CEmlVirtualBreakerBase(module_name, kBreakerHtmlParts, &CEmlBreaker::BreakHtmlParts) {}
};

}  // namespace nsEmlModules

#endif  // MAIL_MODULES_VIRTUAL_BREAKERS_H_
