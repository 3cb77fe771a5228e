#include "tools/emlscan/train_layout.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <thread>

#include <CLI/CLI.hpp>

#include "common/binary_streamer.h"
#include "emlbreaker/broken_mail.h"
#include "emlbreaker/exceptions.h"
#include "engines/graphical_analyzer.h"
#include "engines/knn_engine.h"
#include "tools/emlscan/config.h"
#include "tools/emlscan/scanner.h"

namespace emlscan {
namespace {

namespace fs = std::filesystem;

// A line of progress per this many mails broken.
constexpr size_t kProgressEvery = 200;
// A k-medoids run stops after this many rounds even if a medoid still moves.
constexpr int kMaxRounds = 50;
// What the centres' label says; the classifier stores it and reads nothing from it.
constexpr char kCentreLabel[] = "k-medoids";

struct Example {
  std::string name;  // the path below its category's folder
  std::unique_ptr<CGraphicalFeatureSet> features;
};

struct Category {
  std::string name;
  std::vector<Example> training;
  std::vector<Example> held_out;
  size_t failed = 0;
};

// Runs work(i) for every i below count on jobs threads.
template <class Work>
void Parallel(size_t count, int jobs, const Work& work) {
  std::atomic<size_t> next{0};
  auto run = [&] {
    for (size_t i = next++; i < count; i = next++) work(i);
  };
  std::vector<std::thread> threads;
  for (int t = 1; t < jobs; ++t) threads.emplace_back(run);
  run();
  for (std::thread& thread : threads) thread.join();
}

// The layout of one mail. A mail whose body breaks its declared charset is broken again
// without the stage that failed, then without both body stages, as check judges it, so
// that training sees the texts the rules see.
std::unique_ptr<CGraphicalFeatureSet> ReadLayout(Scanner& scanner,
                                                 const CGraphicalAnalyzer& analyzer,
                                                 const std::string& path) {
  std::vector<int32_t> skip;
  for (;;) {
    auto features = std::make_unique<CGraphicalFeatureSet>();
    try {
      scanner.Scan(path, [&](MailItem& item) {
        analyzer.Analyze(GetPartsTree(item.box), features.get());
      }, true, skip);
      return features;
    } catch (const BreakError& e) {
      if (!SkipFailedBodyStage(e, &skip)) throw;
    }
  }
}

// Breaks every mail of every category through the plug-in and reads its layout.
void ReadLayouts(Scanner& scanner, const TrainLayoutOptions& options,
                 std::vector<Category>* categories) {
  struct Job {
    size_t category;
    std::string path;
    std::string name;
    bool held_out;
  };
  std::vector<Job> jobs;
  for (size_t c = 0; c < options.categories.size(); ++c) {
    const std::string& folder = options.categories[c].second;
    std::vector<MailFile> files = CollectMailFiles({folder});
    const size_t every = options.holdout > 0 ? static_cast<size_t>(options.holdout) : 0;
    size_t index = 0;
    for (const MailFile& file : files) {
      const bool held = every > 0 && index % every == every - 1;
      ++index;
      jobs.push_back({c, file.path, fs::relative(file.path, folder).string(), held});
    }
  }
  const CGraphicalAnalyzer analyzer;
  std::vector<std::unique_ptr<CGraphicalFeatureSet>> layouts(jobs.size());
  std::vector<std::string> errors(jobs.size());
  std::atomic<size_t> done{0};
  Parallel(jobs.size(), options.jobs, [&](size_t i) {
    try {
      layouts[i] = ReadLayout(scanner, analyzer, jobs[i].path);
    } catch (const NotMailError&) {
      errors[i] = "";  // not mail: skipped silently, as check skips it
    } catch (const std::exception& e) {
      errors[i] = e.what();
    }
    const size_t finished = ++done;
    if (!options.quiet && finished % kProgressEvery == 0) {
      std::fprintf(stderr, "emlscan: train-layout: %zu of %zu mails read\n", finished,
                   jobs.size());
    }
  });
  for (size_t i = 0; i < jobs.size(); ++i) {
    Category& category = (*categories)[jobs[i].category];
    if (!layouts[i]) {
      if (!errors[i].empty()) {
        ++category.failed;
        if (!options.quiet) {
          std::fprintf(stderr, "emlscan: %s: skipped, %s\n", jobs[i].path.c_str(),
                       errors[i].c_str());
        }
      }
      continue;
    }
    Example example{jobs[i].name, std::move(layouts[i])};
    (jobs[i].held_out ? category.held_out : category.training).push_back(std::move(example));
  }
}

// The distances between every two examples, row by row (symmetric).
std::vector<float> DistanceMatrix(const std::vector<Example>& examples, int jobs) {
  const size_t n = examples.size();
  std::vector<std::unique_ptr<CGFCenter>> as_centres;
  for (const Example& example : examples) {
    as_centres.push_back(CGFCenter::FromFeatures(*example.features));
  }
  std::vector<float> matrix(n * n, 0);
  Parallel(n, jobs, [&](size_t i) {
    for (size_t j = i + 1; j < n; ++j) {
      matrix[i * n + j] = LayoutDistance(*examples[i].features, *as_centres[j]);
    }
  });
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < i; ++j) matrix[i * n + j] = matrix[j * n + i];
  }
  return matrix;
}

struct Clustering {
  std::vector<size_t> medoids;
  std::vector<size_t> owner;  // per example: the index into medoids
};

// Nearest medoid of every example; ties go to the earlier medoid.
void Assign(const std::vector<float>& d, size_t n, Clustering* c) {
  c->owner.assign(n, 0);
  for (size_t i = 0; i < n; ++i) {
    float best = std::numeric_limits<float>::infinity();
    for (size_t m = 0; m < c->medoids.size(); ++m) {
      if (d[i * n + c->medoids[m]] < best) {
        best = d[i * n + c->medoids[m]];
        c->owner[i] = m;
      }
    }
  }
}

// k-medoids: the greedy start of PAM (each new medoid the example that lowers the total
// distance most), then rounds of assigning every example to its nearest medoid and moving
// each medoid to the member nearest to all others, until nothing moves. Every choice
// breaks ties by the lower index, so the result depends on the data alone.
Clustering KMedoids(const std::vector<float>& d, size_t n, size_t k) {
  Clustering c;
  std::vector<float> nearest(n, std::numeric_limits<float>::infinity());
  std::vector<bool> chosen(n, false);
  for (size_t round = 0; round < k && round < n; ++round) {
    size_t best = n;
    double best_cost = std::numeric_limits<double>::infinity();
    for (size_t candidate = 0; candidate < n; ++candidate) {
      if (chosen[candidate]) continue;
      double cost = 0;
      for (size_t i = 0; i < n; ++i) cost += std::min(nearest[i], d[i * n + candidate]);
      if (cost < best_cost) {
        best_cost = cost;
        best = candidate;
      }
    }
    chosen[best] = true;
    c.medoids.push_back(best);
    for (size_t i = 0; i < n; ++i) nearest[i] = std::min(nearest[i], d[i * n + best]);
  }
  for (int round = 0; round < kMaxRounds; ++round) {
    Assign(d, n, &c);
    bool moved = false;
    for (size_t m = 0; m < c.medoids.size(); ++m) {
      size_t best = c.medoids[m];
      double best_cost = std::numeric_limits<double>::infinity();
      for (size_t candidate = 0; candidate < n; ++candidate) {
        if (c.owner[candidate] != m) continue;
        double cost = 0;
        for (size_t i = 0; i < n; ++i) {
          if (c.owner[i] == m) cost += d[i * n + candidate];
        }
        if (cost < best_cost) {
          best_cost = cost;
          best = candidate;
        }
      }
      if (best != c.medoids[m]) {
        c.medoids[m] = best;
        moved = true;
      }
    }
    if (!moved) break;
  }
  Assign(d, n, &c);
  return c;
}

// The centres of one category: one per cluster, with its members and their distances.
std::vector<std::unique_ptr<CGFCenter>> BuildCentres(const Category& category, size_t k,
                                                     int jobs) {
  const std::vector<Example>& examples = category.training;
  const size_t n = examples.size();
  const std::vector<float> d = DistanceMatrix(examples, jobs);
  const Clustering clustering = KMedoids(d, n, k);
  std::vector<std::unique_ptr<CGFCenter>> centres;
  for (size_t m = 0; m < clustering.medoids.size(); ++m) {
    const size_t medoid = clustering.medoids[m];
    std::unique_ptr<CGFCenter> centre = CGFCenter::FromFeatures(*examples[medoid].features);
    centre->name = category.name.c_str();
    centre->label = kCentreLabel;
    float farthest = 0;
    for (size_t i = 0; i < n; ++i) {
      if (clustering.owner[i] != m) continue;
      const float distance = d[i * n + medoid];
      centre->AddMember(examples[i].name.c_str(), distance);
      farthest = std::max(farthest, distance);
    }
    // The reader's radius is the mean of the member distances.
    float sum = 0;
    for (const float distance : centre->memberDistances) sum += distance;
    centre->radius = sum / static_cast<float>(centre->memberDistances.GetSize());
    centre->spread = farthest;
    centres.push_back(std::move(centre));
  }
  return centres;
}

// Drops the centres that take in training mails of other categories: more than
// max_foreign for each mail of their own they take in. Such a centre sits where the
// categories' layouts mix, and its answer would mislead.
void DropMixedCentres(const std::vector<Category>& categories, double max_foreign,
                      std::vector<std::unique_ptr<CGFCenter>>* centres, bool quiet) {
  std::vector<std::unique_ptr<CGFCenter>> kept;
  std::map<std::string, size_t> dropped;
  for (auto& centre : *centres) {
    size_t own = 0, foreign = 0;
    for (const Category& category : categories) {
      const bool same = category.name == centre->name.c_str();
      for (const Example& example : category.training) {
        float distance;
        if (LayoutDistanceWithin(*example.features, *centre, centre->radius, &distance)) {
          ++(same ? own : foreign);
        }
      }
    }
    if (static_cast<double>(foreign) > max_foreign * static_cast<double>(own)) {
      ++dropped[centre->name.c_str()];
    } else {
      kept.push_back(std::move(centre));
    }
  }
  if (!quiet) {
    for (const auto& [name, count] : dropped) {
      std::fprintf(stderr, "emlscan: train-layout: %s: %zu centres dropped, taking in other "
                   "categories' mails\n", name.c_str(), count);
    }
  }
  *centres = std::move(kept);
}

// How many centres each category gets: about one per mails_per_centre training mails,
// and together fewer than the file may hold, shared by the categories' sizes.
std::vector<size_t> CentreCounts(const std::vector<Category>& categories, int mails_per_centre) {
  size_t total = 0;
  for (const Category& category : categories) total += category.training.size();
  const size_t budget = kMaxKnnCentres - 1;
  std::vector<size_t> counts;
  for (const Category& category : categories) {
    const size_t n = category.training.size();
    const size_t wanted = (n + mails_per_centre - 1) / mails_per_centre;
    const size_t share = total > 0 ? std::max<size_t>(1, budget * n / total) : 1;
    counts.push_back(std::min({wanted, share, n}));
  }
  return counts;
}

// Classifies the held-out mails with the centres file as the classifier reads it and
// prints, per category, how many answers named exactly that category, exactly another
// one, several, or none.
void ReportHeldOut(const std::vector<Category>& categories, const std::string& file) {
  CKnnClassifier classifier;
  ascommon::CBinaryStreamer reader(ascommon::usstring::FromUtf8(file),
                                   ascommon::IStreamer::kReadMode, u".");
  classifier.Load(reader);
  reader.Close();
  std::fprintf(stderr, "emlscan: held-out mails, by the classifier's whole answer:\n");
  std::fprintf(stderr, "  %-12s %6s", "category", "mails");
  for (const Category& answer : categories) std::fprintf(stderr, " %8s", answer.name.c_str());
  std::fprintf(stderr, " %8s %8s\n", "several", "none");
  for (const Category& category : categories) {
    std::map<std::string, size_t> answers;
    for (const Example& example : category.held_out) {
      ++answers[classifier.Classify(*example.features).c_str()];
    }
    size_t named = 0;
    std::fprintf(stderr, "  %-12s %6zu", category.name.c_str(), category.held_out.size());
    for (const Category& answer : categories) {
      std::fprintf(stderr, " %8zu", answers[answer.name]);
      named += answers[answer.name];
    }
    const size_t none = answers[""];
    std::fprintf(stderr, " %8zu %8zu\n", category.held_out.size() - named - none, none);
  }
}

}  // namespace

TrainLayoutCommand::TrainLayoutCommand(CLI::App& app, const std::string& config_file,
                                       const std::string& plugin_path,
                                       const std::vector<std::string>& overrides)
    : command_(app.add_subcommand(
          "train-layout",
          "build the layout classifier's centres file (as2graph.dat) from labelled mail")),
      config_file_(config_file),
      plugin_path_(plugin_path),
      overrides_(overrides) {
  command_->add_option("--ham", ham_, "folder of legitimate mail (category \"ham\")")
      ->required();
  command_->add_option("--spam", spam_, "folder of spam (category \"spam\")")->required();
  command_->add_option("--category", extra_, "another category: NAME FOLDER")
      ->type_size(2)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  command_->add_option("-o,--output", options_.output, "the centres file to write")->required();
  command_->add_option("--holdout", options_.holdout,
                       "keep every Nth mail of each category out of training and report how "
                       "it is classified (0: none)")
      ->check(CLI::Range(0, 1000));
  command_->add_option("--mails-per-centre", options_.mails_per_centre,
                       "training mails per planned cluster")
      ->check(CLI::Range(1, 100000))
      ->default_str("4");
  command_->add_option("--max-foreign", options_.max_foreign,
                       "drop a centre that takes in more than this many training mails of other "
                       "categories per mail of its own (negative: keep all)")
      ->default_str("0");
  command_->add_option("-j,--jobs", options_.jobs, "worker threads")->check(CLI::Range(1, 256));
  command_->add_flag("-q,--quiet", options_.quiet, "no progress, skipped mails or summary");
}

bool TrainLayoutCommand::Selected() const { return command_->parsed(); }

int TrainLayoutCommand::Run() {
  options_.categories = {{"ham", ham_}, {"spam", spam_}};
  for (size_t i = 0; i + 1 < extra_.size(); i += 2) {
    options_.categories.emplace_back(extra_[i], extra_[i + 1]);
  }
  for (const auto& [name, folder] : options_.categories) {
    if (!fs::is_directory(folder)) {
      std::fprintf(stderr, "emlscan: train-layout: %s: no such folder (category %s)\n",
                   folder.c_str(), name.c_str());
      return 2;
    }
  }
  Config config = LoadHostConfig(config_file_, overrides_, plugin_path_);
  Scanner scanner(plugin_path_, config);
  std::vector<Category> categories(options_.categories.size());
  for (size_t c = 0; c < categories.size(); ++c) categories[c].name = options_.categories[c].first;
  ReadLayouts(scanner, options_, &categories);

  int status = 0;
  const std::vector<size_t> counts = CentreCounts(categories, options_.mails_per_centre);
  std::vector<std::unique_ptr<CGFCenter>> centres;
  for (size_t c = 0; c < categories.size(); ++c) {
    if (categories[c].training.empty()) {
      std::fprintf(stderr, "emlscan: train-layout: category %s has no mail to train on\n",
                   categories[c].name.c_str());
      status = 1;
      continue;
    }
    std::vector<std::unique_ptr<CGFCenter>> built =
        BuildCentres(categories[c], counts[c], options_.jobs);
    if (!options_.quiet) {
      std::fprintf(stderr, "emlscan: train-layout: %s: %zu mails, %zu centres (%zu unreadable)\n",
                   categories[c].name.c_str(), categories[c].training.size(), built.size(),
                   categories[c].failed);
    }
    for (auto& centre : built) centres.push_back(std::move(centre));
  }
  if (options_.max_foreign >= 0) DropMixedCentres(categories, options_.max_foreign, &centres, options_.quiet);
  std::vector<const CGFCenter*> written;
  for (const auto& centre : centres) written.push_back(centre.get());
  WriteCentresFile(options_.output.c_str(), written);
  if (!options_.quiet) {
    std::fprintf(stderr, "emlscan: train-layout: %zu centres written to %s\n", written.size(),
                 options_.output.c_str());
    if (options_.holdout > 0) ReportHeldOut(categories, options_.output);
  }
  return status;
}

}  // namespace emlscan
