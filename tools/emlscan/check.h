// `emlscan check` and `emlscan filter`: the host acting as the framework's
// filter (the policy is in verdict.h and docs/HOST.md).
//
//   emlscan check [--json] [-j N] MAIL|DIR...    a verdict per mail
//   emlscan filter [MAIL] [-o OUT]               the mail, tagged, on stdout
//   emlscan filter --in-place FILE...            the files rewritten safely
#ifndef TOOLS_EMLSCAN_CHECK_H_
#define TOOLS_EMLSCAN_CHECK_H_

#include <string>
#include <vector>

#include "tools/emlscan/verdict.h"

class CAMimePart;

namespace emlscan {

class Scanner;

// Exit statuses of `filter` (sysexits.h's EX_TEMPFAIL for what a mail system
// should retry).
inline constexpr int kFilterWritten = 0;
inline constexpr int kFilterSpam = 1;      // with --exit-code
inline constexpr int kFilterPhishing = 2;  // with --exit-code
inline constexpr int kFilterTempFail = 75;

struct CheckOptions {
  std::string config_file;
  std::string plugin_path;
  std::vector<std::string> overrides;
  std::vector<std::string> mails;
  bool json = false;
  bool quiet = false;
  int jobs = 1;
  // filter only
  std::string output;  // empty: standard output
  bool in_place = false;
  bool exit_code = false;
};

// Exit status 0 when every mail got a verdict of the rules or the policy, 1
// when some could not be read at all; settings errors throw.
int RunCheck(const CheckOptions& options);

// Exit status as the kFilter* constants above.
int RunFilter(const CheckOptions& options);

// Judges a mail the host opened through the packer (`top`) as `check` does
// and lets the performer act on it; with `commit` the changed headers are
// written back into the packer's mail. A mail whose bodies break their
// declared charset is judged without them (docs/HOST.md). Throws when the
// mail gets no verdict at all. `filter` and `milter` share it. `raw`, the
// mail's bytes as received, is what auto-learning knows the mail by (its
// digest); without it a mail is not auto-learned.
Verdict JudgeOpenedMail(Scanner& scanner, const CheckPolicy& policy, CAMimePart* top, bool commit,
                        const std::string* raw = nullptr);

}  // namespace emlscan

#endif  // TOOLS_EMLSCAN_CHECK_H_
