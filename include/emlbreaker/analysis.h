// What the text and HTML analyses record for a filter: URLs as decoded and as
// written, words, and the summary of an HTML part (the flags and counts that
// describe tricks of unsolicited mail, its links, images, anchors and labels).
// The records live in the bodies of the parts tree (parts_tree.h) and in the
// subject header (headers.h); field order and widths are part of the layout
// the filters read. Everything here is defined in this header, so a filter
// needs only ascommon (strings and containers) beside it.
#ifndef EMLBREAKER_ANALYSIS_H_
#define EMLBREAKER_ANALYSIS_H_

#include <cstdint>

#include "emlbreaker/array.h"
#include "emlbreaker/strings.h"

namespace nsEmlComponents {

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
  int Reset() {
    analysed = nonAsciiRun = mediumText = redText = remoteImage = imageInLink = 0;
    webLink = bigText = largeImage = clickHere = removeMailLink = blankTarget = 0;
    encodedUrl = numericIpHost = decimalHost = nonJavaScript = atInHost = 0;
    textOutsideHtml = bizHost = unbalancedTags = imageWithoutSrc = 0;
    noHtmlElement = 1;
    smallFontClass = 0;
    visibleChars = 1024;
    splitComments = 0;
    hrefCount = 0;
    links.SetSize(0, false);
    images.SetSize(0, false);
    anchors.SetSize(0, false);
    labels.SetSize(0, false);
    return title.Assign(u"");
  }

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

}  // namespace nsEmlComponents

#endif  // EMLBREAKER_ANALYSIS_H_
