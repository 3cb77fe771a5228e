#include "common/checked_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "common/md5.h"
#include "emlbreaker/exceptions.h"

namespace ascommon {
namespace {

// Error code of every Scramble failure that concerns the source.
constexpr int32_t kScrambleError = -700;
constexpr int32_t kOpenError = -551;

// The content of a checked file, bytes 128 to the end, held whole in memory.
struct Content {
  std::unique_ptr<uint8_t[]> bytes;
  size_t size = 0;
};

// Reads the rest of file, which is positioned just past its header. The size comes
// from the directory entry, so a file cut short while it is read fails here.
Content ReadContent(CASFile& file, const sstring& name) {
  Content content;
  const uint32_t total = file.GetSize();
  content.size = total > kCheckedHeaderSize ? total - kCheckedHeaderSize : 0;
  // One spare byte keeps an empty content a real (non-null) buffer for ComputeCRC.
  content.bytes.reset(new (std::nothrow) uint8_t[content.size + 1]);
  if (!content.bytes) {
    throw ASException("Cannot allocate enough memory for the entire file [%s], size needed: %d",
                      name.c_str(), static_cast<int>(content.size));
  }
  if (file.read(content.bytes.get(), 1, content.size) != content.size) {
    throw ASException("Unable to read from file [%s]", name.c_str());
  }
  return content;
}

// Buffered bytes only reach the disk on a flush; a full disk shows up there.
bool Flushed(CASFile& file) { return std::fflush(file.GetStream()) == 0; }

}  // namespace

usstring ProcessTempFolder() {
  const char* folder = std::getenv("TMPDIR");
  return usstring::FromUtf8(folder != nullptr && *folder != 0 ? folder : "/tmp");
}

CASFile::CASFile(const char16_t* name, const char* mode) {
  if (name == nullptr || mode == nullptr) throw ASException("CASFile constructor - invalid input");
  const sstring narrow = sstring::FromUtf16(std::u16string_view(name));
  if (!narrow.IsSet()) throw ASException("CASFile constructor - invalid input");
  stream = std::fopen(narrow.c_str(), mode);
  if (stream == nullptr) {
    const int error = errno;
    throw ASException(kOpenError, "CASFile constructor - %s - %s", narrow.c_str(),
                      std::strerror(error));
  }
  isOpen = true;
  struct stat entry;
  if (fstat(fileno(stream), &entry) == 0) size = static_cast<uint32_t>(entry.st_size);
}

CASFile::~CASFile() {
  if (isOpen) std::fclose(stream);
}

size_t CASFile::write(const void* buffer, size_t size, size_t count) {
  if (buffer == nullptr) throw ASException("CASFile::write - invalid input buffer");
  return std::fwrite(buffer, size, count, stream);
}

size_t CASFile::read(void* buffer, size_t size, size_t count) {
  if (buffer == nullptr) throw ASException("CASFile::read - invalid input buffer");
  // The stream is this object's alone, and readers take a few bytes at a time (a float of
  // the layout centres): the stream's lock cost more than the copy.
  return fread_unlocked(buffer, size, count, stream);
}

char* CASFile::gets(char* buffer, int n) {
  if (buffer == nullptr) throw ASException("CASFile::gets - invalid input buffer");
  return std::fgets(buffer, n, stream);
}

void CheckedFileHeader::Read(CASFile& file) {
  bool complete = file.read(digest, sizeof digest, 1) == 1 &&
                  file.read(description, sizeof description, 1) == 1;
  for (uint32_t& word : words) complete = complete && file.read(&word, sizeof word, 1) == 1;
  if (!complete) throw ASException("Could not read header component from file");
}

void CheckedFileHeader::Write(CASFile& file) const {
  bool complete = file.write(digest, sizeof digest, 1) == 1 &&
                  file.write(description, sizeof description, 1) == 1;
  for (const uint32_t& word : words) complete = complete && file.write(&word, sizeof word, 1) == 1;
  if (!complete) throw ASException("Could not write header component from file");
}

void ComputeCRC(const void* data, size_t length, uint8_t* output) {
  if (data == nullptr || output == nullptr) {
    throw ASBadPtrException("Invalid parameters in ComputeCRC");
  }
  Md5::Digest(data, length, output);
}

void Scramble(const usstring& source, const usstring& destination) {
  const sstring source_name(source);
  struct stat entry;
  if (!source_name.IsSet() || stat(source_name.c_str(), &entry) != 0) {
    throw ASFileException(kScrambleError, "Could not access file %s", source_name.c_str());
  }
  // The whole check is on the 64-bit size: a 4 GiB file must not pass as a small one.
  const uint64_t size = entry.st_size > 0 ? static_cast<uint64_t>(entry.st_size) : 0;
  if (size > kMaxCheckedFileSize) {
    throw ASFileException(kScrambleError, "File size exceeds 50 MB. It is to large (%s)",
                          source_name.c_str());
  }
  std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[size + 1]);
  if (!bytes) {
    throw ASFileException(kScrambleError, "Not enough memory to read the entire file [%s]",
                          source_name.c_str());
  }
  {
    // Closed before the destination is created: both may name the same file.
    CASFile in(source.GetBuffer(), "rb");
    if (in.read(bytes.get(), 1, size) != size) {
      throw ASFileException(kScrambleError, "Could not read entire file [%s]",
                            source_name.c_str());
    }
  }
  // Eight bytes at a time: g++ -O2 leaves a byte loop of unknown length unvectorised,
  // and the layout centres (430 KiB) pass through here at every start.
  constexpr uint64_t kWideMask = 0x0101010101010101ULL * kScrambleMask;
  uint64_t i = 0;
  for (; i + 8 <= size; i += 8) {
    uint64_t word;
    std::memcpy(&word, bytes.get() + i, 8);
    word ^= kWideMask;
    std::memcpy(bytes.get() + i, &word, 8);
  }
  for (; i < size; ++i) bytes[i] ^= kScrambleMask;

  CASFile out(destination.GetBuffer(), "wb");
  if (out.write(bytes.get(), 1, size) != size || !Flushed(out)) {
    throw ASException("Could not write to file [%s]", sstring(destination).c_str());
  }
}

void VerifyFile(const usstring& file, CheckedFileHeader* header) {
  const sstring name(file);
  CASFile in(file.GetBuffer(), "rb");
  header->Read(in);
  const Content content = ReadContent(in, name);
  uint8_t digest[kCheckedDigestSize];
  ComputeCRC(content.bytes.get(), content.size, digest);
  for (size_t i = 0; i < kCheckedDigestSize; ++i) {
    if (digest[i] != header->digest[i]) {
      throw ASException("File CRC does not match with its stored CRC! [%s] position %d",
                        name.c_str(), static_cast<int>(i));
    }
  }
}

void SealFile(const usstring& file, bool keep_header, CheckedFileHeader* header) {
  const sstring name(file);
  const CheckedFileHeader kept = *header;
  Content content;
  {
    CASFile in(file.GetBuffer(), "rb");
    header->Read(in);
    content = ReadContent(in, name);
  }
  ComputeCRC(content.bytes.get(), content.size, header->digest);
  if (keep_header) {
    std::memcpy(header->description, kept.description, sizeof header->description - 1);
    header->description[sizeof header->description - 1] = '\0';
    std::memcpy(header->words, kept.words, sizeof header->words);
  }
  CASFile out(file.GetBuffer(), "wb");
  header->Write(out);
  if (out.write(content.bytes.get(), 1, content.size) != content.size || !Flushed(out)) {
    throw ASException("Could not write the entire file during crc [%s]", name.c_str());
  }
}

}  // namespace ascommon
