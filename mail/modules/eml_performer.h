// The performer, "Performer Module for the Mail Entity Type": writes the
// filters' verdict back into the mail (subject tags, verdict, hit rules and
// stamp headers). Per-profile settings records; no shared state.
//
// It changes only the header map the breaker published under id 1 of the
// mail's box: a changed or added header gets `modified`, so that the
// breaker's CommitChanges writes it into the mail, and the item's `modified`
// is set after every change. Added headers are keyed by their upper-cased
// name, as the header parser keys the ones it reads.
#ifndef MAIL_MODULES_EML_PERFORMER_H_
#define MAIL_MODULES_EML_PERFORMER_H_

#include "emlbreaker/blackbox.h"
#include "emlbreaker/headers.h"
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
  ascommon::usstring legitValue{u"No  ($score)"};  // two blanks: lines up with "Yes"
  bool addAsslHeader = false;
  ascommon::usstring asslHeaderName{u"X-Orvane-ASSL-Hit-Rules"};
  bool spamStamp = true;
  ascommon::usstring stampHeaderName{u"X-Orvane-SpamStamp"};
};

// Action codes of Perform; any other code does nothing.
enum : int32_t {
  kActionTagSpamSubject = 0,
  kActionTagPhishSubject = 1,
  kActionAddSpamHeader = 2,
  kActionAddLegitHeader = 3,
  kActionNone = 4,
  kActionAddAsslHeader = 5,
  kActionAddStampHeader = 6,
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

  // Puts `tag` in front of the subject's text, or makes a subject of the tag
  // alone when the mail has none. Throws ASException when "SUBJECT" holds a
  // header of another class, ASMemException when a text cannot be stored.
  static void TagSubject(nsEmlComponents::CHeaderMap* headers, const ascommon::usstring& tag);
  // Sets the text of header `name` (looked up upper-cased) to `value`, adding
  // a CHeaderOther when the mail has none. Throws ASException when the name
  // belongs to a header of another class or the map refuses the new one.
  static void AddCustomHeader(nsEmlComponents::CHeaderMap* headers,
                              const ascommon::usstring& name, const ascommon::usstring& value);
  // The template with "$score" and "$categ" replaced by the verdict box's
  // score (id 1) and category (id 4); empty when the template is empty or the
  // box holds no score. At most 1024 template characters are read and 1023
  // result characters kept.
  static ascommon::usstring ParseHeaderDescriptors(const ascommon::usstring& value_template,
                                                   ascommon::CBlackBox* verdict_box);

 private:
  SPerformerSettings* Record(uint32_t profile) const;

  void TagMessageSubjectAsSpam(uint32_t profile, MailItem* item);
  void TagMessageSubjectAsPhishing(uint32_t profile, MailItem* item);
  void AddVerdictHeader(uint32_t profile, MailItem* item, bool spam);
  void AddAsslHeader(uint32_t profile, MailItem* item);
  void AddStampHeader(uint32_t profile, MailItem* item);
};

}  // namespace nsEmlModules

#endif  // MAIL_MODULES_EML_PERFORMER_H_
