#include "common/checked_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "common/md5.h"
#include "emlbreaker/exceptions.h"
#include "framework/base/testing/outcome.h"
#include "framework/base/testing/temp_dir.h"

namespace ascommon {
namespace {

// Each test's files go to a folder of its own.
class TempDir : public emlbtest::TempDir {
 public:
  TempDir() : emlbtest::TempDir("cf") {}
};

usstring Wide(const std::string& name) { return usstring::FromUtf8(name); }

void Put(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string Get(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Md5Of(const std::string& bytes) {
  uint8_t digest[Md5::kDigestSize];
  Md5::Digest(bytes.data(), bytes.size(), digest);
  return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

// An unscrambled checked file: digest, description padded to 100, three words, content.
std::string CheckedBytes(const std::string& digest, const char* description,
                         const uint32_t (&words)[3], const std::string& content) {
  std::string description_bytes(kCheckedDescriptionSize, '\0');
  description_bytes.replace(0, std::strlen(description), description);
  return digest + description_bytes +
         std::string(reinterpret_cast<const char*>(words), sizeof words) + content;
}

using emlbtest::Outcome;

TEST(CASFileTest, FailuresCarryTheirMessages) {
  TempDir dir;
  const std::string missing = dir.File("missing.dat");
  Put(dir.File("present.txt"), "line\n");
  CASFile present(Wide(dir.File("present.txt")).GetBuffer(), "rb");
  const struct {
    std::function<void()> operation;
    std::string outcome;
  } kCases[] = {
      {[] { CASFile(nullptr, "rb"); }, "-1 CASFile constructor - invalid input"},
      {[] { CASFile(u"name", nullptr); }, "-1 CASFile constructor - invalid input"},
      {[&] { CASFile(Wide(missing).GetBuffer(), "rb"); },
       "-551 CASFile constructor - " + missing + " - No such file or directory"},
      {[&] { present.read(nullptr, 1, 1); }, "-1 CASFile::read - invalid input buffer"},
      {[&] { present.write(nullptr, 1, 1); }, "-1 CASFile::write - invalid input buffer"},
      {[&] { present.gets(nullptr, 1); }, "-1 CASFile::gets - invalid input buffer"},
  };
  for (const auto& c : kCases) EXPECT_EQ(c.outcome, Outcome(c.operation));
  EXPECT_EQ(5u, present.GetSize());
}

TEST(ScrambleTest, AcceptsUpTo50MiB) {
  TempDir dir;
  const std::string source = dir.File("source");
  const std::string target = dir.File("target");
  const std::string refused =
      "-700 File size exceeds 50 MB. It is to large (" + source + ")";
  const struct {
    uint64_t size;
    std::string outcome;
  } kCases[] = {
      {0, "none"},
      {kMaxCheckedFileSize, "none"},
      {kMaxCheckedFileSize + 1, refused},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.size);
    std::filesystem::remove(target);
    Put(source, "");
    ASSERT_EQ(0, truncate(source.c_str(), static_cast<off_t>(c.size)));  // sparse zeros
    EXPECT_EQ(c.outcome, Outcome([&] { Scramble(Wide(source), Wide(target)); }));
    if (c.outcome != "none") continue;
    ASSERT_EQ(c.size, std::filesystem::file_size(target));
    if (c.size == 0) continue;
    std::ifstream scrambled(target, std::ios::binary);
    EXPECT_EQ(int{kScrambleMask}, scrambled.get());
    scrambled.seekg(-1, std::ios::end);
    EXPECT_EQ(int{kScrambleMask}, scrambled.get());
  }
}

TEST(ScrambleTest, InPlaceTwiceRestoresEveryByte) {
  TempDir dir;
  const std::string path = dir.File("all-bytes");
  std::string bytes;
  // Every byte value, and a length that is no multiple of eight (the tail).
  for (int i = 0; i < 259; ++i) bytes.push_back(static_cast<char>(i & 0xFF));
  Put(path, bytes);
  Scramble(Wide(path), Wide(path));
  const std::string once = Get(path);
  ASSERT_EQ(bytes.size(), once.size());
  for (size_t i = 0; i < bytes.size(); ++i) EXPECT_EQ((bytes[i] & 0xFF) ^ kScrambleMask, once[i] & 0xFF);
  Scramble(Wide(path), Wide(path));
  EXPECT_EQ(bytes, Get(path));
  EXPECT_EQ("-700 Could not access file " + dir.File("none"),
            Outcome([&] { Scramble(Wide(dir.File("none")), Wide(path)); }));
}

TEST(ComputeCRCTest, NullPointersAreBadPointers) {
  uint8_t digest[kCheckedDigestSize];
  const char text[] = "x";
  EXPECT_THROW(ComputeCRC(nullptr, 0, digest), ASBadPtrException);
  EXPECT_THROW(ComputeCRC(text, 1, nullptr), ASBadPtrException);
  EXPECT_EQ("-1 Invalid parameters in ComputeCRC", Outcome([&] { ComputeCRC(text, 1, nullptr); }));
}

TEST(VerifyFileTest, ReportsTheFirstDifferingDigestByte) {
  TempDir dir;
  const std::string path = dir.File("checked");
  const std::string content = "records of the content";
  const uint32_t words[3] = {11, 22, 33};
  std::string flipped = content;
  flipped[5] ^= 0x01;
  size_t first_difference = 0;
  while (Md5Of(flipped)[first_difference] == Md5Of(content)[first_difference]) ++first_difference;
  std::string bad_digest = Md5Of(content);
  bad_digest[9] ^= 0x40;
  const std::string mismatch = "-1 File CRC does not match with its stored CRC! [" + path + "]";
  const struct {
    const char* what;
    std::string bytes;
    std::string outcome;
  } kCases[] = {
      {"intact", CheckedBytes(Md5Of(content), "desc", words, content), "none"},
      {"empty content", CheckedBytes(Md5Of(""), "desc", words, ""), "none"},
      {"content byte flipped", CheckedBytes(Md5Of(content), "desc", words, flipped),
       mismatch + " position " + std::to_string(first_difference)},
      {"digest byte 9 changed", CheckedBytes(bad_digest, "desc", words, content),
       mismatch + " position 9"},
      {"header cut short", std::string(100, 'h'), "-1 Could not read header component from file"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    Put(path, c.bytes);
    CheckedFileHeader header;
    EXPECT_EQ(c.outcome, Outcome([&] { VerifyFile(Wide(path), &header); }));
    if (c.outcome != "none") continue;
    EXPECT_STREQ("desc", header.description);
    EXPECT_EQ(33u, header.words[2]);
  }
}

TEST(SealFileTest, DigestsTheContentAndKeepsOrTakesTheHeader) {
  TempDir dir;
  const std::string path = dir.File("sealed");
  const std::string content = "abc";
  const uint32_t on_file[3] = {1, 2, 3};
  const uint32_t kept[3] = {7, 8, 9};
  const std::string long_description(kCheckedDescriptionSize - 1, 'x');
  for (bool keep_header : {true, false}) {
    SCOPED_TRACE(keep_header);
    Put(path, CheckedBytes(std::string(16, '\0'), "on file", on_file, content));
    CheckedFileHeader header;
    std::memset(header.description, 'x', sizeof header.description);  // no terminator
    std::memcpy(header.words, kept, sizeof kept);
    SealFile(Wide(path), keep_header, &header);
    const std::string expected =
        keep_header ? CheckedBytes(Md5Of(content), long_description.c_str(), kept, content)
                    : CheckedBytes(Md5Of(content), "on file", on_file, content);
    EXPECT_EQ(expected, Get(path));
    CheckedFileHeader verified;
    EXPECT_EQ("none", Outcome([&] { VerifyFile(Wide(path), &verified); }));
  }
}

}  // namespace
}  // namespace ascommon
