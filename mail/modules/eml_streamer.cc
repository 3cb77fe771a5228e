#include "mail/modules/eml_streamer.h"

#include <dlfcn.h>

#include <memory>
#include <new>

#include "emlbreaker/exceptions.h"
#include "emlbreaker/locker.h"
#include "mail/modules/eml_stream.h"

namespace nsEmlModules {
namespace {

constexpr const char kPackerLibraryName[] = "libmsgcodec.so";

ascommon::sstring ReadTextSetting(CASettings* settings, uint32_t profile, const char16_t* path) {
  const char16_t* value = settings->GetSetting(profile, path);
  if (value == nullptr) return ascommon::sstring("");
  return ascommon::sstring(ascommon::usstring(value));
}

}  // namespace

ascommon::sstring PackerLibraryPath(const ascommon::sstring& directory) {
  ascommon::sstring path(directory.c_str());
  size_t length = path.Length();
  if (length > 0 && path.c_str()[length - 1] != '/' && path.c_str()[length - 1] != '\\')
    path.Append("/");
  path.Append(kPackerLibraryName);
  return path;
}

// The per-profile block is one byte that nothing uses.
void* CEMLStreamer::CreateProfileData() { return new (std::nothrow) uint8_t(0); }
void CEMLStreamer::DestroyProfileData(void* data) { delete static_cast<uint8_t*>(data); }

void* CEMLStreamer::CreateSharedData() { return new (std::nothrow) SPackerRecord(); }

void CEMLStreamer::DestroySharedData(void* data) {
  auto* record = static_cast<SPackerRecord*>(data);
  if (record == nullptr) return;
  UnloadPacker(*record);
  delete record;
}

SPackerRecord& CEMLStreamer::Record(const char* function) {
  if (sharedData == nullptr)
    throw ASBadPtrException("%s - invalid data struct pointer received", function);
  return *static_cast<SPackerRecord*>(sharedData);
}

void CEMLStreamer::ApplySharedSettings(uint32_t profile) {
  static constexpr const char kFunction[] = "nsEmlModules::CEMLStreamer::ApplySharedSettings";
  ascommon::auto_locker hold(&sharedLock, ascommon::auto_locker::kExclusive, true);
  SPackerRecord& record = Record(kFunction);
  if (settings == nullptr) throw ASBadPtrException("%s - no settings interface", kFunction);
  ascommon::sstring new_path =
      PackerLibraryPath(ReadTextSetting(settings, profile, u"/eml/streamer/PackerPath"));
  const char16_t* load = settings->GetSetting(profile, u"/eml/streamer/LoadPacker");
  if (load != nullptr && load[0] == u'1') {
    if (record.loaded) {
      // A path differing only in case names the same library on the
      // framework's file systems: keep what is loaded.
      if (new_path.Compare(record.path, true) != 0) {
        UnloadPacker(record);
        LoadPacker(record, new_path);
      }
    } else {
      LoadPacker(record, new_path);
    }
  } else if (record.loaded && record.library != nullptr) {
    UnloadPacker(record);
  }
}

void CEMLStreamer::LoadPacker(SPackerRecord& record, const ascommon::sstring& path) {
  record.path = path;
  record.loaded = true;
  record.packer = nullptr;
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) throw CStreamerException("Error loading packer library file!");
  auto fail = [&](const char* message) {
    dlclose(library);
    record.packer = nullptr;
    record.library = nullptr;
    throw CStreamerException("%s", message);
  };
  auto request = reinterpret_cast<RequestInterfaceFn>(dlsym(library, kRequestInterfaceName));
  if (request == nullptr) fail("Packer error: Cannot request packer interface");
  CAMimePacker* packer = nullptr;
  if (request(kPackerKindMime, &packer) == 0 || packer == nullptr)
    fail("Packer error: Cannot obtain the MIME packer interface");
  if (packer->Check(kPackerKindMime) == 0) {
    if (auto release = reinterpret_cast<ReleaseInterfaceFn>(dlsym(library, kReleaseInterfaceName)))
      release(&packer);
    fail("Packer error: Wrong Packer loaded!");
  }
  record.packer = packer;
  record.library = library;
}

void CEMLStreamer::UnloadPacker(SPackerRecord& record) {
  if (record.library == nullptr) return;
  if (record.packer != nullptr) {
    auto release =
        reinterpret_cast<ReleaseInterfaceFn>(dlsym(record.library, kReleaseInterfaceName));
    if (release != nullptr) release(&record.packer);
    record.path.Assign("");
    record.loaded = false;
  }
  record.packer = nullptr;
  dlclose(record.library);
  record.library = nullptr;
}

CAStream* CEMLStreamer::CreateStream(uint32_t, void* source, int32_t subtype) {
  ascommon::auto_locker hold(&sharedLock, ascommon::auto_locker::kReadOnly, true);
  std::unique_ptr<CEmlStream> stream(new (std::nothrow) CEmlStream());
  if (!stream) throw ASMemException("Cannot create a new stream !");
  if (subtype == kEmlSubtypeFile) {
    auto* record = static_cast<SPackerRecord*>(sharedData);
    if (record == nullptr || record->packer == nullptr)
      throw ASInternalException(0, "MIME Packer required, but it was not loaded!");
    stream->InitFromFile(static_cast<const char*>(source), record->packer);
  } else if (subtype == kEmlSubtypeMemory) {
    stream->InitFromMemory(source);
  } else {
    throw ASInternalException(0, "Unknown EML Entity Subtype %d", subtype);
  }
  return stream.release();
}

}  // namespace nsEmlModules
