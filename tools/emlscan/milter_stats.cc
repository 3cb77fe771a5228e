#include "tools/emlscan/milter_stats.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace emlscan {
namespace {

double Percentile(const std::vector<double>& sorted, double fraction) {
  if (sorted.empty()) return 0;
  const size_t at = static_cast<size_t>(fraction * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[std::min(at, sorted.size() - 1)];
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

}  // namespace

void MilterStats::Judged(VerdictKind kind, double milliseconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (kind != VerdictKind::kError) ++verdicts_[static_cast<int>(kind)];
  ++checks_;
  total_ms_ += milliseconds;
  // Past the cap, every n-th time replaces a random-enough slot, so a long
  // busy interval is still sampled throughout.
  ++seen_;
  if (samples_.size() < kMaxSamples) {
    samples_.push_back(milliseconds);
  } else {
    samples_[(seen_ * 2654435761u) % kMaxSamples] = milliseconds;
  }
}

void MilterStats::Skipped(Unchecked why) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++unchecked_[static_cast<int>(why)];
}

void MilterStats::Error() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++errors_;
}

void MilterStats::Rejected() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++rejects_;
}

void MilterStats::Quarantined() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++quarantined_;
}

std::string MilterStats::Report() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<double> sorted;
  sorted.swap(samples_);
  std::sort(sorted.begin(), sorted.end());
  last_[0] = Percentile(sorted, 0.50);
  last_[1] = Percentile(sorted, 0.90);
  last_[2] = Percentile(sorted, 0.99);
  last_[3] = sorted.empty() ? 0 : sorted.back();
  last_count_ = seen_;
  seen_ = 0;
  char line[512];
  std::snprintf(line, sizeof line,
                "stats: legitimate=%llu spam=%llu phishing=%llu unchecked_size=%llu "
                "unchecked_time=%llu unchecked_busy=%llu errors=%llu rejects=%llu "
                "quarantined=%llu; last interval: %zu checks, p50=%.1fms p90=%.1fms "
                "p99=%.1fms max=%.1fms",
                static_cast<unsigned long long>(verdicts_[0]),
                static_cast<unsigned long long>(verdicts_[1]),
                static_cast<unsigned long long>(verdicts_[2]),
                static_cast<unsigned long long>(unchecked_[0]),
                static_cast<unsigned long long>(unchecked_[1]),
                static_cast<unsigned long long>(unchecked_[2]),
                static_cast<unsigned long long>(errors_), static_cast<unsigned long long>(rejects_),
                static_cast<unsigned long long>(quarantined_), last_count_, last_[0], last_[1],
                last_[2], last_[3]);
  return line;
}

std::string MilterStats::Prometheus() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string out;
  auto counter = [&](const char* name, const char* help) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " counter\n";
  };
  counter("emlscan_milter_messages_total", "Messages checked, by verdict.");
  const char* kinds[] = {"legitimate", "spam", "phishing"};
  for (int i = 0; i < 3; ++i) {
    out += std::string("emlscan_milter_messages_total{verdict=\"") + kinds[i] + "\"} " +
           std::to_string(verdicts_[i]) + "\n";
  }
  counter("emlscan_milter_unchecked_total", "Messages accepted unchecked, by reason.");
  const char* reasons[] = {"size", "time", "busy"};
  for (int i = 0; i < 3; ++i) {
    out += std::string("emlscan_milter_unchecked_total{reason=\"") + reasons[i] + "\"} " +
           std::to_string(unchecked_[i]) + "\n";
  }
  counter("emlscan_milter_errors_total", "Messages that could not be checked.");
  out += "emlscan_milter_errors_total " + std::to_string(errors_) + "\n";
  counter("emlscan_milter_rejects_total", "Messages rejected.");
  out += "emlscan_milter_rejects_total " + std::to_string(rejects_) + "\n";
  counter("emlscan_milter_quarantined_total", "Messages quarantined.");
  out += "emlscan_milter_quarantined_total " + std::to_string(quarantined_) + "\n";
  out += "# HELP emlscan_milter_check_seconds Time a check took; quantiles of the last "
         "interval.\n# TYPE emlscan_milter_check_seconds summary\n";
  const char* quantiles[] = {"0.5", "0.9", "0.99"};
  for (int i = 0; i < 3; ++i) {
    out += std::string("emlscan_milter_check_seconds{quantile=\"") + quantiles[i] + "\"} " +
           Number(last_[i] / 1000) + "\n";
  }
  out += "emlscan_milter_check_seconds_sum " + Number(total_ms_ / 1000) + "\n";
  out += "emlscan_milter_check_seconds_count " + std::to_string(checks_) + "\n";
  out += "# HELP emlscan_milter_check_seconds_max The longest check of the last interval.\n"
         "# TYPE emlscan_milter_check_seconds_max gauge\n";
  out += "emlscan_milter_check_seconds_max " + Number(last_[3] / 1000) + "\n";
  return out;
}

std::string WriteAtomically(const std::string& path, const std::string& text) {
  std::string temp = path + ".tmp-XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return "cannot create " + temp + ": " + std::strerror(errno);
  size_t done = 0;
  bool ok = true;
  while (ok && done < text.size()) {
    const ssize_t put = write(fd, text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR) continue;
    ok = put > 0;
    if (ok) done += static_cast<size_t>(put);
  }
  const int saved = errno;
  // Readable by a collector running as another user, as a metrics file is.
  ok = ok && fchmod(fd, 0644) == 0;
  if (close(fd) != 0) ok = false;
  if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
    const std::string reason = std::strerror(ok ? errno : saved);
    unlink(temp.c_str());
    return "cannot write " + path + ": " + reason;
  }
  return "";
}

}  // namespace emlscan
