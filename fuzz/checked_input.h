// What the fuzz targets of the engines' data files share: a work folder of their own, and
// the two ways an input becomes a file on disk (wrapped into a valid checked file, so the
// record readers run past the digest check, or written as it is, so the checked-file
// layer sees hostile headers too).
#ifndef FUZZ_CHECKED_INPUT_H_
#define FUZZ_CHECKED_INPUT_H_

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/binary_streamer.h"

namespace fuzzing {

// A fresh folder under $TMPDIR (or /tmp), made on first use; prefix names it.
inline const std::string& WorkFolder(const char* prefix) {
  static const std::string folder = [prefix] {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base ? base : "/tmp") + "/" + prefix + "XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern;
  }();
  return folder;
}

inline ascommon::usstring Wide(const std::string& path) {
  return ascommon::usstring::FromUtf8(path);
}

// The bytes as the content of a checked file, its temporary copy made in work_folder.
inline void WriteChecked(const std::string& path, const std::string& work_folder,
                         const uint8_t* data, size_t size) {
  ascommon::CBinaryStreamer writer(Wide(path), ascommon::IStreamer::kWriteMode, Wide(work_folder));
  writer.WriteString(reinterpret_cast<const char*>(data), size);
  writer.Close();
}

inline void WriteRaw(const std::string& path, const uint8_t* data, size_t size) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) std::abort();
  if (size > 0) std::fwrite(data, 1, size, file);
  std::fclose(file);
}

}  // namespace fuzzing

#endif  // FUZZ_CHECKED_INPUT_H_
