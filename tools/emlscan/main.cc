// emlscan: a framework host for the breaker plug-in, for people who write
// rules and operate filters. It loads the plug-in with dlopen exactly as the
// framework does, configures the modules from a TOML file and scans mails.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

#include <CLI/CLI.hpp>

#include "emlbreaker/exceptions.h"
#include "tools/emlscan/check.h"
#include "tools/emlscan/config.h"
#include "tools/emlscan/dump.h"
#include "tools/emlscan/host_settings.h"
#include "tools/emlscan/lint.h"
#include "tools/emlscan/locations.h"
#include "tools/emlscan/milter.h"
#include "tools/emlscan/plugin_host.h"
#include "tools/emlscan/scanner.h"
#include "tools/emlscan/learn.h"
#include "tools/emlscan/train_layout.h"
#include "tools/emlscan/urldb.h"

namespace emlscan {
namespace {

struct Options {
  std::string config_file;
  std::string plugin_path;
  std::vector<std::string> overrides;
  std::vector<std::string> mails;
  bool json = false;
  int jobs = 1;
  bool quiet = false;
  std::string stage = "all";
};

const char16_t* const kModuleNames[] = {
    u"EML Real Breaker",
    u"Virtual Eml Header Breaker",
    u"Virtual Eml Parts Breaker",
    u"Virtual Eml Html Parts Breaker",
    u"Virtual Eml Text Parts Breaker",
    u"Eml Streamer",
    u"Performer Module for the Mail Entity Type",
};

Config LoadConfig(const Options& options, const std::string& plugin_path) {
  return LoadHostConfig(options.config_file, options.overrides, plugin_path);
}

// `emlscan info`: what is loaded from where, and what the modules are.
int RunInfo(const Options& options) {
  PluginHost host(options.plugin_path);
  Config config = LoadConfig(options, options.plugin_path);
  HostSettings settings(config);
  PluginHost::Version v = host.version();
  std::printf("plug-in   %s (version %u.%u.%u)\n", host.path().c_str(), v.major, v.minor,
              v.build);
  std::printf("config    %s\n", config.file().c_str());
  std::printf("modules\n");
  for (const char16_t* name : kModuleNames) {
    CAModule* module = host.CreateModule(name, &settings, 0);
    std::string kind;
    if (module->moduleType == kModuleTypeBreaker) {
      auto* breaker = static_cast<CABreaker*>(module);
      kind = "breaker kind " + std::to_string(breaker->GetBreakerKind()) +
             (breaker->isVirtual ? ", virtual" : ", real");
    }
    std::printf("  %-44s type %d%s%s\n", Utf16ToUtf8(name).c_str(), module->moduleType,
                kind.empty() ? "" : ", ", kind.c_str());
  }
  std::printf("settings\n");
  for (const auto& [path, value] : config.values()) {
    if (path.rfind("/eml/", 0) == 0) std::printf("  %s = %s\n", path.c_str(), value.c_str());
  }
  return 0;
}

// `emlscan dump MAIL...`: every mail broken and shown; a mail that cannot be
// read or broken is reported on stderr with its reason and the run goes on.
// Exit status 0 when every mail was dumped, 1 when some failed. A failed mail
// is named on stderr and, with --json, has a line of its own ("error"); files
// of a folder that are plainly not mail are skipped and counted apart.
int RunDump(const Options& options) {
  Config config = LoadConfig(options, options.plugin_path);
  Scanner scanner(options.plugin_path, config, options.stage);
  // The dump shows what the breaker makes of a mail, which needs neither.
  if (!options.quiet) {
    const Scanner::Companions missing = scanner.MissingCompanions();
    for (const std::string* problem : {&missing.regex, &missing.tracer})
      if (!problem->empty()) std::fprintf(stderr, "emlscan: warning: %s\n", problem->c_str());
  }
  std::vector<MailFile> files = CollectMailFiles(options.mails);
  size_t failed = 0, skipped = 0;
  // The summary's rate is the breaking loop's alone: loading the plug-in and
  // applying the settings come before it, once per run whatever its length.
  const auto started = std::chrono::steady_clock::now();
  // Results are tagged so the printer knows which stream a text belongs to.
  const size_t ran = RunOrdered(
      files.size(), options.jobs,
      [&](size_t index) -> std::string {
        const std::string& file = files[index].path;
        try {
          std::string text;
          auto show = [&](MailItem& item) {
            if (options.json) {
              nlohmann::json mail = DumpJson(item);
              mail["file"] = file;
              text = "+" + mail.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
            } else {
              std::string shown = DumpText(item);
              text.reserve(file.size() + shown.size() + 6);
              text.append("+== ").append(file).append("\n").append(shown).append("\n");
            }
          };
          scanner.Scan(file, show, files[index].listed);
          return text;
        } catch (const NotMailError& e) {
          return "semlscan: " + file + ": skipped, " + e.what() + "\n";
        } catch (const std::exception& e) {
          std::string text = "-emlscan: " + file + ": " + e.what() + "\n";
          if (options.json) {
            nlohmann::json line = {{"file", file}, {"error", e.what()}};
            if (const auto* refused = dynamic_cast<const BreakError*>(&e))
              line["code"] = refused->code();
            text += line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
          }
          return text;
        }
      },
      [&](size_t, const std::string& text) {
        if (text[0] == 's') {
          ++skipped;
          if (!options.quiet) std::fputs(text.c_str() + 1, stderr);
        } else if (text[0] == '-') {
          ++failed;
          // The message for stderr, then the JSON line for stdout, if any.
          const size_t end = text.find('\n') + 1;
          std::fwrite(text.data() + 1, 1, end - 1, stderr);
          std::fputs(text.c_str() + end, stdout);
        } else {
          std::fputs(text.c_str() + 1, stdout);
        }
      });
  std::fflush(stdout);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (!options.quiet) {
    std::fprintf(stderr, "emlscan: %zu mails, %zu dumped, %zu failed", ran - skipped,
                 ran - failed - skipped, failed);
    if (skipped > 0) std::fprintf(stderr, ", %zu skipped (not mail)", skipped);
    // A rate of nothing says nothing.
    if (ran > skipped && seconds > 0) {
      std::fprintf(stderr, " in %.3f s (%.0f mails/s)", seconds,
                   static_cast<double>(ran - skipped) / seconds);
    }
    if (ran < files.size()) {
      std::fprintf(stderr, "; stopped by signal %d, %zu not dumped", StopRequested(),
                   files.size() - ran);
    }
    std::fputc('\n', stderr);
  }
  return failed == 0 ? 0 : 1;
}

// `emlscan --version`: emlscan's own version first, which needs nothing
// loaded, then the plug-in's as it answers. Status 1 when it does not load.
int PrintVersion(const std::string& plugin_path) {
  std::printf("emlscan %u.%u.%u", kVersionMajor, kVersionMinor, kVersionBuild);
  std::fflush(stdout);
  try {
    PluginHost host(plugin_path);
    const PluginHost::Version v = host.version();
    std::printf(" (emlbreaker plug-in %s, version %u.%u.%u)\n", host.path().c_str(), v.major,
                v.minor, v.build);
    return 0;
  } catch (const std::exception& e) {
    std::printf(" (emlbreaker plug-in %s not loaded)\n", plugin_path.c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "emlscan: %s\n", e.what());
    return 1;
  }
}

// The command line's first word that is no option nor an option's value:
// the command the user meant, "" when none.
std::string CommandWord(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-c" || arg == "--config" || arg == "--plugin" || arg == "--set") {
      ++i;  // its value
    } else if (arg.empty() || arg[0] != '-') {
      return arg;
    }
  }
  return "";
}

constexpr const char kCommands[] = "check, filter, milter, dump, lint, info, config, urldb, train-layout, learn";

constexpr const char kExitStatuses[] =
    "Exit status:\n"
    "  0    every mail was checked or dumped (filter: the mail was written)\n"
    "  1    some mails could not be read (check, dump), rule files have errors (lint),\n"
    "       the plug-in did not load (--version); filter --exit-code: spam;\n"
    "       urldb: lines refused (build), a removal an update cannot hold (diff),\n"
    "       no URL listed (test)\n"
    "  2    a usage, settings, plug-in or library error, a file urldb could not read\n"
    "       or write; filter --exit-code: phishing\n"
    "  75   filter: the mail could not be written, or emlscan could not start\n"
    "  130  stopped by SIGINT (Ctrl-C), 143 by SIGTERM: the mails under way were\n"
    "       finished and the summary printed";

}  // namespace
}  // namespace emlscan

int main(int argc, char** argv) {
  using namespace emlscan;
  // A dump of a folder writes megabytes; stdio's 4 KiB buffer made that one
  // system call per 4 KiB. A terminal keeps its line buffering.
  static char out_buffer[1 << 16];
  if (!isatty(fileno(stdout))) std::setvbuf(stdout, out_buffer, _IOFBF, sizeof(out_buffer));
  // GLib 2.74's slice allocator (GMime's objects come from it) shares its
  // magazines between threads under a lock: with -j 2 it took 6% of the run
  // and held the two workers to 1.3x of one. Plain malloc (our jemalloc) lets
  // them reach about 1.45x and costs one thread nothing; GLib 2.76 dropped the
  // slice allocator for malloc anyway. Set before the plug-in loads GLib,
  // which reads it once; a value the user set is kept.
  setenv("G_SLICE", "always-malloc", 0);
  Options options;
  options.config_file = DefaultConfigPath();
  options.plugin_path = DefaultPluginPath();

  CLI::App app{"emlscan: load the mail breaker plug-in as a framework host does and scan mails"};
  // One command, or none with --version; checked after the parse.
  app.require_subcommand(0, 1);
  app.footer(kExitStatuses);
  bool version = false;
  app.add_flag("--version", version, "print emlscan's and the plug-in's versions");
  app.add_option("-c,--config", options.config_file, "settings file (TOML)")
      ->default_str(options.config_file);
  app.add_option("--plugin", options.plugin_path, "the plug-in shared object")
      ->default_str(options.plugin_path);
  app.add_option("--set", options.overrides,
                 "override one setting, e.g. --set /eml/global/AggressivityLevel=5");
  CLI::App* info = app.add_subcommand("info", "show the plug-in, its modules and the settings");
  CLI::App* dump = app.add_subcommand(
      "dump", "break mails and show their headers and MIME parts (files or folders)");
  dump->add_option("mails", options.mails, "mail files or folders of mails")->required();
  dump->add_flag("--json", options.json, "one JSON document per mail, one per line");
  dump->add_option("-j,--jobs", options.jobs, "worker threads")->check(CLI::Range(1, 256));
  dump->add_flag("-q,--quiet", options.quiet, "no summary line at the end");
  dump->add_option("--stage", options.stage,
                   "break only up to this stage, through its virtual breaker")
      ->check(CLI::IsMember({"headers", "parts", "text", "html", "all"}))
      ->default_str("all");
  CheckOptions check_options;
  CLI::App* check = app.add_subcommand(
      "check", "judge mails with the rules as a filter does: one verdict per mail");
  check->add_option("mails", check_options.mails, "mail files or folders of mails")->required();
  check->add_flag("--json", check_options.json,
                  "one JSON object per mail and line: file, verdict, score, category, hit_rules");
  check->add_option("-j,--jobs", check_options.jobs, "worker threads")->check(CLI::Range(1, 256));
  check->add_flag("-q,--quiet", check_options.quiet, "no summary line and no progress");
  CLI::App* filter = app.add_subcommand(
      "filter",
      "judge one mail and write it out with the verdict headers and subject tag.\n"
      "Exit status: 0 the mail was written (filtered, or unchanged when it could not be\n"
      "judged), 75 it could not be written (a mail system should retry); with\n"
      "--exit-code 1 for spam and 2 for phishing instead of 0");
  filter->add_option("mail", check_options.mails,
                     "the mail file (default: standard input); with --in-place, the files");
  filter->add_option("-o,--output", check_options.output, "write here instead of standard output");
  filter->add_flag("--in-place", check_options.in_place,
                   "rewrite each file given: a temporary file beside it, synced, renamed over it");
  filter->add_flag("--exit-code", check_options.exit_code, "exit 1 for spam, 2 for phishing");
  filter->add_flag("-q,--quiet", check_options.quiet, "no line per file with --in-place");
  LintCommand lint(app, options.config_file, options.plugin_path, options.overrides);
  UrlDbCommand urldb(app);
  TrainLayoutCommand train_layout(app, options.config_file, options.plugin_path,
                                  options.overrides);
  LearnCommand learn(app, options.config_file, options.plugin_path, options.overrides);
  MilterOptions milter_options;
  CLI::App* milter = app.add_subcommand(
      "milter",
      "run as a mail server's milter (libmilter) in the foreground until SIGTERM or SIGINT;\n"
      "SIGHUP reloads the settings and rules, SIGUSR1 writes the statistics");
  milter->add_option("--socket", milter_options.socket,
                     "where to listen (unix:PATH, inet:PORT@ADDRESS); default "
                     "/emlscan/milter/Socket");
  bool foreground = true;
  milter->add_flag("--foreground", foreground, "run in the foreground (the only mode)");
  CLI::App* config_command =
      app.add_subcommand("config", "show the effective settings and where each came from");
  // Usage errors exit 2, as command-line tools do (CLI11's own codes are
  // 100 and more); filter's are 75, so that a mail system retries rather
  // than bounces a mail because of its filter's command line.
  const std::string command = CommandWord(argc, argv);
  const int usage_status = command == "filter" ? kFilterTempFail : 2;
  if (!command.empty() && app.get_subcommands([&](CLI::App* sub) {
                              return sub->check_name(command);
                            }).empty()) {
    std::fprintf(stderr, "emlscan: unknown command '%s'; commands: %s\n", command.c_str(),
                 kCommands);
    return 2;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int shown = app.exit(e);  // prints the help, or the error with a hint
    return shown == 0 ? 0 : usage_status;
  }
  if (version) return PrintVersion(options.plugin_path);
  if (app.get_subcommands().empty()) {
    std::fprintf(stderr, "emlscan: a command is required; commands: %s\nRun with --help for more information.\n",
                 kCommands);
    return 2;
  }
  // urldb reads and writes its own files only: no settings to check.
  if (urldb.Selected()) return urldb.Run(std::cout, std::cerr);
  check_options.config_file = options.config_file;
  check_options.plugin_path = options.plugin_path;
  check_options.overrides = options.overrides;
  if (*filter && !check_options.in_place && check_options.mails.size() > 1) {
    std::fprintf(stderr, "emlscan: filter takes one mail (or --in-place FILE...)\n");
    return kFilterTempFail;
  }

  // Settings are checked before any command runs: every problem is named.
  if (const std::vector<std::string> problems =
          CheckHostConfig(options.config_file, options.overrides, options.plugin_path);
      !problems.empty()) {
    for (const std::string& problem : problems)
      std::fprintf(stderr, "emlscan: %s\n", problem.c_str());
    return *filter ? kFilterTempFail : 2;
  }

  // SIGINT and SIGTERM stop a run between mails: the current ones end (their
  // body folders go), the summary is printed, and the status is 128 + the
  // signal. One mail filtered to standard output or -o keeps the default.
  const bool stoppable =
      *dump || *check || (*filter && check_options.in_place) || learn.Selected();
  if (stoppable) StopOnSignals();
  auto finished = [](int status) { return StopRequested() ? 128 + StopRequested() : status; };
  try {
    if (*info) return RunInfo(options);
    if (*dump) return finished(RunDump(options));
    if (*check) return finished(RunCheck(check_options));
    if (*filter) return finished(RunFilter(check_options));
    if (*milter) {
      milter_options.config_file = options.config_file;
      milter_options.plugin_path = options.plugin_path;
      milter_options.overrides = options.overrides;
      return RunMilter(milter_options);
    }
    if (lint.Selected()) return lint.Run();
    if (train_layout.Selected()) return train_layout.Run();
    if (learn.Selected()) return finished(learn.Run());
    if (*config_command) {
      std::fputs(DescribeSettings(LoadConfig(options, options.plugin_path)).c_str(), stdout);
      return 0;
    }
  } catch (const ASException& e) {
    std::fprintf(stderr, "emlscan: %s (code %d)\n", e.what(), e.GetErrorCode());
    return *filter ? kFilterTempFail : 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "emlscan: %s\n", e.what());
    return *filter ? kFilterTempFail : 2;
  }
  return 0;
}
