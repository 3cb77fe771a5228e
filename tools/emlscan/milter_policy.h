// The milter's settings ([emlscan.milter], "/emlscan/milter/...") and the
// part of its work that needs no mail server: which action a verdict gets,
// and how the headers the performer changed become milter operations.
// docs/HOST.md ("The milter") describes the policy.
#ifndef TOOLS_EMLSCAN_MILTER_POLICY_H_
#define TOOLS_EMLSCAN_MILTER_POLICY_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tools/emlscan/config.h"
#include "tools/emlscan/verdict.h"

namespace emlscan {

// What a spam or phishing verdict does to the message.
enum class MilterAction {
  kAccept,      // passed on unchanged
  kTag,         // the performer's headers and subject tag
  kReject,      // refused with RejectReply
  kQuarantine,  // held by the mail server, with the headers
};
const char* MilterActionName(MilterAction action);

struct MilterSettings {
  std::string socket = "unix:/run/emlscan/milter.sock";
  std::string socket_group;  // empty: the process's group
  mode_t socket_mode = 0660;
  uint64_t max_size = 10485760;
  int time_budget = 10;     // seconds
  bool tempfail_on_error = false;
  MilterAction spam_action = MilterAction::kTag;
  MilterAction phishing_action = MilterAction::kTag;
  int32_t reject_score = 0;  // 0: off
  // RejectReply split as smfi_setreply takes it.
  std::string reply_code = "550";
  std::string reply_xcode = "5.7.1";
  std::string reply_text = "Message refused as spam";
  bool syslog = false;
  int syslog_facility = 0;  // LOG_MAIL, set by FromConfig
  int stats_interval = 300;  // seconds
  std::string stats_file;
  int shutdown_timeout = 30;  // seconds

  // Reads the [emlscan.milter] table; absent keys keep the defaults above.
  // Throws std::runtime_error naming the setting and where its value came
  // from when a value does not fit (the schema checked kinds already; this
  // adds what it cannot: an octal mode, the parts of the reply).
  static MilterSettings FromConfig(const Config& config);
};

// The action for `verdict`: a spam scoring RejectScore or more is rejected
// whatever SpamAction says; a legitimate mail is tagged (it gets the
// performer's headers, its subject is left alone).
MilterAction ActionFor(const Verdict& verdict, const MilterSettings& settings);

// A unix socket spec's path ("unix:/run/x.sock", "local:/x" or a bare path);
// empty for inet sockets.
std::string UnixSocketPath(const std::string& spec);

// "inet:PORT" and "inet6:PORT" name every address; the milter listens on the
// loopback address instead unless one is written: "inet:PORT@127.0.0.1".
// Returns the spec to listen on; `defaulted` says whether it was changed.
std::string LoopbackUnlessNamed(const std::string& spec, bool* defaulted);

// One header field as the packer lists it: the name, the value unfolded
// without its leading blanks.
using HeaderField = std::pair<std::string, std::string>;

// A change to the message's header block for the mail server.
struct HeaderChange {
  bool add = true;        // false: the index-th field of that name changes
  std::string name;
  int index = 0;          // 1-based among the fields of that name (names without case)
  std::string value;      // the packer's unfolded value
  std::string previous;   // the packer's value before, for a change
};

// What the performer did to the header block: `before` and `after` are the
// packer's listings of the mail's fields before and after CommitChanges. The
// packer changes a field in place and adds new fields at the end, so a field
// at the same position with another value changed, and those past the end of
// `before` were added. Throws std::runtime_error when the listings do not
// line up that way (a field removed or renamed).
std::vector<HeaderChange> DiffHeaders(const std::vector<HeaderField>& before,
                                      const std::vector<HeaderField>& after);

// The value to hand the mail server for a changed field whose raw value (as
// the mail server sent it: folds, leading blank) is `raw`: when the packer's
// new value is the old one with text put in front (a subject tag), that text
// goes in front of the raw value, after its leading blanks, so every byte of
// the old value stays as it was; otherwise the new value, folded.
std::string ChangedValue(const HeaderChange& change, const std::string& raw, bool lead_space);

// A value for smfi_addheader: long values folded at blanks before column 78
// ("\n " between lines, which the mail server writes as CRLF), with a
// leading blank when the mail server keeps values as sent (SMFIP_HDR_LEADSPC).
std::string AddedValue(const std::string& name, const std::string& value, bool lead_space);

}  // namespace emlscan

#endif  // TOOLS_EMLSCAN_MILTER_POLICY_H_
