#include "tools/emlscan/lint.h"

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "emlbreaker/exceptions.h"
#include "emlbreaker/trace.h"
#include "rules/engines_interface.h"
#include "tools/emlscan/config.h"

namespace emlscan {
namespace fs = std::filesystem;

namespace {

// The place of a rule for messages: "FILE:LINE", or "FILE" when the line is unknown.
std::string Place(const std::string& file, int line) {
  return line > 0 ? file + ":" + std::to_string(line) : file;
}

// Turns what the engine reports into located messages, in the order it reports them.
class LintReport : public ARuleLoadReport {
 public:
  explicit LintReport(std::ostream& out) : out_(out) {}

  void OnParseMessages(const char* file, const std::vector<RuleFileMessage>& messages) override {
    for (const RuleFileMessage& message : messages) {
      out_ << Place(file, message.line) << ": " << message.text << "\n";
      ++parser_messages_;
      // Rules the parser throws away: broken ones, and the earlier of two with one name.
      if (message.text.rfind("discarding ", 0) == 0 ||
          message.text.rfind("warning: previous rule will be discarded", 0) == 0) {
        ++dropped_;
      }
    }
  }
  void OnRuleLoaded(const char* file, int line, const char* name) override {
    origins_[name] = Place(file, line);
  }
  void OnRuleRefused(const char* file, int line, const char* name,
                     const std::string& reason) override {
    Dropped(Place(file, line), name, "dropped", reason);
  }
  void OnRuleDuplicate(const char* file, int line, const char* name) override {
    Dropped(Place(file, line), name, "dropped", "already defined at " + origins_[name]);
  }
  void OnRuleInitFailed(const char* name, const std::string& reason) override {
    Dropped(origins_[name], name, "dropped at initialisation", reason);
  }

  int parser_messages() const { return parser_messages_; }
  int dropped() const { return dropped_; }

 private:
  void Dropped(const std::string& place, const char* name, const char* what,
               const std::string& reason) {
    out_ << place << ": rule " << name << " " << what << ": " << reason << "\n";
    ++dropped_;
  }

  std::ostream& out_;
  std::map<std::string, std::string> origins_;
  int parser_messages_ = 0;
  int dropped_ = 0;
};

// The rule files of inputs, or false (with the reason on err) when one cannot be read.
bool CollectRuleFiles(const std::vector<std::string>& inputs, std::ostream& err,
                      std::vector<std::string>* files) {
  for (const std::string& input : inputs) {
    std::error_code error;
    if (fs::is_directory(input, error)) {
      std::vector<std::string> listed;
      try {
        listed = CEnginesInterface::ListRuleFiles(input.c_str());
      } catch (const ASException&) {
        err << "emlscan: " << input << ": cannot list the folder\n";
        return false;
      }
      if (listed.empty()) {
        err << "emlscan: " << input << ": no rule files (*.slf)\n";
        return false;
      }
      files->insert(files->end(), listed.begin(), listed.end());
      continue;
    }
    FILE* file = std::fopen(input.c_str(), "rb");
    if (file == nullptr || !fs::is_regular_file(input, error)) {
      if (file != nullptr) std::fclose(file);
      err << "emlscan: " << input << ": cannot read the rule file\n";
      return false;
    }
    std::fclose(file);
    files->push_back(input);
  }
  return true;
}

}  // namespace

int LintRules(const std::vector<std::string>& inputs, const std::string& regex_dir,
              std::ostream& out, std::ostream& err) {
  std::vector<std::string> files;
  if (!CollectRuleFiles(inputs, err, &files)) return 2;
  // With EMLSCAN_TRACE set, the parser's and the engine's own trace lines go
  // where the plug-in's go ("[parser] - committing simple rule ...").
  LoadTracer();
  CEnginesInterface engines;
  try {
    engines.SetupRxLibHandle(regex_dir.c_str());
  } catch (const ASException& e) {
    err << "emlscan: cannot load the regex library from " << regex_dir << ": " << e.what() << "\n";
    return 2;
  }
  LintReport report(out);
  engines.SetRuleLoadReport(&report);
  try {
    engines.SetupASSLEngineFromFiles(files, false);
  } catch (const ASException& e) {
    err << "emlscan: the rules could not be loaded: " << e.what() << "\n";
    return 2;
  }
  const uint32_t loaded = engines.GetASSLEngine()->GetRuleCount();
  err << "emlscan: " << files.size() << " files, " << loaded << " rules loaded, "
      << report.dropped() << " rules dropped, " << report.parser_messages() << " parser messages\n";
  return report.dropped() == 0 && report.parser_messages() == 0 ? 0 : 1;
}

LintCommand::LintCommand(CLI::App& app, const std::string& config_file,
                         const std::string& plugin_path, const std::vector<std::string>& overrides)
    : command_(app.add_subcommand(
          "lint", "check rule files (files or folders; default: the config's rule folder)")),
      config_file_(config_file),
      plugin_path_(plugin_path),
      overrides_(overrides) {
  command_->add_option("rules", inputs_, "rule files or folders of *.slf files");
}

bool LintCommand::Selected() const { return command_->parsed(); }

int LintCommand::Run() const {
  // libpatmatch.so sits beside the plug-in, as the breaker finds it.
  const std::string plugin_dir = fs::path(plugin_path_).parent_path().string();
  std::vector<std::string> inputs = inputs_;
  if (inputs.empty()) {
    Config config = Config::Load(config_file_);
    for (const std::string& assignment : overrides_) config.Override(assignment);
    config.ExpandPluginDir(plugin_dir);
    std::optional<std::string> rule_dir = config.Get("/eml/breaker/SlfPath");
    if (!rule_dir) {
      std::cerr << "emlscan: " << config.file() << " sets no /eml/breaker/SlfPath\n";
      return 2;
    }
    inputs.push_back(*rule_dir);
  }
  return LintRules(inputs, plugin_dir, std::cout, std::cerr);
}

}  // namespace emlscan
