// For tests: a fresh folder under $TMPDIR (or /tmp), removed with its files when the
// object goes.
#ifndef FRAMEWORK_BASE_TESTING_TEMP_DIR_H_
#define FRAMEWORK_BASE_TESTING_TEMP_DIR_H_

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace emlbtest {

class TempDir {
 public:
  // prefix begins the folder's name ("cf" makes "cfXXXXXX").
  explicit TempDir(const char* prefix = "emlb") {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base ? base : "/tmp") + "/" + prefix + "XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    EXPECT_FALSE(path_.empty()) << "mkdtemp failed";
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return path_; }
  std::string File(const char* name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace emlbtest

#endif  // FRAMEWORK_BASE_TESTING_TEMP_DIR_H_
