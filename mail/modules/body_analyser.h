// The real breaker's body analyser: reads the body files of a mail's
// plain-text and HTML parts, converts them to wide text from each part's
// charset and hands them to the text or HTML analysis, which fill the parts'
// body objects. One per real breaker, shared by every mail it breaks: after
// construction it is only read (the converter pointer changes only under the
// breaker's exclusive lock).
#ifndef MAIL_MODULES_BODY_ANALYSER_H_
#define MAIL_MODULES_BODY_ANALYSER_H_

#include <cstdint>
#include <vector>

#include "common/charset_converter.h"
#include "emlbreaker/parts_tree.h"
#include "emlbreaker/strings.h"
#include "mail/components/headers.h"
#include "mail/components/html_tables.h"

class CAMimePart;

namespace nsEmlComponents {
class CPart;
class CPartsTree;
}  // namespace nsEmlComponents

namespace nsEmlModules {

class CBodyAnalyser {
 public:
  // What AnalyseParts looks for.
  enum : int32_t { kText = 1, kHtml = 2 };
  // Return codes.
  enum : int32_t {
    kNoMemory = -10,
    kNoConverter = -11,
    kNoRoot = -12,
    kBodyReadFailed = -13,
    kNoBodyFile = -302,
    kConversionFailed = -303,
    kEmptyBody = -305,
  };
  // Bodies are analysed from their first 300 KiB only.
  static constexpr size_t kMaxBodyBytes = nsEmlComponents::kMaxAnalysedBodyBytes;

  // Builds the HTML tables; throws std::bad_exception when they cannot be built.
  explicit CBodyAnalyser(int32_t max_depth = 3);
  CBodyAnalyser(const CBodyAnalyser&) = delete;
  CBodyAnalyser& operator=(const CBodyAnalyser&) = delete;

  // Analyses the root (when its kind is asked for) and every part of that
  // kind down to maxDepth. 0, or the first failure's code.
  int32_t AnalyseParts(nsEmlComponents::CPartsTree* tree,
                       const nsEmlComponents::CHeaderMap* mail_headers, int32_t kind) const;
  // Reads, converts and analyses one part. An empty body is not analysed and
  // is not a failure; a failed analysis leaves the body reset.
  int32_t AnalysePart(nsEmlComponents::CPart* part, int32_t kind, const char* charset) const;
  // The part's body file, at most its first kMaxBodyBytes, into `output`,
  // followed by a zero byte (the buffer is sized to what is read, not to the
  // cap, so small bodies cost small buffers).
  static int32_t ReadBody(CAMimePart* source, std::vector<char>* output);
  // "ISO-8859-1", or the charset of the part's own Content-Type (the mail's
  // is not inherited).
  static int32_t PartCharset(const nsEmlComponents::CPart* part, ascommon::sstring* charset);

  void SetConverter(const ascommon::CCharsetConverter* value) { converter = value; }

  int32_t maxDepth;
  nsEmlComponents::CHtmlTables tables;
  const ascommon::CCharsetConverter* converter = nullptr;
};

}  // namespace nsEmlModules

#endif  // MAIL_MODULES_BODY_ANALYSER_H_
