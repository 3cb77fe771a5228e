#include "mail/components/html_tag_features.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "mail/components/html_units.h"
#include "mail/components/url_finder.h"
#include "mail/components/url_host_rules.h"

namespace nsEmlComponents {
namespace {

using std::u16string_view;

constexpr size_t kNotFound = u16string_view::npos;
// Above this area (width x height) an image is a picture, not a spacer or a
// tracking pixel.
constexpr int64_t kLargeImageArea = 5000;
// FONT sizes are compared with this tolerance: "+1" is 2.5, not 2.5000001.
constexpr double kSizeTolerance = 0.01;

// A decimal integer as atoi reads one (sign, then digits), held within int32.
int64_t ReadInteger(const char16_t* text) {
  bool negative = false;
  if (*text == u'+' || *text == u'-') negative = *text++ == u'-';
  int64_t value = 0;
  for (; IsAsciiDigit(*text); ++text) {
    if (value < INT32_MAX) value = value * 10 + (*text - u'0');
  }
  if (value > INT32_MAX) value = INT32_MAX;
  return negative ? -value : value;
}

// A FONT "SIZE": 2 when absent; "+n" is relative and counts 2.5 per step, and
// never less than 2.5.
double FontSize(const CHtmlValue& size) {
  if (size[0] == 0) return 2;
  std::u16string run;
  for (size_t i = 0; size[i] == u'+' || size[i] == u'-' || IsAsciiDigit(size[i]); ++i) {
    run += size[i];
  }
  double value = static_cast<double>(ReadInteger(run.c_str()));
  if (size[0] == u'+') {
    value *= 2.5;
    if (value < 1) value = 2.5;
  }
  return value;
}

struct Rgb {
  int red = 0, green = 0, blue = 0;
};

int HexDigit(char16_t c) {
  if (IsAsciiDigit(c)) return c - u'0';
  c = AsciiUpper(c);
  return c >= u'A' && c <= u'F' ? c - u'A' + 10 : -1;
}

// "#RRGGBB" or one of the 16 HTML 4 colour names; anything else is black.
Rgb FontColour(const CHtmlValue& colour) {
  static constexpr struct {
    const char16_t* name;
    Rgb rgb;
  } kNames[] = {
      {u"WHITE", {255, 255, 255}}, {u"BLACK", {0, 0, 0}},        {u"RED", {255, 0, 0}},
      {u"YELLOW", {255, 255, 0}},  {u"BLUE", {0, 0, 255}},       {u"GREEN", {0, 128, 0}},
      {u"NAVY", {0, 0, 128}},      {u"SILVER", {192, 192, 192}}, {u"GRAY", {128, 128, 128}},
      {u"MAROON", {128, 0, 0}},    {u"PURPLE", {128, 0, 128}},   {u"FUCHSIA", {255, 0, 255}},
      {u"LIME", {0, 255, 0}},      {u"OLIVE", {128, 128, 0}},    {u"TEAL", {0, 128, 128}},
      {u"AQUA", {0, 255, 255}},
  };
  const u16string_view text(colour.data());
  if (text.size() == 7 && text[0] == u'#') {
    int digits[6];
    for (size_t i = 0; i < 6; ++i) {
      digits[i] = HexDigit(text[i + 1]);
      if (digits[i] < 0) return Rgb();
    }
    return Rgb{digits[0] * 16 + digits[1], digits[2] * 16 + digits[3], digits[4] * 16 + digits[5]};
  }
  for (const auto& entry : kNames) {
    if (text.size() == std::char_traits<char16_t>::length(entry.name) &&
        StartsWithName(text.data(), entry.name, 0)) {
      return entry.rgb;
    }
  }
  return Rgb();
}

// "mailto:...?subject=remove" is the unsubscribe link of bulk mail.
bool EndsInRemoveRequest(u16string_view decoded) {
  while (!decoded.empty() &&
         (decoded.back() == u' ' || decoded.back() == u'\t' || decoded.back() == u'\n')) {
    decoded.remove_suffix(1);
  }
  constexpr u16string_view kRemove = u"?SUBJECT=REMOVE";
  return decoded.size() >= kRemove.size() &&
         decoded.substr(decoded.size() - kRemove.size()) == kRemove;
}

}  // namespace

void CHtmlTagFeatures::OnStartTag(u16string_view name, const char16_t* tag) {
  if (name == u"TITLE") {
    title_mark_ = static_cast<ptrdiff_t>(scanner_.TextLength()) - 1;
  } else if (name == u"A") {
    OnAnchorStart(tag);
  } else if (name == u"IMG") {
    OnImage(tag);
  } else if (name == u"FONT") {
    OnFont(tag);
  } else if (name == u"SPAN") {
    if (ClassifyStyle(tag) == 2) info_.mediumText = 1;
  } else if (name == u"P") {
    if (ClassifyStyle(tag) == 1) scanner_.SetHiddenText(true);
  } else if (name == u"LABEL") {
    OnLabelStart(tag);
  } else if (name == u"H1") {
    info_.bigText = 1;
  } else if (name == u"H2") {
    info_.mediumText = 1;
  } else if (name == u"BASE") {
    OnBase(tag);
  }
}

void CHtmlTagFeatures::OnEndTag(u16string_view name, const char16_t* start_tag) {
  if (name == u"TITLE") {
    title_mark_ = -1;
  } else if (name == u"A") {
    OnAnchorEnd(start_tag);
  } else if (name == u"FONT") {
    scanner_.SetHiddenText(false);
  } else if (name == u"LABEL") {
    OnLabelEnd();
  }
}

void CHtmlTagFeatures::Finish() {
  if (image_in_link_) {
    info_.imageInLink = 1;
  } else if (web_image_) {
    info_.remoteImage = 1;
  }
}

// The address of an attribute, read by the host rules (ReadTagAddress). False
// when the record could not be filled.
bool CHtmlTagFeatures::DecodeAttribute(const char16_t* tag, const char16_t* name, CUrl* url) {
  CHtmlValue value;
  GetTagAttribute(tag, name, value);
  return ReadTagAddress(value.data(), *url, info_);
}

void CHtmlTagFeatures::OnAnchorStart(const char16_t* tag) {
  CUrl url;
  const bool filled = DecodeAttribute(tag, u"HREF", &url);
  if (!url.raw.IsEmpty()) ++info_.hrefCount;
  recent_link_ = -1;
  if (filled && AppendGrowing(info_.links, CUrl(url)) == 0) {
    recent_link_ = static_cast<ptrdiff_t>(info_.links.GetSize()) - 1;
  }
  const u16string_view decoded = url.decoded.View();
  if (IsWebAddress(decoded) || base_is_web_) {
    ++open_web_links_;
    info_.webLink = 1;
    text_mark_ = static_cast<ptrdiff_t>(scanner_.TextLength()) - 1;
    ApplyBizAndAtRule(decoded, info_);
  }
  if (EndsInRemoveRequest(decoded)) info_.removeMailLink = 1;
  CHtmlValue target;
  GetTagAttribute(tag, u"TARGET", target);
  if (u16string_view(target.data()) == u"_BLANK") info_.blankTarget = 1;
}

void CHtmlTagFeatures::OnAnchorEnd(const char16_t* tag) {
  CHtmlValue href;
  GetTagAttribute(tag, u"HREF", href);
  CUrl url;
  uint8_t already_counted = 0;
  if (url.raw.Assign(href.data()) != 0 || DecodeUrl(url, already_counted) != 0) return;
  if (!IsWebAddress(url.decoded.View()) && !base_is_web_) return;
  --open_web_links_;
  if (text_mark_ >= 0 && LinkTextAsksForClick()) info_.clickHere = 1;
  if (recent_link_ >= 0) {
    CHtmlAHref anchor;
    const u16string_view label = MarkedText();
    // A one-unit label is a stray blank or bullet, not a text the reader acts on.
    if (anchor.label.Assign(label.size() >= 2 ? label.data() : u"", label.size()) == 0) {
      anchor.url = info_.links[static_cast<size_t>(recent_link_)];
      AppendGrowing(info_.anchors, std::move(anchor));
    }
  }
  text_mark_ = -1;
}

u16string_view CHtmlTagFeatures::MarkedText() const {
  // A nested anchor's end tag removes the mark; without it the text is not
  // known, and taking everything since the start would make each such label
  // cost the length of the whole output.
  if (text_mark_ < 0) return u16string_view();
  const size_t start = static_cast<size_t>(text_mark_) + 1;
  const size_t end = scanner_.TextLength();
  return start < end ? u16string_view(scanner_.Text() + start, end - start) : u16string_view();
}

// "CLICK" and, anywhere after it and the blanks that follow it, "HERE", in the
// link text with the unit before it, upper-cased.
bool CHtmlTagFeatures::LinkTextAsksForClick() const {
  const char16_t* text = scanner_.Text();
  const size_t end = scanner_.TextLength();
  const size_t begin = static_cast<size_t>(text_mark_);
  auto unit = [&](size_t i) { return text[i] == 0 ? u'z' : AsciiUpper(text[i]); };
  auto find = [&](u16string_view word, size_t from) {
    for (size_t i = from; i + word.size() <= end; ++i) {
      size_t k = 0;
      while (k < word.size() && unit(i + k) == word[k]) ++k;
      if (k == word.size()) return i;
    }
    return kNotFound;
  };
  size_t at = find(u"CLICK", begin);
  if (at == kNotFound) return false;
  at += 5;
  while (at < end && u16string_view(u" _\t\r\n").find(unit(at)) != kNotFound) ++at;
  return find(u"HERE", at) != kNotFound;
}

void CHtmlTagFeatures::OnImage(const char16_t* tag) {
  CHtmlValue src;
  GetTagAttribute(tag, u"SRC", src);
  if (src[0] == 0) {
    info_.imageWithoutSrc = 1;
    return;
  }
  CUrl url;
  const bool filled = DecodeAttribute(tag, u"SRC", &url);
  const bool is_web = IsWebAddress(url.decoded.View()) || base_is_web_;
  if (filled) AppendGrowing(info_.images, std::move(url));
  if (!is_web) return;
  web_image_ = true;
  CHtmlValue height, width;
  GetTagAttribute(tag, u"HEIGHT", height);
  GetTagAttribute(tag, u"WIDTH", width);
  const int64_t h = height[0] != 0 ? ReadInteger(height.data()) : -1;
  const int64_t w = width[0] != 0 ? ReadInteger(width.data()) : -1;
  if (h * w > kLargeImageArea) info_.largeImage = 1;
  if (open_web_links_ > 0) image_in_link_ = true;
}

void CHtmlTagFeatures::OnFont(const char16_t* tag) {
  CHtmlValue value;
  GetTagAttribute(tag, u"SIZE", value);
  const double size = FontSize(value);
  GetTagAttribute(tag, u"COLOR", value);
  const Rgb colour = FontColour(value);
  if (size > 2.5 + kSizeTolerance) {
    if (size > 4.5 + kSizeTolerance) {
      info_.bigText = 1;
    } else {
      info_.mediumText = 1;
    }
  }
  // Once a style has hidden text (class 2 or 3), a FONT no longer lowers it.
  if (info_.smallFontClass < 2) {
    if (std::fabs(size - 1) < kSizeTolerance) {
      info_.smallFontClass = 1;
    } else if (std::fabs(size) < kSizeTolerance) {
      info_.smallFontClass = 2;
      scanner_.SetHiddenText(true);
    }
  }
  if (colour.red >= 247 && colour.green < 8 && colour.blue < 8) info_.redText = 1;
  if (ClassifyStyle(tag) == 1) scanner_.SetHiddenText(true);
}

// The style rule on a tag's STYLE: 1 for a one-digit font size from 0 to 4
// (text nobody can read; smallFontClass records how small), 2 for a two-digit
// size of 15 or more, else 0. Only the first declaration is seen: the
// attribute value ends at its first ";".
int CHtmlTagFeatures::ClassifyStyle(const char16_t* tag) {
  CHtmlValue style;
  GetTagAttribute(tag, u"STYLE", style);
  if (style[0] == 0) return 0;
  CHtmlValue font_size;
  GetStyleProperty(style.data(), u"FONT-SIZE", font_size);
  const char16_t c1 = font_size[0];
  const char16_t c2 = c1 != 0 ? font_size[1] : 0;
  if (c1 >= u'0' && c1 <= u'4' && !IsAsciiDigit(c2)) {
    info_.smallFontClass = c1 <= u'2' ? 3 : 2;
    return 1;
  }
  if (c1 >= u'1' && c1 <= u'9' && IsAsciiDigit(c2) && (c1 - u'0') * 10 + (c2 - u'0') >= 15) {
    return 2;
  }
  return 0;
}

void CHtmlTagFeatures::OnLabelStart(const char16_t* tag) {
  CHtmlValue for_value;
  GetTagAttribute(tag, u"FOR", for_value);
  if (for_value[0] != 0) {
    for_id_.Assign(for_value.data());
    text_mark_ = static_cast<ptrdiff_t>(scanner_.TextLength()) - 1;
  } else {
    for_id_.Assign(u"");
  }
}

void CHtmlTagFeatures::OnLabelEnd() {
  if (for_id_.IsEmpty()) return;
  CHtmlLabel label;
  const u16string_view text = MarkedText();
  if (label.text.Assign(text.empty() ? u"" : text.data(), text.size()) != 0) return;
  label.forId = for_id_;
  AppendGrowing(info_.labels, std::move(label));
}

void CHtmlTagFeatures::OnBase(const char16_t* tag) {
  CUrl url;
  DecodeAttribute(tag, u"HREF", &url);
  if (IsWebAddress(url.decoded.View())) base_is_web_ = true;
}

}  // namespace nsEmlComponents
