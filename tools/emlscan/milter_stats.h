// The milter's counters and check times: what it did since it started, and
// how long the checks of the last interval took. Any thread records; the
// signal thread reports at StatsInterval and on SIGUSR1.
#ifndef TOOLS_EMLSCAN_MILTER_STATS_H_
#define TOOLS_EMLSCAN_MILTER_STATS_H_

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "tools/emlscan/verdict.h"

namespace emlscan {

class MilterStats {
 public:
  enum class Unchecked { kSize, kTime, kBusy };

  void Judged(VerdictKind kind, double milliseconds);
  void Skipped(Unchecked why);
  void Error();
  void Rejected();
  void Quarantined();

  // One line for the log: the counters since start and the check times of
  // the interval since the last Report, which then starts a new interval.
  std::string Report();
  // The counters and the last interval's check times in Prometheus text
  // format (the same interval Report last closed).
  std::string Prometheus() const;

 private:
  // Percentiles over at most this many check times an interval: enough for
  // a p99 that means something, bounded however busy the server.
  static constexpr size_t kMaxSamples = 100000;

  mutable std::mutex mutex_;
  uint64_t verdicts_[3] = {};  // legitimate, spam, phishing
  uint64_t unchecked_[3] = {};
  uint64_t errors_ = 0;
  uint64_t rejects_ = 0;
  uint64_t quarantined_ = 0;
  uint64_t checks_ = 0;
  double total_ms_ = 0;
  std::vector<double> samples_;  // this interval's check times, ms
  size_t seen_ = 0;              // checks this interval, sampled or not
  // The last closed interval: p50, p90, p99, max in ms.
  double last_[4] = {};
  size_t last_count_ = 0;
};

// Writes `text` to `path` through a temporary file beside it and a rename,
// so a reader never sees half of it. Returns "" or why it failed.
std::string WriteAtomically(const std::string& path, const std::string& text);

}  // namespace emlscan

#endif  // TOOLS_EMLSCAN_MILTER_STATS_H_
