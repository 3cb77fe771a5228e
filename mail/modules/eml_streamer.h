// The streamer, "Eml Streamer": turns a mail file or a packer part object the
// host opened itself into a mail stream for the breakers. CreateStream runs
// under the read-only sharedLock, so the packer cannot be replaced while a
// stream is being made.
#ifndef MAIL_MODULES_EML_STREAMER_H_
#define MAIL_MODULES_EML_STREAMER_H_

#include "emlbreaker/modules.h"
#include "emlbreaker/packer.h"
#include "emlbreaker/strings.h"

namespace nsEmlModules {

// The streamer's shared data: which packer library was asked for and what of
// it is held.
struct SPackerRecord {
  ascommon::sstring path;   // full file name of the packer library last asked for
  bool loaded = false;      // a load of `path` was started
  CAMimePacker* packer = nullptr;  // the packer interface, null when none is held
  void* library = nullptr;  // dlopen handle, null when none
};

class CEMLStreamer final : public CAStreamer {
 public:
  explicit CEMLStreamer(const ascommon::usstring& module_name) : CAStreamer(module_name) {}

  void ApplySettings(uint32_t) override {}
  void* CreateProfileData() override;
  void DestroyProfileData(void* data) override;
  void* CreateSharedData() override;
  void DestroySharedData(void* data) override;
  void ApplySharedSettings(uint32_t profile) override;
  CAStream* CreateStream(uint32_t profile, void* source, int32_t subtype) override;

 private:
  SPackerRecord& Record(const char* function);
  // Loads the packer library `path` into the record; every failure throws
  // CStreamerException and leaves `packer` and `library` null.
  static void LoadPacker(SPackerRecord& record, const ascommon::sstring& path);
  static void UnloadPacker(SPackerRecord& record);
};

// The packer library's file name for a directory from the settings: the
// directory, a separator unless it already ends in "/" or "\", and the name.
ascommon::sstring PackerLibraryPath(const ascommon::sstring& directory);

}  // namespace nsEmlModules

#endif  // MAIL_MODULES_EML_STREAMER_H_
