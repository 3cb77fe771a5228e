// Feeds arbitrary text through the HTML analysis as the body stage does
// (AnalyseHtmlPart into a part object), and once more through ScanHtml into an
// output buffer far smaller than the source, so that the rule "the last unit
// is overwritten once the buffer is full" is exercised on every input.
//
// The first byte picks how the rest becomes wide text: odd, as UTF-16LE code
// units (any unit, lone surrogates included); even, as UTF-8 when it is valid,
// else one unit per byte (ISO-8859-1), as most HTML parts arrive.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/charset_converter.h"
#include "mail/components/html_analysis.h"
#include "mail/components/html_tables.h"
#include "mail/components/testing/converter.h"

namespace {

using nsEmlComponents::TestConverter;

// Larger inputs find no new paths, only slower runs: the scanner's buffers are
// at most 767 units, its stack 148 levels, its comment slots 500.
constexpr size_t kFuzzMaxBytes = 256 << 10;

const nsEmlComponents::CHtmlTables& Tables() {
  static const nsEmlComponents::CHtmlTables* const tables = [] {
    auto* built = new nsEmlComponents::CHtmlTables;
    built->Build();
    return built;
  }();
  return *tables;
}

std::u16string ToWide(const uint8_t* data, size_t size) {
  std::u16string wide;
  if (size == 0) return wide;
  const uint8_t mode = data[0];
  ++data;
  --size;
  if (mode & 1) {
    for (size_t i = 0; i + 1 < size; i += 2)
      wide.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
    return wide;
  }
  wide.resize(size + 1);
  size_t length = wide.size();
  if (TestConverter().ToWide("utf-8", reinterpret_cast<const char*>(data), size, wide.data(),
                             &length, true) == 0) {
    wide.resize(length);
    return wide;
  }
  wide.assign(data, data + size);
  return wide;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kFuzzMaxBytes) return 0;
  const std::u16string source = ToWide(data, size);

  nsEmlComponents::CPartBodyTextHtml body;
  nsEmlComponents::AnalyseHtmlPart(body, source.c_str(), static_cast<uint32_t>(source.size() + 1),
                                   &Tables(), TestConverter());
  // Read what the filters read, so a field left dangling shows under ASan.
  size_t total = body.utf8VisibleText.Length() + body.utf8Source.Length();
  for (const auto& link : body.info.links) total += link.decoded.Length() + link.raw.Length();
  for (const auto& anchor : body.info.anchors)
    total += anchor.label.Length() + anchor.url.raw.Length();
  for (const auto& label : body.info.labels) total += label.text.Length() + label.forId.Length();
  for (const auto& image : body.info.images) total += image.decoded.Length();

  const size_t small_capacity = 2 + size % 61;
  std::u16string small(small_capacity, u'\0');
  nsEmlComponents::CHtmlInfo info;
  nsEmlComponents::ScanHtml(body.source.c_str(), small.data(), small.size(), info, &Tables());
  if (std::char_traits<char16_t>::length(small.c_str()) >= small_capacity) __builtin_trap();
  return total == SIZE_MAX ? 1 : 0;
}
