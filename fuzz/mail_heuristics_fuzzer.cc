// Runs every heuristic of kMailHeuristics, and the statistical classifier's tokenizer, on
// a mail made of arbitrary headers and an arbitrary HTML body, against a URL database that
// lists one domain.
//
// Input: the first line holds the headers, separated by "|", each "Name:value" (a piece
// without ":" is a From value); the rest is the HTML body, as UTF-8 when it is valid,
// else one unit per byte. The body also goes through the text counter alone.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "emlbreaker/blackbox.h"
#include "emlbreaker/broken_mail.h"
#include "engines/blackbox_facilitator.h"
#include "engines/mail_heuristics.h"
#include "engines/mail_tokens.h"
#include "engines/url_db.h"
#include "mail/components/header_parser.h"
#include "mail/components/headers.h"
#include "mail/components/html_analysis.h"
#include "mail/components/html_tables.h"
#include "mail/components/testing/converter.h"
#include "mail/components/testing/fake_part.h"
#include "mail/components/testing/html_tables.h"

namespace {

using namespace nsEmlComponents;

// Past this the HTML stage only reads more of the same.
constexpr size_t kFuzzMaxBytes = 128 << 10;

// A database listing "example.com", written once per process.
const CURLDB& Database() {
  static const CURLDB* const db = [] {
    const std::string path = "/tmp/mail_heuristics_fuzzer-" + std::to_string(getpid()) + ".dat";
    {
      CURLDB writer;
      writer.OpenOutput(ascommon::usstring::FromUtf8(path).c_str());
      const CURL item{ascommon::usstring(u"example.com")};
      writer.AddItem(&item);
    }
    auto* loaded = new CURLDB;
    loaded->Update(ascommon::usstring::FromUtf8(path).c_str(), u"", u"/tmp");
    unlink(path.c_str());
    return loaded;
  }();
  return *db;
}

std::vector<CFakeMimePart::Header> Headers(const std::string& line) {
  std::vector<CFakeMimePart::Header> headers;
  size_t start = 0;
  while (start <= line.size()) {
    size_t end = line.find('|', start);
    if (end == std::string::npos) end = line.size();
    const std::string piece = line.substr(start, end - start);
    const size_t colon = piece.find(':');
    if (colon == std::string::npos || colon == 0) {
      headers.emplace_back("From", piece);
    } else {
      headers.emplace_back(piece.substr(0, colon), piece.substr(colon + 1));
    }
    start = end + 1;
  }
  return headers;
}

ascommon::usstring Wide(const std::string& bytes) {
  ascommon::usstring wide = ascommon::usstring::FromUtf8(bytes);
  if (wide.IsSet() && wide.GetError() == 0) return wide;
  std::u16string units(bytes.begin(), bytes.end());
  for (char16_t& unit : units) unit &= 0xFF;
  return ascommon::usstring(units);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kFuzzMaxBytes) return 0;
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t newline = input.find('\n');
  const std::string first = input.substr(0, newline);
  const std::string body = newline == std::string::npos ? "" : input.substr(newline + 1);

  CFakeMimePart source(Headers(first), "text/html");
  CHeaderParser parser;
  parser.SetConverter(&TestConverter());
  ascommon::CBlackBox box(16);
  auto* headers = new CHeaderMap(64, nullptr);
  parser.ParseHeaders(&source, headers);
  if (box.SetObject(headers, kMailHeadersId, false) != 0) {
    DeleteHeaders(headers);
    delete headers;
    return 0;
  }
  auto* tree = new CPartsTree;
  auto* root = new CPart(&source, 0);
  auto* html = new CPartBodyTextHtml;
  root->body = html;
  tree->SetRoot(root);
  const ascommon::usstring wide = Wide(body);
  AnalyseHtmlPart(*html, wide.c_str(), static_cast<uint32_t>(wide.Length() + 1), &TestHtmlTables(),
                  TestConverter());
  if (box.SetObject(tree, kPartsTreeId, false) == 0) {
    CBlackBoxFacilitator mail(&box);
    mail.Gather();
    for (size_t i = 0; i < kMailHeuristicCount; ++i) {
      const double value = kMailHeuristics[i].function(mail, Database());
      if (!(value >= 0.0)) __builtin_trap();  // every answer is a count or a share
    }
    // Distinct and sorted, each with its readable form.
    std::vector<learning::TokenHash> tokens;
    std::vector<std::string> texts;
    learning::MailTokens(mail, Database().GetDomainTable(), &tokens, &texts);
    if (texts.size() != tokens.size()) __builtin_trap();
    for (size_t i = 1; i < tokens.size(); ++i) {
      if (!(tokens[i - 1] < tokens[i])) __builtin_trap();
    }
  } else {
    delete tree;
  }
  CountHtmlTextUnits(wide.View());
  HostOfLinkText(wide.View());
  DeleteHeaders(GetMailHeaders(box));
  box.Remove(kMailHeadersId);
  box.Remove(kPartsTreeId);
  return 0;
}
