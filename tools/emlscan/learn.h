// `emlscan learn --spam PATH... --ham PATH... [--forget] [--stats] [--explain MAIL...]`:
// teaches the statistical classifier the user's own mail (docs/LEARNING.md).
//
// Every mail is broken through the plug-in as `check` breaks it, and its tokens are taken
// by the classifier's own tokenizer (engines/mail_tokens.h) from the broken mail, so
// learning and classifying see the same tokens. PATHs are mail files, folders (searched
// recursively) or mbox files (split on their "From " lines). A mail is known by the MD5
// of its bytes with line ends made LF: one learned as the same class again is skipped, one
// learned as the other class moves. --forget takes the mails back instead.
//
// The store is the one "/emlscan/learning/Database" names, or --db. Each mail is one
// transaction of the store, so check, filter and the milter may read it all along, and a
// learner killed at any moment leaves every mail wholly learned or not.
#ifndef TOOLS_EMLSCAN_LEARN_H_
#define TOOLS_EMLSCAN_LEARN_H_

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emlbreaker/mail_item.h"
#include "tools/emlscan/config.h"
#include "tools/emlscan/verdict.h"

namespace CLI {
class App;
}

namespace emlscan {

class LearnCommand {
 public:
  // The references are main's options; they must outlive the command.
  LearnCommand(CLI::App& app, const std::string& config_file, const std::string& plugin_path,
               const std::vector<std::string>& overrides);
  bool Selected() const;
  // 0 when every mail was learned (or known), 1 when some could not be read, 2 on a
  // usage, settings or store error.
  int Run();

 private:
  int Explain(const std::string& store_name);
  int ServeAutoLearning();

  CLI::App* command_;
  std::vector<std::string> spam_;
  std::vector<std::string> ham_;
  std::vector<std::string> explain_;
  std::string db_;
  bool forget_ = false;
  bool stats_ = false;
  bool quiet_ = false;
  bool auto_learner_ = false;  // the hidden --auto-learner: serve an AutoLearner
  int jobs_ = 1;
  const std::string& config_file_;
  const std::string& plugin_path_;
  const std::vector<std::string>& overrides_;
};

// Auto-learning: check, filter and the milter teach the store the mails the other rules
// judged far beyond the thresholds ([emlscan.learning] AutoLearn, docs/LEARNING.md).
//
// A mail is learned as spam when its score without what the classifier's own rules added
// (Verdict::classifierScore) reaches AutoLearnSpamScore, as ham when that score is at most
// AutoLearnHamScore, the verdict is legitimate and the classifier's ham verdict did not
// keep the topic rules from scoring it. A mail the store knows, as either class, is left
// as it is: auto-learning never overturns what a user taught.
//
// The store is written by a learner process of its own (`emlscan learn --auto-learner`,
// started at the first mail to learn): the breaker of this process has the store open to
// read, and an embedded store may be mapped only once per process. Requests go to it one
// at a time. Learn may be called from any number of threads at once.
class AutoLearner {
 public:
  // The settings' auto-learner, or null when AutoLearn is off or no store is named.
  // `warn` gets each problem as one line (a failure to learn is told once). Throws
  // std::runtime_error naming a setting whose value is wrong.
  static std::unique_ptr<AutoLearner> FromConfig(const Config& config,
                                                 std::function<void(const std::string&)> warn);
  ~AutoLearner();
  AutoLearner(const AutoLearner&) = delete;
  AutoLearner& operator=(const AutoLearner&) = delete;

  // Learns the broken mail `item`, judged `verdict`, when the thresholds say so: "spam" or
  // "ham" when it was learned now, "" when not (not far enough, known already, or the
  // learning failed). `digest` gives the mail's digest (DigestOfFile, DigestOfBytes); it
  // is called only for a mail to learn. Never throws.
  const char* Learn(MailItem& item, const Verdict& verdict,
                    const std::function<std::string()>& digest);

  // Mails learned so far as each class.
  size_t learnedSpam() const { return learned_[0]; }
  size_t learnedHam() const { return learned_[1]; }

  struct Thresholds {
    int32_t spam = 0;
    int32_t ham = 0;
  };

 private:
  class Child;
  AutoLearner(std::string store, Thresholds thresholds,
              std::function<void(const std::string&)> warn);
  void Warn(const std::string& problem);

  const std::string store_;
  const Thresholds thresholds_;
  const std::function<void(const std::string&)> warn_;
  std::timed_mutex mutex_;  // one request at a time; guards child_ and broken_
  std::unique_ptr<Child> child_;
  bool broken_ = false;  // the learner could not start or stopped answering
  std::atomic<bool> warned_{false};
  std::atomic<size_t> learned_[2] = {};
};

// The digest a mail is known by in the store: the MD5 of its bytes with every CR LF
// written LF. Of a file (throws std::runtime_error when it cannot be read) or of bytes.
std::string DigestOfFile(const std::string& path);
std::string DigestOfBytes(const std::string& bytes);

}  // namespace emlscan

#endif  // TOOLS_EMLSCAN_LEARN_H_
