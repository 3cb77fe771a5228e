// The real breaker, "EML Real Breaker": breaks one mail into the black box of
// the host's MailItem (headers under id 1, parts tree under id 2, execution
// unit under id 4). One instance serves many mails on many threads: Break runs
// under the read-only sharedLock, ApplySharedSettings under the exclusive one.
// It also owns the engines the filters run rules with (the rule engine over
// the folder of "/eml/breaker/SlfPath", the regex library, the heuristics),
// set up by ApplySharedSettings and shared by every mail's execution unit.
#ifndef MAIL_MODULES_EML_BREAKER_H_
#define MAIL_MODULES_EML_BREAKER_H_

#include <memory>
#include <string>

#include "common/charset_converter.h"
#include "emlbreaker/modules.h"
#include "emlbreaker/strings.h"
#include "engines/blackbox_facilitator.h"
#include "mail/components/header_parser.h"
#include "mail/modules/body_analyser.h"
#include "rules/engines_interface.h"

class CAEmlStream;

namespace nsEmlModules {

// Per-profile data of the real breaker.
struct SEmlBreakerProfileData {
  int32_t applied = 0;
  float wordFinderThreshold = 0.1f;
};

// Shared data of the real breaker: the converter, the engines, and the paths
// last applied to each, so that applying changed settings re-initialises only
// what changed. A path is stored only once its engine was set up, so a failed
// set-up is tried again by the next apply.
struct SEmlBreakerSharedData {
  ascommon::CCharsetConverter converter{true};
  ascommon::usstring libsPathApplied;  // unset: the first apply always sets up
  std::unique_ptr<CEnginesInterface> engines;  // null until the first apply
  ascommon::usstring wordFinderPathApplied;  // unset: the first apply always sets up
  ascommon::usstring regexPathApplied;  // unset: the first apply always sets up
  ascommon::usstring slfPathApplied;  // unset: the first apply always sets up
  ascommon::usstring knnPathApplied;  // unset: the first apply always sets up
  ascommon::usstring urlDatabaseApplied;  // unset: the first apply always loads
  ascommon::usstring urlDatabaseUpdateApplied;
};

class CEmlBreaker : public CABreaker {
 public:
  // Throws CBreakerException (-10, "Memory allocation problems") when a name
  // cannot be stored.
  explicit CEmlBreaker(const ascommon::usstring& module_name);
  ~CEmlBreaker() override;

  void ApplySettings(uint32_t profile) override;
  void* CreateProfileData() override;
  void DestroyProfileData(void* data) override;
  void* CreateSharedData() override;
  void DestroySharedData(void* data) override;
  void ApplySharedSettings(uint32_t profile) override;

  uint8_t GetBreakerKind() override { return kBreakerReal; }
  int32_t Break(uint32_t profile, MailItem* item) override;
  void ReleaseBrokenMail(uint32_t profile, MailItem* item) override;
  void CommitChanges(uint32_t profile, MailItem* item) override;
  int32_t Rebreak(uint32_t profile, MailItem* item) override;

  // The four stages. Each first runs the stages before it and does nothing
  // when its own result is already in the box, so any one may be asked for
  // alone (the virtual breakers do). They take no lock of their own.
  int32_t BreakHeaders(uint32_t profile, MailItem* item);
  int32_t BreakParts(uint32_t profile, MailItem* item);
  int32_t BreakTextParts(uint32_t profile, MailItem* item);
  int32_t BreakHtmlParts(uint32_t profile, MailItem* item);

  // Reads the mail's headers; shared by every mail (read-only while breaking).
  std::unique_ptr<nsEmlComponents::CHeaderParser> headerParser;
  // Analyses the text and HTML parts; shared like the header parser.
  std::unique_ptr<CBodyAnalyser> bodyAnalyser;

 private:
  // The text (kind 52) or HTML (kind 53) stage: runs the stages before it,
  // then analyses the parts of that kind once per tree.
  int32_t BreakBodies(uint32_t profile, MailItem* item, int32_t body_kind);
  // The item's mail stream; throws CBreakerException -11 (no item or stream)
  // or -20 (a stream of another class).
  static CAEmlStream* StreamOf(MailItem* item);
  // Gives the converter to the header parser and the body analyser (null
  // detaches it).
  void AttachConverter(const ascommon::CCharsetConverter* converter);
  // The engine steps of ApplySharedSettings, each in its own guard: a step
  // that fails is traced and the next one runs.
  static void SetUpEngines(SEmlBreakerSharedData* shared, const ascommon::usstring& libs_path,
                           const ascommon::usstring& data_path, const ascommon::usstring& slf_path,
                           bool generate_map);
  // The URL database step, after the engine steps: loads the base and update files
  // ("/eml/breaker/UrlDatabase", "/eml/breaker/UrlDatabaseUpdate") when either path
  // changed; a failure is traced and the database in use is kept.
  static void SetUpUrlDatabase(SEmlBreakerSharedData* shared, const ascommon::usstring& base,
                               const ascommon::usstring& update);
  // The learning step, last: opens the token store ("/emlscan/learning/Database", empty:
  // none) for the statistical classifier with its minimum counts ("MinSpam", "MinHam"
  // beside it); a failure is traced and leaves no classifier.
  static void SetUpLearning(SEmlBreakerSharedData* shared, const std::string& name,
                            const std::string& min_spam, const std::string& min_ham);
  // The last step of Break: a rule context over the broken mail and an
  // execution unit over it and the engines, published under id 4 in place of
  // the unit of an earlier Break of the item. The context gets the profile's
  // word-finder threshold, which the OBFUSCATED matches spend.
  // single_fields: the counts of the fields a mail carries once, when the header step
  // tallied them (the heuristics then need not walk the headers again).
  static void PublishExecutionUnit(MailItem* item, SEmlBreakerSharedData* shared,
                                   float word_finder_threshold,
                                   const CBlackBoxFacilitator::FieldCounts* single_fields);
  // BreakHeaders, tallying names on the way when tally is not null (see
  // CHeaderParser::NameTally; tally->complete stays false when the box held headers).
  int32_t BreakHeadersTallied(MailItem* item, nsEmlComponents::CHeaderParser::NameTally* tally);
  // Frees the unit under id 4 with its context and removes the id.
  static void WithdrawExecutionUnit(MailItem* item);

  const ascommon::CCharsetConverter* converter_ = nullptr;
};

}  // namespace nsEmlModules

#endif  // MAIL_MODULES_EML_BREAKER_H_
