// The header model of a broken mail: one CHeader object per header name of the
// mail (black box id 1, blackbox_ids.h) or of a MIME part (CPart::headers), of
// the class its name selects, and the header map that holds them. A filter
// tells the classes apart by GetType and reads the fields in place; the rules
// and the performer change the modifiable ones. The public fields keep their
// order and names.
//
// A header map does not own its headers: whoever frees a map deletes its
// headers first. The breaker builds and frees them; header objects are per
// mail and used by one thread at a time. The classes are defined here whole
// (their destructors too), so code that makes a header, such as a rule's
// add_header action, needs nothing of the header parser.
#ifndef EMLBREAKER_HEADERS_H_
#define EMLBREAKER_HEADERS_H_

#include <cstdint>
#include <initializer_list>

#include "emlbreaker/analysis.h"
#include "emlbreaker/array.h"
#include "emlbreaker/map.h"
#include "emlbreaker/strings.h"

namespace nsEmlComponents {

// What CHeader::GetType answers for each class.
enum : int32_t {
  kHeaderOther = 2,
  kHeaderAddress = 3,
  kHeaderDate = 4,
  kHeaderReceived = 5,
  kHeaderContentType = 6,
  kHeaderContentDisposition = 7,
  kHeaderIdentification = 8,
  kHeaderSubject = 9,
};

// The base of every header object. `value` is the header's raw value as wide
// text (UTF-8 taken strictly; empty when the bytes are not valid UTF-8); for
// Received it joins the values of all Received headers with "\n".
class CHeader {
 public:
  virtual ~CHeader() = default;
  virtual int32_t GetType() const = 0;

  ascommon::usstring value;
};

// Bytes of one header's value that the breaker takes in (1 MiB); past it the
// value, and every field parsed from it, holds the start only, cut before a
// UTF-8 sequence rather than inside one. A host tells a cut header by the
// packer's longest value of the part (CAMimePart::GetMaxHeaderLengths) being
// longer than this, and the header's own value coming within 3 bytes of it.
inline constexpr size_t kMaxHeaderValueBytes = 1u << 20;

// The second base of the headers whose text may be rewritten (CHeaderOther,
// CHeaderSubject). Whoever changes the text sets `modified`; CommitChanges
// writes modified headers back into the mail.
class CModifiableHeader {
 public:
  virtual ~CModifiableHeader() = default;
  // The header's current 8-bit text, or null when it has none.
  virtual const char* GetText() const = 0;

  uint8_t modified = 0;
};

// Any header without a class of its own: the raw value, as the mail has it.
class CHeaderOther : public CHeader, public CModifiableHeader {
 public:
  ~CHeaderOther() override = default;
  int32_t GetType() const override { return kHeaderOther; }
  const char* GetText() const override { return text.IsSet() ? text.c_str() : nullptr; }

  ascommon::sstring text;
};

// "Subject": the raw text without leading white space, and the same after
// encoded-word decoding. `charset` is the charset of the last encoded word
// (empty when there is none). `words` stays empty here; the text analysis fills it.
class CHeaderSubject : public CHeader, public CModifiableHeader {
 public:
  ~CHeaderSubject() override = default;
  int32_t GetType() const override { return kHeaderSubject; }
  const char* GetText() const override { return text.IsSet() ? text.c_str() : nullptr; }

  ascommon::usstring decoded;
  ascommon::sstring text;
  ascommon::sstring charset;
  ascommon::CArray<CWordInfo, 64> words;
};

// One entry of an address list: display name (possibly empty) and address.
struct FullAddress {
  ascommon::usstring name;
  ascommon::usstring address;

  int32_t GetError() const { return name.GetError() != 0 ? name.GetError() : address.GetError(); }
};

// "From", "To", "Cc" and the other address headers: the entries of the list in
// the order written, after encoded-word decoding of the whole value.
class CHeaderAddress : public CHeader {
 public:
  using FullAddress = nsEmlComponents::FullAddress;

  ~CHeaderAddress() override = default;
  int32_t GetType() const override { return kHeaderAddress; }

  ascommon::sstring charset;
  ascommon::CArray<FullAddress, 64> addresses;
};

// A date as ParseDate reads it. `valid` and `complete` are 0 once a token was
// rejected; `obsolete` tells that an obsolete form was accepted (a day name
// without comma, a two-digit year, a named zone). A numeric zone is in minutes
// (+0200 gives 120); a named zone is in hours (EST gives -5), as the mailers
// this library was first written against reported it.
struct DateRecord {
  int32_t second = 0;
  int32_t minute = 0;
  int32_t hour = 0;
  int32_t day = 0;      // 1 to 31
  int32_t weekday = 0;  // 0 Sunday to 6 Saturday
  int32_t month = 0;    // 0 January to 11 December
  int32_t year = 0;     // four digits
  int32_t zone = 0;
  char monthName[4] = {};    // "Jan" to "Dec"
  char weekdayName[4] = {};  // "Sun" to "Sat"
  uint8_t valid = 1;
  uint8_t obsolete = 0;
  uint8_t complete = 0;
};

// "Date".
class CHeaderDate : public CHeader {
 public:
  ~CHeaderDate() override = default;
  int32_t GetType() const override { return kHeaderDate; }

  DateRecord date;
};

// What one Received header tells: the date after ";", the names and address
// of the sending host from the from clause, and the texts around them. The
// three reserved texts are part of the layout the filters read and stay empty.
struct ReceivedData {
  DateRecord date;
  ascommon::sstring heloName;
  ascommon::sstring hostName;
  ascommon::sstring ip;
  ascommon::sstring reserved1;
  ascommon::sstring reserved2;
  ascommon::sstring reserved3;
  ascommon::sstring byText;    // what follows the from clause and its comments
  ascommon::sstring fromText;  // everything before the first ";", trimmed

  int32_t GetError() const {
    for (const ascommon::sstring* text :
         {&heloName, &hostName, &ip, &reserved1, &reserved2, &reserved3, &byText, &fromText}) {
      if (text->GetError() != 0) return text->GetError();
    }
    return 0;
  }
};

// "Received": every Received header of one map shares this object, one hop per
// header in header order.
class CHeaderReceived : public CHeader {
 public:
  ~CHeaderReceived() override = default;
  int32_t GetType() const override { return kHeaderReceived; }

  ascommon::CArray<ReceivedData, 64> hops;
};

// "Content-Type": the media type and the three parameters the breaker uses,
// each as written (case kept), empty when absent.
class CHeaderContentType : public CHeader {
 public:
  ~CHeaderContentType() override = default;
  int32_t GetType() const override { return kHeaderContentType; }

  ascommon::sstring type;
  ascommon::sstring charset;
  ascommon::sstring boundary;
  ascommon::sstring name;
};

// "Content-Disposition": the file name parameter. The disposition type is not
// kept: `disposition` is empty after parsing.
class CHeaderContentDisposition : public CHeader {
 public:
  ~CHeaderContentDisposition() override = default;
  int32_t GetType() const override { return kHeaderContentDisposition; }

  ascommon::sstring disposition;
  ascommon::sstring filename;
};

// "Message-Id", "Content-ID", "In-Reply-To", "References": the identifier
// without its angle brackets.
class CHeaderIdentification : public CHeader {
 public:
  ~CHeaderIdentification() override = default;
  int32_t GetType() const override { return kHeaderIdentification; }

  ascommon::sstring id;
};

// The header map: upper-cased header name to header object (not owned).
using CHeaderMap = ascommon::CMap<ascommon::sstring, CHeader*>;

}  // namespace nsEmlComponents

#endif  // EMLBREAKER_HEADERS_H_
