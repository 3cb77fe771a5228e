// The mail stream interfaces and the host's record for one mail.
#ifndef EMLBREAKER_MAIL_ITEM_H_
#define EMLBREAKER_MAIL_ITEM_H_

#include <cstdint>

#include "emlbreaker/blackbox.h"
#include "emlbreaker/strings.h"

// EML entity subtypes of a mail stream.
enum : int32_t {
  kEmlSubtypeNone = -1,
  kEmlSubtypeFile = 3,    // a mail file opened through the MIME packer
  kEmlSubtypeMemory = 4,  // a packer part object the host opened itself
};

// An abstract stream as it reaches the breakers inside a MailItem.
class CAStream {
 public:
  virtual ~CAStream() = default;                    // slot 0
  virtual int32_t GetSubtype() = 0;                 // slot 1
  virtual ascommon::sstring GetFileName() = 0;      // slot 2
};

// A mail stream: its handle is the MIME packer's object for the mail's top
// part, valid until the stream is closed or destroyed.
class CAEmlStream : public CAStream {
 public:
  virtual void* GetHandle() = 0;  // slot 3
};

// The host's record for one mail, passed to the breakers and the performer.
// The host owns it, its boxes and its stream; the library reads `stream`,
// publishes the broken mail in `box`, reads the verdict from `verdictBox` and
// sets `modified` after it changed a header. One item is used by one thread at
// a time.
struct MailItem {
  void* reserved = nullptr;              // not read by this library
  CAStream* stream = nullptr;            // must be a CAEmlStream
  ascommon::CBlackBox box;               // the broken mail (ids 1, 2, 4)
  void* hostContext = nullptr;           // the host's own
  ascommon::CBlackBox* verdictBox = nullptr;  // the filters' verdict (ids 1, 4, 213)
  void* hostData = nullptr;              // the host's own
  bool modified = false;
};

#endif  // EMLBREAKER_MAIL_ITEM_H_
