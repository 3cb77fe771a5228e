#include "tools/emlscan/learn.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <CLI/CLI.hpp>

#include "common/md5.h"
#include "emlbreaker/broken_mail.h"
#include "engines/blackbox_facilitator.h"
#include "engines/mail_tokens.h"
#include "engines/stat_classifier.h"
#include "engines/token_store.h"
#include "engines/url_db.h"
#include "tools/emlscan/config.h"
#include "tools/emlscan/scanner.h"
#include "tools/emlscan/verdict.h"

namespace emlscan {
namespace {

namespace fs = std::filesystem;
using learning::LearnOutcome;
using learning::MailClass;
using learning::TokenHash;

constexpr char kDatabaseSetting[] = "/emlscan/learning/Database";
// A line of progress per this many mails.
constexpr size_t kProgressEvery = 500;
// Clues --explain prints per mail.
constexpr size_t kExplainClues = 25;

struct Counts {
  size_t learned = 0;
  size_t relearned = 0;
  size_t already = 0;
  size_t forgotten = 0;
  size_t unknown = 0;
  size_t failed = 0;
};

// MD5 of a mail's bytes with every CR LF written LF, fed in pieces.
class MailDigest {
 public:
  void Update(const char* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
      const char c = data[i];
      if (pending_cr_ && c != '\n') md5_.Update("\r", 1);
      pending_cr_ = c == '\r';
      if (!pending_cr_) md5_.Update(&c, 1);
    }
  }
  std::string Final() {
    if (pending_cr_) md5_.Update("\r", 1);
    uint8_t digest[ascommon::Md5::kDigestSize];
    md5_.Final(digest);
    return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
  }

 private:
  ascommon::Md5 md5_;
  bool pending_cr_ = false;
};

std::string FileDigest(const std::string& path) { return DigestOfFile(path); }

// The tokens of one mail as the classifier sees it. A body that breaks its declared
// charset is broken again without that stage, as check judges the mail.
void ReadTokens(Scanner& scanner, const CDomainTable& domains, const std::string& path,
                bool listed, std::vector<TokenHash>* tokens,
                std::vector<std::string>* texts = nullptr) {
  std::vector<int32_t> skip;
  for (;;) {
    try {
      scanner.Scan(path, [&](MailItem& item) {
        CBlackBoxFacilitator mail(&item.box);
        mail.Gather();
        learning::MailTokens(mail, domains, tokens, texts);
      }, listed, skip);
      return;
    } catch (const BreakError& e) {
      if (!SkipFailedBodyStage(e, &skip)) throw;
    }
  }
}

// An mbox separator: "From ", a sender, and a date with its time ("From a@b.example Mon
// Jan  1 00:00:00 2024"). A body line "From the desk of..." after a blank line has no time.
bool IsSeparator(const std::string& line) {
  if (line.compare(0, 5, "From ") != 0) return false;
  const size_t sender_end = line.find(' ', 5);
  if (sender_end == std::string::npos || sender_end == 5) return false;
  for (size_t i = sender_end; i + 5 <= line.size(); ++i) {
    auto digit = [&](size_t at) { return line[at] >= '0' && line[at] <= '9'; };
    if (digit(i) && digit(i + 1) && line[i + 2] == ':' && digit(i + 3) && digit(i + 4)) {
      return true;
    }
  }
  return false;
}

// Whether a file is an mbox of several mails: it starts with a separator and has another
// one after a blank line. Reads the first 1 MiB at most.
bool IsMbox(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string line;
  if (!std::getline(in, line) || !IsSeparator(line)) return false;
  bool blank = false;
  size_t read = 0;
  while (std::getline(in, line) && read < (1u << 20)) {
    read += line.size() + 1;
    if (blank && IsSeparator(line)) return true;
    blank = line.empty() || line == "\r";
  }
  return false;
}

class Learner {
 public:
  Learner(Scanner& scanner, learning::TokenStore& store, bool forget, bool quiet)
      : scanner_(scanner), store_(store), forget_(forget), quiet_(quiet) {
    FillDomainTable(&domains_);
  }

  // One mail file (or a message of an mbox in a temporary file, with its digest).
  void LearnFile(const std::string& path, bool listed, MailClass as, Counts* counts,
                 const std::string& known_digest = "") {
    try {
      const std::string digest = known_digest.empty() ? FileDigest(path) : known_digest;
      MailClass was;
      {
        std::lock_guard<std::mutex> hold(store_mutex_);
        was = store_.Learned(digest);
      }
      if (!forget_ && was == as) return Count(LearnOutcome::kAlready, counts);
      if (forget_ && was == MailClass::kNone) return Count(LearnOutcome::kUnknown, counts);
      std::vector<TokenHash> tokens;
      ReadTokens(scanner_, domains_, path, listed, &tokens);
      std::lock_guard<std::mutex> hold(store_mutex_);
      Count(store_.Learn(digest, tokens, forget_ ? MailClass::kNone : as), counts);
    } catch (const NotMailError&) {
      // not mail: skipped silently, as check skips it
    } catch (const learning::TokenStoreError&) {
      throw;  // the store is broken: no point going on
    } catch (const std::exception& e) {
      std::lock_guard<std::mutex> hold(count_mutex_);
      ++counts->failed;
      if (!quiet_) std::fprintf(stderr, "emlscan: %s: skipped, %s\n", path.c_str(), e.what());
    }
  }

  // Every mail of an mbox, one at a time through a temporary file.
  void LearnMbox(const std::string& path, MailClass as, Counts* counts) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      ++counts->failed;
      std::fprintf(stderr, "emlscan: %s: skipped, cannot read\n", path.c_str());
      return;
    }
    const char* dir = std::getenv("TMPDIR");
    std::string pattern = std::string(dir != nullptr && *dir != 0 ? dir : "/tmp") +
                          "/emlscan-learn-XXXXXX";
    std::string line;
    std::getline(in, line);  // the first "From " line
    bool more = true;
    size_t index = 0;
    while (more && StopRequested() == 0) {
      std::vector<char> name(pattern.begin(), pattern.end());
      name.push_back('\0');
      const int fd = mkstemp(name.data());
      if (fd < 0) throw std::runtime_error(std::string("cannot make a temporary file: ") +
                                           std::strerror(errno));
      const std::string temp(name.data());
      MailDigest digest;
      std::string out;
      bool blank = false;
      more = false;
      while (std::getline(in, line)) {
        if (blank && IsSeparator(line)) {
          more = true;
          break;
        }
        // The blank line before the next separator belongs to the mbox, not the mail.
        if (blank) {
          out += '\n';
          digest.Update("\n", 1);
        }
        blank = line.empty() || line == "\r";
        if (blank) continue;
        // mboxrd: a quoted ">From " line was a "From " line of the mail.
        const size_t quoted = line.find_first_not_of('>');
        const bool unquote = quoted != std::string::npos && quoted > 0 &&
                             line.compare(quoted, 5, "From ") == 0;
        const std::string text = (unquote ? line.substr(1) : line) + "\n";
        out += text;
        digest.Update(text.data(), text.size());
        if (out.size() >= (1u << 16)) Flush(fd, &out);
      }
      Flush(fd, &out);
      close(fd);
      ++index;
      LearnFile(temp, true, as, counts, digest.Final());
      unlink(temp.c_str());
      Progress();
    }
  }

  void Progress() {
    const size_t done = ++done_;
    if (!quiet_ && done % kProgressEvery == 0) {
      std::fprintf(stderr, "emlscan: learn: %zu mails done\n", done);
    }
  }

 private:
  static void Flush(int fd, std::string* out) {
    size_t at = 0;
    while (at < out->size()) {
      const ssize_t n = write(fd, out->data() + at, out->size() - at);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw std::runtime_error(std::string("cannot write a temporary file: ") +
                                           std::strerror(errno));
      at += static_cast<size_t>(n);
    }
    out->clear();
  }

  void Count(LearnOutcome outcome, Counts* counts) {
    std::lock_guard<std::mutex> hold(count_mutex_);
    switch (outcome) {
      case LearnOutcome::kLearned: ++counts->learned; break;
      case LearnOutcome::kRelearned: ++counts->relearned; break;
      case LearnOutcome::kAlready: ++counts->already; break;
      case LearnOutcome::kForgotten: ++counts->forgotten; break;
      case LearnOutcome::kUnknown: ++counts->unknown; break;
    }
  }

  Scanner& scanner_;
  learning::TokenStore& store_;
  const bool forget_;
  const bool quiet_;
  CDomainTable domains_{1024, nullptr};
  std::mutex store_mutex_;
  std::mutex count_mutex_;
  std::atomic<size_t> done_{0};
};

// Runs work(i) for every i below count on jobs threads.
template <class Work>
void Parallel(size_t count, int jobs, const Work& work) {
  std::atomic<size_t> next{0};
  std::exception_ptr failure;
  std::mutex failure_mutex;
  auto run = [&] {
    for (size_t i = next++; i < count && StopRequested() == 0; i = next++) {
      try {
        work(i);
      } catch (...) {
        std::lock_guard<std::mutex> hold(failure_mutex);
        if (!failure) failure = std::current_exception();
        next = count;
      }
    }
  };
  std::vector<std::thread> threads;
  for (int t = 1; t < jobs; ++t) threads.emplace_back(run);
  run();
  for (std::thread& thread : threads) thread.join();
  if (failure) std::rethrow_exception(failure);
}

void PrintCounts(const char* label, const Counts& c, bool forget) {
  if (forget) {
    std::fprintf(stderr, "emlscan: learn: %s: %zu forgotten, %zu unknown, %zu failed\n", label,
                 c.forgotten, c.unknown, c.failed);
  } else {
    std::fprintf(stderr,
                 "emlscan: learn: %s: %zu learned, %zu relearned, %zu already, %zu failed\n",
                 label, c.learned, c.relearned, c.already, c.failed);
  }
}

void PrintStats(learning::TokenStore& store) {
  const learning::StoreTotals totals = store.Totals();
  std::printf("store: %s\nspam mails: %llu\nham mails: %llu\ntokens: %llu\n",
              store.name().c_str(), static_cast<unsigned long long>(totals.spamMails),
              static_cast<unsigned long long>(totals.hamMails),
              static_cast<unsigned long long>(totals.tokens));
}

learning::ClassifierOptions OptionsOf(const Config& config) {
  learning::ClassifierOptions options;
  if (auto v = config.Get("/emlscan/learning/MinSpam"); v && !v->empty()) {
    options.minSpamMails = std::strtoull(v->c_str(), nullptr, 10);
  }
  if (auto v = config.Get("/emlscan/learning/MinHam"); v && !v->empty()) {
    options.minHamMails = std::strtoull(v->c_str(), nullptr, 10);
  }
  return options;
}

}  // namespace

LearnCommand::LearnCommand(CLI::App& app, const std::string& config_file,
                           const std::string& plugin_path,
                           const std::vector<std::string>& overrides)
    : command_(app.add_subcommand(
          "learn", "teach the statistical classifier spam and ham (files, folders, mboxes)")),
      config_file_(config_file),
      plugin_path_(plugin_path),
      overrides_(overrides) {
  command_->add_option("--spam", spam_, "spam: mail files, folders or mbox files")
      ->expected(1, -1);
  command_->add_option("--ham", ham_, "legitimate mail: mail files, folders or mbox files")
      ->expected(1, -1);
  command_->add_flag("--forget", forget_, "take the mails given back instead of learning them");
  command_->add_flag("--stats", stats_, "show the store's mail and token counts");
  command_->add_option("--explain", explain_,
                       "classify these mails and show the tokens that decided")
      ->expected(1, -1);
  command_->add_option("--db", db_,
                       "the token store (default: the setting /emlscan/learning/Database)");
  command_->add_option("-j,--jobs", jobs_, "worker threads")->check(CLI::Range(1, 256));
  command_->add_flag("-q,--quiet", quiet_, "no progress, skipped mails or counts");
  // The learner process of auto-learning (AutoLearner): not for people.
  command_->add_flag("--auto-learner", auto_learner_)->group("");
}

bool LearnCommand::Selected() const { return command_->parsed(); }

int LearnCommand::Run() {
  if (auto_learner_) return ServeAutoLearning();
  Config config = LoadHostConfig(config_file_, overrides_, plugin_path_);
  std::string store_name = db_;
  if (store_name.empty()) store_name = config.Get(kDatabaseSetting).value_or("");
  if (store_name.empty()) {
    std::fprintf(stderr, "emlscan: learn: no token store: set %s or give --db\n",
                 kDatabaseSetting);
    return 2;
  }
  if (spam_.empty() && ham_.empty() && !stats_ && explain_.empty()) {
    std::fprintf(stderr, "emlscan: learn: nothing to do: give --spam, --ham, --stats or "
                         "--explain\n");
    return 2;
  }
  if (!explain_.empty()) return Explain(store_name);
  if (spam_.empty() && ham_.empty()) {
    PrintStats(*learning::OpenTokenStore(store_name, false));
    return 0;
  }

  std::unique_ptr<learning::TokenStore> store = learning::OpenTokenStore(store_name, true);
  // The breaker of this process must not open the store itself: an embedded store is
  // mapped once per process, by the learner.
  config.Override(std::string(kDatabaseSetting) + "=");
  Scanner scanner(plugin_path_, config);
  Learner learner(scanner, *store, forget_, quiet_);
  int status = 0;
  for (const auto& [label, paths, as] :
       {std::make_tuple("spam", &spam_, MailClass::kSpam),
        std::make_tuple("ham", &ham_, MailClass::kHam)}) {
    if (paths->empty()) continue;
    Counts counts;
    std::vector<MailFile> files;
    for (const MailFile& file : CollectMailFiles(*paths)) {
      std::error_code error;
      if (fs::is_regular_file(file.path, error) && IsMbox(file.path)) {
        learner.LearnMbox(file.path, as, &counts);
      } else {
        files.push_back(file);
      }
    }
    // A lambda may not capture a structured binding before C++20 (clang refuses).
    const MailClass learned_as = as;
    Parallel(files.size(), jobs_, [&](size_t i) {
      learner.LearnFile(files[i].path, files[i].listed, learned_as, &counts);
      learner.Progress();
    });
    if (!quiet_) PrintCounts(label, counts, forget_);
    if (counts.failed > 0) status = 1;
    if (StopRequested()) break;
  }
  if (stats_) PrintStats(*store);
  return status;
}

int LearnCommand::Explain(const std::string& store_name) {
  Config config = LoadHostConfig(config_file_, overrides_, plugin_path_);
  config.Override(std::string(kDatabaseSetting) + "=");
  Scanner scanner(plugin_path_, config);
  learning::StatClassifier classifier(learning::OpenTokenStore(store_name, false),
                                      OptionsOf(config));
  CDomainTable domains(1024, nullptr);
  FillDomainTable(&domains);
  int status = 0;
  for (const MailFile& file : CollectMailFiles(explain_)) {
    std::vector<TokenHash> tokens;
    std::vector<std::string> texts;
    try {
      ReadTokens(scanner, domains, file.path, file.listed, &tokens, &texts);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "emlscan: %s: %s\n", file.path.c_str(), e.what());
      status = 1;
      continue;
    }
    const learning::Verdict verdict = classifier.Classify(tokens);
    if (!verdict.spoke) {
      std::printf("%s: too little learned (see --stats and /emlscan/learning/MinSpam, "
                  "MinHam); %zu tokens\n",
                  file.path.c_str(), tokens.size());
      continue;
    }
    std::printf("%s: spam probability %.4f, %zu tokens, %zu clues\n", file.path.c_str(),
                verdict.probability, tokens.size(), verdict.clues.size());
    for (size_t i = 0; i < verdict.clues.size() && i < kExplainClues; ++i) {
      const learning::Clue& clue = verdict.clues[i];
      const auto at = std::lower_bound(tokens.begin(), tokens.end(), clue.token);
      const std::string& text = texts[static_cast<size_t>(at - tokens.begin())];
      std::printf("  %.4f  spam %6u  ham %6u  %s\n", clue.f, clue.counts.spam, clue.counts.ham,
                  text.c_str());
    }
  }
  return status;
}

// --- Auto-learning ---------------------------------------------------------------------

std::string DigestOfFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(std::string("cannot read: ") + std::strerror(errno));
  MailDigest digest;
  char buffer[1 << 16];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    digest.Update(buffer, static_cast<size_t>(in.gcount()));
  }
  return digest.Final();
}

std::string DigestOfBytes(const std::string& bytes) {
  MailDigest digest;
  digest.Update(bytes.data(), bytes.size());
  return digest.Final();
}

namespace {

// The learner process and its parent talk over a socket pair, in messages of fixed-width
// fields in the machine's byte order (both ends are the same program):
//   parent, once:  u32 length, the store's name (not on the command line: a Redis
//                  name may hold a password)
//   learner, once: u8 status (kOpened or kFailed), u32 length, why it failed
//   parent:        u8 class (1 spam, 2 ham), the 16-byte digest, u32 count, u64 tokens
//   learner:       u8 reply (below), u32 length, text (a store error)
enum : uint8_t { kOpened = 0, kFailed = 1 };
enum : uint8_t { kReplyLearned = 0, kReplyKnown = 1, kReplyOther = 2, kReplyError = 3 };
constexpr size_t kDigestBytes = ascommon::Md5::kDigestSize;
// How long a mail waits for its turn and for the learner's answer before it goes on
// unlearned; learning one mail takes a few milliseconds, a shared store's timeout 1 s.
constexpr std::chrono::seconds kAutoLearnWait{5};
constexpr char kAutoLearnSetting[] = "/emlscan/learning/AutoLearn";
constexpr char kSpamScoreSetting[] = "/emlscan/learning/AutoLearnSpamScore";
constexpr char kHamScoreSetting[] = "/emlscan/learning/AutoLearnHamScore";
// AutoLearnSpamScore's default is this far above the spam threshold (see docs/LEARNING.md).
constexpr int32_t kSpamMargin = 8;
// The classifier's ham bands, and the rule that opens the same gate without it.
constexpr const char* kClassifierHam[] = {"STAT_HAM_01", "STAT_HAM_10"};
constexpr char kConversation[] = "GRP_CONVERSATION";

void Put32(std::string* out, uint32_t value) {
  out->append(reinterpret_cast<const char*>(&value), sizeof value);
}

// Blocking reads and writes for the learner's side; false at end of input or on an error.
bool ReadFull(int fd, void* data, size_t size) {
  char* at = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t got = read(fd, at, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    at += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

bool WriteFull(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t put = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
  }
  return true;
}

bool WriteReply(int fd, uint8_t code, const std::string& text) {
  std::string reply(1, static_cast<char>(code));
  Put32(&reply, static_cast<uint32_t>(text.size()));
  return WriteFull(fd, reply + text);
}

const CDomainTable& SharedDomainTable() {
  static const CDomainTable* const table = [] {
    auto* made = new CDomainTable(1024, nullptr);
    FillDomainTable(made);
    return made;
  }();
  return *table;
}

}  // namespace

// The learner process. It needs no settings (an empty file, so that one replaced or
// removed since the parent read it does not matter) and no plug-in: its parent sends
// the store's name, then each mail's tokens.
class AutoLearner::Child {
 public:
  explicit Child(const std::string& store) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
      throw std::runtime_error(std::string("cannot make a socket pair: ") + std::strerror(errno));
    fd_ = pair[0];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pair[1], STDIN_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> args = {"emlscan", "-c", "/dev/null", "learn", "--auto-learner"};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int failed = posix_spawn(&pid_, "/proc/self/exe", &actions, nullptr, argv.data(),
                                   environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pair[1]);
    if (failed != 0) {
      close(fd_);
      throw std::runtime_error(std::string("cannot start the learner: ") +
                               std::strerror(failed));
    }
    std::string hello;
    Put32(&hello, static_cast<uint32_t>(store.size()));
    hello += store;
    std::pair<uint8_t, std::string> opened;
    try {
      opened = Ask(hello);
    } catch (...) {
      Stop();  // a constructor that throws runs no destructor
      throw;
    }
    if (opened.first != kOpened) {
      Stop();
      throw std::runtime_error(opened.second.empty() ? "the learner could not open the store"
                                                     : opened.second);
    }
  }

  ~Child() { Stop(); }

  // Sends one message and waits for the answer. Throws std::runtime_error when the
  // learner is gone or does not answer in time.
  std::pair<uint8_t, std::string> Ask(const std::string& message) {
    const auto deadline = std::chrono::steady_clock::now() + kAutoLearnWait;
    size_t done = 0;
    while (done < message.size()) {
      Wait(POLLOUT, deadline);
      const ssize_t put = send(fd_, message.data() + done, message.size() - done,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
      if (put < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (put <= 0) throw std::runtime_error("the learner process is gone");
      done += static_cast<size_t>(put);
    }
    char head[5];
    Receive(head, sizeof head, deadline);
    uint32_t length;
    std::memcpy(&length, head + 1, sizeof length);
    if (length > (1u << 16)) throw std::runtime_error("the learner answered nonsense");
    std::string text(length, '\0');
    Receive(text.data(), length, deadline);
    return {static_cast<uint8_t>(head[0]), text};
  }

 private:
  void Wait(short events, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0)
        throw std::runtime_error("the learner gave no answer within " +
                                 std::to_string(kAutoLearnWait.count()) + " s");
      pollfd one = {fd_, events, 0};
      const int ready = poll(&one, 1, static_cast<int>(left.count()));
      if (ready > 0) return;
      if (ready < 0 && errno != EINTR)
        throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
    }
  }

  void Receive(char* data, size_t size, std::chrono::steady_clock::time_point deadline) {
    while (size > 0) {
      Wait(POLLIN, deadline);
      const ssize_t got = recv(fd_, data, size, MSG_DONTWAIT);
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (got <= 0) throw std::runtime_error("the learner process is gone");
      data += got;
      size -= static_cast<size_t>(got);
    }
  }

  // Closing the socket ends the learner after the mail under way; one that does not
  // answer is killed.
  void Stop() {
    if (fd_ < 0) return;
    close(fd_);
    fd_ = -1;
    for (int tries = 0; tries < 50; ++tries) {
      if (waitpid(pid_, nullptr, WNOHANG) != 0) return;
      usleep(20000);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }

  int fd_ = -1;
  pid_t pid_ = -1;
};

std::unique_ptr<AutoLearner> AutoLearner::FromConfig(const Config& config,
                                                     std::function<void(const std::string&)> warn) {
  const std::string on = config.Get(kAutoLearnSetting).value_or("0");
  if (on != "0" && on != "1")
    throw std::runtime_error(config.file() + ": " + kAutoLearnSetting +
                             " must be true or false, not \"" + on + "\"");
  const std::string store = config.Get(kDatabaseSetting).value_or("");
  if (on == "0" || store.empty()) return nullptr;
  Thresholds thresholds;
  const int32_t threshold = CheckPolicy::FromConfig(config).threshold;
  thresholds.spam = config.GetWholeNumber(
      kSpamScoreSetting, threshold > INT32_MAX - kSpamMargin ? INT32_MAX : threshold + kSpamMargin);
  thresholds.ham = config.GetWholeNumber(kHamScoreSetting, 0);
  if (thresholds.ham >= thresholds.spam)
    throw std::runtime_error(config.file() + ": " + kHamScoreSetting + " (" +
                             std::to_string(thresholds.ham) + ") must be below " +
                             kSpamScoreSetting + " (" + std::to_string(thresholds.spam) + ")");
  return std::unique_ptr<AutoLearner>(new AutoLearner(store, thresholds, std::move(warn)));
}

AutoLearner::AutoLearner(std::string store, Thresholds thresholds,
                         std::function<void(const std::string&)> warn)
    : store_(std::move(store)), thresholds_(thresholds), warn_(std::move(warn)) {}

AutoLearner::~AutoLearner() = default;

void AutoLearner::Warn(const std::string& problem) {
  if (warned_.exchange(true)) return;
  warn_("auto-learning: " + problem + " (further failures are not told)");
}

const char* AutoLearner::Learn(MailItem& item, const Verdict& verdict,
                               const std::function<std::string()>& digest) {
  // A mail judged without a body, or with a rule that failed, is not judged whole.
  if (!verdict.ruled || verdict.unreadable || !verdict.ruleErrors.empty()) return "";
  const int32_t own = verdict.score - verdict.classifierScore;
  MailClass as = MailClass::kNone;
  if (own >= thresholds_.spam) {
    as = MailClass::kSpam;
  } else if (own <= thresholds_.ham && verdict.kind == VerdictKind::kLegitimate) {
    as = MailClass::kHam;
  }
  if (as == MailClass::kNone) return "";
  try {
    if (as == MailClass::kHam) {
      // The classifier's ham verdict keeps the topic and style rules from scoring
      // (GRP_TOPIC_EXEMPT): the low score is then partly its own, unless the mail is a
      // conversation, which opens that gate by itself.
      bool classifier_ham = false;
      for (const std::string& hit : verdict.hitRules)
        for (const char* band : kClassifierHam) classifier_ham = classifier_ham || hit == band;
      if (classifier_ham) {
        CAExecutionUnit* unit = GetExecutionUnit(item.box);
        if (unit == nullptr || unit->ExecRule(kConversation) == 0.0) return "";
      }
    }
    std::vector<TokenHash> tokens;
    {
      CBlackBoxFacilitator mail(&item.box);
      mail.Gather();
      learning::MailTokens(mail, SharedDomainTable(), &tokens);
    }
    const std::string known_as = digest();
    if (known_as.size() != kDigestBytes) throw std::logic_error("a digest of the wrong size");
    std::string request(1, static_cast<char>(as));
    request += known_as;
    Put32(&request, static_cast<uint32_t>(tokens.size()));
    request.append(reinterpret_cast<const char*>(tokens.data()),
                   tokens.size() * sizeof(TokenHash));

    std::unique_lock<std::timed_mutex> turn(mutex_, std::defer_lock);
    if (!turn.try_lock_for(kAutoLearnWait)) return "";  // the learner is busy: not this one
    if (broken_) return "";
    std::pair<uint8_t, std::string> reply;
    try {
      if (!child_) child_ = std::make_unique<Child>(store_);
      reply = child_->Ask(request);
    } catch (const std::exception& e) {
      broken_ = true;
      child_.reset();
      Warn(std::string(e.what()) + "; auto-learning stops");
      return "";
    }
    turn.unlock();
    if (reply.first == kReplyError) {
      Warn(reply.second);
      return "";
    }
    if (reply.first != kReplyLearned) return "";
  } catch (const std::exception& e) {  // ASException too
    Warn(e.what());
    return "";
  }
  ++learned_[as == MailClass::kSpam ? 0 : 1];
  return as == MailClass::kSpam ? "spam" : "ham";
}

// The learner process: learns each mail its parent sends unless the store knows it.
int LearnCommand::ServeAutoLearning() {
  // The parent decides when the learner ends, by closing the socket: signals meant for
  // it (a terminal's ^C, the milter's SIGHUP) must not cut the learning it asked for.
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) signal(sig, SIG_IGN);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  closefrom(STDERR_FILENO + 1);  // the parent's files (its milter socket) are not ours
  const int fd = STDIN_FILENO;
  uint32_t length = 0;
  if (!ReadFull(fd, &length, sizeof length) || length > (1u << 16)) return 2;
  std::string name(length, '\0');
  if (!ReadFull(fd, name.data(), length)) return 2;
  std::unique_ptr<learning::TokenStore> store;
  try {
    store = learning::OpenTokenStore(name, true);
  } catch (const std::exception& e) {
    WriteReply(fd, kFailed, e.what());
    return 2;
  }
  if (!WriteReply(fd, kOpened, "")) return 2;
  for (;;) {
    char head[1 + kDigestBytes + sizeof(uint32_t)];
    if (!ReadFull(fd, head, sizeof head)) return 0;  // the parent is done
    const auto as = static_cast<MailClass>(head[0]);
    const std::string digest(head + 1, kDigestBytes);
    uint32_t count;
    std::memcpy(&count, head + 1 + kDigestBytes, sizeof count);
    if ((as != MailClass::kSpam && as != MailClass::kHam) ||
        count > learning::kMaxTokenOccurrences)
      return 2;
    std::vector<TokenHash> tokens(count);
    if (!ReadFull(fd, tokens.data(), count * sizeof(TokenHash))) return 0;
    uint8_t reply = kReplyLearned;
    std::string error;
    try {
      const MailClass was = store->Learned(digest);
      if (was == as) {
        reply = kReplyKnown;
      } else if (was != MailClass::kNone) {
        reply = kReplyOther;
      } else {
        const LearnOutcome outcome = store->Learn(digest, tokens, as);
        if (outcome == LearnOutcome::kAlready) reply = kReplyKnown;
        if (outcome == LearnOutcome::kRelearned) {
          // A user taught it as the other class in between: theirs stands.
          store->Learn(digest, tokens, as == MailClass::kSpam ? MailClass::kHam
                                                              : MailClass::kSpam);
          reply = kReplyOther;
        }
      }
    } catch (const std::exception& e) {
      reply = kReplyError;
      error = e.what();
    }
    if (!WriteReply(fd, reply, error)) return 0;
  }
}

}  // namespace emlscan
