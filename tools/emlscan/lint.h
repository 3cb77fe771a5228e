// `emlscan lint [RULEDIR|FILE...]`: checks rule files as the breaker loads them, in
// process (the parser and the rule engine of emlcore, regexes through libpatmatch.so),
// and says what the breaker would silently drop:
//
//   rules/spam.slf:12: syntax error, unexpected NAME, expecting ';'
//   rules/spam.slf:30: rule Money_Meta dropped at initialisation: CASSLEngine::InitRule - ...
//   emlscan: 3 files, 61 rules loaded, 1 rules dropped, 3 parser messages
//
// Messages go to standard output, the summary to standard error. Exit status 0 when no
// message was printed, 1 otherwise, 2 when an input or the regex library could not be read.
#ifndef TOOLS_EMLSCAN_LINT_H_
#define TOOLS_EMLSCAN_LINT_H_

#include <iosfwd>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace emlscan {

// Lints inputs (rule files and folders of "*.slf" files) with the regex library found in
// regex_dir; writes messages to out and the summary to err; answers the exit status.
int LintRules(const std::vector<std::string>& inputs, const std::string& regex_dir,
              std::ostream& out, std::ostream& err);

// The lint subcommand of main's CLI11 app. The references are main's options and must
// outlive the command; they are read by Run, after the command line was parsed.
class LintCommand {
 public:
  LintCommand(CLI::App& app, const std::string& config_file, const std::string& plugin_path,
              const std::vector<std::string>& overrides);
  bool Selected() const;
  // Without inputs, lints the rule folder of the config ("/eml/breaker/SlfPath").
  int Run() const;

 private:
  CLI::App* command_;
  std::vector<std::string> inputs_;
  const std::string& config_file_;
  const std::string& plugin_path_;
  const std::vector<std::string>& overrides_;
};

}  // namespace emlscan

#endif  // TOOLS_EMLSCAN_LINT_H_
