// Drives mails through the plug-in as a framework host does: one streamer and
// one real breaker, configured once, then per mail CreateStream, Break, the
// caller's look at the black box, ReleaseBrokenMail and the stream closed.
//
// Scan may be called from several threads at once for different mails: the
// breaker and the streamer take their read-only locks inside.
#ifndef TOOLS_EMLSCAN_SCANNER_H_
#define TOOLS_EMLSCAN_SCANNER_H_

#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "emlbreaker/mail_item.h"
#include "tools/emlscan/config.h"
#include "tools/emlscan/host_settings.h"
#include "tools/emlscan/plugin_host.h"

namespace emlscan {

// The breaker refused a mail: its message with the code ("Problems breaking
// the body of text parts (code -303)"), and the code alone.
class BreakError : public std::runtime_error {
 public:
  BreakError(const std::string& message, int32_t code)
      : std::runtime_error(message + " (code " + std::to_string(code) + ")"), code_(code) {}
  int32_t code() const { return code_; }

 private:
  int32_t code_;
};

// The breaker's code for a body whose bytes break the charset it declares.
inline constexpr int32_t kConversionFailed = -303;

// After a break refused with kConversionFailed: the body stages to skip on the next
// try (the skip list Scan takes), first the stage that failed, then both. False when
// the refusal is of another kind or both stages are skipped already: nothing is left
// to try.
bool SkipFailedBodyStage(const BreakError& error, std::vector<int32_t>* skip);

// A file from a folder listing that is plainly not a mail (a README, an
// index): it has no header block at its start. Counted as skipped, not failed.
class NotMailError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Whether the file starts as a mail does: after any mbox "From " lines, a
// header field ("Name:") on its first line. Reads at most its first 64 KiB.
// False for a file that cannot be read (the scan then says why).
bool LooksLikeMail(const std::string& path);

class Scanner {
 public:
  // Loads the plug-in and applies the settings; throws std::runtime_error or
  // an ASException naming what failed. `stage` picks how far mails are
  // broken: "all" through the real breaker, or "headers", "parts", "text" or
  // "html" through that stage's virtual breaker (each stage runs the ones
  // before it).
  Scanner(const std::string& plugin_path, const Config& config,
          const std::string& stage = "all");

  // Breaks one mail file and calls `inspect` with the broken item. Throws
  // std::runtime_error with a one-line reason when the mail cannot be read
  // or broken; the item is released in every case. `known_regular` skips the
  // check that the name is a regular file (a folder listing already made it)
  // and throws NotMailError for a file that is plainly not mail (the packer
  // finds no header block, or refuses a file that does not look like a mail).
  //
  // `skip_stages` lists body kinds (52 text, 53 HTML) whose stage is not to
  // run: the headers and parts are broken by the parts breaker first and the
  // tree marks those stages done, so the real breaker goes on to publish the
  // execution unit without them. This is how a mail the breaker refuses for
  // a body that breaks its declared charset is still judged on its headers
  // and parts (docs/HOST.md). Only with the real breaker (stage "all").
  //
  // `file` "-" is the mail on standard input, read once (on first use) into a
  // temporary file under $TMPDIR (else /tmp) that is unlinked at once and
  // reached through /proc/self/fd: nothing of it stays, however the run ends.
  void Scan(const std::string& file, const std::function<void(MailItem&)>& inspect,
            bool known_regular = false, const std::vector<int32_t>& skip_stages = {});
  // The same for a mail the host opened itself through the packer (`top`, the
  // packer's object for the mail's top part): a memory stream (subtype 4)
  // over it. The mail stays the caller's to write out and close.
  void ScanOpened(void* top, const std::function<void(MailItem&)>& inspect,
                  const std::vector<int32_t>& skip_stages = {});

  // What the plug-in could not load beside it, each a sentence naming the
  // library and why: the regular-expression library its rules compile with
  // (without it every rule with a regex is dropped) and, when EMLSCAN_TRACE
  // asks for a trace, the tracer. The plug-in itself goes on without them, so
  // the host asks: a library the plug-in took stays resident.
  struct Companions {
    std::string regex;   // empty when loaded
    std::string tracer;  // empty when loaded
    // The token store the settings name is a file that cannot be read (the
    // plug-in then runs without its statistical classifier); empty otherwise,
    // and for a store on a server, which only the plug-in reaches.
    std::string learning;
  };
  Companions MissingCompanions() const;

  // The performer, created with the same settings on first use (the dump
  // needs none). Not thread-safe: call it once before running workers.
  CAPerformer* performer();
  // The real breaker, whose CommitChanges writes changed headers back.
  CABreaker* breaker() { return breaker_; }
  PluginHost& host() { return host_; }

 private:
  PluginHost host_;
  HostSettings settings_;
  std::string packer_dir_;  // where the streamer loads the packer from
  std::string libs_dir_;    // where the breaker loads the regex library from
  std::string plugin_path_;
  std::string token_store_;  // /emlscan/learning/Database
  CAStreamer* streamer_ = nullptr;
  CABreaker* breaker_ = nullptr;  // the real breaker
  CABreaker* breaking_ = nullptr;  // what Scan calls: the real or a virtual breaker
  CAPerformer* performer_ = nullptr;
  CABreaker* parts_breaker_ = nullptr;  // for skip_stages; only with the real breaker
  std::once_flag stdin_once_;
  std::string stdin_path_;   // /proc/self/fd/N of the copy of standard input
  std::string stdin_error_;  // why it could not be made
  int stdin_fd_ = -1;

  // The path of the copy of standard input; throws when it cannot be made.
  const std::string& StdinPath();

 public:
  ~Scanner();

 private:

  // Breaks the mail of `stream`, hands it to `inspect` and releases it.
  void BreakStream(CAStream* stream, const std::function<void(MailItem&)>& inspect,
                   const std::vector<int32_t>& skip_stages);
};

// One name to scan; `listed` when it came from a folder listing, which
// already knew it for a regular file.
struct MailFile {
  std::string path;
  bool listed = false;
};

// The mail files named by `args`: files as given ("-", standard input, too),
// folders searched recursively (hidden entries skipped), each folder's files
// in name order.
// Names that do not exist are returned too, so the caller reports them.
std::vector<MailFile> CollectMailFiles(const std::vector<std::string>& args);

// Runs `work(index)` for every index below `count` on `jobs` threads, the
// calling thread one of them, and calls `emit(index, text)` in index order
// (from those threads, one at a time), keeping at most a small window of
// finished results in memory. Once a stop is requested (StopRequested), no
// new index is handed out: the mails under way are finished and emitted.
// Returns how many indices were run and emitted (count unless stopped).
size_t RunOrdered(size_t count, int jobs, const std::function<std::string(size_t)>& work,
                  const std::function<void(size_t, const std::string&)>& emit);

// A run stopped by a signal. StopOnSignals makes SIGINT and SIGTERM request a
// stop instead of killing the process (the handler only stores the signal's
// number; a second such signal kills as before). StopRequested is that number,
// 0 when none came; a stopped run exits 128 + it (130, 143).
void StopOnSignals();
int StopRequested();
// Requests a stop as a signal would (0 withdraws it): for tests.
void RequestStop(int signal);

}  // namespace emlscan

#endif  // TOOLS_EMLSCAN_SCANNER_H_
