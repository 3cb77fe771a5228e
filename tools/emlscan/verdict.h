// emlscan's filter policy: how the host turns what the rules decided for one
// broken mail into a verdict, and how it hands that verdict to the performer.
// The policy is the host's, not the plug-in's (docs/HOST.md):
//   1. every signature rule (a rule with a priority) runs once, highest
//      priority first, through the mail's execution unit; a rule that throws
//      is reported and the others go on;
//   2. the score is the rule variable "SCORE" (0 when no rule set it), the
//      category the variable "CATEGORY" (empty when none set it);
//   3. phishing when the category is "phishing", spam when it is "spam" or
//      the score reaches the threshold, legitimate otherwise.
#ifndef TOOLS_EMLSCAN_VERDICT_H_
#define TOOLS_EMLSCAN_VERDICT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "emlbreaker/broken_mail.h"
#include "emlbreaker/mail_item.h"
#include "emlbreaker/modules.h"
#include "tools/emlscan/config.h"

namespace emlscan {

class AutoLearner;

struct CheckPolicy {
  // A mail whose score reaches this is spam.
  int32_t threshold = 5;
  // What a body whose bytes break the charset it declares adds to a mail's
  // score (the mail is judged without that body; see docs/HOST.md).
  int32_t unreadable_score = 0;
  // The stamp header's text: this, then the time of the check.
  std::string stamp = "emlscan (emlbreaker 2.5.16)";
  // Set when [emlscan.learning] AutoLearn is on (learn.h): Judge then measures what the
  // classifier's rules added, and each mail judged is offered to it. Not owned.
  AutoLearner* autolearner = nullptr;

  // The [emlscan.check] table of the config ("/emlscan/check/Threshold",
  // ".../UnreadableBodyScore"); throws std::runtime_error naming a value that
  // is not a whole number.
  static CheckPolicy FromConfig(const Config& config);
};

enum class VerdictKind { kLegitimate, kSpam, kPhishing, kError };
const char* VerdictName(VerdictKind kind);

struct Verdict {
  VerdictKind kind = VerdictKind::kError;
  int32_t score = 0;
  std::string category;
  std::vector<std::string> hitRules;
  // Signature rules that threw, as "NAME: reason".
  std::vector<std::string> ruleErrors;
  // Why the mail got no verdict of the rules (kError), or why it was judged by
  // the host's policy alone (an unreadable body); empty otherwise.
  std::string error;
  bool unreadable = false;
  // The rules ran (through the execution unit); false for a verdict of the
  // host's policy alone or an error.
  bool ruled = false;
  // What the statistical classifier's scoring rules (SC_STAT_*, learning.slf)
  // added to `score`; measured only for a policy with an autolearner.
  int32_t classifierScore = 0;
  // "spam" or "ham" when auto-learning learned the mail; empty otherwise.
  std::string autolearn;
};

// Runs the signature rules of a broken mail through its execution unit and
// decides. `unreadable`, when not empty, is why the mail was broken without
// some of its bodies: the policy's UnreadableBodyScore is added and the
// verdict says so. Throws std::runtime_error when the mail has no execution
// unit.
Verdict Judge(MailItem& item, const CheckPolicy& policy, const std::string& unreadable = "");

// The verdict for a mail no rule could run on because its headers already
// broke their charset: the policy's score alone.
Verdict JudgeUnreadable(const std::string& reason, const CheckPolicy& policy);

// Fills item.verdictBox with `verdict` (id 1 score, id 4 category, id 213 the
// stamp) and runs the performer's actions for it: subject tag, verdict header,
// hit-rules header, stamp. The performer's own settings say which of them
// change the mail.
void Perform(CAPerformer* performer, const Verdict& verdict, const CheckPolicy& policy,
             MailItem& item);

}  // namespace emlscan

#endif  // TOOLS_EMLSCAN_VERDICT_H_
