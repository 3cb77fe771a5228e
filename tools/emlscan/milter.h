// `emlscan milter`: the filter inside a mail server, on libmilter. Each
// message is rebuilt from the milter callbacks, judged at its end exactly as
// `check` judges a file, and what the performer wrote into it becomes milter
// operations (headers added, the subject changed), or the message is
// rejected or quarantined, as [emlscan.milter] says (docs/HOST.md).
//
//   emlscan milter [-c CONFIG] [--set PATH=VALUE]... [--socket SPEC]
//
// Runs in the foreground until SIGTERM or SIGINT; SIGHUP reloads the
// settings, the rules and the data; SIGUSR1 writes the statistics.
#ifndef TOOLS_EMLSCAN_MILTER_H_
#define TOOLS_EMLSCAN_MILTER_H_

#include <string>
#include <vector>

namespace emlscan {

struct MilterOptions {
  std::string config_file;
  std::string plugin_path;
  std::vector<std::string> overrides;
  std::string socket;  // empty: /emlscan/milter/Socket
};

// Exit status 0 after SIGTERM or SIGINT, 1 when the milter could not listen
// or libmilter stopped by itself, 2 for a settings or rules error at start.
int RunMilter(const MilterOptions& options);

}  // namespace emlscan

#endif  // TOOLS_EMLSCAN_MILTER_H_
