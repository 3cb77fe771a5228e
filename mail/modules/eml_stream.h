// A mail stream: a mail file opened through the MIME packer (subtype 3) or a
// packer part object the host opened itself (subtype 4). The stream owns the
// packer handle of a file stream and closes it; a memory source stays the
// caller's. One stream is used by one thread at a time.
#ifndef MAIL_MODULES_EML_STREAM_H_
#define MAIL_MODULES_EML_STREAM_H_

#include "emlbreaker/mail_item.h"
#include "emlbreaker/packer.h"
#include "emlbreaker/strings.h"

namespace nsEmlModules {

class CEmlStream final : public CAEmlStream {
 public:
  CEmlStream() = default;
  ~CEmlStream() override { Close(); }
  CEmlStream(const CEmlStream&) = delete;
  CEmlStream& operator=(const CEmlStream&) = delete;

  int32_t GetSubtype() override { return subtype; }
  ascommon::sstring GetFileName() override { return fileName; }
  void* GetHandle() override { return handle; }

  // Opens `file_name` through `mime_packer`. Null arguments throw
  // ASBadPtrException; a file the packer cannot open leaves a null handle
  // (the breaker reports it when it reads the mail).
  void InitFromFile(const char* file_name, CAMimePacker* mime_packer);
  void InitFromMemory(void* source);
  // Closes the packer handle of a file stream.
  void Close();

 private:
  void* handle = nullptr;
  CAMimePacker* packer = nullptr;
  ascommon::sstring fileName;
  int32_t subtype = kEmlSubtypeNone;
};

}  // namespace nsEmlModules

#endif  // MAIL_MODULES_EML_STREAM_H_
