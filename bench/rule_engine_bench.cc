// Load time of the rule engine: parse and initialise generated rule sets of 10,000 and
// 20,000 rules (simple rules with exact and regex matches, meta-rules over earlier rules),
// as the breaker loads its rule folder, plus the per-mail copy of the rule states.
// usage: rule_engine_bench PATMATCH_DIR [RULES...]
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

#include "engines/eml_context.h"
#include "engines/engines_interface.h"

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

// The best of five loads, in seconds: the first pays for faulting the heap in.
double TimeLoad(const fs::path& dir, const char* patmatch_dir, int expected) {
  double best = 1e9;
  for (int run = 0; run < 5; ++run) {
    CEnginesInterface engines;
    engines.SetupRxLibHandle(patmatch_dir);
    const auto start = std::chrono::steady_clock::now();
    engines.SetupASSLEngine(dir.c_str(), false);
    best = std::min(best, Seconds(std::chrono::steady_clock::now() - start));
    const uint32_t loaded = engines.GetASSLEngine()->GetRuleCount();
    if (static_cast<int>(loaded) != expected) {
      std::fprintf(stderr, "loaded %u rules of %d\n", loaded, expected);
      std::exit(1);
    }
    if (run == 0) {
      CEmlContextInterface context;
      const auto copy_start = std::chrono::steady_clock::now();
      constexpr int kMails = 100;
      for (int mail = 0; mail < kMails; ++mail) {
        context.SetRuleStates(engines.GetASSLEngine()->GetStateTemplates());
      }
      std::printf("  per-mail rule-state copy: %.1f us\n",
                  Seconds(std::chrono::steady_clock::now() - copy_start) / kMails * 1e6);
    }
  }
  return best;
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
  std::vector<double> times;
  for (int count : sizes) {
    const fs::path dir = fs::temp_directory_path() /
                         ("rule_engine_bench_" + std::to_string(getpid()) + "_" + std::to_string(count));
    fs::create_directories(dir);
    Generate(dir, count);
    std::printf("%d rules:\n", count);
    const double seconds = TimeLoad(dir, argv[1], count);
    std::printf("  parse + init: %.3f s (%.1f us per rule)\n", seconds, seconds / count * 1e6);
    times.push_back(seconds);
    fs::remove_all(dir);
  }
  if (times.size() >= 2) {
    std::printf("ratio %d/%d: %.2f\n", sizes[1], sizes[0], times[1] / times[0]);
  }
  return 0;
}
