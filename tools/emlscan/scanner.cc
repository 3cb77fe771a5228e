#include "tools/emlscan/scanner.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "emlbreaker/broken_mail.h"
#include "emlbreaker/exceptions.h"
#include "emlbreaker/packer.h"
#include "tools/emlscan/packer_host.h"
#include "tools/emlscan/part_numbers.h"

namespace emlscan {
namespace fs = std::filesystem;

constexpr uint32_t kProfile = 0;

namespace {
std::string NotLoaded(const std::string& path, const std::string& loads_but);
}  // namespace
// The body stages' code for bytes that do not convert from their charset.
constexpr int32_t kConversionFailedCode = -303;

Scanner::Scanner(const std::string& plugin_path, const Config& config, const std::string& stage)
    : host_(plugin_path),
      settings_(config),
      packer_dir_(config.Get("/eml/streamer/PackerPath").value_or(".")),
      libs_dir_(config.Get("/eml/global/SharedLibsPath").value_or(".")),
      plugin_path_(plugin_path),
      token_store_(config.Get("/emlscan/learning/Database").value_or("")) {
  streamer_ = host_.CreateStreamer(u"Eml Streamer", &settings_, kProfile);
  breaker_ = host_.CreateBreaker(u"EML Real Breaker", &settings_, kProfile);
  try {
    streamer_->ApplySettings(kProfile);
    streamer_->ApplySharedSettings(kProfile);
  } catch (const ASException& e) {
    // The streamer's words do not say which file; the loader's do.
    const std::string library =
        (packer_dir_.empty() ? std::string(".") : packer_dir_) + "/libmsgcodec.so";
    std::string reason = NotLoaded(library, "loads, but is not a MIME packer");
    throw std::runtime_error(std::string(e.what()) + " (code " + std::to_string(e.GetErrorCode()) +
                             "); /eml/streamer/PackerPath: " + (reason.empty() ? library : reason));
  }
  breaker_->ApplySettings(kProfile);
  breaker_->ApplySharedSettings(kProfile);
  breaking_ = breaker_;
  if (stage == "all") {
    CAVirtualBreaker* parts =
        host_.CreateVirtualBreaker(u"Virtual Eml Parts Breaker", &settings_, kProfile);
    parts->SetRealBreaker(breaker_);
    parts_breaker_ = parts;
  } else {
    static const std::map<std::string, std::u16string> kStages = {
        {"headers", u"Virtual Eml Header Breaker"},
        {"parts", u"Virtual Eml Parts Breaker"},
        {"text", u"Virtual Eml Text Parts Breaker"},
        {"html", u"Virtual Eml Html Parts Breaker"}};
    auto found = kStages.find(stage);
    if (found == kStages.end()) throw std::runtime_error("unknown stage " + stage);
    CAVirtualBreaker* stage_breaker =
        host_.CreateVirtualBreaker(found->second, &settings_, kProfile);
    stage_breaker->SetRealBreaker(breaker_);
    breaking_ = stage_breaker;
  }
}

Scanner::~Scanner() {
  if (stdin_fd_ >= 0) close(stdin_fd_);
}

const std::string& Scanner::StdinPath() {
  std::call_once(stdin_once_, [this] {
    const char* tmp = std::getenv("TMPDIR");
    std::string name = std::string(tmp && *tmp ? tmp : "/tmp") + "/emlscan-stdin-XXXXXX";
    const int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
      stdin_error_ = "cannot make a temporary file for standard input: " +
                     std::string(std::strerror(errno));
      return;
    }
    unlink(name.c_str());
    char buffer[1 << 16];
    for (;;) {
      const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        stdin_error_ = "cannot read standard input: " + std::string(std::strerror(errno));
        break;
      }
      if (got == 0) break;
      for (ssize_t done = 0; done < got;) {
        const ssize_t put = write(fd, buffer + done, static_cast<size_t>(got - done));
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) {
          stdin_error_ = "cannot copy standard input: " + std::string(std::strerror(errno));
          break;
        }
        done += put;
      }
      if (!stdin_error_.empty()) break;
    }
    if (!stdin_error_.empty()) {
      close(fd);
      return;
    }
    stdin_fd_ = fd;
    stdin_path_ = "/proc/self/fd/" + std::to_string(fd);
  });
  if (stdin_path_.empty()) throw std::runtime_error(stdin_error_);
  return stdin_path_;
}

namespace {

// Empty when `path` is loaded in this process; else why it is not: the
// loader's reason when it will not load here either, else `loads_but`.
std::string NotLoaded(const std::string& path, const std::string& loads_but) {
  if (void* resident = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD)) {
    dlclose(resident);
    return "";
  }
  if (void* loaded = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
    dlclose(loaded);
    return path + " " + loads_but;
  }
  const char* reason = dlerror();
  return reason != nullptr ? std::string(reason) : path + ": cannot be loaded";
}

}  // namespace

Scanner::Companions Scanner::MissingCompanions() const {
  Companions missing;
  std::string regex =
      NotLoaded((libs_dir_.empty() ? std::string(".") : libs_dir_) + "/libpatmatch.so",
                "loads, but the plug-in did not take it as its regex library");
  if (!regex.empty()) {
    missing.regex = "the plug-in could not load the regular-expression library "
                    "(/eml/global/SharedLibsPath): " + regex;
  }
  // The tracer stays loaded only while it traces, that is when EMLSCAN_TRACE
  // names where to.
  const char* trace = std::getenv("EMLSCAN_TRACE");
  if (trace != nullptr && *trace != '\0') {
    std::string tracer =
        NotLoaded(fs::path(plugin_path_).parent_path().string() + "/liblogsink.so",
                  "loads, but gave no tracer: can EMLSCAN_TRACE's file be appended to?");
    if (!tracer.empty()) missing.tracer = "EMLSCAN_TRACE is set, but the plug-in has no tracer: " + tracer;
  }
  if (!token_store_.empty() && token_store_.rfind("redis", 0) != 0 &&
      access(token_store_.c_str(), R_OK) != 0) {
    const std::string why = errno == ENOENT ? "no such file: `emlscan learn` makes it"
                                            : std::strerror(errno);
    missing.learning = "the token store " + token_store_ +
                       " (/emlscan/learning/Database) cannot be read (" + why +
                       "): the statistical classifier is off";
  }
  return missing;
}

bool SkipFailedBodyStage(const BreakError& error, std::vector<int32_t>* skip) {
  // How the breaker's message for a failed HTML stage begins.
  static constexpr char kHtmlFailure[] = "Problems breaking the body of html parts";
  if (error.code() != kConversionFailed || skip->size() == 2) return false;
  const int32_t failed = std::strncmp(error.what(), kHtmlFailure, sizeof kHtmlFailure - 1) == 0
                             ? nsEmlComponents::kBodyTextHtml
                             : nsEmlComponents::kBodyTextPlain;
  if (!skip->empty() && skip->front() == failed) {
    *skip = {nsEmlComponents::kBodyTextPlain, nsEmlComponents::kBodyTextHtml};
  } else {
    skip->push_back(failed);
  }
  return true;
}

bool LooksLikeMail(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;  // the streamer's open gives the reason
  char buffer[64 << 10];
  size_t size = 0;
  for (ssize_t n; size < sizeof buffer &&
                  ((n = read(fd, buffer + size, sizeof buffer - size)) > 0 || (n < 0 && errno == EINTR));)
    if (n > 0) size += static_cast<size_t>(n);
  close(fd);
  size_t at = 0;
  // mbox separators ("From sender date") before the header block.
  while (size - at >= 5 && std::memcmp(buffer + at, "From ", 5) == 0) {
    const void* end = std::memchr(buffer + at, '\n', size - at);
    if (end == nullptr) return false;
    at = static_cast<size_t>(static_cast<const char*>(end) - buffer) + 1;
  }
  // A field name: printable ASCII but ':', then blanks, then ':'.
  size_t name = at;
  while (name < size && buffer[name] > ' ' && buffer[name] < 127 && buffer[name] != ':') ++name;
  if (name == at) return false;
  while (name < size && (buffer[name] == ' ' || buffer[name] == '\t')) ++name;
  return name < size && buffer[name] == ':';
}

void Scanner::Scan(const std::string& name, const std::function<void(MailItem&)>& inspect,
                   bool known_regular, const std::vector<int32_t>& skip_stages) {
  const std::string& file = name == "-" ? StdinPath() : name;
  std::error_code error;
  if (!known_regular && !fs::is_regular_file(file, error)) {
    throw std::runtime_error(fs::exists(file, error) ? "not a regular file" : "no such file");
  }
  // A folder's file that is plainly not mail is skipped. The test costs a mail
  // nothing: the packer's open says "no header block" for most such files, and
  // only a file it refuses (too large, say) is looked at apart.
  static const char kNotMail[] = "not a mail: no header field at its start";
  std::unique_ptr<CAStream> stream(
      streamer_->CreateStream(kProfile, const_cast<char*>(file.c_str()), kEmlSubtypeFile));
  // A streamer answers a file stream (subtype 3) as a CAEmlStream.
  if (!stream || stream->GetSubtype() != kEmlSubtypeFile)
    throw std::runtime_error("the streamer made no mail stream of it");
  auto* eml = static_cast<CAEmlStream*>(stream.get());
  if (eml->GetHandle() == nullptr) {
    // The streamer opened the mail on this thread: the packer's reason for
    // refusing it (too large, unreadable, ...) is still this thread's.
    std::string reason = LoadedPackerLastError(packer_dir_);
    if (known_regular && !LooksLikeMail(file)) throw NotMailError(kNotMail);
    throw std::runtime_error(reason.empty() ? std::string("the packer could not open it")
                                            : "the packer could not open it: " + reason);
  }
  if (static_cast<CAMimePart*>(eml->GetHandle())->GetDefects() & kDefectNotAMail) {
    if (known_regular) throw NotMailError(kNotMail);
    throw std::runtime_error("not a mail: no header block");
  }
  BreakStream(stream.get(), inspect, skip_stages);
}

void Scanner::ScanOpened(void* top, const std::function<void(MailItem&)>& inspect,
                         const std::vector<int32_t>& skip_stages) {
  std::unique_ptr<CAStream> stream(streamer_->CreateStream(kProfile, top, kEmlSubtypeMemory));
  if (!stream) throw std::runtime_error("the streamer made no mail stream of it");
  if (static_cast<CAMimePart*>(top)->GetDefects() & kDefectNotAMail)
    throw std::runtime_error("not a mail: no header block");
  BreakStream(stream.get(), inspect, skip_stages);
}

CAPerformer* Scanner::performer() {
  if (performer_ == nullptr) {
    performer_ = host_.CreatePerformer(u"Performer Module for the Mail Entity Type", &settings_,
                                       kProfile);
    performer_->ApplySettings(kProfile);
    performer_->ApplySharedSettings(kProfile);
  }
  return performer_;
}

namespace {

using nsEmlComponents::CHeaderContentType;
using nsEmlComponents::CPart;
using nsEmlComponents::CPartsTree;

const CHeaderContentType* ContentTypeIn(const nsEmlComponents::CHeaderMap& headers) {
  static const ascommon::sstring kName("CONTENT-TYPE");
  nsEmlComponents::CHeader* const* found = headers.Lookup(kName);
  if (found == nullptr || *found == nullptr ||
      (*found)->GetType() != nsEmlComponents::kHeaderContentType)
    return nullptr;
  return static_cast<const CHeaderContentType*>(*found);
}

// The body stages read the root, then the parts of their kind down to depth 3
// in document order, and stop at the first whose bytes do not convert from
// the declared charset; the parts before it hold their text, that one and
// those after it none. So the first such part without text but with a
// non-empty body file is the one that failed: ": body 1.2, charset
// \"x\"", or "" when the tree does not tell.
std::string UnconvertedPart(MailItem& item, const std::string& message) {
  CPartsTree* tree = GetPartsTree(item.box);
  if (tree == nullptr || tree->GetRoot() == nullptr) return "";
  const int32_t kind = message.rfind("Problems breaking the body of html parts", 0) == 0
                           ? nsEmlComponents::kBodyTextHtml
                           : nsEmlComponents::kBodyTextPlain;
  constexpr int32_t kStageDepth = 3;
  auto unconverted = [&](const CPart& part) {
    if (part.GetKind() != kind || part.body == nullptr) return false;
    const bool empty_text =
        kind == nsEmlComponents::kBodyTextHtml
            ? static_cast<const nsEmlComponents::CPartBodyTextHtml*>(part.body)->source.Length() == 0
            : static_cast<const nsEmlComponents::CPartBodyTextPlain*>(part.body)->text.Length() == 0;
    struct stat st;
    return empty_text && part.body->file.Length() > 0 && stat(part.body->file.c_str(), &st) == 0 &&
           st.st_size > 0;
  };
  auto describe = [](const std::string& number, const CHeaderContentType* type) {
    std::string charset = type != nullptr && type->charset.Length() > 0
                              ? std::string(type->charset.c_str())
                              : std::string("ISO-8859-1, the default");
    return ": body " + number + ", charset \"" + charset + "\"";
  };
  const CPart& root = *tree->GetRoot()->part;
  if (unconverted(root)) {
    const nsEmlComponents::CHeaderMap* headers = GetMailHeaders(item.box);
    return describe("1", headers != nullptr ? ContentTypeIn(*headers) : nullptr);
  }
  std::string found;
  ForEachNumberedNode(*tree, [&](const CPartsTree::CNode& node, const std::string& number) {
    const CPart& part = *node.part;
    if (found.empty() && &part != &root && !part.removed && part.depth <= kStageDepth &&
        unconverted(part))
      found = describe(number, ContentTypeIn(part.headers));
  });
  return found;
}

}  // namespace

void Scanner::BreakStream(CAStream* stream, const std::function<void(MailItem&)>& inspect,
                          const std::vector<int32_t>& skip_stages) {
  MailItem item;
  item.stream = stream;
  struct Release {
    CABreaker* breaker;
    MailItem* item;
    ~Release() {
      try {
        breaker->ReleaseBrokenMail(kProfile, item);
      } catch (const std::exception&) {
        // Nothing more can be done for this mail; the box frees the rest.
      }
    }
  } release{breaking_, &item};
  try {
    if (!skip_stages.empty()) {
      if (parts_breaker_ == nullptr || breaking_ != breaker_)
        throw std::logic_error("stages can be skipped only through the real breaker");
      parts_breaker_->Break(kProfile, &item);
      nsEmlComponents::CPartsTree* tree = GetPartsTree(item.box);
      if (tree == nullptr) throw std::runtime_error("the parts breaker stored no parts tree");
      for (int32_t kind : skip_stages) tree->SetDone(kind, true);
    }
    breaking_->Break(kProfile, &item);
  } catch (const ASException& e) {
    std::string message = e.what();
    if (e.GetErrorCode() == kConversionFailedCode) message += UnconvertedPart(item, message);
    throw BreakError(message, e.GetErrorCode());
  }
  inspect(item);
}

namespace {

// Appends the regular files under `dir` (a path to which names are joined
// with one "/") to *found, going down into subfolders, skipping hidden
// entries and folders that cannot be read. Entries are typed from the
// listing itself; only links and file systems that give no type cost a stat.
// std::filesystem's iterator took twice as long over the bench folder (3,000
// mails: 3.5-7 ms against 1.5-2), a tenth of a short run's start-up.
void ListFolder(const std::string& dir, std::vector<std::string>* found) {
  DIR* folder = opendir(dir.c_str());
  if (folder == nullptr) return;
  std::string path = dir;
  if (path.empty() || path.back() != '/') path += '/';
  const size_t stem = path.size();
  std::vector<std::string> subfolders;
  while (const dirent* entry = readdir(folder)) {
    if (entry->d_name[0] == '.') continue;  // hidden, and "." and ".."
    path.resize(stem);
    path += entry->d_name;
    unsigned char type = entry->d_type;
    if (type == DT_UNKNOWN) {
      struct stat st;
      if (lstat(path.c_str(), &st) != 0) continue;
      type = S_ISDIR(st.st_mode)   ? DT_DIR
             : S_ISLNK(st.st_mode) ? DT_LNK
             : S_ISREG(st.st_mode) ? DT_REG
                                   : DT_UNKNOWN;
    }
    if (type == DT_LNK) {
      // A link to a file is listed; a link to a folder is not followed.
      struct stat st;
      if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) type = DT_REG;
    }
    if (type == DT_REG) {
      found->push_back(path);
    } else if (type == DT_DIR) {
      subfolders.push_back(path);
    }
  }
  closedir(folder);
  for (const std::string& sub : subfolders) ListFolder(sub, found);
}

}  // namespace

std::vector<MailFile> CollectMailFiles(const std::vector<std::string>& args) {
  std::vector<MailFile> files;
  for (const std::string& arg : args) {
    std::error_code error;
    if (arg == "-" || !fs::is_directory(arg, error)) {
      files.push_back({arg, false});
      continue;
    }
    std::vector<std::string> found;
    ListFolder(arg, &found);
    std::sort(found.begin(), found.end());
    files.reserve(files.size() + found.size());
    for (std::string& path : found) files.push_back({std::move(path), true});
  }
  return files;
}

namespace {

// Set by the signal handler, read by the workers between mails.
std::atomic<int> stop_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler must not take a lock");

void OnStopSignal(int signal) { stop_signal.store(signal, std::memory_order_relaxed); }

}  // namespace

void StopOnSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  // Interrupted calls resume (the run stops between mails, not inside one's
  // I/O); the handler is set back to the default once it ran, so a second
  // Ctrl-C ends a run that does not stop soon enough.
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

int StopRequested() { return stop_signal.load(std::memory_order_relaxed); }

void RequestStop(int signal) { stop_signal.store(signal, std::memory_order_relaxed); }

size_t RunOrdered(size_t count, int jobs, const std::function<std::string(size_t)>& work,
                  const std::function<void(size_t, const std::string&)>& emit) {
  if (jobs <= 1) {
    size_t i = 0;
    for (; i < count && !StopRequested(); ++i) emit(i, work(i));
    return i;
  }
  // Workers take indices in order; a worker waits while it would run more
  // than `window` mails ahead of the output, so memory stays bounded however
  // long the run. Whichever worker finishes the next mail in order emits it
  // (and any finished ones after it): no printer thread to wake per mail,
  // which with two workers on two cores cost a fifth of the run in wake-ups.
  const size_t window = static_cast<size_t>(jobs) * 8;
  std::mutex mutex;
  std::condition_variable room;
  std::map<size_t, std::string> done;
  size_t next = 0, printed = 0, waiting = 0;
  bool emitting = false;
  auto worker = [&] {
    std::unique_lock<std::mutex> hold(mutex);
    for (;;) {
      if (next < count && next >= printed + window) {
        ++waiting;
        // A stop needs no wake-up of its own: the mails under way are emitted,
        // which moves `printed` up to `next`.
        room.wait(hold, [&] { return next >= count || next < printed + window; });
        --waiting;
      }
      if (next >= count || StopRequested()) return;
      const size_t index = next++;
      hold.unlock();
      std::string text = work(index);
      hold.lock();
      done.emplace(index, std::move(text));
      if (emitting) continue;  // the emitting worker will reach this one
      emitting = true;
      for (auto it = done.find(printed); it != done.end(); it = done.find(printed)) {
        std::string out = std::move(it->second);
        done.erase(it);
        hold.unlock();
        emit(printed, out);
        hold.lock();
        ++printed;
        if (waiting > 0) room.notify_all();
      }
      emitting = false;
    }
  };
  // The calling thread is one of the workers: a thread made only to wait for
  // the others cost about a millisecond of a short run.
  std::vector<std::thread> threads;
  for (int t = 1; t < jobs; ++t) threads.emplace_back(worker);
  worker();
  for (auto& thread : threads) thread.join();
  return printed;
}

}  // namespace emlscan
