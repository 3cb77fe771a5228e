#include "common/binary_streamer.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "emlbreaker/exceptions.h"

// Records are the values' bytes as they lie in memory, which the file format fixes as
// little-endian.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "checked files are little-endian");

namespace ascommon {
namespace {

constexpr char kTempPrefix[] = "orva";

// Creates an empty, uniquely named file "orvaXXXXXX" in folder ("." when empty) and
// answers its name.
usstring CreateTempFile(const usstring& folder) {
  const sstring narrow = folder.IsEmpty() ? sstring(".") : sstring(folder);
  if (!narrow.IsSet()) {
    throw ASFileException(0, "Could not create a temp filename in folder \"%s\"", "");
  }
  std::string path(narrow.View());
  path.append("/").append(kTempPrefix).append("XXXXXX");
  const int fd = mkstemp(path.data());
  if (fd < 0) {
    throw ASFileException(0, "Could not create a temp filename in folder \"%s\"", narrow.c_str());
  }
  close(fd);
  return usstring::FromUtf8(path);
}

void RemoveFile(const usstring& name) {
  const sstring narrow(name);
  if (narrow.IsSet()) std::remove(narrow.c_str());
}

// Removes a reader's temporary file unless the construction got through.
class TempFileRemover {
 public:
  explicit TempFileRemover(const usstring& name) : name_(name) {}
  ~TempFileRemover() {
    if (!released_) RemoveFile(name_);
  }
  TempFileRemover(const TempFileRemover&) = delete;
  TempFileRemover& operator=(const TempFileRemover&) = delete;
  void Release() { released_ = true; }

 private:
  const usstring& name_;
  bool released_ = false;
};

}  // namespace

CBinaryStreamer::CBinaryStreamer(const usstring& file_name, int32_t stream_mode,
                                 const usstring& temp_folder)
    : IStreamer(stream_mode), fileName(file_name), tempFolder(temp_folder) {
  if (mode != kReadMode && mode != kWriteMode) {
    throw ASException("ascommon::CBinaryStreamer::CBinaryStreamer - invalid stream mode %d",
                      static_cast<int>(mode));
  }
  tempFileName = CreateTempFile(tempFolder);
  if (mode == kWriteMode) {
    // A writer needs no copy; the name is made only as a reader makes it.
    RemoveFile(tempFileName);
    file = std::make_unique<CASFile>(fileName.GetBuffer(), "wb");
    std::strncpy(header.description, kDefaultDescription, sizeof header.description);
    header.Write(*file);
  } else {
    TempFileRemover remover(tempFileName);
    Scramble(fileName, tempFileName);
    VerifyFile(tempFileName, &header);
    file = std::make_unique<CASFile>(tempFileName.GetBuffer(), "rb");
    if (std::fseek(file->GetStream(), kCheckedHeaderSize, SEEK_SET) != 0) {
      throw ASException("ascommon::CBinaryStreamer::CBinaryStreamer - cannot read from file");
    }
    remover.Release();
  }
  open = true;
}

CBinaryStreamer::~CBinaryStreamer() {
  try {
    Close();
  } catch (...) {
    // The exception traced itself when it was built; a destructor must not throw.
  }
}

void CBinaryStreamer::Close() {
  if (!open) return;
  open = false;
  if (mode == kWriteMode) {
    const bool flushed = std::fflush(file->GetStream()) == 0;
    file.reset();
    if (!flushed) throw ASException("ascommon::CBinaryStreamer::Close - Cannot write to file");
    SealFile(fileName, true, &header);
    Scramble(fileName, fileName);
  } else {
    file.reset();
    RemoveFile(tempFileName);
  }
}

CASFile& CBinaryStreamer::Writable(const char* operation) {
  if (mode != kWriteMode) throw ASException("%s - wrong stream mode: read-only", operation);
  if (!file) throw ASException("%s - invalid reference to file", operation);
  return *file;
}

CASFile& CBinaryStreamer::Readable(const char* operation) {
  if (mode != kReadMode) throw ASException("%s - wrong stream mode: write-only", operation);
  if (!file) throw ASException("%s - invalid reference to file", operation);
  return *file;
}

void CBinaryStreamer::WriteBytes(const char* operation, const void* bytes, size_t size) {
  CASFile& target = Writable(operation);
  if (bytes == nullptr) throw ASException("%s - invalid argument string", operation);
  if (size != 0 && target.write(bytes, 1, size) != size) {
    throw ASException("%s - Cannot write to file", operation);
  }
}

void CBinaryStreamer::ReadBytes(const char* operation, void* bytes, size_t size) {
  CASFile& source = Readable(operation);
  if (bytes == nullptr) throw ASException("%s - invalid argument string", operation);
  if (size != 0 && source.read(bytes, 1, size) != size) {
    throw ASException("%s - cannot read from file", operation);
  }
}

template <class T>
void CBinaryStreamer::WriteValue(const char* operation, T value) {
  WriteBytes(operation, &value, sizeof value);
}

template <class T>
T CBinaryStreamer::ReadValue(const char* operation) {
  T value{};
  ReadBytes(operation, &value, sizeof value);
  return value;
}

void CBinaryStreamer::WriteInt(int32_t value) {
  WriteValue("ascommon::CBinaryStreamer::WriteInt", value);
}

void CBinaryStreamer::WriteUInt(uint32_t value) {
  WriteValue("ascommon::CBinaryStreamer::WriteUInt", value);
}

void CBinaryStreamer::WriteLong(as_long value, bool as32) {
  if (as32) return WriteInt(value);
  WriteValue("ascommon::CBinaryStreamer::WriteLong", value);
}

void CBinaryStreamer::WriteULong(as_ulong value, bool as32) {
  if (as32) return WriteUInt(value);
  WriteValue("ascommon::CBinaryStreamer::WriteULong", value);
}

void CBinaryStreamer::WriteSizeT(size_t value, bool as32) {
  if (as32) return WriteUInt(static_cast<uint32_t>(value));
  WriteValue("ascommon::CBinaryStreamer::WriteSizeT", static_cast<uint64_t>(value));
}

void CBinaryStreamer::WriteFloat(float value) {
  WriteValue("ascommon::CBinaryStreamer::WriteFloat", value);
}

void CBinaryStreamer::WriteDouble(double value) {
  WriteValue("ascommon::CBinaryStreamer::WriteDouble", value);
}

void CBinaryStreamer::WriteChar(char value) {
  WriteValue("ascommon::CBinaryStreamer::WriteChar", value);
}

void CBinaryStreamer::WriteCharT(char16_t value) {
  WriteValue("ascommon::CBinaryStreamer::WriteCharT", value);
}

void CBinaryStreamer::WriteString(const sstring& text) {
  WriteBytes("ascommon::CBinaryStreamer::WriteString", text.c_str(), text.Length());
}

void CBinaryStreamer::WriteString(const char* text, size_t n) {
  WriteBytes("ascommon::CBinaryStreamer::WriteString", text, n);
}

void CBinaryStreamer::WriteUString(const usstring& text) {
  WriteBytes("ascommon::CBinaryStreamer::WriteUString", text.c_str(),
             text.Length() * sizeof(char16_t));
}

void CBinaryStreamer::WriteUString(const char16_t* text, size_t n) {
  constexpr char kOperation[] = "ascommon::CBinaryStreamer::WriteUString";
  if (n > SIZE_MAX / sizeof(char16_t)) throw ASException("%s - Cannot write to file", kOperation);
  WriteBytes(kOperation, text, n * sizeof(char16_t));
}

void CBinaryStreamer::Write(const char* format, ...) {
  constexpr char kOperation[] = "ascommon::CBinaryStreamer::Write";
  CASFile& target = Writable(kOperation);
  if (format == nullptr) throw ASException("%s - invalid format string", kOperation);
  va_list args;
  va_start(args, format);
  const int written = std::vfprintf(target.GetStream(), format, args);
  va_end(args);
  if (written < 0) throw ASException("%s - Cannot write to file", kOperation);
}

void CBinaryStreamer::UWrite(const char16_t* format, ...) {
  constexpr char kOperation[] = "ascommon::CBinaryStreamer::UWrite";
  CASFile& target = Writable(kOperation);
  if (format == nullptr) throw ASException("%s - invalid format string", kOperation);
  const sstring narrow = sstring::FromUtf16(std::u16string_view(format));
  if (!narrow.IsSet()) throw ASException("%s - invalid format string", kOperation);
  va_list args;
  va_start(args, format);
  const int written = std::vfprintf(target.GetStream(), narrow.c_str(), args);
  va_end(args);
  if (written < 0) throw ASException("%s - Cannot write to file", kOperation);
}

int32_t CBinaryStreamer::ReadInt() {
  return ReadValue<int32_t>("ascommon::CBinaryStreamer::ReadInt");
}

uint32_t CBinaryStreamer::ReadUInt() {
  return ReadValue<uint32_t>("ascommon::CBinaryStreamer::ReadUInt");
}

as_long CBinaryStreamer::ReadLong(bool as32) {
  if (as32) return ReadInt();
  return ReadValue<as_long>("ascommon::CBinaryStreamer::ReadLong");
}

as_ulong CBinaryStreamer::ReadULong(bool as32) {
  if (as32) return ReadUInt();
  return ReadValue<as_ulong>("ascommon::CBinaryStreamer::ReadULong");
}

size_t CBinaryStreamer::ReadSizeT(bool as32) {
  if (as32) return ReadUInt();
  return static_cast<size_t>(ReadValue<uint64_t>("ascommon::CBinaryStreamer::ReadSizeT"));
}

float CBinaryStreamer::ReadFloat() {
  return ReadValue<float>("ascommon::CBinaryStreamer::ReadFloat");
}

void CBinaryStreamer::ReadFloats(float* values, size_t n) {
  if (n > SIZE_MAX / sizeof(float)) {
    throw ASException("%s - cannot read from file", "ascommon::CBinaryStreamer::ReadFloat");
  }
  ReadBytes("ascommon::CBinaryStreamer::ReadFloat", values, n * sizeof(float));
}

double CBinaryStreamer::ReadDouble() {
  return ReadValue<double>("ascommon::CBinaryStreamer::ReadDouble");
}

char CBinaryStreamer::ReadChar() { return ReadValue<char>("ascommon::CBinaryStreamer::ReadChar"); }

char16_t CBinaryStreamer::ReadCharT() {
  return ReadValue<char16_t>("ascommon::CBinaryStreamer::ReadCharT");
}

void CBinaryStreamer::ReadString(sstring* text, size_t n) {
  constexpr char kOperation[] = "ascommon::CBinaryStreamer::ReadString";
  const CASFile& source = Readable(kOperation);
  if (text == nullptr) throw ASException("%s - invalid argument string", kOperation);
  // n comes from the file itself; one larger than the file can only be a short read,
  // so it is refused before a buffer of that size is asked for.
  if (n > source.GetSize()) throw ASException("%s - cannot read from file", kOperation);
  std::unique_ptr<char[]> scratch(new (std::nothrow) char[n + 1]());
  if (!scratch) throw ASException("%s - could not allocate temporary buffer", kOperation);
  ReadBytes(kOperation, scratch.get(), n);
  if (std::memchr(scratch.get(), 0, n) != nullptr) {
    throw ASException("%s - read string contains terminating characters!", kOperation);
  }
  if (text->Assign(scratch.get(), n) != 0) {
    throw ASException("%s - problems duplicating string", kOperation);
  }
}

void CBinaryStreamer::ReadString(char* buffer, size_t n) {
  ReadBytes("ascommon::CBinaryStreamer::ReadString", buffer, n);
}

void CBinaryStreamer::ReadUString(usstring* text, size_t n) {
  constexpr char kOperation[] = "ascommon::CBinaryStreamer::ReadUString";
  const CASFile& source = Readable(kOperation);
  if (text == nullptr) throw ASException("%s - invalid argument string", kOperation);
  if (n > source.GetSize() / sizeof(char16_t)) {
    throw ASException("%s - cannot read from file", kOperation);
  }
  std::unique_ptr<char16_t[]> scratch(new (std::nothrow) char16_t[n + 1]());
  if (!scratch) throw ASException("%s - could not allocate temporary buffer", kOperation);
  ReadBytes(kOperation, scratch.get(), n * sizeof(char16_t));
  for (size_t i = 0; i < n; ++i) {
    if (scratch[i] == 0) {
      throw ASException("%s - read string contains terminating characters!", kOperation);
    }
  }
  if (text->Assign(scratch.get(), n) != 0) {
    throw ASException("%s - problems duplicating string", kOperation);
  }
}

void CBinaryStreamer::ReadUString(char16_t* buffer, size_t n) {
  constexpr char kOperation[] = "ascommon::CBinaryStreamer::ReadUString";
  if (n > SIZE_MAX / sizeof(char16_t)) throw ASException("%s - cannot read from file", kOperation);
  ReadBytes(kOperation, buffer, n * sizeof(char16_t));
}

}  // namespace ascommon
