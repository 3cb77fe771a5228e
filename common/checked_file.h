// Checked files: the binary data files of the engines (URL database, graphical-pattern
// classifier). On disk every byte is XORed with kScrambleMask; unscrambled, a file is a
// 128-byte header whose first 16 bytes are the MD5 digest of the rest, followed by the
// content records that CBinaryStreamer writes and reads.
//
//   offset   0  16 bytes  MD5 of bytes 128..end
//   offset  16 100 bytes  description, zero-terminated, zero-padded
//   offset 116  3 x 4     32-bit words, written as 0, not interpreted
//   offset 128  content
//
// Everything here works on whole files through CASFile and throws the ASException
// family on failure. Nothing keeps state between calls, so different files may be
// handled from different threads.
#ifndef COMMON_CHECKED_FILE_H_
#define COMMON_CHECKED_FILE_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "emlbreaker/strings.h"

namespace ascommon {

inline constexpr uint8_t kScrambleMask = 0xA7;
// A checked file larger than this is refused by Scramble (50 MiB).
inline constexpr uint64_t kMaxCheckedFileSize = 52428800;
inline constexpr size_t kCheckedHeaderSize = 128;
inline constexpr size_t kCheckedDigestSize = 16;
inline constexpr size_t kCheckedDescriptionSize = 100;
inline constexpr size_t kCheckedHeaderWords = 3;
// What a writer puts in the description of a new file.
inline constexpr char kDefaultDescription[] = "File description should go here!";

// Where a reader's temporary copy of a checked file goes when the caller has no folder of
// its own: $TMPDIR, else /tmp. A daemon's working folder is often "/" or read-only, and a
// copy left there by a killed process would never be cleaned up.
usstring ProcessTempFolder();

// A C library stream opened on a file named by wide text, closed by the destructor.
// The name is converted to 8-bit text as UTF-8 (the process runs in the "C" locale,
// whose multibyte conversion knows ASCII only). Not copyable; one owner, one thread.
class CASFile {
 public:
  // mode is an fopen mode ("rb", "wb", "r"). A null name or mode, or a name that is not
  // valid UTF-16, throws "CASFile constructor - invalid input"; a failed open throws
  // code -551 "CASFile constructor - <name> - <strerror>".
  CASFile(const char16_t* name, const char* mode);
  ~CASFile();
  CASFile(const CASFile&) = delete;
  CASFile& operator=(const CASFile&) = delete;

  // fwrite / fread / fgets; a null buffer throws "CASFile::<op> - invalid input buffer".
  size_t write(const void* buffer, size_t size, size_t count);
  size_t read(void* buffer, size_t size, size_t count);
  char* gets(char* buffer, int n);

  // The low 32 bits of the file's size when it was opened.
  uint32_t GetSize() const { return size; }
  // The stream itself; owned by this object, valid until it is destroyed.
  FILE* GetStream() const { return stream; }

 private:
  bool isOpen = false;
  FILE* stream = nullptr;
  uint32_t size = 0;
};

// The fixed header of a checked file, as a streamer keeps it. The fields are in the
// streamer's order, which is not the order on disk (see the table above).
struct CheckedFileHeader {
  uint8_t digest[kCheckedDigestSize] = {};
  uint32_t words[kCheckedHeaderWords] = {};
  char description[kCheckedDescriptionSize] = {};

  // Reads or writes the header parts one by one in disk order. A short read throws
  // "Could not read header component from file", a short write "Could not write header
  // component from file".
  void Read(CASFile& file);
  void Write(CASFile& file) const;
};

// The MD5 digest (RFC 1321) of length bytes at data into output (16 bytes). A null data
// or output throws ASBadPtrException "Invalid parameters in ComputeCRC".
void ComputeCRC(const void* data, size_t length, uint8_t* output);

// Copies source to destination with every byte XORed with kScrambleMask, which both
// scrambles and unscrambles; source and destination may be the same file. The whole
// source is held in memory, hence the size limit. Throws ASFileException -700 when the
// source is missing, larger than kMaxCheckedFileSize, cannot be buffered or read, and
// ASException when the destination cannot be written.
void Scramble(const usstring& source, const usstring& destination);

// Checks an unscrambled checked file: reads its header into *header and compares the
// MD5 of its content with the stored digest. A mismatch throws "File CRC does not match
// with its stored CRC! [<file>] position <i>" with the first differing digest byte i.
void VerifyFile(const usstring& file, CheckedFileHeader* header);

// Rewrites an unscrambled checked file with the digest of its content. The header on
// file is read into *header and its digest replaced; with keep_header the description
// (cut to 99 characters) and the three words come from *header as it was on entry.
void SealFile(const usstring& file, bool keep_header, CheckedFileHeader* header);

}  // namespace ascommon

#endif  // COMMON_CHECKED_FILE_H_
