// The MIME packer interface: what libmsgcodec.so exports, and what the streamer
// and the breaker call on it. A host loads the library, looks up
// "RequestInterface" and "ReleaseInterface", and opens mails through the
// CAMimePacker it is given; every mail is a tree of CAMimePart objects whose top
// is the handle that Open and OpenMemory return.
//
// Both classes are plain virtual tables: the slot order below is the binary
// interface and must not change. Neither has a virtual destructor (slot 0 of the
// interface is the kind check); objects are freed by Close and by
// ReleaseInterface, never by `delete`.
//
// Every slot returns a code and never throws. "Non-zero" means success unless a
// slot says otherwise; after a failure GetLastError tells why.
//
// Threads: the interface is one object for the whole process and may be used
// from any number of threads at once. A mail (its top part and every part
// reached from it) belongs to one thread at a time; different mails may be
// opened, read, written and closed concurrently on different threads.
//
// docs/PACKER.md describes the behaviour byte for byte.
#ifndef EMLBREAKER_PACKER_H_
#define EMLBREAKER_PACKER_H_

#include <cstdint>

#include "emlbreaker/platform.h"

// The kind of interface that RequestInterface hands out and Check accepts.
inline constexpr int32_t kPackerKindMime = 1;

// Size of the path buffer of CAMimePart::GetBodyFile, terminator included.
// Every path the packer writes there is shorter; a body directory whose paths
// would not fit is refused when the mail is opened.
inline constexpr uint32_t kPackerMaxPath = 4096;

// Mode argument of CAMimePart::SetHeader.
inline constexpr int32_t kSetHeaderAppend = 0;   // always add another header
inline constexpr int32_t kSetHeaderReplace = 1;  // replace the first of that name, else add

// Defects a parse found (CAMimePart::GetDefects), one bit each. They describe
// the input, not a failure: the mail is still readable.
enum : uint32_t {
  kDefectNotAMail = 1u << 0,            // no header block could be read: the whole
                                        // input is the top part's body, no headers
  kDefectTooDeep = 1u << 1,             // parts nested past the depth limit are hidden
  kDefectTooManyParts = 1u << 2,        // parts past the part limit are hidden
  kDefectNoBoundary = 1u << 3,          // a multipart without a boundary parameter
  kDefectMalformedMultipart = 1u << 4,  // a multipart ended by its parent's boundary
  kDefectTruncated = 1u << 5,           // the input ended inside a multipart
  kDefectInvalidHeader = 1u << 6,       // reserved, not reported (docs/PACKER.md)
  kDefectBoundaryNotFound = 1u << 7,    // a multipart with a boundary parameter but
                                        // no delimiter line of it in its content:
                                        // shown as a text/plain leaf of that content
};

// One MIME part of an open mail. The top part (the handle of the mail) carries
// the mail's header block; a child carries its own header block only. Part
// objects belong to the mail and stay valid, removed or not, until Close of
// the mail; the caller never frees them.
class CAMimePart {
 public:
  // slot 0: nesting depth: 0 for the top part, parent's depth + 1 below it.
  virtual int32_t GetDepth() = 0;
  // slot 1: the parent part, null for the top part.
  virtual CAMimePart* GetParent() = 0;
  // slot 2: writes the media type ("text/plain", lower case, terminated) into
  // `buffer` of `size` bytes. Returns its length, or 0 when it does not fit.
  virtual int32_t GetContentType(char* buffer, uint32_t size) = 0;
  // slot 3: bytes of the part's content as it stands in the mail (before its
  // transfer encoding is undone); 0 for a multipart or a part without content,
  // -1 when the content cannot be located.
  virtual int64_t GetEncodedSize() = 0;
  // slot 4: non-zero when this part or one of its ancestors was removed.
  virtual int32_t IsRemoved() = 0;
  // slot 5: takes this part out of its parent: a later write leaves out the
  // part with its delimiter line, and NextChild skips it. `caller_part` is
  // the caller's own record of the part; it is not read. Fails for the top part.
  virtual int32_t Remove(const void* caller_part) = 0;
  // slot 6: rewinds the header enumeration; the next NextHeader returns the
  // first header. Always returns 1.
  virtual int32_t RewindHeaders() = 0;
  // slot 7: copies the next header into `name` and `value`, each terminated,
  // and returns 1; returns 0 after the last header (buffers untouched). Each
  // buffer must hold at least the length that GetMaxHeaderLengths reported,
  // plus one byte, asked for after the last SetHeader on this part.
  // The name is as written in the mail (blanks before the colon dropped); the
  // value is the raw 8-bit text after the colon with leading blanks and tabs
  // removed and every line break removed (unfolded); encoded words stay encoded.
  virtual int32_t NextHeader(char* name, char* value) = 0;
  // slot 8: the largest name length and the largest value length that
  // NextHeader will write for this part, terminator excluded (0 and 0 when it
  // has no headers). Returns 1; 0 when an output pointer is null.
  virtual int32_t GetMaxHeaderLengths(uint32_t* name_length, uint32_t* value_length) = 0;
  // slot 9: sets header `name` (any case) to `value` (8-bit text, one line; a
  // line break in it becomes a folded continuation). kSetHeaderReplace replaces
  // the value of the first header of that name, compared without regard to
  // case and keeping the mail's spelling of the name, or adds a new header at
  // the end of the part's header block; kSetHeaderAppend always adds one. The
  // change shows in the enumeration at once and in the mail when it is written.
  // Returns 0 for a name that is empty or not printable ASCII without ':'.
  virtual int32_t SetHeader(const char* name, const char* value, int32_t mode) = 0;
  // slot 10: non-zero for a multipart container (its children come from
  // NextChild); 0 for a leaf, message/rfc822 attachments included. A
  // multipart whose boundary opens no part is a text/plain leaf whose body is
  // its content (kDefectBoundaryNotFound).
  virtual int32_t IsMultipart() = 0;
  // slot 11: *child null in: stores the first child; a child of this part in:
  // stores the child after it. Returns 1, or 0 at the end (or for a pointer
  // that is not a child of this part), storing null. Removed children are skipped.
  virtual int32_t NextChild(CAMimePart** child) = 0;
  // slot 12: number of children NextChild enumerates (removed ones excluded).
  virtual int32_t GetChildCount() = 0;
  // slot 13: the defects of the whole mail (kDefect* bits); any part answers.
  virtual uint32_t GetDefects() = 0;
  // slot 14: writes into `path` (kPackerMaxPath bytes) the terminated path of
  // a file holding the part's content with its transfer encoding undone
  // (base64, quoted-printable, uuencode; 7bit, 8bit and binary as they are).
  // The file is written on the first call and the same path returned after;
  // it lives in the mail's private directory and is deleted by Close. A
  // message/rfc822 attachment gives the attached mail's bytes. Returns 1, or 0
  // on failure (a multipart, a null buffer, a file that cannot be written).
  virtual int32_t GetBodyFile(char* path) = 0;

 protected:
  ~CAMimePart() = default;
};

// The packer. One object per process, handed out by RequestInterface.
class CAMimePacker {
 public:
  // slot 0: non-zero when `kind` is kPackerKindMime.
  virtual int32_t Check(int32_t kind) = 0;
  // slot 1: reads the mail file `file_name` and parses it; returns its top
  // part (the mail's handle) or null on failure. The file is read once and
  // closed; later changes to it are not seen.
  virtual CAMimePart* Open(const char* file_name) = 0;
  // slot 2: closes a mail opened by Open or OpenMemory: frees every part and
  // deletes every body file and the mail's directory. `reserved1` to
  // `reserved3` must be 0. Returns 0 for a handle that is not an open mail.
  virtual int32_t Close(CAMimePart* mail, int32_t reserved1, int32_t reserved2,
                        int32_t reserved3) = 0;
  // slot 3: parses `size` bytes at `data` as one mail; the bytes are copied, so
  // the caller may free them at once. Returns the top part, or null.
  virtual CAMimePart* OpenMemory(const void* data, uint64_t size) = 0;
  // slot 4: writes the mail with its changes (SetHeader, Remove) to `path`,
  // replacing the file atomically (a temporary file beside it is renamed).
  // An unchanged mail is written byte for byte as it was read. Returns 1 or 0.
  virtual int32_t WriteToFile(CAMimePart* mail, const char* path) = 0;
  // slot 5: as WriteToFile, written to the open descriptor `fd` at its
  // current position; the descriptor is left open. Returns 1 or 0.
  virtual int32_t WriteToFd(CAMimePart* mail, int32_t fd) = 0;
  // slot 6: non-zero when SetHeader or Remove changed the mail since it was opened.
  virtual int32_t IsModified(CAMimePart* mail) = 0;
  // slot 7: the text of the last failure of a packer call on the calling
  // thread, empty when there was none. Valid until the next packer call on
  // this thread.
  virtual const char* GetLastError() = 0;
  // slot 8: the directory under which mails opened from now on create their
  // private body directories; null or "" goes back to the default (env
  // MSGCODEC_TMPDIR, else /dev/shm when it is a writable RAM file system, else
  // env TMPDIR, else /tmp). Returns 0 when `directory` is not a writable directory.
  virtual int32_t SetBodyDirectory(const char* directory) = 0;

 protected:
  ~CAMimePacker() = default;
};

extern "C" {
// "RequestInterface": stores the packer in *out and returns non-zero when
// `kind` is kPackerKindMime; otherwise stores null and returns 0.
typedef int32_t (*RequestInterfaceFn)(int32_t kind, CAMimePacker** out);
// "ReleaseInterface": gives the packer back and stores null in *packer. Mails
// still open stay valid and must still be closed.
typedef void (*ReleaseInterfaceFn)(CAMimePacker** packer);
}

// Names of the two exports, for dlsym.
inline constexpr const char* kRequestInterfaceName = "RequestInterface";
inline constexpr const char* kReleaseInterfaceName = "ReleaseInterface";

#endif  // EMLBREAKER_PACKER_H_
