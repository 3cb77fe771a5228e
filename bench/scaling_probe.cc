// How far this machine lets two workers scale, before any mail is parsed:
//   bin/scaling_probe [MAIL_FILE] [ROUNDS]
// Each kind of work runs alone, then twice at once, as two threads of one
// process and as two processes; each figure is the best of ROUNDS rounds taken
// in turn. The kinds:
//   cpu        arithmetic and stores into a 1 MiB table (no system calls);
//   mail calls the file calls emlscan makes for a single-part mail: open, fstat,
//              read and close the mail; write the body file; open, fstat, read
//              and close it again; empty it;
//   open+close the open and close of the mail alone.
// A host that breaks mails on threads scales no better than its mail calls'
// thread figure for the share of time they take; emlscan_bench.sh prints these
// lines after its own -j 2 figure.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "body_store.h"

namespace {

using Clock = std::chrono::steady_clock;

enum class Kind { kCpu, kMailCalls, kOpenClose };

volatile unsigned sink;

// Says which file a call failed on; the probe then stops.
bool Fail(const std::string& path) {
  std::fprintf(stderr, "scaling_probe: %s: %s\n", path.c_str(), std::strerror(errno));
  return false;
}

// The body file's share of a mail: the packer writes it, the breaker opens,
// sizes and reads it, the packer empties it at the mail's end.
bool BodyCalls(int body_fd, const std::string& body, std::vector<char>* buffer) {
  const size_t part = std::min<size_t>(1024, buffer->size());
  if (pwrite(body_fd, buffer->data(), part, 0) != static_cast<ssize_t>(part)) return false;
  const int fd = open(body.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat status;
  const bool read_back =
      fstat(fd, &status) == 0 && read(fd, buffer->data(), part) == static_cast<ssize_t>(part);
  close(fd);
  return read_back && ftruncate(body_fd, 0) == 0;
}

// One worker's loop; false when a file call failed.
bool Work(Kind kind, const char* mail, int worker, long loops) {
  if (kind == Kind::kCpu) {
    static thread_local unsigned char table[1 << 20];
    unsigned x = 1 + worker;
    for (long i = 0; i < loops * 64; ++i) {
      x = x * 1664525u + 1013904223u;
      table[(x >> 12) & (sizeof table - 1)] += 1;
    }
    sink = sink + table[x & (sizeof table - 1)];  // keeps the loop
    return true;
  }
  std::vector<char> buffer(1 << 20);
  const std::string body = msgcodec::DefaultBodyBase() + "/scaling-probe-" +
                           std::to_string(getpid()) + "-" + std::to_string(worker);
  const int body_fd = open(body.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (body_fd < 0) return Fail(body);
  bool ok = true;
  for (long i = 0; i < loops && ok; ++i) {
    const int fd = open(mail, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      ok = Fail(mail);
      break;
    }
    if (kind == Kind::kOpenClose) {
      close(fd);
      continue;
    }
    struct stat status;
    ok = fstat(fd, &status) == 0 && read(fd, buffer.data(), buffer.size()) >= 0;
    close(fd);
    if (!ok) Fail(mail);
    ok = ok && (BodyCalls(body_fd, body, &buffer) || Fail(body));
  }
  close(body_fd);
  unlink(body.c_str());
  return ok;
}

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// Work per second of `workers` workers, as threads or as forked processes.
double Rate(Kind kind, const char* mail, int workers, bool processes, long loops) {
  const Clock::time_point start = Clock::now();
  bool ok = true;
  if (processes) {
    std::vector<pid_t> children;
    for (int w = 0; w < workers; ++w) {
      const pid_t child = fork();
      if (child == 0) _exit(Work(kind, mail, w, loops) ? 0 : 1);
      if (child < 0)
        ok = false;
      else
        children.push_back(child);
    }
    for (pid_t child : children) {
      int status = 0;
      ok = waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
           ok;
    }
  } else {
    std::vector<std::thread> threads;
    std::vector<char> results(workers, 0);
    for (int w = 0; w < workers; ++w)
      threads.emplace_back([&, w] { results[w] = Work(kind, mail, w, loops); });
    for (auto& thread : threads) thread.join();
    ok = std::all_of(results.begin(), results.end(), [](char r) { return r != 0; });
  }
  const double seconds = Seconds(start);
  if (!ok) std::exit(1);
  return workers * loops / seconds;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    std::printf(
        "usage: scaling_probe [MAIL_FILE] [ROUNDS]\n"
        "Two-worker scaling of CPU work and of one mail's file calls,\n"
        "as threads of one process and as two processes.\n");
    return 0;
  }
  const char* mail = argc > 1 ? argv[1] : "/etc/hostname";
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  struct Probe {
    const char* name;
    Kind kind;
    long loops;
  } probes[] = {{"cpu", Kind::kCpu, 1000000},
                {"mail calls", Kind::kMailCalls, 20000},
                {"open+close", Kind::kOpenClose, 60000}};
  for (const Probe& probe : probes) {
    double one = 0, threads = 0, processes = 0;
    for (int r = 0; r < rounds; ++r) {
      one = std::max(one, Rate(probe.kind, mail, 1, false, probe.loops));
      threads = std::max(threads, Rate(probe.kind, mail, 2, false, probe.loops));
      processes = std::max(processes, Rate(probe.kind, mail, 2, true, probe.loops));
    }
    std::printf("%-11s two threads %.2fx of one, two processes %.2fx of one\n", probe.name,
                threads / one, processes / one);
  }
  return 0;
}
