// The HTML scanner: reads the decoded source of an HTML part once, one code
// unit at a time, and splits it into tags, comments, character references and
// visible text. It writes the visible text (tags removed, character references
// resolved, SCRIPT and STYLE content and hidden text dropped) and the summary
// fields that come from the markup as a whole; what each tag means for the
// summary is left to the CHtmlTagListener it hands the tags to (the tag
// features, html_tag_features.h).
//
// The scanner works with fixed-size buffers and no recursion: hostile HTML
// (megabytes of "<", tags or comments that never close) costs time linear in
// its length. Malformed HTML is never an error: unmatched end tags are
// ignored, unclosed elements stay open, and nesting past kHtmlMaxDepth ends
// the scan with what was found so far.
#ifndef MAIL_COMPONENTS_HTML_SCANNER_H_
#define MAIL_COMPONENTS_HTML_SCANNER_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "emlbreaker/parts_tree.h"
#include "mail/components/html_tables.h"

namespace nsEmlComponents {

// A tag's text (name and attributes) is kept up to this many code units; a
// longer tag keeps overwriting its last unit. Attribute values are cut to it.
constexpr size_t kHtmlTagMax = 767;
// The scan ends when this many elements (an open character reference counting
// as one) are open: no legitimate mail nests that deep, and a fixed stack keeps
// a page of "<div>" from costing memory.
constexpr int kHtmlMaxDepth = 148;
// Comments remembered for the word-splitting count; later ones are ignored.
constexpr size_t kHtmlCommentSlots = 500;

// An attribute or style value as GetTagAttribute and GetStyleProperty hand it
// out: NUL-terminated, empty (first unit 0) when absent.
using CHtmlValue = std::array<char16_t, kHtmlTagMax + 1>;

// The value of attribute `name` (compared without regard to ASCII case) in a
// tag's text "NAME ATTR=VALUE ...". Tokens are separated by spaces (CR and LF
// count as spaces), a double quote keeping a token together up to the closing
// quote; a token "NAME=" holds the value, which starts after any quotes and
// blanks and ends at a double quote, ";", CR, LF or the end, at most
// kHtmlTagMax units. So an unquoted value runs on over the next attributes,
// and a style value ends at its first ";". The last matching token wins.
void GetTagAttribute(const char16_t* tag, const char16_t* name, CHtmlValue& value);

// The value of property `name` in a style declaration list "A:1; B:2", read
// like an attribute value; the last declaration of that name wins.
void GetStyleProperty(const char16_t* style, const char16_t* name, CHtmlValue& value);

// What the scanner hands the tags to. Names and tag texts are upper-cased
// (ASCII) and live until the call returns.
class CHtmlTagListener {
 public:
  // Every start tag but SCRIPT's, which the scanner handles itself: `name` is
  // the tag's name, `tag` its whole NUL-terminated text "NAME ATTR=VALUE ...",
  // as GetTagAttribute reads it.
  virtual void OnStartTag(std::u16string_view name, const char16_t* tag) = 0;
  // An end tag that closes the innermost open element (the scanner ignores
  // the others); `start_tag` is the text of that element's start tag.
  virtual void OnEndTag(std::u16string_view name, const char16_t* start_tag) = 0;

 protected:
  ~CHtmlTagListener() = default;
};

// One scan of one source. Holds every working buffer (some 7 KB, so it is
// better allocated than put on a thread's stack); nothing survives it.
//
// Of the summary it fills analysed, nonAsciiRun, textOutsideHtml,
// noHtmlElement, splitComments, unbalancedTags and visibleChars. Besides
// dropping SCRIPT and STYLE content it lays the text out: a space before each
// P, PRE and BR, a line break after each OPTION.
class CHtmlScanner {
 public:
  // The visible text goes to `output` (capacity code units, at least 2): it
  // starts with one space and never passes the last unit, which later units
  // overwrite. `info` has been reset by the caller.
  CHtmlScanner(const CHtmlTables& tables, char16_t* output, size_t capacity, CHtmlInfo& info)
      : tables_(tables), info_(info), output_(output), last_(capacity - 1) {
    return_state_.fill(kTopText);
  }
  CHtmlScanner(const CHtmlScanner&) = delete;
  CHtmlScanner& operator=(const CHtmlScanner&) = delete;

  // Scans the NUL-terminated `source`, handing its tags to `listener`. May
  // throw std::bad_alloc (the element stack's text).
  void Run(const char16_t* source, CHtmlTagListener& listener);
  // NUL-terminates the visible text and fills the summary fields read off the
  // whole scan: comments splitting words, the tag balance, visible characters.
  void Finish();

  // The visible text written so far: TextLength() units from Text(), the
  // leading space included. A listener marks where a link's text starts by it.
  const char16_t* Text() const { return output_; }
  size_t TextLength() const { return pos_; }
  // Text inside an element is dropped while it is hidden from the reader (a
  // listener sets this for a FONT of size 0 or a style with a tiny font).
  void SetHiddenText(bool hidden) { hidden_text_ = hidden; }

 private:
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
  // The element stack has room for the deepest scan plus the reference level.
  static constexpr size_t kStackEntries = 150;
  // A character reference is resolved when ";" comes within this many units.
  static constexpr size_t kReferenceMax = 7;

  // Step runs once per code unit, OnReferenceUnit once per unit of a character
  // reference: both are defined inline in html_scanner.cc, so that Run's loop
  // does not pay a call for each unit.
  inline void Step(char16_t c);
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
  inline void OnReferenceUnit(char16_t c);
  void OnStartTag();
  void OnEndTag();

  const CHtmlTables& tables_;
  CHtmlInfo& info_;
  CHtmlTagListener* listener_ = nullptr;
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
  bool inside_html_ = false, inside_style_ = false, hidden_text_ = false;
  bool tag_seen_ = false;
  int64_t start_tags_ = 0, end_tags_ = 0;
  size_t non_ascii_run_ = 0;
};

}  // namespace nsEmlComponents

#endif  // MAIL_COMPONENTS_HTML_SCANNER_H_
