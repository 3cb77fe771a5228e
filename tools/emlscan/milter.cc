#include "tools/emlscan/milter.h"

#include <grp.h>
#include <libmilter/mfapi.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "emlbreaker/exceptions.h"
#include "emlbreaker/packer.h"
#include "tools/emlscan/check.h"
#include "tools/emlscan/config.h"
#include "tools/emlscan/learn.h"
#include "tools/emlscan/lint.h"
#include "tools/emlscan/milter_policy.h"
#include "tools/emlscan/milter_stats.h"
#include "tools/emlscan/packer_host.h"
#include "tools/emlscan/scanner.h"
#include "tools/emlscan/verdict.h"

namespace emlscan {
namespace {

using Clock = std::chrono::steady_clock;

// Checks over their time budget that may still be running before new
// messages are passed on unchecked instead: each holds a thread and a mail.
constexpr int kMaxAbandoned = 8;

// --- The log: one line per message, reloads, statistics. ---------------------

class Log {
 public:
  void Configure(bool to_syslog, int facility) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (syslog_) closelog();
    syslog_ = to_syslog;
    if (syslog_) openlog("emlscan-milter", LOG_PID, facility);
  }
  void Line(int priority, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (syslog_) {
      syslog(priority, "%s", text.c_str());
    } else {
      std::string line = "emlscan milter: " + text + "\n";
      std::fwrite(line.data(), 1, line.size(), stderr);
      std::fflush(stderr);
    }
  }
  void Info(const std::string& text) { Line(LOG_INFO, text); }
  void Error(const std::string& text) { Line(LOG_ERR, text); }

 private:
  std::mutex mutex_;
  bool syslog_ = false;
};

// --- What a check needs, built from one reading of the settings. -------------

// SIGHUP builds a new one beside the one in use and swaps them. Re-applying
// the breaker's shared settings in place would not do: the breaker reloads
// its rules only when the rule folder's path changes, and rules run through
// the execution unit after Break has let go of the breaker's lock, so a
// rule set replaced under them would vanish mid-mail. A message holds its
// engine from MAIL FROM to its end; the old engine goes with the last one.
struct Engine {
  // What works less than the settings ask, for the log ("the token store ...").
  std::string warning;
  Config config;
  CheckPolicy policy;
  MilterSettings settings;
  std::unique_ptr<AutoLearner> autolearner;  // null unless AutoLearn is on
  std::unique_ptr<Scanner> scanner;
  std::unique_ptr<PackerHost> packer;  // after scanner: released first
};

// Goes to the log (defined with the process-wide state below).
void LogLearningProblem(const std::string& problem);

std::shared_ptr<Engine> BuildEngine(const MilterOptions& options) {
  const std::vector<std::string> problems =
      CheckHostConfig(options.config_file, options.overrides, options.plugin_path);
  if (!problems.empty()) {
    std::string text;
    for (const std::string& problem : problems) text += (text.empty() ? "" : "; ") + problem;
    throw std::runtime_error(text);
  }
  auto engine = std::make_shared<Engine>();
  engine->config = LoadHostConfig(options.config_file, options.overrides, options.plugin_path);
  engine->settings = MilterSettings::FromConfig(engine->config);
  if (!options.socket.empty()) engine->settings.socket = options.socket;
  engine->policy = CheckPolicy::FromConfig(engine->config);
  engine->autolearner = AutoLearner::FromConfig(engine->config, LogLearningProblem);
  engine->policy.autolearner = engine->autolearner.get();
  // The breaker drops a rule file it cannot parse and goes on: a reload must
  // not trade a working rule set for a broken one, so the rules are linted
  // as the breaker will load them before anything is swapped.
  const std::string rules = engine->config.Get("/eml/breaker/SlfPath").value_or("");
  const std::string libs = engine->config.Get("/eml/global/SharedLibsPath").value_or(".");
  if (!rules.empty()) {
    std::ostringstream out, err;
    if (LintRules({rules}, libs, out, err) != 0) {
      std::string messages = out.str();
      while (!messages.empty() && messages.back() == '\n') messages.pop_back();
      for (char& c : messages) {
        if (c == '\n') c = ';';
      }
      std::string summary = err.str();
      while (!summary.empty() && summary.back() == '\n') summary.pop_back();
      throw std::runtime_error("the rules in " + rules + " do not load cleanly: " + messages +
                               (summary.empty() ? "" : " (" + summary + ")"));
    }
  }
  engine->scanner = std::make_unique<Scanner>(options.plugin_path, engine->config);
  const Scanner::Companions missing = engine->scanner->MissingCompanions();
  if (!missing.regex.empty()) throw std::runtime_error(missing.regex);
  engine->warning = missing.learning;
  engine->scanner->performer();  // made before any message uses it
  engine->packer = std::make_unique<PackerHost>(
      engine->config.Get("/eml/streamer/PackerPath").value_or("."));
  return engine;
}

// --- Process-wide state the C callbacks reach. ----------------------------------

struct State {
  MilterOptions options;
  Log log;
  MilterStats stats;
  std::mutex engine_mutex;
  std::shared_ptr<Engine> engine;  // null once shut down
  std::atomic<int> running{0};     // checks on workers, abandoned ones included
  std::atomic<int> abandoned{0};   // checks over their budget still running
  std::atomic<int> messages{0};    // messages between MAIL FROM and their end
  std::atomic<bool> stopping{false};
  std::atomic<bool> listener_done{false};  // smfi_main returned
  std::atomic<int> listener_status{MI_SUCCESS};

  std::shared_ptr<Engine> Current() {
    std::lock_guard<std::mutex> lock(engine_mutex);
    return engine;
  }
};

State* g_state = nullptr;

void LogLearningProblem(const std::string& problem) { g_state->log.Error(problem); }

// --- One check, on a worker thread. ----------------------------------------------

struct Job {
  std::shared_ptr<Engine> engine;
  std::string raw;
  std::mutex mutex;
  std::condition_variable done_cv;
  bool done = false;
  bool abandoned = false;
  // Results, written by the worker before `done`.
  Verdict verdict;
  std::vector<HeaderChange> changes;
  std::string error;
};

std::vector<HeaderField> ListFields(CAMimePart* part) {
  uint32_t name_length = 0, value_length = 0;
  part->GetMaxHeaderLengths(&name_length, &value_length);
  std::vector<char> name(name_length + 1), value(value_length + 1);
  std::vector<HeaderField> fields;
  part->RewindHeaders();
  while (part->NextHeader(name.data(), value.data()) == 1)
    fields.emplace_back(name.data(), value.data());
  return fields;
}

// Opens the message from memory (nothing in it names a file that is read),
// judges it as `check` does, lets the performer act, commits, and lists what
// the performer changed in the header block.
void RunJob(const std::shared_ptr<Job>& job) {
  std::shared_ptr<Engine> engine = job->engine;
  Verdict verdict;
  std::vector<HeaderChange> changes;
  std::string error;
  try {
    CAMimePacker* packer = engine->packer->packer();
    CAMimePart* top = packer->OpenMemory(job->raw.data(), job->raw.size());
    // The packer keeps its own copy; auto-learning needs the bytes for the mail's digest.
    std::string raw;
    raw.swap(job->raw);
    if (engine->autolearner == nullptr) std::string().swap(raw);
    if (top == nullptr)
      throw std::runtime_error("the packer could not read it: " +
                               engine->packer->LastError("no reason given"));
    OpenedMail mail(packer, top);
    const std::vector<HeaderField> before = ListFields(top);
    verdict = JudgeOpenedMail(*engine->scanner, engine->policy, top, true, &raw);
    if (verdict.ruled) changes = DiffHeaders(before, ListFields(top));
  } catch (const ASException& e) {
    error = std::string(e.what()) + " (code " + std::to_string(e.GetErrorCode()) + ")";
  } catch (const std::exception& e) {
    error = e.what();
  }
  engine.reset();
  {
    std::lock_guard<std::mutex> lock(job->mutex);
    job->engine.reset();
    job->verdict = std::move(verdict);
    job->changes = std::move(changes);
    job->error = std::move(error);
    job->done = true;
    if (job->abandoned) --g_state->abandoned;
  }
  job->done_cv.notify_one();
  --g_state->running;
}

// --- The threads that run checks. ------------------------------------------------

// A check runs on a thread of its own so that the milter thread can give up on it
// at its time budget. Threads are kept and reused: starting one per message cost
// more than the check itself, in mapping, touching and unmapping its stack, which
// makes the kernel stop the other core each time. A thread is started only when
// every kept one is busy, and goes after a minute without work.
class Workers {
 public:
  // Runs task on a free thread, starting one when none is free. Throws
  // std::system_error when no thread can be started.
  void Run(std::function<void()> task) {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
    if (tasks_.size() <= static_cast<size_t>(idle_)) {
      wake_.notify_one();
      return;
    }
    try {
      std::thread([this] { Serve(); }).detach();
    } catch (...) {
      tasks_.pop_back();
      throw;
    }
  }

 private:
  static constexpr std::chrono::seconds kIdleLife{60};

  void Serve() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      ++idle_;
      const bool work = wake_.wait_for(lock, kIdleLife, [this] { return !tasks_.empty(); });
      --idle_;
      if (!work) return;
      std::function<void()> task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task();  // RunJob catches what it may throw
      task = nullptr;
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  int idle_ = 0;  // threads waiting for a task
};

// Never destroyed: kept threads wait on it until the process ends.
Workers* const g_workers = new Workers;

// --- Connections and messages. ---------------------------------------------------

struct Message {
  bool active = false;   // between MAIL FROM and the message's end
  bool headers_done = false;
  std::shared_ptr<Engine> engine;
  std::string raw;  // the header block as received, then the body
  std::vector<std::pair<std::string, std::string>> headers;  // name, value as the MTA sent it
  std::string queue_id;
};

struct Connection {
  bool lead_space = false;  // SMFIP_HDR_LEADSPC: values keep their leading blank
  // SMFIP_NR_HDR: header fields get no reply, which saves the mail server a
  // round trip per field; an answer decided at a field waits for the end of
  // the header block.
  bool header_noreply = false;
  sfsistat held_answer = SMFIS_CONTINUE;
  Message message;
};

Connection* Conn(SMFICTX* ctx) {
  auto* conn = static_cast<Connection*>(smfi_getpriv(ctx));
  if (conn == nullptr) {
    conn = new (std::nothrow) Connection;
    if (conn != nullptr) smfi_setpriv(ctx, conn);
  }
  return conn;
}

void EndMessage(Connection* conn) {
  if (conn->message.active) --g_state->messages;
  conn->message = Message();
}

std::string QueueId(SMFICTX* ctx, const Message& message) {
  const char* id = smfi_getsymval(ctx, const_cast<char*>("i"));
  if (id != nullptr && *id != '\0') return id;
  return message.queue_id.empty() ? "NOQUEUE" : message.queue_id;
}

// The answer for a message that could not be checked.
sfsistat Failed(SMFICTX* ctx, Connection* conn, const std::string& reason) {
  const std::shared_ptr<Engine>& engine = conn->message.engine;
  const bool tempfail = engine != nullptr && engine->settings.tempfail_on_error;
  g_state->stats.Error();
  g_state->log.Error(QueueId(ctx, conn->message) + ": error: " + reason +
                     (tempfail ? "; action=tempfail" : "; action=accept"));
  EndMessage(conn);
  return tempfail ? SMFIS_TEMPFAIL : SMFIS_ACCEPT;
}

// Over MaxSize: passed on unchecked, and nothing more is buffered.
sfsistat TooLarge(SMFICTX* ctx, Connection* conn, uint64_t size) {
  g_state->stats.Skipped(MilterStats::Unchecked::kSize);
  g_state->log.Info(QueueId(ctx, conn->message) + ": accepted unchecked: more than " +
                    std::to_string(conn->message.engine->settings.max_size) +
                    " bytes (MaxSize), " + std::to_string(size) + " so far; action=accept");
  EndMessage(conn);
  return SMFIS_ACCEPT;
}

sfsistat OnNegotiate(SMFICTX* ctx, unsigned long actions, unsigned long steps, unsigned long,
                     unsigned long, unsigned long* want_actions, unsigned long* want_steps,
                     unsigned long* want2, unsigned long* want3) {
  Connection* conn = Conn(ctx);
  if (conn == nullptr) return SMFIS_TEMPFAIL;
  *want_actions = actions & (SMFIF_ADDHDRS | SMFIF_CHGHDRS | SMFIF_QUARANTINE);
  // Header values exactly as received, leading blank included, when the
  // mail server can: a changed subject then keeps every byte it had.
  *want_steps = steps & (SMFIP_HDR_LEADSPC | SMFIP_NR_HDR);
  conn->lead_space = (steps & SMFIP_HDR_LEADSPC) != 0;
  conn->header_noreply = (steps & SMFIP_NR_HDR) != 0;
  *want2 = 0;
  *want3 = 0;
  if ((actions & (SMFIF_ADDHDRS | SMFIF_CHGHDRS)) != (SMFIF_ADDHDRS | SMFIF_CHGHDRS))
    g_state->log.Error("the mail server does not let a milter add and change headers: "
                       "verdicts cannot be written into messages");
  return SMFIS_CONTINUE;
}

sfsistat OnEnvFromUnguarded(SMFICTX* ctx) {
  Connection* conn = Conn(ctx);
  if (conn == nullptr) return SMFIS_TEMPFAIL;
  EndMessage(conn);
  Message& message = conn->message;
  message.engine = g_state->Current();
  if (message.engine == nullptr || g_state->stopping) {
    g_state->log.Info("shutting down: a new message is not checked; action=tempfail");
    return SMFIS_TEMPFAIL;
  }
  message.active = true;
  ++g_state->messages;
  const char* id = smfi_getsymval(ctx, const_cast<char*>("i"));
  if (id != nullptr) message.queue_id = id;
  return SMFIS_CONTINUE;
}

sfsistat OnHeaderUnguarded(SMFICTX* ctx, char* name, char* value) {
  Connection* conn = Conn(ctx);
  if (conn == nullptr || !conn->message.active) return SMFIS_CONTINUE;
  Message& message = conn->message;
  const std::string field_value = value != nullptr ? value : "";
  // The header block as the message had it: CRLF line ends, also inside a
  // folded value the mail server may hand over with bare LFs.
  std::string line = std::string(name) + (conn->lead_space ? ":" : ": ");
  for (size_t i = 0; i < field_value.size(); ++i) {
    if (field_value[i] == '\n' && (i == 0 || field_value[i - 1] != '\r')) line += '\r';
    line += field_value[i];
  }
  line += "\r\n";
  const uint64_t size = message.raw.size() + line.size();
  if (size > message.engine->settings.max_size) return TooLarge(ctx, conn, size);
  message.raw += line;
  message.headers.emplace_back(name, field_value);
  return SMFIS_CONTINUE;
}

sfsistat OnEndOfHeadersUnguarded(SMFICTX* ctx) {
  Connection* conn = Conn(ctx);
  if (conn == nullptr || !conn->message.active) return SMFIS_CONTINUE;
  conn->message.raw += "\r\n";
  conn->message.headers_done = true;
  return SMFIS_CONTINUE;
}

sfsistat OnBodyUnguarded(SMFICTX* ctx, unsigned char* chunk, size_t length) {
  Connection* conn = Conn(ctx);
  if (conn == nullptr || !conn->message.active) return SMFIS_CONTINUE;
  Message& message = conn->message;
  const uint64_t size = message.raw.size() + length;
  if (size > message.engine->settings.max_size) return TooLarge(ctx, conn, size);
  message.raw.append(reinterpret_cast<const char*>(chunk), length);
  return SMFIS_CONTINUE;
}

// The raw value the mail server sent for the index-th field named `name`.
const std::string* RawValue(const Message& message, const std::string& name, int index) {
  int seen = 0;
  for (const auto& [field, value] : message.headers) {
    if (strcasecmp(field.c_str(), name.c_str()) == 0 && ++seen == index) return &value;
  }
  return nullptr;
}

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ",") + name;
  return text.empty() ? "-" : text;
}

// Hands what the performer changed to the mail server; false when it refused
// one (the reason in `error`).
bool WriteChanges(SMFICTX* ctx, Connection* conn, const std::vector<HeaderChange>& changes,
                  std::string* error) {
  for (const HeaderChange& change : changes) {
    std::string value;
    int status;
    const std::string* raw =
        change.add ? nullptr : RawValue(conn->message, change.name, change.index);
    if (raw == nullptr) {
      value = AddedValue(change.name, change.value, conn->lead_space);
      status = smfi_addheader(ctx, const_cast<char*>(change.name.c_str()), value.data());
    } else {
      value = ChangedValue(change, *raw, conn->lead_space);
      status = smfi_chgheader(ctx, const_cast<char*>(change.name.c_str()), change.index,
                              value.data());
    }
    if (status != MI_SUCCESS) {
      *error = "the mail server refused to " + std::string(raw == nullptr ? "add" : "change") +
               " the header " + change.name;
      return false;
    }
  }
  return true;
}

sfsistat OnEndOfMessageUnguarded(SMFICTX* ctx) {
  Connection* conn = Conn(ctx);
  if (conn == nullptr || !conn->message.active) return SMFIS_CONTINUE;
  Message& message = conn->message;
  const std::shared_ptr<Engine> engine = message.engine;
  const MilterSettings& settings = engine->settings;
  const std::string queue_id = QueueId(ctx, message);
  if (!message.headers_done) message.raw += "\r\n";
  if (g_state->abandoned.load() >= kMaxAbandoned) {
    g_state->stats.Skipped(MilterStats::Unchecked::kBusy);
    g_state->log.Error(queue_id + ": accepted unchecked: " + std::to_string(kMaxAbandoned) +
                       " checks over their time budget are still running; action=accept");
    EndMessage(conn);
    return SMFIS_ACCEPT;
  }
  const auto started = Clock::now();
  auto job = std::make_shared<Job>();
  job->engine = engine;
  job->raw = std::move(message.raw);
  ++g_state->running;
  try {
    g_workers->Run([job] { RunJob(job); });
  } catch (const std::exception& e) {
    --g_state->running;
    return Failed(ctx, conn, std::string("cannot start a check: ") + e.what());
  }
  {
    std::unique_lock<std::mutex> lock(job->mutex);
    if (!job->done_cv.wait_until(lock, started + std::chrono::seconds(settings.time_budget),
                                 [&] { return job->done; })) {
      // The check goes on without us; its result is dropped when it ends.
      job->abandoned = true;
      ++g_state->abandoned;
      lock.unlock();
      g_state->stats.Skipped(MilterStats::Unchecked::kTime);
      g_state->log.Error(queue_id + ": accepted unchecked: the check took more than " +
                         std::to_string(settings.time_budget) + " s (TimeBudget); action=accept");
      EndMessage(conn);
      return SMFIS_ACCEPT;
    }
  }
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
  const Verdict& verdict = job->verdict;
  if (!job->error.empty()) return Failed(ctx, conn, job->error);
  if (!verdict.ruled) {
    return Failed(ctx, conn,
                  "no rule could run: " + (verdict.error.empty() ? "no reason" : verdict.error));
  }
  MilterAction action = ActionFor(verdict, settings);
  char timing[32];
  std::snprintf(timing, sizeof timing, "%.0f", ms);
  std::string line = queue_id + ": " + VerdictName(verdict.kind) + " score=" +
                     std::to_string(verdict.score) + " hits=" + Joined(verdict.hitRules) +
                     (verdict.autolearn.empty() ? "" : " autolearn=" + verdict.autolearn) +
                     " time=" + timing + "ms action=";
  g_state->stats.Judged(verdict.kind, ms);
  sfsistat answer = SMFIS_ACCEPT;
  std::string error;
  switch (action) {
    case MilterAction::kAccept: break;
    case MilterAction::kReject:
      if (smfi_setreply(ctx, const_cast<char*>(settings.reply_code.c_str()),
                        settings.reply_xcode.empty()
                            ? nullptr
                            : const_cast<char*>(settings.reply_xcode.c_str()),
                        const_cast<char*>(settings.reply_text.c_str())) != MI_SUCCESS) {
        g_state->log.Error(queue_id + ": the mail server refused the reply text; "
                           "rejected with its own");
      }
      g_state->stats.Rejected();
      answer = SMFIS_REJECT;
      break;
    case MilterAction::kQuarantine: {
      std::string reason = std::string("emlscan: ") + VerdictName(verdict.kind) + ", score " +
                           std::to_string(verdict.score);
      if (smfi_quarantine(ctx, reason.data()) == MI_SUCCESS) {
        g_state->stats.Quarantined();
      } else {
        g_state->log.Error(queue_id + ": the mail server does not quarantine; tagged instead");
        action = MilterAction::kTag;
      }
      if (!WriteChanges(ctx, conn, job->changes, &error)) return Failed(ctx, conn, error);
      break;
    }
    case MilterAction::kTag:
      if (!WriteChanges(ctx, conn, job->changes, &error)) return Failed(ctx, conn, error);
      break;
  }
  for (const std::string& failed : verdict.ruleErrors)
    g_state->log.Error(queue_id + ": rule " + failed);
  g_state->log.Info(line + MilterActionName(action));
  EndMessage(conn);
  return answer;
}

// libmilter is C: nothing may be thrown back into it. A failure of our own
// (memory, most likely) is a message that could not be checked.
template <class Callback>
sfsistat Guarded(SMFICTX* ctx, Callback callback) {
  try {
    return callback();
  } catch (const std::exception& e) {
    auto* conn = static_cast<Connection*>(smfi_getpriv(ctx));
    if (conn != nullptr && conn->message.active)
      return Failed(ctx, conn, std::string("internal failure: ") + e.what());
    g_state->log.Error(std::string("internal failure: ") + e.what());
    return SMFIS_TEMPFAIL;
  }
}

sfsistat OnEnvFrom(SMFICTX* ctx, char**) {
  if (auto* conn = static_cast<Connection*>(smfi_getpriv(ctx))) conn->held_answer = SMFIS_CONTINUE;
  return Guarded(ctx, [&] { return OnEnvFromUnguarded(ctx); });
}
sfsistat OnHeader(SMFICTX* ctx, char* name, char* value) {
  const sfsistat answer = Guarded(ctx, [&] { return OnHeaderUnguarded(ctx, name, value); });
  auto* conn = static_cast<Connection*>(smfi_getpriv(ctx));
  if (conn == nullptr || !conn->header_noreply) return answer;
  if (answer != SMFIS_CONTINUE && conn->held_answer == SMFIS_CONTINUE) conn->held_answer = answer;
  return SMFIS_NOREPLY;
}
sfsistat OnEndOfHeaders(SMFICTX* ctx) {
  if (auto* conn = static_cast<Connection*>(smfi_getpriv(ctx))) {
    const sfsistat held = conn->held_answer;
    conn->held_answer = SMFIS_CONTINUE;
    if (held != SMFIS_CONTINUE) return held;
  }
  return Guarded(ctx, [&] { return OnEndOfHeadersUnguarded(ctx); });
}
sfsistat OnBody(SMFICTX* ctx, unsigned char* chunk, size_t length) {
  return Guarded(ctx, [&] { return OnBodyUnguarded(ctx, chunk, length); });
}
sfsistat OnEndOfMessage(SMFICTX* ctx) {
  return Guarded(ctx, [&] { return OnEndOfMessageUnguarded(ctx); });
}

sfsistat OnAbort(SMFICTX* ctx) {
  if (Connection* conn = static_cast<Connection*>(smfi_getpriv(ctx))) {
    conn->held_answer = SMFIS_CONTINUE;
    EndMessage(conn);
  }
  return SMFIS_CONTINUE;
}

sfsistat OnClose(SMFICTX* ctx) {
  if (Connection* conn = static_cast<Connection*>(smfi_getpriv(ctx))) {
    EndMessage(conn);
    delete conn;
    smfi_setpriv(ctx, nullptr);
  }
  return SMFIS_CONTINUE;
}

// --- The socket. -------------------------------------------------------------------

// Opens the socket of `settings` (--socket already applied); throws naming
// the setting and what failed.
void OpenSocket(const MilterSettings& settings, Log& log) {
  bool defaulted = false;
  const std::string spec = LoopbackUnlessNamed(settings.socket, &defaulted);
  if (defaulted) {
    log.Info("the socket " + settings.socket +
             " names no address: listening on the loopback address only (" + spec + ")");
  }
  const std::string path = UnixSocketPath(spec);
  if (!path.empty()) {
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (!folder.empty()) std::filesystem::create_directories(folder, error);
    if (error)
      throw std::runtime_error("/emlscan/milter/Socket: cannot create " + folder.string() + ": " +
                               error.message());
  }
  if (smfi_setconn(const_cast<char*>(spec.c_str())) != MI_SUCCESS)
    throw std::runtime_error("/emlscan/milter/Socket: libmilter refuses \"" + spec + "\"");
  // true: a socket file left by a run that died is removed first.
  if (smfi_opensocket(true) != MI_SUCCESS) {
    throw std::runtime_error("/emlscan/milter/Socket: cannot listen on " + spec +
                             (path.empty() ? "" : " (does its folder exist, may we write there?)"));
  }
  if (path.empty()) return;
  if (chmod(path.c_str(), settings.socket_mode) != 0)
    throw std::runtime_error("/emlscan/milter/SocketMode: chmod " + path + ": " +
                             std::strerror(errno));
  if (!settings.socket_group.empty()) {
    struct group entry, *found = nullptr;
    std::vector<char> buffer(16384);
    if (getgrnam_r(settings.socket_group.c_str(), &entry, buffer.data(), buffer.size(), &found) !=
            0 ||
        found == nullptr) {
      throw std::runtime_error("/emlscan/milter/SocketGroup: no group named \"" +
                               settings.socket_group + "\"");
    }
    if (chown(path.c_str(), static_cast<uid_t>(-1), found->gr_gid) != 0)
      throw std::runtime_error("/emlscan/milter/SocketGroup: chown " + path + " to group " +
                               settings.socket_group + ": " + std::strerror(errno));
  }
}

// libmilter leaves its unix socket behind; a socket file nobody listens on
// makes a mail server's connections fail slowly instead of at once.
void RemoveSocket(const std::string& socket) {
  bool defaulted = false;
  const std::string path = UnixSocketPath(LoopbackUnlessNamed(socket, &defaulted));
  struct stat st;
  if (!path.empty() && lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) unlink(path.c_str());
}

// --- Housekeeping: reloads and statistics, off the signal thread. ----------------

class Housekeeper {
 public:
  enum Task : unsigned { kReload = 1, kStats = 2, kQuit = 4 };

  Housekeeper() : thread_([this] { Loop(); }) {}
  ~Housekeeper() {
    Post(kQuit);
    thread_.join();
  }
  void Post(unsigned task) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      tasks_ |= task;
    }
    cv_.notify_one();
  }

 private:
  void Loop() {
    for (;;) {
      unsigned tasks;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [&] { return tasks_ != 0; });
        tasks = tasks_;
        tasks_ = 0;
      }
      if (tasks & kReload) Reload();
      if (tasks & kStats) Stats();
      if (tasks & kQuit) return;
    }
  }

  static void Reload() {
    State& state = *g_state;
    const std::shared_ptr<Engine> old = state.Current();
    if (old == nullptr) return;
    std::shared_ptr<Engine> fresh;
    try {
      fresh = BuildEngine(state.options);
    } catch (const ASException& e) {
      state.log.Error("reload failed, the settings and rules in use stay: " +
                      std::string(e.what()) + " (code " + std::to_string(e.GetErrorCode()) + ")");
      return;
    } catch (const std::exception& e) {
      state.log.Error("reload failed, the settings and rules in use stay: " +
                      std::string(e.what()));
      return;
    }
    const MilterSettings& was = old->settings;
    const MilterSettings& now = fresh->settings;
    if (was.socket != now.socket || was.socket_group != now.socket_group ||
        was.socket_mode != now.socket_mode) {
      state.log.Error("the socket settings changed; they take effect when the milter restarts");
    }
    {
      std::lock_guard<std::mutex> lock(state.engine_mutex);
      state.engine = fresh;
    }
    state.log.Configure(now.syslog, now.syslog_facility);
    state.log.Info("reloaded " + fresh->config.file() + " and the rules in " +
                   fresh->config.Get("/eml/breaker/SlfPath").value_or("(none)"));
    if (!fresh->warning.empty()) state.log.Error("warning: " + fresh->warning);
  }

  static void Stats() {
    State& state = *g_state;
    state.log.Info(state.stats.Report());
    const std::shared_ptr<Engine> engine = state.Current();
    if (engine == nullptr || engine->settings.stats_file.empty()) return;
    const std::string problem =
        WriteAtomically(engine->settings.stats_file, state.stats.Prometheus());
    if (!problem.empty()) state.log.Error("/emlscan/milter/StatsFile: " + problem);
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  unsigned tasks_ = 0;
  std::thread thread_;
};

}  // namespace

int RunMilter(const MilterOptions& options) {
  // Signals are taken by this (the main) thread with sigtimedwait, never in a
  // handler; they are blocked before any thread starts so every thread
  // inherits the mask. libmilter starts a thread of its own that waits for
  // SIGHUP, SIGTERM and SIGINT and stops the listener on each; the kernel
  // gives a signal sent to the process to its main thread first whenever
  // that thread waits for it, so the main thread hands every task to the
  // housekeeper and is back waiting at once.
  sigset_t signals;
  sigemptyset(&signals);
  for (int sig : {SIGHUP, SIGTERM, SIGINT, SIGUSR1}) sigaddset(&signals, sig);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  static State state;
  g_state = &state;
  state.options = options;
  try {
    state.engine = BuildEngine(options);
  } catch (const ASException& e) {
    std::fprintf(stderr, "emlscan: %s (code %d)\n", e.what(), e.GetErrorCode());
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "emlscan: %s\n", e.what());
    return 2;
  }
  // A copy: a reload may free the engine it came from.
  const MilterSettings settings = state.engine->settings;
  state.log.Configure(settings.syslog, settings.syslog_facility);

  static char name[] = "emlscan";
  struct smfiDesc description = {};
  description.xxfi_name = name;
  description.xxfi_version = SMFI_VERSION;
  description.xxfi_flags = SMFIF_ADDHDRS | SMFIF_CHGHDRS | SMFIF_QUARANTINE;
  description.xxfi_envfrom = OnEnvFrom;
  description.xxfi_header = OnHeader;
  description.xxfi_eoh = OnEndOfHeaders;
  description.xxfi_body = OnBody;
  description.xxfi_eom = OnEndOfMessage;
  description.xxfi_abort = OnAbort;
  description.xxfi_close = OnClose;
  description.xxfi_negotiate = OnNegotiate;
  if (smfi_register(description) == MI_FAILURE) {
    state.log.Error("libmilter refused to register the filter");
    return 1;
  }
  try {
    OpenSocket(settings, state.log);
  } catch (const std::exception& e) {
    state.log.Error(e.what());
    RemoveSocket(settings.socket);  // made, but not as the settings say
    return 1;
  }
  bool defaulted = false;
  state.log.Info("listening on " + LoopbackUnlessNamed(settings.socket, &defaulted) + " with " +
                 state.engine->config.file());
  if (!state.engine->warning.empty()) state.log.Error("warning: " + state.engine->warning);

  std::thread listener([] {
    g_state->listener_status = smfi_main();
    g_state->listener_done = true;
  });
  int status = 0;
  {
    Housekeeper housekeeper;
    auto next_stats = Clock::now() + std::chrono::seconds(settings.stats_interval);
    for (;;) {
      if (state.listener_done) {
        state.log.Error("libmilter stopped listening by itself (status " +
                        std::to_string(state.listener_status.load()) +
                        "; a SIGHUP taken by its own signal thread stops it)");
        status = 1;
        break;
      }
      // At most a second, to notice a listener that stopped.
      const auto now = Clock::now();
      if (now >= next_stats) {
        housekeeper.Post(Housekeeper::kStats);
        const std::shared_ptr<Engine> engine = state.Current();
        next_stats = now + std::chrono::seconds(engine ? engine->settings.stats_interval : 300);
      }
      const auto wait = std::min<Clock::duration>(next_stats - now, std::chrono::seconds(1));
      const long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
      struct timespec timeout = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
      const int sig = sigtimedwait(&signals, nullptr, &timeout);
      if (sig == SIGHUP) {
        housekeeper.Post(Housekeeper::kReload);
      } else if (sig == SIGUSR1) {
        housekeeper.Post(Housekeeper::kStats);
      } else if (sig == SIGTERM || sig == SIGINT) {
        state.log.Info(std::string("stopping on ") + (sig == SIGTERM ? "SIGTERM" : "SIGINT") +
                       ": new messages are refused for now; those under way may finish");
        break;
      }
    }
    // New messages are refused for now from here on (OnEnvFrom), and a unix
    // socket takes no new connection once its file is gone.
    state.stopping = true;
    RemoveSocket(settings.socket);
    // The messages under way finish within ShutdownTimeout. libmilter stops
    // serving every connection, those in the middle of a message too, once
    // smfi_stop is called, so that comes after them.
    const std::shared_ptr<Engine> engine = state.Current();
    const auto deadline =
        Clock::now() + std::chrono::seconds(engine ? engine->settings.shutdown_timeout : 30);
    while ((state.messages > 0 || state.running > 0) && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // smfi_stop closes the listening socket, but it waits for a lock that
    // libmilter's listener holds in its poll, up to five seconds: the
    // process need not wait for that.
    std::thread([] { smfi_stop(); }).detach();
    housekeeper.Post(Housekeeper::kStats);
  }
  // libmilter's listener notices the stop only when its poll times out,
  // seconds later, and holds nothing of ours: it is not waited for.
  if (state.listener_done) {
    listener.join();
  } else {
    listener.detach();
  }
  if (state.messages > 0 || state.running > 0) {
    state.log.Error(std::to_string(state.messages.load()) +
                    " messages still under way after ShutdownTimeout; the mail server "
                    "keeps them and retries");
    // Their threads still use the engine: leave without tearing it down.
    std::fflush(nullptr);
    _exit(status);
  }
  {
    std::lock_guard<std::mutex> lock(state.engine_mutex);
    state.engine.reset();
  }
  state.log.Info("stopped");
  return status;
}

}  // namespace emlscan
