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

#include <string>
#include <vector>

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

  CLI::App* command_;
  std::vector<std::string> spam_;
  std::vector<std::string> ham_;
  std::vector<std::string> explain_;
  std::string db_;
  bool forget_ = false;
  bool stats_ = false;
  bool quiet_ = false;
  int jobs_ = 1;
  const std::string& config_file_;
  const std::string& plugin_path_;
  const std::vector<std::string>& overrides_;
};

}  // namespace emlscan

#endif  // TOOLS_EMLSCAN_LEARN_H_
