// The tag features: what the tags of an HTML part tell its summary
// (CHtmlInfo). Links (the link list, web links, the "click here" wording, the
// unsubscribe address, "_BLANK" targets) with the anchors pairing each link
// with its text; images (remote, large, inside a link, without a source);
// FONT, SPAN, P and heading sizes, red FONT colours and text hidden by a tiny
// font; LABELs with their text; and a BASE address that makes relative links
// web links. The scanner (html_scanner.h) hands the tags over; the addresses
// go through the host rules (url_host_rules.h).
#ifndef MAIL_COMPONENTS_HTML_TAG_FEATURES_H_
#define MAIL_COMPONENTS_HTML_TAG_FEATURES_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "emlbreaker/parts_tree.h"
#include "mail/components/html_scanner.h"

namespace nsEmlComponents {

// The features of one scan; nothing survives it.
class CHtmlTagFeatures final : public CHtmlTagListener {
 public:
  // Reads the visible text of `scanner` (link and label texts) and tells it
  // when text is hidden; fills `info`, which the caller has reset.
  CHtmlTagFeatures(CHtmlScanner& scanner, CHtmlInfo& info) : scanner_(scanner), info_(info) {}
  CHtmlTagFeatures(const CHtmlTagFeatures&) = delete;
  CHtmlTagFeatures& operator=(const CHtmlTagFeatures&) = delete;

  void OnStartTag(std::u16string_view name, const char16_t* tag) override;
  void OnEndTag(std::u16string_view name, const char16_t* start_tag) override;
  // The flags only the whole part decides (remote images, images in links),
  // once the scan is over.
  void Finish();

 private:
  void OnAnchorStart(const char16_t* tag);
  void OnAnchorEnd(const char16_t* tag);
  void OnImage(const char16_t* tag);
  void OnFont(const char16_t* tag);
  void OnLabelStart(const char16_t* tag);
  void OnLabelEnd();
  void OnBase(const char16_t* tag);
  int ClassifyStyle(const char16_t* tag);
  bool DecodeAttribute(const char16_t* tag, const char16_t* name, CUrl* url);
  bool LinkTextAsksForClick() const;
  // The visible text written since the text mark, "" when there is no mark.
  std::u16string_view MarkedText() const;

  CHtmlScanner& scanner_;
  CHtmlInfo& info_;
  ptrdiff_t text_mark_ = -1;  // text position before a link's or label's text
  ptrdiff_t title_mark_ = -1;
  bool base_is_web_ = false, web_image_ = false, image_in_link_ = false;
  int open_web_links_ = 0;
  ascommon::usstring for_id_;   // FOR of the label being read
  ptrdiff_t recent_link_ = -1;  // index in info_.links of the latest anchor
};

}  // namespace nsEmlComponents

#endif  // MAIL_COMPONENTS_HTML_TAG_FEATURES_H_
