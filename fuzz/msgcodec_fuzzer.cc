// libFuzzer target of the MIME packer, entered as a host enters it: open a
// mail from memory, walk every header, part and body file, write it
// unchanged (must give the input back byte for byte), then tag the subject,
// remove a part, write again and open the result.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "emlbreaker/packer.h"

extern "C" int32_t RequestInterface(int32_t kind, CAMimePacker** out);

namespace {

// Larger mails find no new paths in a header and boundary parser, only
// timeouts: structure is in lines, and 256 KiB holds thousands of them.
constexpr size_t kFuzzMaxMail = 256 << 10;

void Walk(CAMimePart* part, std::vector<char>* name, std::vector<char>* value) {
  uint32_t name_length = 0, value_length = 0;
  if (!part->GetMaxHeaderLengths(&name_length, &value_length)) abort();
  name->resize(name_length + 1);
  value->resize(value_length + 1);
  part->RewindHeaders();
  while (part->NextHeader(name->data(), value->data())) {
  }
  char type[128];
  part->GetContentType(type, sizeof type);
  part->GetEncodedSize();
  if (!part->IsMultipart()) {
    char path[kPackerMaxPath];
    part->GetBodyFile(path);
    return;
  }
  for (CAMimePart* child = nullptr; part->NextChild(&child);) Walk(child, name, value);
}

std::string Write(CAMimePacker* packer, CAMimePart* top) {
  int fd = memfd_create("msgcodec-fuzz", MFD_CLOEXEC);
  if (fd < 0) abort();
  std::string out;
  if (packer->WriteToFd(top, fd)) {
    off_t size = lseek(fd, 0, SEEK_END);
    out.resize(static_cast<size_t>(size));
    if (pread(fd, &out[0], out.size(), 0) != size) abort();
  } else {
    out = "\n<failed>";
  }
  close(fd);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kFuzzMaxMail) return 0;
  static CAMimePacker* packer = [] {
    CAMimePacker* p = nullptr;
    if (!RequestInterface(kPackerKindMime, &p)) abort();
    return p;
  }();
  std::vector<char> name, value;
  CAMimePart* top = packer->OpenMemory(data, size);
  if (!top) return 0;
  Walk(top, &name, &value);
  if (Write(packer, top) != std::string(reinterpret_cast<const char*>(data), size)) abort();

  top->SetHeader("SUBJECT", "[spam] fuzz\nline", kSetHeaderReplace);
  top->SetHeader("X-ORVANE-SPAM", "yes", kSetHeaderReplace);
  CAMimePart* child = nullptr;
  if (top->NextChild(&child)) {
    child->SetHeader("X-Part", "1", kSetHeaderReplace);
    CAMimePart* second = child;
    if (top->NextChild(&second)) second->Remove(nullptr);
  }
  std::string changed = Write(packer, top);
  packer->Close(top, 0, 0, 0);
  if (changed != "\n<failed>") {
    CAMimePart* again = packer->OpenMemory(changed.data(), changed.size());
    if (!again) abort();  // what we write must open again
    Walk(again, &name, &value);
    packer->Close(again, 0, 0, 0);
  }
  return 0;
}
