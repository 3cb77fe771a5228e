#include "tools/emlscan/check.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "emlbreaker/packer.h"
#include "tools/emlscan/config.h"
#include "tools/emlscan/learn.h"
#include "tools/emlscan/packer_host.h"
#include "tools/emlscan/scanner.h"
#include "tools/emlscan/verdict.h"

namespace emlscan {
namespace {


std::string Joined(const std::vector<std::string>& names, const char* separator) {
  std::string text;
  for (const std::string& name : names) {
    if (!text.empty()) text += separator;
    text += name;
  }
  return text;
}

// One line of `check` output for a person, or one JSON object.
std::string VerdictLine(const std::string& file, const Verdict& verdict, bool json) {
  if (json) {
    nlohmann::json line;
    line["file"] = file;
    line["verdict"] = VerdictName(verdict.kind);
    line["score"] = verdict.score;
    line["category"] = verdict.category;
    line["hit_rules"] = verdict.hitRules;
    if (verdict.kind == VerdictKind::kError) line["error"] = verdict.error;
    if (verdict.unreadable) {
      line["unreadable"] = true;
      line["reason"] = verdict.error;
    }
    if (!verdict.ruleErrors.empty()) line["rule_errors"] = verdict.ruleErrors;
    if (!verdict.autolearn.empty()) line["autolearn"] = verdict.autolearn;
    return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  }
  if (verdict.kind == VerdictKind::kError) return file + ": error: " + verdict.error + "\n";
  std::string text = file + ": " + VerdictName(verdict.kind) + " score=" +
                     std::to_string(verdict.score) + " category=" +
                     (verdict.category.empty() ? "-" : verdict.category) +
                     " hits=" + (verdict.hitRules.empty() ? "-" : Joined(verdict.hitRules, ","));
  if (verdict.unreadable) text += " (unreadable body: " + verdict.error + ")";
  if (!verdict.autolearn.empty()) text += " autolearn=" + verdict.autolearn;
  return text + "\n";
}

// Breaks one mail through `scan` (a call of Scanner::Scan or ScanOpened with
// the stages to skip) and judges it; with `commit`, the performer acts on it
// and the changed headers are written back into the packer's mail (`check`
// prints the verdict alone, so it leaves the mail as it was).
// A mail the breaker refuses for a body that breaks its declared charset is
// broken again without the stage that failed (then without both body
// stages) and judged on its headers and parts. Failures that leave no
// verdict throw. With auto-learning, the mail is offered to the learner last
// (`digest` gives its digest), after the performer if it ran.
template <class ScanFn>
Verdict JudgeMail(Scanner& scanner, const CheckPolicy& policy, bool commit, ScanFn scan,
                  const std::function<std::string()>& digest) {
  Verdict verdict;
  std::string unreadable;
  std::vector<int32_t> skip;
  auto judge = [&](MailItem& item) {
    verdict = Judge(item, policy, unreadable);
    if (commit) {
      Perform(scanner.performer(), verdict, policy, item);
      scanner.breaker()->CommitChanges(0, &item);
    }
    if (policy.autolearner != nullptr)
      verdict.autolearn = policy.autolearner->Learn(item, verdict, digest);
  };
  for (;;) {
    try {
      scan(judge, skip);
      return verdict;
    } catch (const BreakError& e) {
      if (e.code() == kConversionFailed && unreadable.empty()) unreadable = e.what();
      if (!SkipFailedBodyStage(e, &skip)) {
        if (e.code() == kConversionFailed) return JudgeUnreadable(unreadable, policy);
        throw;
      }
    }
  }
}

// A verdict needs the rules whole: without the regex library every rule with
// a regex is gone, and mails would be judged on what is left. A missing
// tracer only costs the plug-in's trace.
void RequireCompanions(const Scanner& scanner, bool quiet) {
  const Scanner::Companions missing = scanner.MissingCompanions();
  if (!missing.regex.empty()) throw std::runtime_error(missing.regex);
  if (quiet) return;
  for (const std::string* problem : {&missing.tracer, &missing.learning})
    if (!problem->empty()) std::fprintf(stderr, "emlscan: warning: %s\n", problem->c_str());
}

Verdict Failed(const std::exception& failure) {
  Verdict verdict;
  verdict.error = failure.what();
  return verdict;
}

// Progress on a terminal: "  1200/3000 mails" redrawn at most five times a second.
class Progress {
 public:
  Progress(size_t total, bool shown) : total_(total), shown_(shown) {}
  void Tick(size_t done) {
    if (!shown_) return;
    const auto now = std::chrono::steady_clock::now();
    if (done < total_ && now - last_ < std::chrono::milliseconds(200)) return;
    last_ = now;
    std::fprintf(stderr, "\r  %zu/%zu mails", done, total_);
    std::fflush(stderr);
  }
  void Clear() {
    if (shown_) std::fprintf(stderr, "\r\033[K");
  }

 private:
  size_t total_;
  bool shown_;
  std::chrono::steady_clock::time_point last_{};
};

}  // namespace

Verdict JudgeOpenedMail(Scanner& scanner, const CheckPolicy& policy, CAMimePart* top, bool commit,
                        const std::string* raw) {
  return JudgeMail(
      scanner, policy, commit,
      [&](auto& judge, const auto& skip) { scanner.ScanOpened(top, judge, skip); },
      [raw] {
        if (raw == nullptr) throw std::runtime_error("the mail's bytes are not kept");
        return DigestOfBytes(*raw);
      });
}

int RunCheck(const CheckOptions& options) {
  Config config = LoadHostConfig(options.config_file, options.overrides, options.plugin_path);
  CheckPolicy policy = CheckPolicy::FromConfig(config);
  const std::unique_ptr<AutoLearner> learner =
      AutoLearner::FromConfig(config, [](const std::string& problem) {
        std::fprintf(stderr, "emlscan: warning: %s\n", problem.c_str());
      });
  policy.autolearner = learner.get();
  Scanner scanner(options.plugin_path, config);
  RequireCompanions(scanner, options.quiet);
  std::vector<MailFile> files = CollectMailFiles(options.mails);
  size_t counts[4] = {};  // by VerdictKind
  size_t skipped = 0;     // files of a folder that are not mail
  Progress progress(files.size(), !options.quiet && isatty(fileno(stderr)));
  const auto started = std::chrono::steady_clock::now();
  const size_t checked = RunOrdered(
      files.size(), options.jobs,
      [&](size_t index) -> std::string {
        const std::string& file = files[index].path;
        Verdict verdict;
        try {
          verdict = JudgeMail(
              scanner, policy, false,
              [&](auto& judge, const auto& skip) {
                scanner.Scan(file, judge, files[index].listed, skip);
              },
              [&file] {
                if (file == "-")
                  throw std::runtime_error("a mail read from standard input is not learned");
                return DigestOfFile(file);
              });
        } catch (const NotMailError& e) {
          return "Semlscan: " + file + ": skipped, " + e.what() + "\n";
        } catch (const std::exception& e) {
          verdict = Failed(e);
        }
        std::string text(1, static_cast<char>('0' + static_cast<int>(verdict.kind)));
        text += VerdictLine(file, verdict, options.json);
        if (!options.json) {
          for (const std::string& failed : verdict.ruleErrors)
            text += "\temlscan: " + file + ": rule " + failed + "\n";
        }
        return text;
      },
      [&](size_t index, const std::string& text) {
        if (text[0] == 'S') {
          ++skipped;
          progress.Tick(index + 1);
          if (!options.quiet) {
            progress.Clear();
            std::fputs(text.c_str() + 1, stderr);
          }
          return;
        }
        ++counts[text[0] - '0'];
        // Rule failures (tab-led lines) go to stderr, the verdict to stdout.
        size_t end = text.find('\n') + 1;
        std::fwrite(text.data() + 1, 1, end - 1, stdout);
        while (end < text.size()) {
          const size_t next = text.find('\n', end) + 1;
          std::fwrite(text.data() + end + 1, 1, next - end - 1, stderr);
          end = next;
        }
        progress.Tick(index + 1);
      });
  std::fflush(stdout);
  progress.Clear();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const size_t errors = counts[static_cast<int>(VerdictKind::kError)];
  if (!options.quiet) {
    std::fprintf(stderr, "emlscan: %zu mails: %zu spam, %zu phishing, %zu legitimate, %zu errors",
                 checked - skipped, counts[static_cast<int>(VerdictKind::kSpam)],
                 counts[static_cast<int>(VerdictKind::kPhishing)],
                 counts[static_cast<int>(VerdictKind::kLegitimate)], errors);
    if (skipped > 0) std::fprintf(stderr, ", %zu skipped (not mail)", skipped);
    if (learner != nullptr) {
      std::fprintf(stderr, ", auto-learned %zu spam and %zu ham", learner->learnedSpam(),
                   learner->learnedHam());
    }
    if (checked > skipped && seconds > 0) {
      std::fprintf(stderr, " in %.3f s (%.0f mails/s)", seconds,
                   static_cast<double>(checked - skipped) / seconds);
    }
    if (checked < files.size()) {
      std::fprintf(stderr, "; stopped by signal %d, %zu not checked", StopRequested(),
                   files.size() - checked);
    }
    std::fputc('\n', stderr);
  }
  return errors == 0 ? 0 : 1;
}

namespace {

// Reads all of `fd`; false (errno kept) on a read error.
bool ReadAll(int fd, std::string* bytes) {
  char buffer[1 << 16];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got == 0) return true;
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes->append(buffer, static_cast<size_t>(got));
  }
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(put);
  }
  return true;
}

// The filter of one mail: opened through the host's packer, broken as a
// memory stream, judged, performed, committed and written out; or written
// out unchanged, with the reason, when any of that fails.
class MailFilter {
 public:
  MailFilter(Scanner& scanner, PackerHost& packer, const CheckPolicy& policy)
      : scanner_(scanner), packer_(packer), policy_(policy) {}

  struct Result {
    Verdict verdict;
    bool filtered = false;  // false: the mail went out unchanged
    std::string reason;     // why it was not filtered
  };

  // Writes the filtered mail to fd; false when writing failed (errno kept).
  bool Filter(const std::string& bytes, int fd, Result* result) {
    CAMimePacker* packer = packer_.packer();
    CAMimePart* top = packer->OpenMemory(bytes.data(), bytes.size());
    if (top == nullptr) {
      result->reason = "the packer could not read it: " + packer_.LastError("no reason given");
      return WriteAll(fd, bytes);
    }
    OpenedMail mail(packer, top);
    try {
      result->verdict = JudgeOpenedMail(scanner_, policy_, top, true, &bytes);
    } catch (const std::exception& e) {
      result->verdict = Failed(e);
      result->reason = e.what();
      return WriteAll(fd, bytes);
    }
    result->filtered = result->verdict.ruled;
    if (!result->filtered) result->reason = result->verdict.error;
    // Nothing to write back (no rule ran, or the performer changed nothing):
    // the mail as read.
    if (!result->filtered || packer->IsModified(top) == 0) return WriteAll(fd, bytes);
    return packer->WriteToFd(top, fd) == 1;
  }

 private:
  Scanner& scanner_;
  PackerHost& packer_;
  const CheckPolicy& policy_;
};

// Temporary files of --in-place are named ".NAME.emlscan-PID-XXXXXX" beside
// the file, so a later run can tell those of a process that died (killed
// mid-write) and remove them.
constexpr const char kTempMark[] = ".emlscan-";

std::string TempPrefix(const std::string& file) {
  const size_t slash = file.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : file.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? file : file.substr(slash + 1);
  return dir + "." + base + kTempMark;
}

// Removes the temporary files that dead emlscan processes left in `dir`.
void RemoveOrphans(const std::string& dir) {
  DIR* folder = opendir(dir.empty() ? "." : dir.c_str());
  if (folder == nullptr) return;
  while (const dirent* entry = readdir(folder)) {
    const char* name = entry->d_name;
    const char* mark = name[0] == '.' ? std::strstr(name, kTempMark) : nullptr;
    if (mark == nullptr) continue;
    char* end = nullptr;
    const long pid = std::strtol(mark + sizeof(kTempMark) - 1, &end, 10);
    if (pid <= 0 || *end != '-') continue;
    if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;  // alive, or not ours
    unlink(((dir.empty() ? std::string() : dir + "/") + name).c_str());
  }
  closedir(folder);
}

// Rewrites one file: the filtered mail goes to a temporary file beside it,
// which is synced and renamed over the original, so the file is at every
// moment either the original or the whole filtered mail. An unchanged mail
// leaves the file alone.
int FilterInPlace(MailFilter& filter, const std::string& file, const CheckOptions& options,
                  VerdictKind* kind) {
  const int in = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  std::string bytes;
  struct stat original;
  if (in < 0 || fstat(in, &original) != 0 || !ReadAll(in, &bytes)) {
    std::fprintf(stderr, "emlscan: %s: cannot read it: %s\n", file.c_str(), std::strerror(errno));
    if (in >= 0) close(in);
    return kFilterTempFail;
  }
  close(in);
  std::string temp = TempPrefix(file) + std::to_string(getpid()) + "-XXXXXX";
  const int out = mkostemp(temp.data(), O_CLOEXEC);
  if (out < 0) {
    std::fprintf(stderr, "emlscan: %s: cannot make a temporary file beside it: %s\n", file.c_str(),
                 std::strerror(errno));
    return kFilterTempFail;
  }
  MailFilter::Result result;
  bool written = filter.Filter(bytes, out, &result);
  const int saved = errno;
  *kind = result.verdict.kind;
  if (written && result.filtered) {
    // The original's permissions (its owner stays ours to keep only as root).
    written = fchmod(out, original.st_mode & 07777) == 0 &&
              (fchown(out, original.st_uid, original.st_gid) == 0 || errno == EPERM) &&
              fsync(out) == 0;
  }
  if (close(out) != 0) written = false;
  if (!written) {
    std::fprintf(stderr, "emlscan: %s: the filtered mail could not be written: %s\n", file.c_str(),
                 std::strerror(saved != 0 ? saved : errno));
    unlink(temp.c_str());
    return kFilterTempFail;
  }
  if (!result.filtered) {
    std::fprintf(stderr, "emlscan: %s: left as it was: %s\n", file.c_str(), result.reason.c_str());
    unlink(temp.c_str());
    return kFilterWritten;
  }
  if (rename(temp.c_str(), file.c_str()) != 0) {
    std::fprintf(stderr, "emlscan: %s: cannot replace it: %s\n", file.c_str(), std::strerror(errno));
    unlink(temp.c_str());
    return kFilterTempFail;
  }
  // The rename itself reaches the disk with the folder.
  const size_t slash = file.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : file.substr(0, slash + 1);
  const int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    fsync(dir_fd);
    close(dir_fd);
  }
  if (!options.quiet) {
    std::fprintf(stderr, "emlscan: %s: %s\n", file.c_str(), VerdictName(result.verdict.kind));
  }
  return kFilterWritten;
}

int VerdictStatus(VerdictKind kind, bool exit_code) {
  if (!exit_code) return kFilterWritten;
  if (kind == VerdictKind::kSpam) return kFilterSpam;
  if (kind == VerdictKind::kPhishing) return kFilterPhishing;
  return kFilterWritten;
}

}  // namespace

int RunFilter(const CheckOptions& options) {
  Config config = LoadHostConfig(options.config_file, options.overrides, options.plugin_path);
  CheckPolicy policy = CheckPolicy::FromConfig(config);
  const std::unique_ptr<AutoLearner> learner =
      AutoLearner::FromConfig(config, [](const std::string& problem) {
        std::fprintf(stderr, "emlscan: warning: %s\n", problem.c_str());
      });
  policy.autolearner = learner.get();
  Scanner scanner(options.plugin_path, config);
  RequireCompanions(scanner, true);
  PackerHost packer(config.Get("/eml/streamer/PackerPath").value_or("."));
  MailFilter filter(scanner, packer, policy);

  if (options.in_place) {
    std::set<std::string> cleaned;
    int status = kFilterWritten;
    VerdictKind worst = VerdictKind::kLegitimate;
    for (const std::string& file : options.mails) {
      // A signal stops the run between files: the one under way was renamed
      // into place or its temporary file removed.
      if (StopRequested()) break;
      const size_t slash = file.rfind('/');
      const std::string dir = slash == std::string::npos ? std::string() : file.substr(0, slash);
      if (cleaned.insert(dir).second) RemoveOrphans(dir);
      VerdictKind kind = VerdictKind::kError;
      const int one = FilterInPlace(filter, file, options, &kind);
      if (one != kFilterWritten) status = one;
      if (kind == VerdictKind::kPhishing ||
          (kind == VerdictKind::kSpam && worst != VerdictKind::kPhishing))
        worst = kind;
    }
    return status != kFilterWritten ? status : VerdictStatus(worst, options.exit_code);
  }

  std::string bytes;
  const std::string input = options.mails.empty() ? "-" : options.mails.front();
  const int in = input == "-" ? STDIN_FILENO : open(input.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0 || !ReadAll(in, &bytes)) {
    std::fprintf(stderr, "emlscan: %s: cannot read it: %s\n", input.c_str(), std::strerror(errno));
    return kFilterTempFail;
  }
  if (in != STDIN_FILENO) close(in);

  int out = STDOUT_FILENO;
  std::string temp;
  if (!options.output.empty() && options.output != "-") {
    temp = TempPrefix(options.output) + std::to_string(getpid()) + "-XXXXXX";
    out = mkostemp(temp.data(), O_CLOEXEC);
    if (out < 0) {
      std::fprintf(stderr, "emlscan: %s: cannot write there: %s\n", options.output.c_str(),
                   std::strerror(errno));
      return kFilterTempFail;
    }
  }
  MailFilter::Result result;
  bool written = filter.Filter(bytes, out, &result);
  if (!result.filtered) {
    std::fprintf(stderr, "emlscan: %s: passed on unchanged: %s\n", input.c_str(),
                 result.reason.c_str());
  }
  if (out != STDOUT_FILENO) {
    const mode_t mask = umask(0);
    umask(mask);
    written = written && fchmod(out, 0666 & ~mask) == 0 && fsync(out) == 0;
    written = close(out) == 0 && written && rename(temp.c_str(), options.output.c_str()) == 0;
    if (!written) unlink(temp.c_str());
  }
  if (!written) {
    std::fprintf(stderr, "emlscan: the mail could not be written: %s\n", std::strerror(errno));
    return kFilterTempFail;
  }
  return VerdictStatus(result.filtered ? result.verdict.kind : VerdictKind::kLegitimate,
                       options.exit_code);
}

}  // namespace emlscan
