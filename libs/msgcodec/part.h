// One MIME part of an open mail, as the packer hands it out (CAMimePart). A
// part reads its headers and content from GMime's objects and the mail's raw
// bytes, keeps the changes made to its headers, and writes its decoded body
// on request. Parts live in their Mail's array and die with it; a part is used
// by the thread that holds its mail.
#ifndef MSGCODEC_PART_H_
#define MSGCODEC_PART_H_

#include <gmime/gmime.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "emlbreaker/packer.h"

namespace msgcodec {

class Mail;

// A header field as the packer gives it out: one of GMime's, or for the top
// part one read off the raw header block (see Mail). The views live as long
// as the part: GMime's strings, or for a field read off the raw block the
// mail's own bytes, so that a field costs no copy of its value (a value can
// be most of a mail).
struct Field {
  std::string_view name;
  std::string_view raw_name;   // the bytes before the colon
  std::string_view raw_value;  // after the colon, line breaks included
  int64_t offset;              // where GMime found the field, -1 when unknown
};

// The offset of `field` in the raw `mail`, or kNotFound. The offset a field
// carries is right but for the first field after lines GMime skipped: then
// the field is looked for from that offset on.
size_t HeaderOffset(std::string_view mail, const Field& field);

enum class PartKind : uint8_t {
  kLeaf,       // a GMimePart: content with a transfer encoding
  kMultipart,  // a GMimeMultipart
  kMessage,    // a GMimeMessagePart: an attached mail, shown as a leaf
  kRawBody,    // no GMime object: the input was not a mail, all of it is body
  kUnsplit,    // a GMimeMultipart with a boundary but no part: none of its
               // delimiter lines occurs, so GMime holds all of its content as
               // the preamble. Shown as a text/plain leaf of that content, as
               // Python's email and mail readers show it
               // (kDefectBoundaryNotFound).
};

// A header value set through SetHeader, in the form it is written: the text
// after "name: ", with the mail's line break and a blank before each
// continuation line.
struct HeaderEdit {
  int32_t index;     // the header it replaces, or -1 when added
  std::string name;  // the name written for an added header
  std::string text;
};

class Part final : public CAMimePart {
 public:
  // `object` is the part's GMime object, null for kRawBody.
  Part(Mail* mail, Part* parent, int32_t depth, PartKind kind, GMimeObject* object);
  Part(Part&&) = default;

  int32_t GetDepth() override;
  CAMimePart* GetParent() override;
  int32_t GetContentType(char* buffer, uint32_t size) override;
  int64_t GetEncodedSize() override;
  int32_t IsRemoved() override;
  int32_t Remove(const void* caller_part) override;
  int32_t RewindHeaders() override;
  int32_t NextHeader(char* name, char* value) override;
  int32_t GetMaxHeaderLengths(uint32_t* name_length, uint32_t* value_length) override;
  int32_t SetHeader(const char* name, const char* value, int32_t mode) override;
  int32_t IsMultipart() override;
  int32_t NextChild(CAMimePart** child) override;
  int32_t GetChildCount() override;
  uint32_t GetDefects() override;
  int32_t GetBodyFile(char* path) override;

  // Used by Mail while it builds the tree, and by the writer.
  void AddChild(Part* child);
  Part* parent() const { return parent_; }
  PartKind kind() const { return kind_; }
  GMimeObject* object() const { return object_; }
  bool removed_here() const { return removed_; }
  const std::vector<Part*>& children() const { return children_; }
  const std::vector<Field>& headers();  // in mail order
  const std::vector<HeaderEdit>& edits() const { return edits_; }
  // The multipart's boundary parameter, empty when it has none.
  std::string_view boundary() const;
  // The part's content in the raw mail: [begin, end), with its encoding.
  // False when it cannot be located (a multipart, or GMime's content is not a
  // view of the mail's bytes).
  bool ContentRange(size_t* begin, size_t* end, GMimeContentEncoding* encoding);
  // For a kUnsplit part (as GMime left it): true when no delimiter or close
  // delimiter line of its boundary stands in its content. GMime makes no part
  // of a close delimiter alone, of a delimiter line followed at once by the
  // close delimiter, nor of one longer than its line buffer; such a multipart
  // stays one, without children.
  bool OpensNoPart();
  void set_kind(PartKind kind) { kind_ = kind; }

 private:
  bool WriteBody(int fd, std::string* error);
  bool MessageRange(size_t* begin, size_t* end);
  // A kUnsplit part's content; *opened (when given) tells whether the line
  // that ends it is a delimiter or close delimiter of its own boundary.
  bool UnsplitRange(size_t* begin, size_t* end, bool* opened = nullptr);
  // All that follows the mail's header block and its empty line (the whole
  // mail when it has none).
  void AfterTopHeaderBlock(size_t* begin, size_t* end) const;
  void BuildHeaders();
  std::string_view MailBytes() const;

  Mail* mail_;
  Part* parent_;
  int32_t depth_;
  PartKind kind_;
  bool removed_ = false;
  bool headers_built_ = false;
  GMimeObject* object_;
  std::vector<Part*> children_;
  uint32_t sibling_index_ = 0;
  std::vector<Field> headers_;
  std::vector<HeaderEdit> edits_;
  size_t header_cursor_ = 0;
  std::string body_path_;  // empty until the body file is written
};

}  // namespace msgcodec

#endif  // MSGCODEC_PART_H_
