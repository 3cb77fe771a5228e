#include "engines/mail_heuristics.h"

#include <algorithm>
#include <iterator>
#include <new>
#include <vector>

#include "common/wide_scan.h"
#include "emlbreaker/packer.h"
#include "engines/blackbox_facilitator.h"
#include "engines/url_db.h"
#include "mail/components/header_parser.h"

using ascommon::usstring;
using nsEmlComponents::CHtmlAHref;
using nsEmlComponents::CUrl;
using nsEmlComponents::FullAddress;
using std::u16string;
using std::u16string_view;

namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }
bool IsAsciiLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }
bool IsAsciiDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
bool IsHostUnit(char16_t c) { return IsAsciiLetter(c) || IsAsciiDigit(c) || c == u'-' || c == u'.'; }
char16_t AsciiLower(char16_t c) { return c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c; }

u16string Lower(u16string_view text) {
  u16string lower(text);
  for (char16_t& c : lower) c = AsciiLower(c);
  return lower;
}

bool StartsWith(u16string_view text, u16string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// The registrable domain of a text (URL, host, address domain), lower case; empty when
// the text names none. The text is lowered first: the second-level table's keys are lower
// case, and "WWW.SHOP.EXAMPLE.CO.UK" must find ".co.uk" in it.
u16string DomainOfText(const CDomainTable& table, u16string_view text) {
  const u16string lower = Lower(text);
  usstring domain;
  if (lower.empty() || ExtractDomainFromText(table, lower.data(), lower.size(), &domain) != 0) {
    return u16string();
  }
  return u16string(domain.View());
}

// The domain steps look for "http://" only: "https://host" would give "https". A scheme
// of letters before "://" is dropped first.
u16string DomainOfUrl(const CDomainTable& table, const CUrl& url) {
  u16string_view text = url.decoded.View();
  const size_t colon = text.find(u"://");
  if (colon != u16string_view::npos && colon > 0 && colon <= 10 &&
      std::all_of(text.begin(), text.begin() + colon, IsAsciiLetter)) {
    text.remove_prefix(colon + 3);
  }
  return DomainOfText(table, text);
}

// Dotted labels of letters, digits and hyphens, none empty, at least two.
bool IsDottedHost(u16string_view host) {
  if (host.empty() || host.front() == u'.' || host.back() == u'.') return false;
  if (host.find(u'.') == u16string_view::npos || host.find(u"..") != u16string_view::npos) {
    return false;
  }
  return std::all_of(host.begin(), host.end(), IsHostUnit);
}

// Endings of file names that a link text shows more often than a host ending in them.
bool IsFileEnding(u16string_view label) {
  static constexpr u16string_view kEndings[] = {
      u"pdf", u"doc", u"docx", u"xls", u"xlsx", u"ppt", u"pptx", u"txt", u"csv", u"rtf",
      u"jpg", u"jpeg", u"png", u"gif", u"bmp", u"htm", u"html", u"php", u"asp", u"aspx",
      u"jsp", u"cgi", u"exe", u"zip", u"rar", u"mp3", u"mp4", u"avi", u"mov", u"wav",
      u"js", u"css", u"xml", u"json", u"ics", u"vcf"};
  return std::find(std::begin(kEndings), std::end(kEndings), label) != std::end(kEndings);
}

// An address token around the "@" at `at` in text: its start and end (end exclusive), or
// false when the two sides do not make one (an empty local part, a domain without dot).
bool AddressAround(u16string_view text, size_t at, size_t* start, size_t* end) {
  auto is_local = [](char16_t c) {
    return IsAsciiLetter(c) || IsAsciiDigit(c) || c == u'.' || c == u'_' || c == u'%' ||
           c == u'+' || c == u'-' || c == u'=';
  };
  size_t left = at;
  while (left > 0 && is_local(text[left - 1])) --left;
  size_t right = at + 1;
  while (right < text.size() && IsHostUnit(text[right])) ++right;
  while (right > at + 1 && text[right - 1] == u'.') --right;  // a full stop after it
  if (left == at || !IsDottedHost(text.substr(at + 1, right - at - 1))) return false;
  *start = left;
  *end = right;
  return true;
}

// The domain part of an address (after its last "@"); empty without one.
u16string_view AddressDomain(u16string_view address) {
  const size_t at = address.rfind(u'@');
  return at == u16string_view::npos ? u16string_view() : address.substr(at + 1);
}

// A display name without the blanks and quotes around it.
u16string_view TrimName(u16string_view name) {
  auto is_edge = [](char16_t c) {
    return IsBlank(c) || c == u'"' || c == u'\'' || c == u'<' || c == u'>';
  };
  while (!name.empty() && is_edge(name.front())) name.remove_prefix(1);
  while (!name.empty() && is_edge(name.back())) name.remove_suffix(1);
  return name;
}

// ---- the heuristics --------------------------------------------------------------------

int CountLinkTextOtherDomain(const CBlackBoxFacilitator& mail, const CURLDB& db,
                             bool urls_only) {
  const CDomainTable& table = db.GetDomainTable();
  int count = 0;
  for (const CHtmlAHref* anchor : mail.GetAnchors()) {
    try {
      bool written_as_url = false;
      const u16string shown = HostOfLinkText(anchor->label.View(), &written_as_url);
      if (shown.empty() || (urls_only && !written_as_url)) continue;
      const u16string linked = DomainOfUrl(table, anchor->url);
      const u16string named = DomainOfText(table, shown);
      if (!linked.empty() && !named.empty() && linked != named) ++count;
    } catch (const std::bad_alloc&) {
      // an anchor that cannot be examined is not counted
    }
  }
  return count;
}

double LinkTextOtherDomain(const CBlackBoxFacilitator& mail, const CURLDB& db) {
  return CountLinkTextOtherDomain(mail, db, false);
}

double LinkUrlOtherDomain(const CBlackBoxFacilitator& mail, const CURLDB& db) {
  return CountLinkTextOtherDomain(mail, db, true);
}

double FromNameOtherDomain(const CBlackBoxFacilitator& mail, const CURLDB& db) {
  const auto* from = mail.GetFromAddresses();
  if (from == nullptr) return 0.0;
  const CDomainTable& table = db.GetDomainTable();
  int count = 0;
  for (const FullAddress& entry : *from) {
    try {
      const u16string own = DomainOfText(table, AddressDomain(entry.address.View()));
      if (own.empty()) continue;
      const u16string_view name = entry.name.View();
      for (size_t at = name.find(u'@'); at != u16string_view::npos; at = name.find(u'@', at + 1)) {
        size_t start = 0, end = 0;
        if (!AddressAround(name, at, &start, &end)) continue;
        const u16string shown = DomainOfText(table, name.substr(at + 1, end - at - 1));
        if (!shown.empty() && shown != own) {
          ++count;
          break;
        }
      }
    } catch (const std::bad_alloc&) {
    }
  }
  return count;
}

double FromNameIsAddress(const CBlackBoxFacilitator& mail, const CURLDB&) {
  const auto* from = mail.GetFromAddresses();
  if (from == nullptr) return 0.0;
  int count = 0;
  for (const FullAddress& entry : *from) {
    const u16string_view name = TrimName(entry.name.View());
    const size_t at = name.find(u'@');
    size_t start = 0, end = 0;
    if (at != u16string_view::npos && AddressAround(name, at, &start, &end) && start == 0 &&
        end == name.size()) {
      ++count;
    }
  }
  return count;
}

double UrlListed(const CBlackBoxFacilitator& mail, const CURLDB& db) {
  if (db.GetListed().GetCount() == 0) return 0.0;
  const CDomainTable& table = db.GetDomainTable();
  int count = 0;
  auto check = [&](const CUrl& url) {
    try {
      const u16string domain = DomainOfUrl(table, url);
      if (domain.empty()) return;
      const usstring key(domain);
      if (key.GetError() == 0 && db.IsDomainListed(key)) ++count;
    } catch (const std::bad_alloc&) {
    }
  };
  // The anchors are copies of the HTML links: the links alone count each URL once.
  for (const auto* body : mail.GetPlainBodies()) {
    for (const CUrl& url : body->urls) check(url);
  }
  for (const auto* body : mail.GetHtmlBodies()) {
    for (const CUrl& url : body->info.links) check(url);
  }
  return count;
}

// The hidden share over all HTML bodies: (text units - visible units) / text units, each
// body's difference taken from 0 up; 0 while fewer than kMinHiddenUnits are hidden.
double HiddenShare(const CBlackBoxFacilitator& mail) {
  int64_t text = 0, hidden = 0;
  try {
    for (const auto* body : mail.GetHtmlBodies()) {
      const int64_t units = CountHtmlTextUnits(body->source.View());
      const u16string_view visible = body->visibleText.View();
      const int64_t seen = std::count_if(visible.begin(), visible.end(),
                                         [](char16_t c) { return !IsBlank(c); });
      text += units;
      if (units > seen) hidden += units - seen;
    }
  } catch (const std::bad_alloc&) {
    return 0.0;
  }
  if (hidden < kMinHiddenUnits || text == 0) return 0.0;
  return static_cast<double>(hidden) / static_cast<double>(text);
}

// HiddenShare once per mail: it walks every HTML source.
double KeptHiddenShare(const CBlackBoxFacilitator& mail) {
  double& kept = mail.GetHiddenShareMemo();
  if (kept < 0) kept = HiddenShare(mail);
  return kept;
}

double HtmlHiddenShare(const CBlackBoxFacilitator& mail, const CURLDB&) {
  return KeptHiddenShare(mail);
}

double HtmlMostlyHidden(const CBlackBoxFacilitator& mail, const CURLDB&) {
  const double share = KeptHiddenShare(mail);
  return share >= 0.5 ? share : 0.0;
}

// How many times each name of `names` stands in the mail's own header block, read from
// the packer (the header map keeps one header per name). False when the mail has no
// source to read (a hand-built tree) or memory ran out.
template <size_t N>
bool CountHeaderNames(const CBlackBoxFacilitator& mail, const char* const (&names)[N],
                      int (&counts)[N]) {
  std::fill(std::begin(counts), std::end(counts), 0);
  const nsEmlComponents::CPartsTree* tree = mail.GetParts();
  if (tree == nullptr || tree->GetRoot() == nullptr || tree->GetRoot()->part == nullptr) {
    return false;
  }
  CAMimePart* source = tree->GetRoot()->part->source;
  uint32_t name_length = 0, value_length = 0;
  if (source == nullptr || source->GetMaxHeaderLengths(&name_length, &value_length) == 0) {
    return false;
  }
  // The names are compared as the breaker's header step compares them.
  nsEmlComponents::CHeaderParser::NameTally tally;
  tally.names = names;
  tally.count = N;
  tally.counts = counts;
  try {
    std::vector<char> name(size_t{name_length} + 1), value(size_t{value_length} + 1);
    source->RewindHeaders();
    while (source->NextHeader(name.data(), value.data()) != 0) tally.Count(name.data());
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

// The fields a mail carries at most once; From is second.
constexpr const auto& kSingleFields = CBlackBoxFacilitator::kSingleFieldNames;
constexpr size_t kFromField = 1;

// The counts of the single fields, walked once per mail; null when they cannot be read.
const int* SingleFieldCounts(const CBlackBoxFacilitator& mail) {
  CBlackBoxFacilitator::FieldCounts& memo = mail.GetSingleFieldCounts();
  if (!memo.counted) {
    memo.known = CountHeaderNames(mail, kSingleFields, memo.counts);
    memo.counted = true;
  }
  return memo.known ? memo.counts : nullptr;
}

double FromTwice(const CBlackBoxFacilitator& mail, const CURLDB&) {
  const int* counts = SingleFieldCounts(mail);
  if (counts == nullptr) return 0.0;
  return counts[kFromField] > 1 ? counts[kFromField] : 0.0;
}

double SingleTwice(const CBlackBoxFacilitator& mail, const CURLDB&) {
  const int* counts = SingleFieldCounts(mail);
  if (counts == nullptr) return 0.0;
  return static_cast<double>(std::count_if(counts, counts + std::size(kSingleFields),
                                           [](int n) { return n > 1; }));
}

}  // namespace

int64_t CountHtmlTextUnits(u16string_view source) {
  // The walk follows the HTML stage's tokenizer where it differs from a browser, so that
  // an honest mail counts the same on both sides: a "<!" runs to the first ">" (a comment
  // holding a tag ends there), a SCRIPT ends at the next tag of any kind, and a "&" with a
  // ";" within its next seven units is one character.
  int64_t units = 0;
  size_t i = 0;
  const size_t n = source.size();
  // Eight units at a time (FindUnit): the standard library's search goes one by one.
  auto find_from = [&](size_t from, char16_t unit) {
    return from + ascommon::FindUnit(source.data() + from, n - from, unit);
  };
  // Just after the first `end` from `from` (ASCII case folded), or the end of the source.
  auto skip_past = [&](size_t from, u16string_view end) {
    for (size_t k = from; k + end.size() <= n; ++k) {
      size_t m = 0;
      while (m < end.size() && AsciiLower(source[k + m]) == end[m]) ++m;
      if (m == end.size()) return k + end.size();
    }
    return n;
  };
  while (i < n && source[i] != 0) {  // the HTML stage stops at a NUL too
    const char16_t c = source[i];
    if (c == u'<') {
      size_t name_end = i + 1;
      while (name_end < n && IsAsciiLetter(source[name_end])) ++name_end;
      const u16string name = Lower(source.substr(i + 1, name_end - i - 1));
      i = std::min(n, find_from(i + 1, u'>') + 1);
      if (name == u"script") i = find_from(i, u'<');
      if (name == u"style") i = std::min(n, find_from(skip_past(i, u"</style"), u'>') + 1);
      continue;
    }
    if (c == u'&') {
      const size_t semicolon = find_from(i + 1, u';');
      if (semicolon < n && semicolon - i <= 7) {
        // The stage turns "&nbsp;" into a space, which it does not count.
        if (Lower(source.substr(i + 1, semicolon - i - 1)) != u"nbsp") ++units;
        i = semicolon + 1;
        continue;
      }
    }
    if (!IsBlank(c)) ++units;
    ++i;
  }
  return units;
}

u16string HostOfLinkText(u16string_view text, bool* written_as_url) {
  if (written_as_url != nullptr) *written_as_url = false;
  auto is_edge = [](char16_t c) {
    return IsBlank(c) || c == 0xA0 || c == u'"' || c == u'\'' || c == u'<' || c == u'>' ||
           c == u'(' || c == u')' || c == u'[' || c == u']';
  };
  while (!text.empty() && is_edge(text.front())) text.remove_prefix(1);
  while (!text.empty() && (is_edge(text.back()) || text.back() == u'.' || text.back() == u',' ||
                           text.back() == u';' || text.back() == u'!')) {
    text.remove_suffix(1);
  }
  if (text.empty()) return u16string();
  for (char16_t c : text) {
    if (IsBlank(c) || c == 0xA0 || c == u'@') return u16string();
  }
  u16string lower = Lower(text);
  u16string_view rest = lower;
  bool marked = false;  // a scheme or "www." says "this is an address"
  for (u16string_view scheme : {u16string_view(u"http://"), u16string_view(u"https://")}) {
    if (StartsWith(rest, scheme)) {
      rest.remove_prefix(scheme.size());
      marked = true;
      break;
    }
  }
  const u16string_view host = rest.substr(0, rest.find_first_of(u"/?#:"));
  if (!IsDottedHost(host)) return u16string();
  if (written_as_url != nullptr) *written_as_url = marked || StartsWith(host, u"www.");
  if (!marked && !StartsWith(host, u"www.")) {
    const u16string_view last = host.substr(host.rfind(u'.') + 1);
    if (last.size() < 2 || last.size() > 6 || !std::all_of(last.begin(), last.end(), IsAsciiLetter) ||
        IsFileEnding(last)) {
      return u16string();
    }
  }
  return u16string(host);
}

const MailHeuristic kMailHeuristics[] = {
    {"H_LINK_TEXT_OTHER_DOMAIN", &LinkTextOtherDomain},
    {"H_LINK_URL_OTHER_DOMAIN", &LinkUrlOtherDomain},
    {"H_FROM_NAME_OTHER_DOMAIN", &FromNameOtherDomain},
    {"H_FROM_NAME_IS_ADDRESS", &FromNameIsAddress},
    {"H_URL_LISTED", &UrlListed},
    {"H_HTML_HIDDEN_SHARE", &HtmlHiddenShare},
    {"H_HTML_MOSTLY_HIDDEN", &HtmlMostlyHidden},
    {"H_HDR_FROM_TWICE", &FromTwice},
    {"H_HDR_SINGLE_TWICE", &SingleTwice},
};
const size_t kMailHeuristicCount = sizeof(kMailHeuristics) / sizeof(kMailHeuristics[0]);
