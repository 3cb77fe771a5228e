// One MIME part of a broken mail (CPart) and the body objects that hold what
// the breaker learnt about its content (CPartBody and its four kinds). The
// filters read these objects from the parts tree in the black box, so the
// public fields keep their order and their names.
#ifndef MAIL_COMPONENTS_PART_H_
#define MAIL_COMPONENTS_PART_H_

#include <cstdint>

#include "emlbreaker/array.h"
#include "emlbreaker/map.h"
#include "emlbreaker/strings.h"

class CAMimePart;

namespace nsEmlComponents {

class CHeader;

// ---- Records the text and HTML analyses keep in the bodies ----

// One URL of a text or a tag: as decoded and as written. Both strings belong to
// the record. GetError lets CArray notice a copy that ran out of memory.
struct CUrl {
  ascommon::usstring decoded;
  ascommon::usstring raw;

  int32_t GetError() const { return decoded.GetError() != 0 ? decoded.GetError() : raw.GetError(); }
};

// One word of a text and the code unit it starts at. No stage fills word lists
// yet; the lists exist because the filters read the bodies' layout.
struct CWordInfo {
  ascommon::usstring word;
  int32_t position = 0;

  int32_t GetError() const { return word.GetError(); }
};

// An anchor of an HTML part: its visible text and a copy of its link.
struct CHtmlAHref {
  ascommon::usstring label;
  CUrl url;

  int32_t GetError() const { return label.GetError() != 0 ? label.GetError() : url.GetError(); }
};

// A <label> of an HTML part: its visible text and its FOR attribute.
struct CHtmlLabel {
  ascommon::usstring text;
  ascommon::usstring forId;

  int32_t GetError() const { return text.GetError() != 0 ? text.GetError() : forId.GetError(); }
};

// The summary the HTML analysis writes for one part: flags (0 or 1) and counts
// that describe tricks of unsolicited mail. Field order and widths are read by
// the filters. Not thread-safe.
struct CHtmlInfo {
  CHtmlInfo() { Reset(); }
  // Back to the state before a scan: every flag 0 but noHtmlElement, the counts
  // at their starting values, the title and every list empty. 0, or -2 when the
  // empty title cannot be stored.
  int Reset();

  uint8_t analysed;
  uint8_t nonAsciiRun;
  uint8_t mediumText;
  uint8_t redText;
  uint8_t remoteImage;
  uint8_t imageInLink;
  uint8_t webLink;
  uint8_t bigText;
  int32_t smallFontClass;
  uint8_t largeImage;
  uint8_t clickHere;
  uint8_t removeMailLink;
  uint8_t blankTarget;
  uint8_t encodedUrl;
  uint8_t numericIpHost;
  uint8_t decimalHost;
  uint8_t noHtmlElement;
  uint8_t nonJavaScript;
  uint8_t atInHost;
  uint8_t textOutsideHtml;
  uint8_t bizHost;
  uint8_t unbalancedTags;
  uint8_t imageWithoutSrc;
  int32_t visibleChars;
  int32_t splitComments;
  ascommon::usstring title;
  ascommon::CArray<CUrl, 64> links;
  ascommon::CArray<CUrl, 64> images;
  ascommon::CArray<CHtmlAHref, 64> anchors;
  ascommon::CArray<CHtmlLabel, 64> labels;
  int32_t hrefCount;
};

// ---- Bodies and parts ----

// Body kinds, as GetKind answers them.
enum : int32_t {
  kBodyBinary = 51,
  kBodyTextPlain = 52,
  kBodyTextHtml = 53,
  kBodyMultipart = 54,
};

// What a part's content is, by kind. `file` is the path of the file in which
// the packer left the decoded content (empty for a multipart): the packer owns
// that file and deletes it when the mail is closed. Not thread-safe: a body
// belongs to one mail, which one thread breaks at a time.
class CPartBody {
 public:
  CPartBody() = default;
  CPartBody(const CPartBody&) = delete;
  CPartBody& operator=(const CPartBody&) = delete;
  virtual ~CPartBody();
  virtual int32_t GetKind() const = 0;
  // Drops what a failed analysis left behind, so no reader sees half a result.
  virtual void Reset() = 0;

  ascommon::sstring file;
};

class CPartBodyBinary : public CPartBody {
 public:
  int32_t GetKind() const override { return kBodyBinary; }
  void Reset() override {}
};

class CPartBodyMultipart : public CPartBody {
 public:
  int32_t GetKind() const override { return kBodyMultipart; }
  void Reset() override {}
};

// A text/plain part. The text analysis fills every field after `file`.
class CPartBodyTextPlain : public CPartBody {
 public:
  ~CPartBodyTextPlain() override;
  int32_t GetKind() const override { return kBodyTextPlain; }
  // Clears `text` (its buffer zero-filled, so no decoded text lingers in it)
  // and frees `urls`; the UTF-8 copy and the words are left as they are.
  void Reset() override;

  ascommon::usstring text;
  ascommon::sstring utf8Text;
  ascommon::CArray<CUrl, 64> urls;
  ascommon::CArray<CWordInfo, 64> words;
};

// A text/html part. The HTML analysis fills every field after `file`.
class CPartBodyTextHtml : public CPartBody {
 public:
  ~CPartBodyTextHtml() override;
  int32_t GetKind() const override { return kBodyTextHtml; }
  // Clears the visible text (buffer zero-filled) and resets the summary; the
  // source and the UTF-8 copies are left as they are.
  void Reset() override;

  ascommon::usstring source;       // the decoded HTML as received
  ascommon::usstring visibleText;  // tags removed, references resolved
  ascommon::sstring utf8VisibleText;
  ascommon::sstring utf8Source;
  ascommon::CArray<CWordInfo, 64> words;
  CHtmlInfo info;
};

// Header map of a part: the upper-cased header name to the header object.
using CPartHeaderMap = ascommon::CMap<ascommon::sstring, CHeader*>;

// One MIME part. The part owns its headers (deleted with it) and its body;
// `source`, the packer's object for the part, is borrowed and stays valid until
// the mail is closed. The root part's map stays empty: the mail's own headers
// are the header map of the black box. Not thread-safe.
class CPart {
 public:
  // Throws std::bad_alloc when the header map cannot get its buckets.
  CPart(CAMimePart* part_source, int32_t part_depth);
  CPart(const CPart&) = delete;
  CPart& operator=(const CPart&) = delete;
  ~CPart();

  // The body's kind, or 0 while the part has no body.
  int32_t GetKind() const { return body != nullptr ? body->GetKind() : 0; }

  CPartHeaderMap headers;
  CPartBody* body = nullptr;
  CAMimePart* source = nullptr;
  int32_t depth = -1;  // 0 for the root, parent's + 1 below it; -1 until placed
  uint8_t removed = 0;
};

}  // namespace nsEmlComponents

#endif  // MAIL_COMPONENTS_PART_H_
