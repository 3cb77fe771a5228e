// Load time of the rule engine: parse and initialise generated rule sets of 10,000 and
// 20,000 rules (simple rules with exact and regex matches, meta-rules over earlier rules),
// as the breaker loads its rule folder, plus the per-mail copy of the rule states.
// usage: rule_engine_bench PATMATCH_DIR [RULES...]
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "rules/eml_context.h"
#include "rules/engines_interface.h"

namespace {

namespace fs = std::filesystem;
constexpr int kFiles = 8;

// Writes count rules over kFiles files into dir: 70% simple rules (one in seven of them a
// regex), 30% meta-rules naming two to four earlier rules, some of them meta-rules too.
void Generate(const fs::path& dir, int count) {
  std::mt19937 random(count);
  std::vector<std::ofstream> files;
  for (int f = 0; f < kFiles; ++f) files.emplace_back(dir / ("gen" + std::to_string(f) + ".slf"));
  const char* const kWhere[] = {"Headers::\"SUBJECT\"", "Headers::ALL", "Parts::Text", "Urls::ALL"};
  const char* const kOperators[] = {" || ", " && ", " ||| ", " == "};
  for (int i = 0; i < count; ++i) {
    std::ofstream& out = files[i % kFiles];
    const std::string name = "R" + std::to_string(i);
    if (i < 100 || random() % 10 < 7) {
      const bool is_regex = random() % 7 == 0;
      out << "/* simple rule " << i << " */\nrule " << name << " {\n  condition: match(\""
          << (is_regex ? "w[o0]rd" : "word") << i << (is_regex ? "\\d+" : "") << "\", "
          << kWhere[random() % 4] << ", " << (is_regex ? "REGEX_INSENSITIVE" : "EXACT_INSENSITIVE")
          << ");\n  actions: increase_score(SCORE, " << random() % 30
          << ");\n  metadata: relevance = " << random() % 50 << "; comment = \"generated\";\n}\n";
    } else {
      out << "metarule " << name << " {\n  condition: ";
      const int operands = 2 + static_cast<int>(random() % 3);
      for (int k = 0; k < operands; ++k) {
        if (k > 0) out << kOperators[random() % 4];
        if (random() % 4 == 0) out << "!";
        out << "R" << random() % i;
      }
      out << ";\n  actions: set_category(\"spam\");\n  metadata: priority = " << random() % 100
          << ";\n}\n";
    }
  }
}

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// One load of dir, in seconds; the first load of a size also reports the per-mail copy
// of the rule states.
double TimeLoad(const fs::path& dir, const char* patmatch_dir, int expected, bool first) {
  CEnginesInterface engines;
  engines.SetupRxLibHandle(patmatch_dir);
  const auto start = std::chrono::steady_clock::now();
  engines.SetupASSLEngine(dir.c_str(), false);
  const double seconds = Seconds(std::chrono::steady_clock::now() - start);
  const uint32_t loaded = engines.GetASSLEngine()->GetRuleCount();
  if (static_cast<int>(loaded) != expected) {
    std::fprintf(stderr, "loaded %u rules of %d\n", loaded, expected);
    std::exit(1);
  }
  if (first) {
    CEmlContextInterface context;
    const auto copy_start = std::chrono::steady_clock::now();
    constexpr int kMails = 100;
    for (int mail = 0; mail < kMails; ++mail) {
      context.SetRuleStates(engines.GetASSLEngine()->GetStateTemplates());
    }
    std::printf("%d rules: per-mail rule-state copy: %.1f us\n", expected,
                Seconds(std::chrono::steady_clock::now() - copy_start) / kMails * 1e6);
  }
  return seconds;
}

// TimeLoad in a child process, as a host loads its rules once at start: every load
// meets a fresh heap instead of the one the loads before it left behind.
double TimeLoadInChild(const fs::path& dir, const char* patmatch_dir, int expected, bool first) {
  std::fflush(stdout);
  int channel[2];
  if (pipe(channel) != 0) {
    std::perror("pipe");
    std::exit(1);
  }
  const pid_t child = fork();
  if (child < 0) {
    std::perror("fork");
    std::exit(1);
  }
  if (child == 0) {
    close(channel[0]);
    const double seconds = TimeLoad(dir, patmatch_dir, expected, first);
    std::fflush(stdout);
    const bool sent = write(channel[1], &seconds, sizeof(seconds)) == sizeof(seconds);
    _exit(sent ? 0 : 1);
  }
  close(channel[1]);
  double seconds = 0;
  const bool received = read(channel[0], &seconds, sizeof(seconds)) == sizeof(seconds);
  close(channel[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!received || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "a load of %d rules failed\n", expected);
    std::exit(1);
  }
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
#ifndef NDEBUG
  std::fprintf(stderr, "warning: built without optimisation; timings are not meaningful\n");
#endif
  if (argc < 2) {
    std::fprintf(stderr, "usage: rule_engine_bench PATMATCH_DIR [RULES...]\n");
    return 2;
  }
  std::vector<int> sizes;
  for (int i = 2; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
  if (sizes.empty()) sizes = {10000, 20000};
  std::vector<fs::path> dirs;
  for (int count : sizes) {
    dirs.push_back(fs::temp_directory_path() /
                   ("rule_engine_bench_" + std::to_string(getpid()) + "_" + std::to_string(count)));
    fs::create_directories(dirs.back());
    Generate(dirs.back(), count);
  }
  // The sizes take turns, nine rounds by default, and each keeps its best load: the machine's
  // speed drifts within seconds, and timing one size after the other let a slow spell land
  // on one side of the ratio only. BENCH_ROUNDS overrides the count.
  int rounds = 9;
  if (const char* given = std::getenv("BENCH_ROUNDS")) rounds = std::max(1, std::atoi(given));
  std::vector<double> times(sizes.size(), 1e9);
  for (int round = 0; round < rounds; ++round) {
    for (size_t i = 0; i < sizes.size(); ++i)
      times[i] = std::min(times[i], TimeLoadInChild(dirs[i], argv[1], sizes[i], round == 0));
  }
  for (size_t i = 0; i < sizes.size(); ++i) {
    std::printf("%d rules: parse + init: %.3f s (%.1f us per rule)\n", sizes[i], times[i],
                times[i] / sizes[i] * 1e6);
    fs::remove_all(dirs[i]);
  }
  if (times.size() >= 2) {
    std::printf("ratio %d/%d: %.2f\n", sizes[1], sizes[0], times[1] / times[0]);
  }
  return 0;
}
