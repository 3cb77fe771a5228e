// Throughput of the MIME packer beside GMime's own parse-and-decode loop, on
// the same mails in the same run. Every mail is read into memory first; the
// timed loop opens each from memory, enumerates every header of every part,
// walks the children and (but for the structure pass) fetches every leaf's
// body file, then closes it. Body files go once to a RAM directory and once
// to the disk one (TMPDIR or /tmp).
// usage: packer_bench [-n REPEAT] PATH...
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "emlbreaker/packer.h"

extern "C" int32_t RequestInterface(int32_t kind, CAMimePacker** out);
#ifdef MSGCODEC_HAVE_PEER
extern "C" int gmime_peer_main(int argc, char** argv);
#endif

namespace {

struct Mails {
  std::vector<std::string> paths;
  std::vector<std::string> bytes;
  size_t total = 0;
};

void Load(const std::string& path, Mails* mails) {
  std::vector<std::string> files;
  if (std::filesystem::is_directory(path)) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path))
      if (entry.is_regular_file() && entry.path().filename().string()[0] != '.')
        files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
  } else {
    files.push_back(path);
  }
  for (const std::string& file : files) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    mails->paths.push_back(file);
    mails->bytes.push_back(out.str());
    mails->total += mails->bytes.back().size();
  }
}

struct Walker {
  bool fetch_bodies;
  std::vector<char> name, value;
  size_t failures = 0;

  void Walk(CAMimePart* part) {
    uint32_t name_length, value_length;
    part->GetMaxHeaderLengths(&name_length, &value_length);
    if (name.size() <= name_length) name.resize(name_length + 1);
    if (value.size() <= value_length) value.resize(value_length + 1);
    part->RewindHeaders();
    while (part->NextHeader(name.data(), value.data())) {
    }
    if (part->IsMultipart()) {
      for (CAMimePart* child = nullptr; part->NextChild(&child);) Walk(child);
    } else if (fetch_bodies) {
      char path[kPackerMaxPath];
      if (!part->GetBodyFile(path)) failures++;
    }
  }
};

double Run(CAMimePacker* packer, const Mails& mails, int repeat, bool bodies, size_t* failures) {
  Walker walker{bodies, {}, {}, 0};
  auto start = std::chrono::steady_clock::now();
  for (int r = 0; r < repeat; r++) {
    for (const std::string& mail : mails.bytes) {
      CAMimePart* top = packer->OpenMemory(mail.data(), mail.size());
      if (!top) {
        walker.failures++;
        continue;
      }
      walker.Walk(top);
      packer->Close(top, 0, 0, 0);
    }
  }
  *failures = walker.failures;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void Report(const char* name, size_t mails, size_t bytes, double seconds, size_t failures,
            double peer_rate) {
  double rate = mails / seconds;
  std::printf("%-18s %zu mails, %zu bytes, %.3f s, %.1f mails/s, %.2f MB/s, %zu failures", name,
              mails, bytes, seconds, rate, bytes / seconds / 1e6, failures);
  if (peer_rate > 0) std::printf("   ratio %.2f", rate / peer_rate);
  std::printf("\n");
}

#ifdef MSGCODEC_HAVE_PEER
// Runs GMime's peer program in this process and reads its mails/s figure.
double PeerRate(const std::vector<std::string>& args) {
  std::vector<std::string> owned = {"gmime_parse", "--json"};
  owned.insert(owned.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : owned) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  std::fflush(stdout);
  int saved = dup(1);
  int capture = memfd_create("peer", MFD_CLOEXEC);
  dup2(capture, 1);
  gmime_peer_main(static_cast<int>(argv.size() - 1), argv.data());
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  std::string json(4096, '\0');
  ssize_t n = pread(capture, &json[0], json.size(), 0);
  close(capture);
  json.resize(n > 0 ? static_cast<size_t>(n) : 0);
  std::printf("peer: %s", json.c_str());
  size_t at = json.find("\"mails_per_s\":");
  return at == std::string::npos ? 0 : std::atof(json.c_str() + at + 14);
}
#endif

}  // namespace

int main(int argc, char** argv) {
#if !defined(__OPTIMIZE__)
  std::fprintf(stderr, "WARNING: built without optimisation; figures are meaningless\n");
#endif
  int repeat = 1;
  std::vector<std::string> peer_args;
  Mails mails;
  for (int i = 1; i < argc; i++) {
    if (!std::strcmp(argv[i], "-n") && i + 1 < argc) {
      repeat = std::atoi(argv[++i]);
      peer_args.insert(peer_args.end(), {"-n", argv[i]});
    } else {
      Load(argv[i], &mails);
      peer_args.push_back(argv[i]);
    }
  }
  if (mails.bytes.empty()) {
    std::fprintf(stderr, "usage: packer_bench [-n REPEAT] PATH...\n");
    return 2;
  }
  CAMimePacker* packer = nullptr;
  if (!RequestInterface(kPackerKindMime, &packer)) return 1;

  double peer = 0, peer_structure = 0;
#ifdef MSGCODEC_HAVE_PEER
  peer = PeerRate(peer_args);
  std::vector<std::string> structure_args = {"--no-decode"};
  structure_args.insert(structure_args.end(), peer_args.begin(), peer_args.end());
  peer_structure = PeerRate(structure_args);
#endif
  size_t mail_count = mails.bytes.size() * repeat, byte_count = mails.total * repeat, failures;
  double seconds = Run(packer, mails, repeat, false, &failures);
  Report("msgcodec-structure", mail_count, byte_count, seconds, failures, peer_structure);

  const char* tmpdir = std::getenv("TMPDIR");
  const struct {
    const char* name;
    std::string directory;
  } kPlaces[] = {{"msgcodec-ram", "/dev/shm"},
                 {"msgcodec-disk", tmpdir && *tmpdir ? tmpdir : "/tmp"}};
  for (const auto& place : kPlaces) {
    if (!packer->SetBodyDirectory(place.directory.c_str())) {
      std::printf("%-18s skipped: %s\n", place.name, packer->GetLastError());
      continue;
    }
    seconds = Run(packer, mails, repeat, true, &failures);
    Report(place.name, mail_count, byte_count, seconds, failures, peer);
  }
  packer->SetBodyDirectory(nullptr);
  return 0;
}
