#include "writer.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "limits.h"
#include "mail.h"
#include "raw_scan.h"

namespace msgcodec {
namespace {

// Bytes [begin, end) of the raw mail are replaced by `text`.
struct Splice {
  size_t begin;
  size_t end;
  std::string text;
};

// The line break at the end of [begin, end): "\r\n", "\n" or none.
std::string_view LineBreakBefore(std::string_view mail, size_t begin, size_t end) {
  if (end == begin || mail[end - 1] != '\n') return {};
  if (end - begin >= 2 && mail[end - 2] == '\r') return "\r\n";
  return "\n";
}

// Appends "lead" + `text` ('\n' marking a folded continuation) with `newline`
// between lines, breaking a line that would pass kMaxHeaderLine at its last
// blank before the limit; the blank starts the next line.
void AppendField(std::string* out, std::string_view lead, std::string_view text,
                 std::string_view newline) {
  out->append(lead);
  size_t column = lead.size();
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t stop = text.find('\n', pos);
    if (stop == std::string_view::npos) stop = text.size();
    std::string_view line = text.substr(pos, stop - pos);
    while (column + line.size() > kMaxHeaderLine) {
      size_t room = kMaxHeaderLine > column ? kMaxHeaderLine - column : 0;
      size_t cut = line.find_last_of(" \t", room);
      if (cut == std::string_view::npos || cut == 0) break;
      out->append(line.substr(0, cut));
      out->append(newline);
      line.remove_prefix(cut);
      column = 0;
    }
    out->append(line);
    if (stop == text.size()) break;
    out->append(newline);
    column = 0;
    pos = stop + 1;
  }
}

class SpliceBuilder {
 public:
  SpliceBuilder(Mail& mail, std::string* error) : mail_(mail), raw_(mail.bytes()), error_(error) {}

  bool Build(std::vector<Splice>* splices) {
    for (Part& part : mail_.parts()) {
      if (part.removed_here() && (!part.parent() || !part.parent()->IsRemoved())) {
        if (!AddRemoval(part, splices)) return false;
      }
      if (!part.edits().empty() && !part.IsRemoved() && !AddEdits(part, splices)) return false;
    }
    std::stable_sort(splices->begin(), splices->end(),
                     [](const Splice& a, const Splice& b) { return a.begin < b.begin; });
    for (size_t i = 1; i < splices->size(); i++) {
      if ((*splices)[i].begin < (*splices)[i - 1].end) return Fail("two changes overlap");
    }
    return true;
  }

 private:
  bool Fail(const std::string& what) {
    *error_ = "cannot write the mail: " + what;
    return false;
  }

  // Where the part begins in the raw mail: its first header, else its content.
  size_t FirstAnchor(Part& part) {
    if (!part.headers().empty()) return HeaderOffset(raw_, part.headers().front());
    size_t begin, end;
    GMimeContentEncoding encoding;
    if (part.ContentRange(&begin, &end, &encoding)) return begin;
    return kNotFound;
  }

  // Where the part's content ends: a leaf's or attached mail's last byte, a
  // multipart's last descendant's.
  size_t LastAnchor(Part& part) {
    Part* p = &part;
    while (!p->children().empty()) p = p->children().back();
    size_t begin, end;
    GMimeContentEncoding encoding;
    if (p->ContentRange(&begin, &end, &encoding)) return end;
    if (p->headers().empty()) return FirstAnchor(*p);
    size_t last = HeaderOffset(raw_, p->headers().back());
    return last == kNotFound ? kNotFound : HeaderFieldEnd(raw_, last);
  }

  // The multipart boundaries around `part`, innermost first.
  static std::vector<std::string_view> BoundariesAbove(Part& part) {
    std::vector<std::string_view> boundaries;
    for (Part* p = part.parent(); p; p = p->parent()) {
      if (!p->boundary().empty()) boundaries.push_back(p->boundary());
    }
    return boundaries;
  }

  // Start of the delimiter line that ends `part`: after its last content,
  // past the close delimiter of each multipart it ends with (GMime matches the
  // innermost boundary first, so a nested multipart may even reuse its
  // parent's boundary), the first delimiter of an enclosing multipart.
  size_t PartEnd(Part& part) {
    std::vector<Part*> chain{&part};
    while (!chain.back()->children().empty()) chain.push_back(chain.back()->children().back());
    size_t last = LastAnchor(part);
    if (last == kNotFound) return kNotFound;
    size_t pos = last > 0 && raw_[last - 1] == '\n' ? last : NextLine(raw_, last);
    for (size_t i = chain.size(); i-- > 0;) {
      Part* inner = chain[i];
      if (inner->kind() != PartKind::kMultipart || inner->boundary().empty()) continue;
      std::vector<std::string_view> boundaries = BoundariesAbove(*inner);
      boundaries.insert(boundaries.begin(), inner->boundary());
      size_t found = FindAnyDelimiter(raw_, pos, boundaries.data(), boundaries.size());
      if (found == kNotFound) return raw_.size();
      size_t next = NextLine(raw_, found);
      std::string_view line = raw_.substr(found, next - found);
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
      pos = IsDelimiterLine(line, inner->boundary(), true) ? next : found;
    }
    std::vector<std::string_view> boundaries = BoundariesAbove(part);
    size_t end = FindAnyDelimiter(raw_, pos, boundaries.data(), boundaries.size());
    return end == kNotFound ? raw_.size() : end;
  }

  bool AddRemoval(Part& part, std::vector<Splice>* splices) {
    size_t anchor = FirstAnchor(part);
    if (anchor == kNotFound) return Fail("the removed part cannot be located");
    size_t begin = FindDelimiterBefore(raw_, anchor, 0, part.parent()->boundary());
    if (begin == kNotFound) return Fail("the removed part's delimiter line is missing");
    size_t end = PartEnd(part);
    if (end == kNotFound || end <= begin) return Fail("the removed part's end cannot be located");
    splices->push_back({begin, end, std::string()});
    return true;
  }

  // Where an added header goes: after the part's last field, or for a part
  // without fields at the empty line that ends its (empty) header block.
  size_t InsertionPoint(Part& part) {
    const std::vector<Field>& headers = part.headers();
    if (!headers.empty()) {
      size_t offset = HeaderOffset(raw_, headers.back());
      return offset == kNotFound ? kNotFound : HeaderFieldEnd(raw_, offset);
    }
    if (!part.parent()) return mail_.headers_end() >= 0 ? mail_.headers_end() : 0;
    size_t begin, end;
    GMimeContentEncoding encoding;
    if (part.kind() == PartKind::kMultipart || !part.ContentRange(&begin, &end, &encoding) ||
        begin == 0 || raw_[begin - 1] != '\n')
      return kNotFound;
    size_t empty = begin - 1;
    if (empty > 0 && raw_[empty - 1] == '\r') empty--;
    return LineStart(raw_, empty) == empty ? empty : kNotFound;
  }

  bool AddEdits(Part& part, std::vector<Splice>* splices) {
    const std::vector<Field>& headers = part.headers();
    // Added fields take the line break of the field they follow.
    std::string_view added_newline = mail_.newline();
    if (!headers.empty()) {
      size_t last = HeaderOffset(raw_, headers.back());
      std::string_view seen = last == kNotFound
                                  ? std::string_view()
                                  : LineBreakBefore(raw_, last, HeaderFieldEnd(raw_, last));
      if (!seen.empty()) added_newline = seen;
    }
    size_t at = InsertionPoint(part);
    if (headers.empty() && at != kNotFound && EmptyLineLength(raw_, at) != 0) {
      // A part without fields: take the line break of its empty line.
      added_newline = EmptyLineLength(raw_, at) == 2 ? "\r\n" : "\n";
    }
    std::string added;
    for (const HeaderEdit& edit : part.edits()) {
      if (edit.index < 0) {
        AppendField(&added, edit.name + ": ", edit.text, added_newline);
        added.append(added_newline);
        continue;
      }
      const Field& header = headers[edit.index];
      size_t begin = HeaderOffset(raw_, header);
      if (begin == kNotFound) return Fail("a replaced header cannot be located");
      size_t end = HeaderFieldEnd(raw_, begin);
      std::string_view newline = LineBreakBefore(raw_, begin, end);
      std::string text;
      AppendField(&text, std::string(header.raw_name) + ": ", edit.text,
                  newline.empty() ? mail_.newline() : newline);
      text.append(newline);
      splices->push_back({begin, end, std::move(text)});
    }
    if (added.empty()) return true;
    if (at == kNotFound) return Fail("no place for an added header in a part");
    if (at == raw_.size() && at > 0 && raw_[at - 1] != '\n') added.insert(0, mail_.newline());
    splices->push_back({at, at, std::move(added)});
    return true;
  }

  Mail& mail_;
  std::string_view raw_;
  std::string* error_;
};

}  // namespace

bool WriteMail(Mail& mail, const ByteSink& sink, std::string* error) {
  std::string_view raw = mail.bytes();
  std::vector<Splice> splices;
  if (mail.modified() && !SpliceBuilder(mail, error).Build(&splices)) return false;
  size_t pos = 0;
  for (const Splice& splice : splices) {
    if ((splice.begin > pos && !sink(raw.data() + pos, splice.begin - pos)) ||
        (!splice.text.empty() && !sink(splice.text.data(), splice.text.size()))) {
      *error = "cannot write the mail: output failed";
      return false;
    }
    pos = splice.end;
  }
  if (pos < raw.size() && !sink(raw.data() + pos, raw.size() - pos)) {
    *error = "cannot write the mail: output failed";
    return false;
  }
  return true;
}

}  // namespace msgcodec
