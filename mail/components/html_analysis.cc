#include "mail/components/html_analysis.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "common/wide_scan.h"
#include "mail/components/html_units.h"
#include "mail/components/text_analysis.h"
#include "mail/components/url_finder.h"
#include "mail/components/url_host_rules.h"

namespace nsEmlComponents {
namespace {

using ascommon::usstring;
using std::u16string_view;

constexpr size_t kNotFound = u16string_view::npos;
// The element stack has room for the deepest scan plus the reference level.
constexpr size_t kStackEntries = 150;
// Comments past this count overwrite a slot that is not read any more.
constexpr size_t kCountedComments = kHtmlCommentSlots - 1;
// A character reference is resolved when ";" comes within this many units.
constexpr size_t kReferenceMax = 7;
// Above this area (width x height) an image is a picture, not a spacer or a
// tracking pixel.
constexpr int64_t kLargeImageArea = 5000;
// FONT sizes are compared with this tolerance: "+1" is 2.5, not 2.5000001.
constexpr double kSizeTolerance = 0.01;

// Letters without the C library's locale: ASCII, Latin-1 and the alphabets mail
// commonly arrives in. Enough to tell words from punctuation and blanks.
bool IsLetter(char16_t c) {
  if (c < 0x80) return (c | 0x20) >= u'a' && (c | 0x20) <= u'z';
  if (c < 0x100)
    return c == 0xAA || c == 0xB5 || c == 0xBA || (c >= 0xC0 && c != 0xD7 && c != 0xF7);
  if (c <= 0x24F) return true;                                    // Latin Extended-A and -B
  if (c >= 0x370 && c <= 0x3FF) return c >= 0x386 && c != 0x387;  // Greek
  if (c >= 0x400 && c <= 0x52F) return c < 0x482 || c > 0x489;    // Cyrillic
  if (c >= 0x5D0 && c <= 0x5EA) return true;                      // Hebrew
  if (c >= 0x620 && c <= 0x64A) return true;                      // Arabic
  if (c >= 0xE01 && c <= 0xE30) return true;                      // Thai
  if (c >= 0x1E00 && c <= 0x1FFF) return true;                    // Latin and Greek Extended
  if (c >= 0x3041 && c <= 0x30FF) return c != 0x30FB;             // Hiragana and Katakana
  if (c >= 0x4E00 && c <= 0x9FFF) return true;                    // CJK ideographs
  return c >= 0xAC00 && c <= 0xD7A3;                              // Hangul
}

// Units a comment must stand between to be splitting a word for a filter.
bool IsWordUnit(char16_t c) {
  return IsLetter(c) || IsAsciiDigit(c) || u16string_view(u"!?.,;$").find(c) != kNotFound;
}

bool IsTagNameEnd(char16_t c) {
  return c == 0 || c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

// An attribute or style value: leading quotes and blanks skipped, up to a
// double quote, ";", CR, LF or the end.
void ReadValue(const char16_t* text, CHtmlValue& value) {
  while (*text == u'"' || *text == u'\r' || *text == u'\n' || *text == u'\t' || *text == u' ') {
    ++text;
  }
  size_t length = 0;
  while (length < kHtmlTagMax && text[length] != 0 && text[length] != u'"' &&
         text[length] != u';' && text[length] != u'\r' && text[length] != u'\n') {
    value[length] = text[length];
    ++length;
  }
  value[length] = 0;
}

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
  for (size_t i = 0; size[i] == u'+' || size[i] == u'-' || IsAsciiDigit(size[i]); ++i)
    run += size[i];
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

// Scanner states. The numbers are those of the state diagram the filters'
// authors tuned against; 1 is not used.
enum State : uint8_t {
  kTopText = 0,    // text outside every element
  kInnerText = 2,  // text inside an element
  kReference = 3,  // after "&"
  kTagOpen = 4,    // after "<"
  kStartTag = 5,
  kEndTag = 6,
  kComment = 7,        // "<!" up to ">"
  kScript = 8,         // inside SCRIPT, skipped
  kScriptTagOpen = 9,  // after "<" inside SCRIPT
};

// One scan of one source. Holds every working buffer; nothing survives it.
class HtmlScanner {
 public:
  HtmlScanner(const CHtmlTables& tables, char16_t* output, size_t capacity, CHtmlInfo& info)
      : tables_(tables), info_(info), output_(output), last_(capacity - 1) {
    return_state_.fill(kTopText);
  }

  // May throw std::bad_alloc (the element stack's text).
  void Run(const char16_t* source);
  // The final steps; 0, or -10 when the URLs of the text cannot be stored.
  int Finish();

 private:
  void Step(char16_t c);
  void Put(char16_t c) {
    output_[pos_] = c;
    if (pos_ < last_) ++pos_;
  }
  void AppendTag(char16_t c) {
    if (tag_len_ < kHtmlTagMax) {
      tag_[tag_len_++] = c;
    } else {
      tag_[kHtmlTagMax - 1] = c;
    }
  }
  void OpenReference(State resume) {
    return_state_[depth_ + 1] = resume;
    ++depth_;
    ref_len_ = 0;
    state_ = kReference;
  }
  void CloseReference() {
    state_ = return_state_[depth_];
    --depth_;
  }
  void OnReferenceUnit(char16_t c);
  void OnStartTag();
  void OnEndTag();
  void HandleStartTag(u16string_view name, const char16_t* tag);
  void HandleEndTag(u16string_view name, const char16_t* tag);
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
  u16string_view MarkedText() const;

  const CHtmlTables& tables_;
  CHtmlInfo& info_;
  char16_t* output_;
  const size_t last_;
  size_t pos_ = 1;  // output_[0] is always a space
  State state_ = kTopText;
  int depth_ = 0;
  std::array<State, kStackEntries> return_state_;
  // Open elements' upper-cased tag texts, each NUL-terminated, back to back.
  std::u16string stack_text_;
  std::array<size_t, kStackEntries> stack_start_{};
  std::array<char16_t, kHtmlTagMax + 1> tag_{};
  size_t tag_len_ = 0;
  std::array<char16_t, kReferenceMax> ref_{};
  size_t ref_len_ = 0;
  std::array<size_t, kHtmlCommentSlots> comments_{};
  size_t comment_count_ = 0;
  ptrdiff_t text_mark_ = -1;  // output position before a link's or label's text
  ptrdiff_t title_mark_ = -1;
  bool inside_html_ = false, inside_style_ = false, hidden_text_ = false, base_is_web_ = false;
  bool tag_seen_ = false, web_image_ = false, image_in_link_ = false;
  int open_web_links_ = 0;
  int64_t start_tags_ = 0, end_tags_ = 0;
  usstring for_id_;             // FOR of the label being read
  ptrdiff_t recent_link_ = -1;  // index in info_.links of the latest anchor
  size_t non_ascii_run_ = 0;
};

void HtmlScanner::Run(const char16_t* source) {
  info_.analysed = 1;
  output_[0] = u' ';
  for (size_t i = 0; source[i] != 0 && depth_ < kHtmlMaxDepth; ++i) {
    const char16_t c = source[i];
    if (c >= 0x80) {
      if (++non_ascii_run_ >= 3) info_.nonAsciiRun = 1;
    } else {
      non_ascii_run_ = 0;
    }
    Step(c);
  }
}

void HtmlScanner::Step(char16_t c) {
  switch (state_) {
    case kTopText:
      if (c == u'<') {
        return_state_[depth_] = kTopText;
        tag_len_ = 0;
        tag_seen_ = true;
        info_.textOutsideHtml = 0;
        state_ = kTagOpen;
      } else if (c == u'&') {
        OpenReference(kTopText);
      } else {
        Put(c);
        if (!inside_html_ && IsLetter(c)) info_.textOutsideHtml = 1;
      }
      break;
    case kInnerText:
      if (c == u'<') {
        return_state_[depth_] = kInnerText;
        tag_len_ = 0;
        state_ = kTagOpen;
      } else if (inside_style_ || hidden_text_) {
        // dropped: style sheets and invisible text are not what the reader sees
      } else if (c == u'&') {
        OpenReference(kInnerText);
      } else {
        Put(c);
      }
      break;
    case kReference:
      OnReferenceUnit(c);
      break;
    case kTagOpen:
      tag_len_ = 0;
      if (c == u'!') {
        state_ = kComment;
      } else if (c == u'/') {
        ++end_tags_;
        state_ = kEndTag;
      } else {
        AppendTag(c);
        ++start_tags_;
        state_ = kStartTag;
      }
      break;
    case kStartTag:
    case kEndTag:
      if (c != u'>') {
        AppendTag(c);
      } else if (state_ == kStartTag) {
        OnStartTag();
      } else {
        OnEndTag();
      }
      break;
    case kComment:
      if (c == u'>') {
        comments_[comment_count_] = pos_ - 1;
        if (comment_count_ < kCountedComments) ++comment_count_;
        state_ = return_state_[depth_];
      }
      break;
    case kScript:
      if (c == u'<') state_ = kScriptTagOpen;
      break;
    case kScriptTagOpen:
      // Neither counted: script text is not markup, though "</" may end it.
      tag_len_ = 0;
      state_ = c == u'/' ? kEndTag : kStartTag;
      break;
  }
}

void HtmlScanner::OnReferenceUnit(char16_t c) {
  if (c != u';') {
    ref_[ref_len_++] = c;
    if (ref_len_ == kReferenceMax) {  // too long for a name: plain text after all
      Put(u'&');
      for (char16_t unit : ref_) Put(unit);
      CloseReference();
    }
    return;
  }
  if (ref_len_ > 0 && ref_[0] == u'#') {
    // Decimal only. A reference without digits (or "&#0;") would put a NUL in
    // the visible text and end it there for every later reader, so it is
    // dropped instead.
    uint32_t value = 0;
    for (size_t i = 1; i < ref_len_ && IsAsciiDigit(ref_[i]); ++i)
      value = value * 10 + (ref_[i] - u'0');
    const char16_t unit = static_cast<char16_t>(value);
    if (unit != 0) Put(unit);
  } else {
    const int code = tables_.entities.Lookup(ref_.data(), ref_len_);
    if (code >= 0) {
      Put(static_cast<char16_t>(code));
    } else {
      Put(u'&');
      for (size_t i = 0; i < ref_len_; ++i) Put(ref_[i]);
    }
  }
  CloseReference();
}

void HtmlScanner::OnStartTag() {
  tag_[tag_len_] = 0;
  for (size_t i = 0; i < tag_len_; ++i) tag_[i] = AsciiUpper(tag_[i]);
  size_t name_len = 0;
  while (!IsTagNameEnd(tag_[name_len])) ++name_len;
  const u16string_view name(tag_.data(), name_len);

  if (name == u"P" || name == u"PRE" || name == u"BR") Put(u' ');
  if (name == u"SCRIPT") {
    state_ = kScript;
    return;
  }
  if (tables_.emptyTags.Contains(name.data(), name.size())) {
    state_ = return_state_[depth_];
  } else {
    stack_start_[depth_] = stack_text_.size();
    stack_text_.append(tag_.data(), tag_len_);
    stack_text_.push_back(0);
    ++depth_;
    state_ = kInnerText;
  }
  HandleStartTag(name, tag_.data());
}

void HtmlScanner::HandleStartTag(u16string_view name, const char16_t* tag) {
  if (name == u"HTML") {
    inside_html_ = true;
    info_.noHtmlElement = 0;
  } else if (name == u"TITLE") {
    title_mark_ = static_cast<ptrdiff_t>(pos_) - 1;
  } else if (name == u"A") {
    OnAnchorStart(tag);
  } else if (name == u"IMG") {
    OnImage(tag);
  } else if (name == u"FONT") {
    OnFont(tag);
  } else if (name == u"SPAN") {
    if (ClassifyStyle(tag) == 2) info_.mediumText = 1;
  } else if (name == u"P") {
    if (ClassifyStyle(tag) == 1) hidden_text_ = true;
  } else if (name == u"LABEL") {
    OnLabelStart(tag);
  } else if (name == u"H1") {
    info_.bigText = 1;
  } else if (name == u"H2") {
    info_.mediumText = 1;
  } else if (name == u"BASE") {
    OnBase(tag);
  } else if (name == u"STYLE") {
    inside_style_ = true;
  }
}

void HtmlScanner::OnEndTag() {
  tag_[tag_len_] = 0;
  for (size_t i = 0; i < tag_len_; ++i) tag_[i] = AsciiUpper(tag_[i]);
  size_t name_len = 0;
  while (!IsTagNameEnd(tag_[name_len])) ++name_len;
  const u16string_view name(tag_.data(), name_len);
  if (depth_ == 0) {
    state_ = kTopText;
    return;
  }
  // The open element's name: its first unit and the letters and digits after.
  const char16_t* top = stack_text_.c_str() + stack_start_[depth_ - 1];
  size_t top_len = top[0] != 0 ? 1 : 0;
  while (top_len > 0 && top_len < kHtmlTagMax &&
         (IsLetter(top[top_len]) || IsAsciiDigit(top[top_len]))) {
    ++top_len;
  }
  if (top_len == 0 || u16string_view(top, top_len) != name) {
    state_ = return_state_[depth_];  // not the innermost element: ignored
    return;
  }
  --depth_;
  HandleEndTag(name, top);
  stack_text_.resize(stack_start_[depth_]);
  state_ = return_state_[depth_];
}

void HtmlScanner::HandleEndTag(u16string_view name, const char16_t* tag) {
  if (name == u"HTML") {
    inside_html_ = false;
  } else if (name == u"TITLE") {
    title_mark_ = -1;
  } else if (name == u"A") {
    OnAnchorEnd(tag);
  } else if (name == u"FONT") {
    hidden_text_ = false;
  } else if (name == u"STYLE") {
    inside_style_ = false;
  } else if (name == u"LABEL") {
    OnLabelEnd();
  } else if (name == u"OPTION") {
    Put(u'\n');
  }
}

// The address of an attribute, read by the host rules (ReadTagAddress). False
// when the record could not be filled.
bool HtmlScanner::DecodeAttribute(const char16_t* tag, const char16_t* name, CUrl* url) {
  CHtmlValue value;
  GetTagAttribute(tag, name, value);
  return ReadTagAddress(value.data(), *url, info_);
}

void HtmlScanner::OnAnchorStart(const char16_t* tag) {
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
    text_mark_ = static_cast<ptrdiff_t>(pos_) - 1;
    ApplyBizAndAtRule(decoded, info_);
  }
  if (EndsInRemoveRequest(decoded)) info_.removeMailLink = 1;
  CHtmlValue target;
  GetTagAttribute(tag, u"TARGET", target);
  if (u16string_view(target.data()) == u"_BLANK") info_.blankTarget = 1;
}

void HtmlScanner::OnAnchorEnd(const char16_t* tag) {
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

u16string_view HtmlScanner::MarkedText() const {
  // A nested anchor's end tag removes the mark; without it the text is not
  // known, and taking everything since the start would make each such label
  // cost the length of the whole output.
  if (text_mark_ < 0) return u16string_view();
  const size_t start = static_cast<size_t>(text_mark_) + 1;
  return start < pos_ ? u16string_view(output_ + start, pos_ - start) : u16string_view();
}

// "CLICK" and, anywhere after it and the blanks that follow it, "HERE", in the
// link text with the unit before it, upper-cased.
bool HtmlScanner::LinkTextAsksForClick() const {
  const size_t begin = static_cast<size_t>(text_mark_);
  auto unit = [&](size_t i) { return output_[i] == 0 ? u'z' : AsciiUpper(output_[i]); };
  auto find = [&](u16string_view word, size_t from) {
    for (size_t i = from; i + word.size() <= pos_; ++i) {
      size_t k = 0;
      while (k < word.size() && unit(i + k) == word[k]) ++k;
      if (k == word.size()) return i;
    }
    return kNotFound;
  };
  size_t at = find(u"CLICK", begin);
  if (at == kNotFound) return false;
  at += 5;
  while (at < pos_ && u16string_view(u" _\t\r\n").find(unit(at)) != kNotFound) ++at;
  return find(u"HERE", at) != kNotFound;
}

void HtmlScanner::OnImage(const char16_t* tag) {
  --start_tags_;  // images are content, not structure, for the balance check
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

void HtmlScanner::OnFont(const char16_t* tag) {
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
      hidden_text_ = true;
    }
  }
  if (colour.red >= 247 && colour.green < 8 && colour.blue < 8) info_.redText = 1;
  if (ClassifyStyle(tag) == 1) hidden_text_ = true;
}

// The style rule on a tag's STYLE: 1 for a one-digit font size from 0 to 4
// (text nobody can read; smallFontClass records how small), 2 for a two-digit
// size of 15 or more, else 0. Only the first declaration is seen: the
// attribute value ends at its first ";".
int HtmlScanner::ClassifyStyle(const char16_t* tag) {
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
  if (c1 >= u'1' && c1 <= u'9' && IsAsciiDigit(c2) && (c1 - u'0') * 10 + (c2 - u'0') >= 15)
    return 2;
  return 0;
}

void HtmlScanner::OnLabelStart(const char16_t* tag) {
  CHtmlValue for_value;
  GetTagAttribute(tag, u"FOR", for_value);
  if (for_value[0] != 0) {
    for_id_.Assign(for_value.data());
    text_mark_ = static_cast<ptrdiff_t>(pos_) - 1;
  } else {
    for_id_.Assign(u"");
  }
}

void HtmlScanner::OnLabelEnd() {
  if (for_id_.IsEmpty()) return;
  CHtmlLabel label;
  const u16string_view text = MarkedText();
  if (label.text.Assign(text.empty() ? u"" : text.data(), text.size()) != 0) return;
  label.forId = for_id_;
  AppendGrowing(info_.labels, std::move(label));
}

void HtmlScanner::OnBase(const char16_t* tag) {
  CUrl url;
  DecodeAttribute(tag, u"HREF", &url);
  if (IsWebAddress(url.decoded.View())) base_is_web_ = true;
}

int HtmlScanner::Finish() {
  output_[pos_] = 0;
  int32_t splitting = 0;
  for (size_t i = 0; i < comment_count_; ++i) {
    const size_t p = comments_[i];
    if (IsWordUnit(output_[p]) && IsWordUnit(output_[p + 1])) ++splitting;
  }
  if (splitting >= 2) info_.splitComments = splitting;
  if (!tag_seen_) {
    info_.noHtmlElement = 0;
    info_.textOutsideHtml = 0;
  }
  if (image_in_link_) {
    info_.imageInLink = 1;
  } else if (web_image_) {
    info_.remoteImage = 1;
  }
  // Spam generators close tags they never opened to break naive parsers.
  if ((start_tags_ >= 4 && 2 * end_tags_ >= 3 * start_tags_) ||
      (start_tags_ < 4 && end_tags_ > 6)) {
    info_.unbalancedTags = 1;
  }
  int32_t visible = 0;
  for (size_t i = 0; i < pos_; ++i) {
    const char16_t c = output_[i];
    if (c != u' ' && c != u'\t' && c != u'\r' && c != u'\n') ++visible;
  }
  info_.visibleChars = visible;
  // A character reference may have put a zero unit in the text; the URLs are
  // looked for before it.
  const int code = ExtractTextUrls(
      std::u16string_view(output_, ascommon::FindUnit(output_, pos_, u'\0')), info_.links);
  for (CUrl& link : info_.links) link.decoded.MakeLower();
  return code;
}

}  // namespace

void GetTagAttribute(const char16_t* tag, const char16_t* name, CHtmlValue& value) {
  value[0] = 0;
  if (tag == nullptr || name == nullptr || name[0] == 0) return;
  auto is_space = [](char16_t c) { return c == u' ' || c == u'\r' || c == u'\n'; };
  size_t i = 0;
  while (tag[i] != 0 && !is_space(tag[i])) ++i;  // the tag name
  const char16_t* match = nullptr;
  for (;;) {
    while (is_space(tag[i])) ++i;
    if (tag[i] == 0) break;
    const size_t token = i;
    while (tag[i] != 0 && !is_space(tag[i])) {
      if (tag[i++] == u'"') {  // a quoted part keeps its blanks: the token ends at its close
        while (tag[i] != 0 && tag[i] != u'"') ++i;
        if (tag[i] != 0) ++i;
        break;
      }
    }
    if (StartsWithName(tag + token, name, u'=')) {
      match = tag + token + std::char_traits<char16_t>::length(name) + 1;
    }
  }
  if (match != nullptr) ReadValue(match, value);
}

void GetStyleProperty(const char16_t* style, const char16_t* name, CHtmlValue& value) {
  value[0] = 0;
  if (style == nullptr || name == nullptr || name[0] == 0) return;
  size_t i = 0;
  while (style[i] == u' ' || style[i] == u'\n' || style[i] == u'\t' || style[i] == u'\'') ++i;
  const char16_t* match = nullptr;
  for (;;) {
    if (StartsWithName(style + i, name, u':')) {
      match = style + i + std::char_traits<char16_t>::length(name) + 1;
    }
    while (style[i] != 0 && style[i] != u';') ++i;
    if (style[i] == 0) break;
    ++i;
    while (style[i] == u' ' || style[i] == u'\r' || style[i] == u'\n' || style[i] == u'\t') ++i;
  }
  if (match != nullptr) ReadValue(match, value);
}

int ScanHtml(const char16_t* source, char16_t* output, size_t capacity, CHtmlInfo& info,
             const CHtmlTables* tables) {
  if (tables == nullptr || !tables->IsBuilt()) return -12;
  if (source == nullptr || output == nullptr || capacity < 2) return -11;
  try {
    auto scanner = std::make_unique<HtmlScanner>(*tables, output, capacity, info);
    scanner->Run(source);
    return scanner->Finish();
  } catch (const std::bad_alloc&) {
    output[0] = 0;
    return -10;
  }
}

int AnalyseHtmlPart(CPartBodyTextHtml& body, const char16_t* source, uint32_t length_with_nul,
                    const CHtmlTables* tables, const ascommon::CCharsetConverter& converter) {
  if (source == nullptr) return -11;
  const size_t length = length_with_nul > 0 ? length_with_nul - 1 : 0;
  if (body.source.Assign(source, length) != 0) return -10;
  // Every source unit yields at most one visible unit, after the leading space.
  const size_t capacity = body.source.Length() + 2;
  if (body.visibleText.Fill(capacity, 0) != 0) return -10;
  if (body.info.Reset() != 0) return -10;
  int code =
      ScanHtml(body.source.c_str(), body.visibleText.GetBuffer(), capacity, body.info, tables);
  body.visibleText.UpdateLength();
  if (code != 0) return code;
  code = ConvertToUtf8(body.visibleText, converter, &body.utf8VisibleText);
  if (code != 0) return code;
  return ConvertToUtf8(body.source, converter, &body.utf8Source);
}

}  // namespace nsEmlComponents
