// Feeds a mail's header block through the header parser, as the breaker does
// for the top part and for every MIME part, and the raw bytes through the
// encoded-word decoder. The header block is split the way the packer hands it
// out: one (name, value) pair per field, continuation lines unfolded.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/charset_converter.h"
#include "mail/components/encoded_words.h"
#include "mail/components/header_parser.h"
#include "mail/components/headers.h"
#include "mail/components/testing/converter.h"
#include "mail/components/testing/fake_part.h"

namespace {

// Larger inputs find no new paths in the header parsers, only slower runs.
constexpr size_t kFuzzMaxBytes = 64 << 10;

using Headers = std::vector<nsEmlComponents::CFakeMimePart::Header>;

// Header fields up to the first empty line.
Headers SplitHeaderBlock(std::string_view block) {
  Headers headers;
  size_t start = 0;
  while (start < block.size()) {
    size_t end = block.find('\n', start);
    if (end == std::string_view::npos) end = block.size();
    std::string_view line = block.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) break;
    if ((line[0] == ' ' || line[0] == '\t') && !headers.empty()) {
      headers.back().second.append(line.data(), line.size());
      continue;
    }
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view name = line.substr(0, colon);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value[0] == ' ' || value[0] == '\t')) value.remove_prefix(1);
    headers.emplace_back(std::string(name), std::string(value));
  }
  return headers;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kFuzzMaxBytes) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  nsEmlComponents::CHeaderParser parser;
  parser.SetConverter(&nsEmlComponents::TestConverter());
  nsEmlComponents::CFakeMimePart part(SplitHeaderBlock(bytes));
  nsEmlComponents::CHeaderMap headers(16, nullptr);
  parser.ParseHeaders(&part, &headers);
  nsEmlComponents::DeleteHeaders(&headers);

  ascommon::usstring decoded;
  ascommon::sstring charset;
  nsEmlComponents::DecodeEncodedWords(&nsEmlComponents::TestConverter(), bytes, &decoded, &charset);
  return 0;
}
