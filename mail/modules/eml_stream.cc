#include "mail/modules/eml_stream.h"

#include "emlbreaker/exceptions.h"

namespace nsEmlModules {

void CEmlStream::InitFromFile(const char* file_name, CAMimePacker* mime_packer) {
  if (file_name == nullptr) throw ASBadPtrException("Invalid file name in the eml stream");
  if (mime_packer == nullptr) throw ASBadPtrException("Invalid MIME packer in the eml stream");
  Close();
  fileName.Assign(file_name);
  packer = mime_packer;
  handle = packer->Open(file_name);
  subtype = kEmlSubtypeFile;
}

void CEmlStream::InitFromMemory(void* source) {
  Close();
  fileName.Assign("");
  handle = source;
  packer = nullptr;
  subtype = kEmlSubtypeMemory;
}

void CEmlStream::Close() {
  if (packer != nullptr && handle != nullptr) {
    packer->Close(static_cast<CAMimePart*>(handle), 0, 0, 0);
    handle = nullptr;
  }
}

}  // namespace nsEmlModules
