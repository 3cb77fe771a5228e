// Feeds arbitrary bytes to the word finder: the part before the first "\n====\n" is
// written to a file and loaded as its configuration (the whole input when there is no
// such line), and the part after it, as wide text, is studied and searched for a few
// fixed words and for words cut from the text itself, as match(..., OBFUSCATED) would.
// The text is one wide unit per byte pair (UTF-16LE) when its first byte is odd, else
// one unit per byte, so every unit value can be reached.
//
// It checks one property besides memory safety: a span costs nothing against itself.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "emlbreaker/exceptions.h"
#include "engines/word_finder.h"

namespace {

// Configuration lines are short; longer inputs only repeat paths already taken.
constexpr size_t kFuzzMaxBytes = 64 << 10;
constexpr std::string_view kTextMark = "\n====\n";

std::u16string ToWide(std::string_view bytes) {
  std::u16string wide;
  if (bytes.empty()) return wide;
  if (bytes[0] & 1) {
    for (size_t i = 1; i + 1 < bytes.size(); i += 2) {
      wide.push_back(static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) |
                                           static_cast<uint8_t>(bytes[i + 1]) << 8));
    }
  } else {
    for (size_t i = 1; i < bytes.size(); ++i) wide.push_back(static_cast<uint8_t>(bytes[i]));
  }
  return wide;
}

// One scratch file name for the process, written and removed by every input: in memory
// (/dev/shm) where there is such a folder, as writing and reopening a file on disk per
// input takes far longer than the input's own work.
const std::string& ScratchFile() {
  static const std::string path = [] {
    std::string name = access("/dev/shm", W_OK) == 0 ? "/dev/shm/wordfinder_fuzz_XXXXXX"
                                                     : "/tmp/wordfinder_fuzz_XXXXXX";
    const int fd = mkstemp(name.data());
    if (fd >= 0) close(fd);
    return name;
  }();
  return path;
}

void Search(const CWordFinder& finder, const std::u16string& text) {
  const std::unique_ptr<CStudiedText> studied = finder.Study(text.data(), text.size());
  for (const char16_t* word : {u"viagra", u"ok", u"casino bonus", u"x"}) {
    finder.FindWord(*studied, word, CWordFinder::BudgetFor(0.2f, 6));
  }
  // Words cut from the text reach the matcher's hit path.
  const std::u16string& kept = studied->Text();
  for (size_t start = 0, length = 1; start < kept.size() && length <= 24; start += 7, length += 5) {
    const std::u16string_view word = std::u16string_view(kept).substr(start, length);
    finder.FindWord(*studied, word, CWordFinder::BudgetFor(0.5f, word.size()));
    if (finder.SpanCost(*studied, start, start + word.size(), word, 1000) != 0) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kFuzzMaxBytes) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t mark = input.find(kTextMark);
  const std::string_view config = input.substr(0, mark);
  const std::string_view text_bytes =
      mark == std::string_view::npos ? input : input.substr(mark + kTextMark.size());

  FILE* file = std::fopen(ScratchFile().c_str(), "wb");
  if (file == nullptr) return 0;
  std::fwrite(config.data(), 1, config.size(), file);
  std::fclose(file);

  auto finder = std::make_unique<CWordFinder>();
  try {
    finder->Load(ScratchFile().c_str());
  } catch (const ASException&) {
    return 0;  // only when the file cannot be opened
  }
  // libFuzzer may end the process without running exit handlers: leave nothing behind.
  std::remove(ScratchFile().c_str());
  Search(*finder, ToWide(text_bytes));
  return 0;
}
