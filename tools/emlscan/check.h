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

namespace emlscan {

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

}  // namespace emlscan

#endif  // TOOLS_EMLSCAN_CHECK_H_
