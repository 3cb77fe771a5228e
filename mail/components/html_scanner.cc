#include "mail/components/html_scanner.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "mail/components/html_units.h"

namespace nsEmlComponents {
namespace {

using std::u16string_view;

constexpr size_t kNotFound = u16string_view::npos;
// Comments past this count overwrite a slot that is not read any more.
constexpr size_t kCountedComments = kHtmlCommentSlots - 1;

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

}  // namespace

inline void CHtmlScanner::Step(char16_t c) {
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

inline void CHtmlScanner::OnReferenceUnit(char16_t c) {
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
    for (size_t i = 1; i < ref_len_ && IsAsciiDigit(ref_[i]); ++i) {
      value = value * 10 + (ref_[i] - u'0');
    }
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

void CHtmlScanner::Run(const char16_t* source, CHtmlTagListener& listener) {
  listener_ = &listener;
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

void CHtmlScanner::OnStartTag() {
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
  if (name == u"HTML") {
    inside_html_ = true;
    info_.noHtmlElement = 0;
  } else if (name == u"STYLE") {
    inside_style_ = true;
  } else if (name == u"IMG") {
    --start_tags_;  // images are content, not structure, for the balance check
  }
  listener_->OnStartTag(name, tag_.data());
}

void CHtmlScanner::OnEndTag() {
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
  if (name == u"HTML") {
    inside_html_ = false;
  } else if (name == u"STYLE") {
    inside_style_ = false;
  } else if (name == u"OPTION") {
    Put(u'\n');
  }
  listener_->OnEndTag(name, top);
  stack_text_.resize(stack_start_[depth_]);
  state_ = return_state_[depth_];
}

void CHtmlScanner::Finish() {
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
}

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

}  // namespace nsEmlComponents
