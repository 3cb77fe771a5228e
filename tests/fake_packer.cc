// A stand-in MIME packer for the streamer's tests, built in two flavours:
// FAKE_PACKER_WRONG_KIND answers its kind check with 0; FAKE_PACKER_NO_EXPORT
// exports nothing the streamer looks for.
#include "emlbreaker/packer.h"

#ifndef FAKE_PACKER_NO_EXPORT
namespace {

class FakePacker final : public CAMimePacker {
 public:
  int32_t Check(int32_t) override { return 0; }
  CAMimePart* Open(const char*) override { return nullptr; }
  int32_t Close(CAMimePart*, int32_t, int32_t, int32_t) override { return 0; }
  CAMimePart* OpenMemory(const void*, uint64_t) override { return nullptr; }
  int32_t WriteToFile(CAMimePart*, const char*) override { return 0; }
  int32_t WriteToFd(CAMimePart*, int32_t) override { return 0; }
  int32_t IsModified(CAMimePart*) override { return 0; }
  const char* GetLastError() override { return "fake"; }
  int32_t SetBodyDirectory(const char*) override { return 0; }
};

FakePacker g_packer;

}  // namespace

extern "C" EMLB_EXPORT int32_t RequestInterface(int32_t, CAMimePacker** out) {
  *out = &g_packer;
  return 1;
}
extern "C" EMLB_EXPORT void ReleaseInterface(CAMimePacker** packer) { *packer = nullptr; }
#else
extern "C" EMLB_EXPORT int32_t SomethingElse() { return 0; }
#endif
