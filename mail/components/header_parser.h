// Reads the headers of a mail or of one MIME part from the packer into a
// header map: one object per name, of the class the name selects (headers.h),
// keyed by the upper-cased name. The last header of a name wins and the one it
// replaces is deleted, except "Received", whose headers all feed one object.
//
// One parser belongs to one real breaker. After SetConverter it is only read,
// so any number of threads may parse headers of different mails at once; the
// converter must outlive every parse that uses it.
#ifndef MAIL_COMPONENTS_HEADER_PARSER_H_
#define MAIL_COMPONENTS_HEADER_PARSER_H_

#include <cstdint>
#include <string_view>

#include "emlbreaker/map.h"
#include "emlbreaker/strings.h"
#include "mail/components/headers.h"

class CAMimePart;

namespace ascommon {
class CCharsetConverter;
}

namespace nsEmlComponents {

class CHeaderParser {
 public:
  // Builds the set of address header names; throws std::bad_alloc when that
  // cannot be allocated.
  CHeaderParser();
  CHeaderParser(const CHeaderParser&) = delete;
  CHeaderParser& operator=(const CHeaderParser&) = delete;

  // The converter used for encoded words (borrowed; null detaches it).
  void SetConverter(const ascommon::CCharsetConverter* charset_converter) {
    converter = charset_converter;
  }
  const ascommon::CCharsetConverter* GetConverter() const { return converter; }

  // True for "From", "To", "Cc" and the other names whose value is an address
  // list, in any case.
  bool IsAddressName(std::string_view name) const;

  // Parses every header of `source` into `headers` (a header whose name holds
  // a blank is skipped). Returns 0; -11 without converter, source or map; -10
  // when memory runs out or a value cannot be parsed (the header being built is
  // deleted, a Received entry leaves the map); -12 when a replaced key cannot
  // be found again. Headers stored before a failure stay in the map; the
  // caller frees them (DeleteHeaders) with the map.
  int32_t ParseHeaders(CAMimePart* source, CHeaderMap* headers) const;

  // How often each of a few names stands in a header block: the map keeps one header
  // per name, and a heuristic wants the repeats. Names are ASCII and compared with
  // their case folded; a name holding a blank matches none.
  struct NameTally {
    const char* const* names = nullptr;
    size_t count = 0;
    int* counts = nullptr;  // count entries, set by ParseHeaders
    bool complete = false;  // every header of the block was read
    // Counts one header name (the walk that sets counts to 0 first is the caller's).
    void Count(std::string_view name);
  };
  // ParseHeaders, tallying the names of tally (null: none) on the same walk.
  int32_t ParseHeaders(CAMimePart* source, CHeaderMap* headers, NameTally* tally) const;

 private:
  // Case-insensitive hash of a name: 5381, then h * 33 ^ upper(c) per byte.
  static uint32_t HashNoCase(const ascommon::sstring& name);

  const ascommon::CCharsetConverter* converter = nullptr;
  // Upper-cased address header names, 53 buckets hashed with HashNoCase.
  ascommon::CMap<ascommon::sstring, uint8_t> addressNames;
};

}  // namespace nsEmlComponents

#endif  // MAIL_COMPONENTS_HEADER_PARSER_H_
