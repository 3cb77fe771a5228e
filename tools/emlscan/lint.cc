#include "tools/emlscan/lint.h"

#include <dlfcn.h>

#include <cctype>
#include <cstdio>
#include <cstring>
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

// What a rule file writes for each of the parser's token names.
const std::map<std::string, std::string>& Spellings() {
  static const std::map<std::string, std::string> kSpellings = {
      {"$end", "the end of the file"}, {"NAME", "a name"}, {"STRING_LITERAL", "a \"string\""},
      {"CONSTANT", "a number"}, {"ALL_OR_OP", "|||"}, {"OR_OP", "||"}, {"ALL_AND_OP", "&&&"},
      {"AND_OP", "&&"}, {"EQ_OP", "=="}, {"NE_OP", "!="}, {"NOT_OP", "!"}, {"SCOPE_OP", "::"},
      {"RULE", "rule"}, {"METARULE", "metarule"}, {"CONDITION", "condition:"},
      {"ACTIONS", "actions:"}, {"METADATA", "metadata:"}, {"NONE", "none"}, {"ALL", "ALL"},
      {"ANY", "any"}, {"TRUE", "true"}, {"FALSE", "false"}, {"MATCH", "match"},
      {"MATCH_KNN_CATEG", "match_knn_categ"}, {"EXISTS", "exists"}, {"IS_EMPTY", "is_empty"},
      {"SCORE_GREATER_THAN", "score_greater_than"}, {"EXACT", "EXACT"},
      {"EXACT_INSENSITIVE", "EXACT_INSENSITIVE"}, {"OBFUSCATED", "OBFUSCATED"},
      {"REGEX", "REGEX"}, {"REGEX_INSENSITIVE", "REGEX_INSENSITIVE"}, {"TEXT", "Text"},
      {"TEXT_PLAIN", "TextPlain"}, {"TEXT_HTML", "TextHTML"}, {"HEADERS", "Headers::"},
      {"PARTS", "Parts::"}, {"PART_HEADERS", "PartHeaders::"}, {"URLS", "Urls::"},
      {"RAW", "RAW"}, {"DECODED", "DECODED"}, {"SET_CATEGORY", "set_category"},
      {"EXEC", "exec"}, {"INCREASE_SCORE", "increase_score"}, {"MARK", "mark"},
      {"ADD_HEADER", "add_header"}, {"ADD_TO_HEADER", "add_to_header"},
      {"ENABLED", "enabled"}, {"RELEVANCE", "relevance"}, {"COMMENT", "comment"},
      {"PRIORITY", "priority"}};
  return kSpellings;
}

// The parser names tokens by their grammar names ("unexpected NAME, expecting
// ALL or TEXT"); a rule writer reads "Parts::Text". The message is kept as it
// is and the words one writes follow it: "[found a name; expected ALL or Text]".
std::string WithSpellings(const std::string& text) {
  const size_t unexpected = text.find("unexpected ");
  if (unexpected == std::string::npos) return text;
  auto spell = [](const std::string& token) {
    auto found = Spellings().find(token);
    if (found != Spellings().end()) return found->second;
    return token.size() == 3 && token.front() == '\'' ? token.substr(1, 1) : token;
  };
  const size_t start = unexpected + 11;
  const size_t comma = text.find(", expecting ", start);
  std::string hint = "found " + spell(text.substr(start, comma == std::string::npos
                                                            ? std::string::npos
                                                            : comma - start));
  if (comma != std::string::npos) {
    std::vector<std::string> wanted;
    for (size_t at = comma + 12;;) {
      const size_t next = text.find(" or ", at);
      wanted.push_back(spell(text.substr(at, next == std::string::npos ? std::string::npos
                                                                        : next - at)));
      if (next == std::string::npos) break;
      at = next + 4;
    }
    hint += "; expected ";
    for (size_t i = 0; i < wanted.size(); ++i) {
      if (i > 0) hint += i + 1 == wanted.size() ? " or " : ", ";
      hint += wanted[i];
    }
  }
  return text + " [" + hint + "]";
}

// The rules a file declares, by name, each with its line: "rule NAME" and
// "metarule NAME" at the start of a line outside comments. The parser may
// lose some to an error before them without naming them.
std::vector<std::pair<int, std::string>> DeclaredRules(const std::string& file) {
  std::vector<std::pair<int, std::string>> declared;
  FILE* in = std::fopen(file.c_str(), "rb");
  if (in == nullptr) return declared;
  std::string text;
  char buffer[65536];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, in)) > 0;) text.append(buffer, n);
  std::fclose(in);
  int line = 1;
  bool in_comment = false, line_start = true;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_comment) {
      if (c == '*' && i + 1 < text.size() && text[i + 1] == '/') in_comment = false, ++i;
      if (c == '\n') ++line;
      continue;
    }
    if (c == '/' && i + 1 < text.size() && text[i + 1] == '*') {
      in_comment = true;
      ++i;
      continue;
    }
    if (c == '\n') {
      ++line;
      line_start = true;
      continue;
    }
    if (c == ' ' || c == '\t' || c == '\r') continue;
    if (line_start) {
      for (const char* keyword : {"rule", "metarule"}) {
        const size_t length = std::strlen(keyword);
        if (text.compare(i, length, keyword) != 0) continue;
        size_t at = i + length;
        if (at >= text.size() || (text[at] != ' ' && text[at] != '\t')) continue;
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
        size_t end = at;
        while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) ||
                                     text[end] == '_'))
          ++end;
        if (end > at) declared.emplace_back(line, text.substr(at, end - at));
      }
    }
    line_start = false;
  }
  return declared;
}

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
      out_ << Place(file, message.line) << ": " << WithSpellings(message.text) << "\n";
      ++parser_messages_;
      // Rules the parser throws away: broken ones, and the earlier of two with one name.
      if (message.text.rfind("discarding ", 0) == 0 ||
          message.text.rfind("warning: previous rule will be discarded", 0) == 0) {
        ++dropped_;
        ++accounted_[file][DiscardedName(file, message)];
      }
    }
  }
  void OnRuleLoaded(const char* file, int line, const char* name) override {
    origins_[name] = Place(file, line);
    ++accounted_[file][name];
  }
  void OnRuleRefused(const char* file, int line, const char* name,
                     const std::string& reason) override {
    Dropped(Place(file, line), name, "dropped", reason);
    ++accounted_[file][name];
  }
  void OnRuleDuplicate(const char* file, int line, const char* name) override {
    Dropped(Place(file, line), name, "dropped", "already defined at " + origins_[name]);
    ++accounted_[file][name];
  }
  // Every rule `file` declares that the parser neither loaded nor named as
  // discarded was swallowed by an error before it: reported and counted.
  void CheckDeclared(const std::string& file) {
    std::map<std::string, int>& seen = accounted_[file];
    for (const auto& [line, name] : DeclaredRules(file)) {
      auto found = seen.find(name);
      if (found != seen.end() && found->second > 0) {
        --found->second;
        continue;
      }
      Dropped(Place(file, line), name.c_str(), "dropped",
              "lost to a syntax error before it (see the messages above)");
    }
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

  // The rule a discarding message is about: named in "discarding simple rule
  // X because ..." and "discarding meta-rule X ..."; for "previous rule will
  // be discarded", the name of the rule declared last at or before its line.
  static std::string DiscardedName(const char* file, const RuleFileMessage& message) {
    for (const char* marker : {"discarding simple rule ", "discarding meta-rule "}) {
      if (message.text.rfind(marker, 0) != 0) continue;
      const size_t start = std::strlen(marker);
      return message.text.substr(start, message.text.find(' ', start) - start);
    }
    std::string name;
    for (const auto& [line, declared] : DeclaredRules(file))
      if (line <= message.line) name = declared;
    return name;
  }

  std::ostream& out_;
  std::map<std::string, std::string> origins_;
  std::map<std::string, std::map<std::string, int>> accounted_;  // file -> name -> times
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
  // where the plug-in's go ("[parser] - committing simple rule ..."). The engine
  // loads the tracer by its name, as the plug-in does from beside itself; emlscan
  // has no search path, so the tracer beside the regex library (the plug-in's
  // companions) is loaded first by its path, and the name then finds it loaded.
  void* tracer = dlopen((regex_dir + "/liblogsink.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  LoadTracer();
  if (tracer != nullptr) dlclose(tracer);  // LoadTracer holds its own reference
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
  for (const std::string& file : files) report.CheckDeclared(file);
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
