// The module interfaces a host drives, with their virtual slot order and data
// members in the order the framework lays them out (the host reads and writes
// some members directly: settings, profileData, profileValid, sharedData).
//
// Life cycle, as the host must run it:
//   1. GetClassFactory; find the allocator whose GetName is the module name;
//      CreateModule.
//   2. Set `settings`.
//   3. Per profile (index below kMaxProfiles): profileData[p] =
//      CreateProfileData(); ApplySettings(p).
//   4. sharedData = CreateSharedData(); ApplySharedSettings(p). Virtual
//      breakers are then bound with SetRealBreaker.
//   5. Per mail: a MailItem with a stream from the streamer and an empty box;
//      Break (or Rebreak), the filters, CommitChanges, ReleaseBrokenMail.
//   6. DestroySharedData(sharedData), DestroyProfileData for each profile,
//      delete the modules, ReleaseClassFactory.
// Work operations (Break, CreateStream, Perform) of one module may run on
// several threads at once for different mails; ApplySharedSettings takes the
// module's sharedLock exclusively and waits for them.
#ifndef EMLBREAKER_MODULES_H_
#define EMLBREAKER_MODULES_H_

#include <cstdint>

#include "emlbreaker/locker.h"
#include "emlbreaker/platform.h"
#include "emlbreaker/strings.h"

struct MailItem;

// Number of settings profiles a module keeps data for.
inline constexpr uint32_t kMaxProfiles = 1000;

// Module type codes (CAModule::moduleType).
enum : int32_t { kModuleTypeBreaker = 2, kModuleTypePerformer = 4, kModuleTypeStreamer = 5 };

// Breaker kinds answered by CABreaker::GetBreakerKind.
enum : uint8_t {
  kBreakerReal = 1,
  kBreakerHeader = 2,
  kBreakerParts = 3,
  kBreakerTextParts = 4,
  kBreakerHtmlParts = 5,
};

// The host's settings source. The library calls slots 4 and 5 only; the rest
// belong to the host. Setting paths are wide text such as
// u"/eml/global/SharedDataPath". GetSetting answers null when the path has no
// value; the text it answers must stay valid until the next call of
// GetSetting on the same object from the same thread (the library copies it
// at once).
class CASettings {
 public:
  virtual ~CASettings() = default;                                              // slot 0
  virtual int32_t Reserved1() { return 0; }                                     // slot 1
  virtual int32_t Reserved2() { return 0; }                                     // slot 2
  virtual int32_t Reserved3() { return 0; }                                     // slot 3
  virtual const char16_t* GetSetting(uint32_t profile, const char16_t* path) = 0;  // slot 4
  virtual int32_t GetIntSetting(uint32_t profile, const char16_t* path,
                                int32_t default_value) = 0;  // slot 5
};

// The root of every module.
class CNotifiableObject {
 public:
  CNotifiableObject();
  virtual ~CNotifiableObject();                                  // slot 0
  virtual void ApplySettings(uint32_t profile) = 0;              // slot 1
  virtual void* CreateProfileData() = 0;                         // slot 2
  virtual void DestroyProfileData(void* data) = 0;               // slot 3
  virtual void* CreateSharedData() = 0;                          // slot 4
  virtual void DestroySharedData(void* data) = 0;                // slot 5
  virtual void ApplySharedSettings(uint32_t profile) = 0;        // slot 6

  CNotifiableObject(const CNotifiableObject&) = delete;
  CNotifiableObject& operator=(const CNotifiableObject&) = delete;

  void* profileData[kMaxProfiles];
  uint8_t profileValid[kMaxProfiles];
  int64_t reservedValue = 0;      // not used by this library
  ascommon::usstring reservedText;  // not used by this library
  void* sharedData = nullptr;
  ascommon::CResourceLocker sharedLock;
};

class CAModule : public CNotifiableObject {
 public:
  explicit CAModule(int32_t type, const ascommon::usstring& module_name);
  virtual void Reserved1() {}  // slot 7
  virtual void Reserved2() {}  // slot 8

  int32_t moduleType;
  ascommon::usstring name;
  CASettings* settings = nullptr;
  void* reservedPointer = nullptr;  // not used by this library
};

class CABreaker : public CAModule {
 public:
  CABreaker(const ascommon::usstring& module_name, int32_t is_virtual);
  virtual uint8_t GetBreakerKind() = 0;                          // slot 9
  virtual int32_t Break(uint32_t profile, MailItem* item) = 0;   // slot 10
  virtual void ReleaseBrokenMail(uint32_t profile, MailItem* item) = 0;  // slot 11
  virtual void CommitChanges(uint32_t profile, MailItem* item) = 0;      // slot 12
  virtual int32_t Rebreak(uint32_t profile, MailItem* item) = 0;         // slot 13

  ascommon::usstring familyName;
  int32_t isVirtual;
};

class CAVirtualBreaker : public CABreaker {
 public:
  explicit CAVirtualBreaker(const ascommon::usstring& module_name);
  virtual bool IsVirtualBreaker() { return true; }        // slot 14
  virtual void SetRealBreaker(CAModule* real_breaker) = 0;  // slot 15
};

class CAStream;

class CAStreamer : public CAModule {
 public:
  explicit CAStreamer(const ascommon::usstring& module_name);
  // slot 9: subtype 3 opens `source` (a file name) through the MIME packer,
  // subtype 4 wraps `source` (a packer part object) as it is. The caller owns
  // the stream.
  virtual CAStream* CreateStream(uint32_t profile, void* source, int32_t subtype) = 0;
  virtual int32_t Reserved3() { return 0; }  // slot 10
};

class CAPerformer : public CAModule {
 public:
  explicit CAPerformer(const ascommon::usstring& module_name);
  // slot 9: runs one action (0 to 6) on the mail.
  virtual void Perform(uint32_t profile, MailItem* item, int32_t action) = 0;
  virtual bool Reserved3() { return true; }  // slot 10
};

// Module and family names.
extern const ascommon::usstring kEmlRealBreakerName;
extern const ascommon::usstring kEmlHeaderBreakerName;
extern const ascommon::usstring kEmlPartsBreakerName;
extern const ascommon::usstring kEmlHtmlPartsBreakerName;
extern const ascommon::usstring kEmlTextPartsBreakerName;
extern const ascommon::usstring kEmlStreamerName;
extern const ascommon::usstring kEmlPerformerName;
extern const ascommon::usstring kEmlBreakersFamilyName;

#endif  // EMLBREAKER_MODULES_H_
