// Record-by-record access to checked files (see common/checked_file.h for the format).
//
// A CBinaryStreamer is a reader or a writer for its whole life. A reader copies the
// scrambled file, unscrambled, into a temporary file "orvaXXXXXX" in its temporary
// folder, checks the digest there and then reads records from that copy; the copy is
// removed by Close (or the destructor), and also when the construction fails. A writer
// writes records straight into its file behind a provisional header; only Close seals
// the file with its digest and scrambles it, so until then the file is not a valid
// checked file.
//
// Records are raw little-endian values without separators or length prefixes: a writer
// that needs a string's length writes it first (WriteSizeT), and the reader reads the
// length and then the string.
//
// Every failure throws ASException with the qualified operation name in front, for
// example "ascommon::CBinaryStreamer::WriteInt - wrong stream mode: read-only".
// A streamer is used by one thread at a time; it owns its file and temporary file.
#ifndef COMMON_BINARY_STREAMER_H_
#define COMMON_BINARY_STREAMER_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/checked_file.h"
#include "emlbreaker/platform.h"
#include "emlbreaker/strings.h"

namespace ascommon {

// The abstract record streamer. The slot order of the operations is fixed: slot 0 is
// the destructor, then the 28 operations in the order below.
class IStreamer {
 public:
  enum : int32_t { kReadMode = 0, kWriteMode = 1 };

  explicit IStreamer(int32_t stream_mode) : mode(stream_mode) {}
  virtual ~IStreamer() = default;
  IStreamer(const IStreamer&) = delete;
  IStreamer& operator=(const IStreamer&) = delete;

  virtual void WriteInt(int32_t value) = 0;
  virtual void WriteUInt(uint32_t value) = 0;
  virtual void WriteLong(as_long value, bool as32) = 0;
  virtual void WriteULong(as_ulong value, bool as32) = 0;
  // 8 bytes, or with as32 the low 32 bits through WriteUInt.
  virtual void WriteSizeT(size_t value, bool as32) = 0;
  virtual void WriteFloat(float value) = 0;
  virtual void WriteDouble(double value) = 0;
  virtual void WriteChar(char value) = 0;
  virtual void WriteCharT(char16_t value) = 0;
  // Length() bytes (an unset string writes nothing); no terminator.
  virtual void WriteString(const sstring& text) = 0;
  virtual void WriteString(const char* text, size_t n) = 0;
  // 2 * Length() bytes of UTF-16 code units.
  virtual void WriteUString(const usstring& text) = 0;
  virtual void WriteUString(const char16_t* text, size_t n) = 0;
  // printf-formatted 8-bit text.
  virtual void Write(const char* format, ...) EMLB_PRINTF(2, 3) = 0;
  // Wide-formatted text. The platform has no char16_t printf, so the format is
  // converted to UTF-8 and formatted as by Write: the text on file is UTF-8, and the
  // arguments follow printf's conventions (%s takes 8-bit text; %ls is not usable).
  virtual void UWrite(const char16_t* format, ...) = 0;

  virtual int32_t ReadInt() = 0;
  virtual uint32_t ReadUInt() = 0;
  virtual as_long ReadLong(bool as32) = 0;
  virtual as_ulong ReadULong(bool as32) = 0;
  // 8 bytes, or with as32 4 bytes through ReadUInt, widened without sign so that every
  // size written by WriteSizeT(x, true) with x below 2^32 comes back unchanged.
  virtual size_t ReadSizeT(bool as32) = 0;
  virtual float ReadFloat() = 0;
  virtual double ReadDouble() = 0;
  virtual char ReadChar() = 0;
  virtual char16_t ReadCharT() = 0;
  // n units into *text; a 0 unit among them is refused ("read string contains
  // terminating characters!"), as a string cannot hold it.
  virtual void ReadString(sstring* text, size_t n) = 0;
  // n bytes into buffer, which must hold n; nothing is appended.
  virtual void ReadString(char* buffer, size_t n) = 0;
  virtual void ReadUString(usstring* text, size_t n) = 0;
  virtual void ReadUString(char16_t* buffer, size_t n) = 0;

  int32_t GetMode() const { return mode; }

 protected:
  int32_t mode;
};

class CBinaryStreamer : public IStreamer {
 public:
  // Opens file_name for reading (kReadMode) or writing (kWriteMode); an empty
  // temp_folder means ".". Throws what the steps throw (CASFile, Scramble, VerifyFile,
  // "Could not create a temp filename in folder ..."); nothing is left open then.
  CBinaryStreamer(const usstring& file_name, int32_t stream_mode, const usstring& temp_folder);
  // Closes the streamer if it is still open; a failure there is traced, not thrown.
  ~CBinaryStreamer() override;

  void WriteInt(int32_t value) override;
  void WriteUInt(uint32_t value) override;
  void WriteLong(as_long value, bool as32) override;
  void WriteULong(as_ulong value, bool as32) override;
  void WriteSizeT(size_t value, bool as32) override;
  void WriteFloat(float value) override;
  void WriteDouble(double value) override;
  void WriteChar(char value) override;
  void WriteCharT(char16_t value) override;
  void WriteString(const sstring& text) override;
  void WriteString(const char* text, size_t n) override;
  void WriteUString(const usstring& text) override;
  void WriteUString(const char16_t* text, size_t n) override;
  void Write(const char* format, ...) override EMLB_PRINTF(2, 3);
  void UWrite(const char16_t* format, ...) override;

  int32_t ReadInt() override;
  uint32_t ReadUInt() override;
  as_long ReadLong(bool as32) override;
  as_ulong ReadULong(bool as32) override;
  size_t ReadSizeT(bool as32) override;
  float ReadFloat() override;
  double ReadDouble() override;
  char ReadChar() override;
  char16_t ReadCharT() override;
  void ReadString(sstring* text, size_t n) override;
  void ReadString(char* buffer, size_t n) override;
  void ReadUString(usstring* text, size_t n) override;
  void ReadUString(char16_t* buffer, size_t n) override;

  // A writer closes its file, seals it (keeping its description) and scrambles it in
  // place; a file grown past 50 MiB fails here with "File size exceeds 50 MB. It is to
  // large (...)" and stays sealed but unscrambled. A reader closes and removes its
  // temporary file. Closing a closed streamer does nothing.
  void Close();

  // Reads n floats at once, the bytes of n ReadFloat calls in one read (a layout file
  // holds some hundred thousand). Not a slot: callers that hold an IStreamer ask for
  // this class first.
  void ReadFloats(float* values, size_t n);

  bool IsOpen() const { return open; }
  // The open file: the temporary copy for a reader (its GetSize() is the header plus
  // the content), the target for a writer; null once closed.
  const CASFile* GetFile() const { return file.get(); }
  const CheckedFileHeader& GetHeader() const { return header; }

 private:
  // The file, after checking the mode and that the streamer is open.
  CASFile& Writable(const char* operation);
  CASFile& Readable(const char* operation);
  void WriteBytes(const char* operation, const void* bytes, size_t size);
  void ReadBytes(const char* operation, void* bytes, size_t size);
  template <class T>
  void WriteValue(const char* operation, T value);
  template <class T>
  T ReadValue(const char* operation);

  usstring fileName;
  usstring tempFolder;
  usstring tempFileName;
  std::unique_ptr<CASFile> file;
  CheckedFileHeader header;
  bool open = false;
};

}  // namespace ascommon

#endif  // COMMON_BINARY_STREAMER_H_
