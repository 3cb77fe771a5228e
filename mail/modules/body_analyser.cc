#include "mail/modules/body_analyser.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <exception>
#include <new>

#include "common/wide_scan.h"
#include "emlbreaker/packer.h"
#include "emlbreaker/parts_tree.h"
#include "mail/components/html_analysis.h"
#include "mail/components/text_analysis.h"

namespace nsEmlModules {

using nsEmlComponents::CHeader;
using nsEmlComponents::CHeaderContentType;
using nsEmlComponents::CHeaderMap;
using nsEmlComponents::CPart;
using nsEmlComponents::CPartsTree;

namespace {

constexpr char kDefaultCharset[] = "ISO-8859-1";

// The Content-Type header of a map, when it is one the parser understood.
const CHeaderContentType* ContentTypeOf(const CHeaderMap& headers, bool* present) {
  static const ascommon::sstring kName("CONTENT-TYPE");
  CHeader* const* found = headers.Lookup(kName);
  if (present != nullptr) *present = found != nullptr;
  if (found == nullptr || *found == nullptr) return nullptr;
  return dynamic_cast<const CHeaderContentType*>(*found);
}

// Closes a descriptor on every path out of ReadBody.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
};

}  // namespace

CBodyAnalyser::CBodyAnalyser(int32_t max_depth) : maxDepth(max_depth) {
  if (tables.entities.Build() != 0 || tables.emptyTags.Build() != 0) throw std::bad_exception();
}

int32_t CBodyAnalyser::AnalyseParts(CPartsTree* tree, const CHeaderMap* mail_headers,
                                    int32_t kind) const {
  if (converter == nullptr) return kNoConverter;
  if (tree == nullptr || tree->GetRoot() == nullptr) return kNoRoot;
  CPart* root = tree->GetRoot()->part;
  const int32_t body_kind =
      kind == kText ? nsEmlComponents::kBodyTextPlain : nsEmlComponents::kBodyTextHtml;

  ascommon::sstring root_charset;
  if (root_charset.Assign(kDefaultCharset) != 0) return kNoMemory;
  bool has_content_type = false;
  const CHeaderContentType* content_type =
      mail_headers != nullptr ? ContentTypeOf(*mail_headers, &has_content_type) : nullptr;
  bool analyse_root = false;
  if (!has_content_type) {
    analyse_root = kind == kText;
  } else if (content_type != nullptr) {
    analyse_root = root->GetKind() == body_kind;
    if (content_type->charset.Length() > 0 && root_charset.Assign(content_type->charset.c_str()) != 0)
      return kNoMemory;
  }
  if (analyse_root) {
    const int32_t code = AnalysePart(root, kind, root_charset.c_str());
    if (code != 0) return code;
  }

  int32_t error = 0;
  const nsEmlComponents::CPartList* parts =
      kind == kText ? tree->GetTextParts(maxDepth, &error) : tree->GetHtmlParts(maxDepth, &error);
  if (parts == nullptr) return error != 0 ? error : kNoMemory;
  ascommon::sstring charset;
  for (size_t i = 0; i < parts->GetSize(); ++i) {
    CPart* part = (*parts)[i];
    int32_t code = PartCharset(part, &charset);
    if (code == 0) code = AnalysePart(part, kind, charset.c_str());
    if (code != 0) return code;
  }
  return 0;
}

int32_t CBodyAnalyser::PartCharset(const CPart* part, ascommon::sstring* charset) {
  const CHeaderContentType* content_type = ContentTypeOf(part->headers, nullptr);
  const bool own = content_type != nullptr && content_type->charset.Length() > 0;
  const int32_t stored =
      own ? charset->Assign(content_type->charset.c_str()) : charset->Assign(kDefaultCharset);
  return stored == 0 ? 0 : kNoMemory;
}

int32_t CBodyAnalyser::ReadBody(CAMimePart* source, std::vector<char>* output) {
  char path[kPackerMaxPath];
  if (source == nullptr || source->GetBodyFile(path) == 0) return kNoBodyFile;
  Descriptor file{open(path, O_RDONLY | O_CLOEXEC)};
  struct stat status;
  if (file.fd < 0 || fstat(file.fd, &status) != 0) return kBodyReadFailed;
  if (status.st_size == 0) return kEmptyBody;
  const size_t wanted =
      static_cast<uint64_t>(status.st_size) < kMaxBodyBytes ? static_cast<size_t>(status.st_size)
                                                            : kMaxBodyBytes;
  try {
    output->assign(wanted + 1, '\0');
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  }
  size_t have = 0;
  while (have < wanted) {
    const ssize_t got = read(file.fd, output->data() + have, wanted - have);
    if (got < 0) return kBodyReadFailed;
    if (got == 0) break;  // the file shrank; what was read is the body
    have += static_cast<size_t>(got);
  }
  output->resize(have + 1);
  (*output)[have] = '\0';
  return 0;
}

int32_t CBodyAnalyser::AnalysePart(CPart* part, int32_t kind, const char* charset) const {
  std::vector<char> bytes;
  int32_t code = ReadBody(part->source, &bytes);
  if (code == kEmptyBody) return 0;
  if (code != 0) return code;
  // The text ends at the first zero byte, as a C string would.
  const size_t length = std::char_traits<char>::length(bytes.data());
  std::vector<char16_t> text;
  try {
    text.assign(length + 1, u'\0');
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  }
  size_t produced = length + 1;
  code = converter->ToWide(charset, bytes.data(), length, text.data(), &produced, true);
  if (code != 0 && code != ascommon::CCharsetConverter::kPartial) return kConversionFailed;
  if (produced > length) produced = length;
  text[produced] = u'\0';
  // The converted text ends at its first zero unit too (FindUnit: the standard
  // library's char16_t length goes one unit at a time).
  const uint32_t units = static_cast<uint32_t>(ascommon::FindUnit(text.data(), produced, u'\0')) + 1;
  if (kind == kText) {
    auto* body = dynamic_cast<nsEmlComponents::CPartBodyTextPlain*>(part->body);
    if (body == nullptr) return 0;  // the tree gave a part of another kind
    code = nsEmlComponents::AnalyseTextPart(*body, text.data(), units, *converter);
  } else {
    auto* body = dynamic_cast<nsEmlComponents::CPartBodyTextHtml*>(part->body);
    if (body == nullptr) return 0;
    code = nsEmlComponents::AnalyseHtmlPart(*body, text.data(), units, &tables, *converter);
  }
  if (code != 0) part->body->Reset();
  return code;
}

}  // namespace nsEmlModules
