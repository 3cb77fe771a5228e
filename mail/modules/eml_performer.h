// The performer, "Performer Module for the Mail Entity Type": writes the
// filters' verdict back into the mail (subject tags, verdict, hit rules and
// stamp headers). Per-profile settings records; no shared state.
#ifndef MAIL_MODULES_EML_PERFORMER_H_
#define MAIL_MODULES_EML_PERFORMER_H_

#include "emlbreaker/modules.h"
#include "emlbreaker/strings.h"

namespace nsEmlModules {

// The performer's settings for one profile, with the defaults of a new record.
struct SPerformerSettings {
  bool tagSpamSubject = false;
  bool tagPhishSubject = false;
  ascommon::usstring spamTag{u"[spam]"};
  ascommon::usstring phishTag{u"[phishing]"};
  bool addHeader = false;
  ascommon::usstring headerName{u"X-Orvane-Spam"};
  ascommon::usstring spamValue{u"Yes ($score)"};
  ascommon::usstring legitValue{u"No  ($score)"};
  bool addAsslHeader = false;
  ascommon::usstring asslHeaderName{u"X-Orvane-ASSL-Hit-Rules"};
  bool spamStamp = true;
  ascommon::usstring stampHeaderName{u"X-Orvane-SpamStamp"};
};

class CEmlPerformer final : public CAPerformer {
 public:
  explicit CEmlPerformer(const ascommon::usstring& module_name) : CAPerformer(module_name) {}

  void ApplySettings(uint32_t profile) override;
  void* CreateProfileData() override;
  void DestroyProfileData(void* data) override;
  void* CreateSharedData() override;
  void DestroySharedData(void* data) override;
  void ApplySharedSettings(uint32_t) override {}
  void Perform(uint32_t profile, MailItem* item, int32_t action) override;
};

}  // namespace nsEmlModules

#endif  // MAIL_MODULES_EML_PERFORMER_H_
