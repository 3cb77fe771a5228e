#include "engines/mail_tokens.h"

#include <algorithm>
#include <numeric>
#include <utility>

#include "emlbreaker/analysis.h"
#include "emlbreaker/headers.h"
#include "emlbreaker/parts_tree.h"
#include "engines/blackbox_facilitator.h"
#include "engines/stat_classifier.h"
#include "engines/url_db.h"

namespace learning {
namespace {

using nsEmlComponents::CHeader;
using nsEmlComponents::CHeaderMap;
using nsEmlComponents::CPart;
using nsEmlComponents::CPartsTree;
using DomainTable = ascommon::CMap<ascommon::usstring, uint32_t>;

// A mail of 300 KiB of text has about 50,000 words; what comes first says what a mail
// is about well before that.
constexpr size_t kMaxOccurrences = kMaxTokenOccurrences;
// A mailer, media type or file name longer than this is cut: the version and build
// numbers at the end say nothing the beginning does not.
constexpr size_t kMaxHeaderToken = 40;

// FNV-1a over the kind and the UTF-16 units of the text, then MurmurHash3's finaliser, so
// that the bits of short texts spread over the whole 64 bits.
constexpr uint64_t kFnvOffset = 0xcbf29ce484222325ULL;
constexpr uint64_t kFnvPrime = 0x100000001b3ULL;

uint64_t Finish(uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

void AppendUtf8(char16_t unit, std::string* out) {
  // Surrogates are not word units, so every unit here is a whole code point.
  if (unit < 0x80) {
    out->push_back(static_cast<char>(unit));
  } else if (unit < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (unit >> 6)));
    out->push_back(static_cast<char>(0x80 | (unit & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xE0 | (unit >> 12)));
    out->push_back(static_cast<char>(0x80 | ((unit >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (unit & 0x3F)));
  }
}

// Collects token hashes (and, when asked, their readable forms).
class Collector {
 public:
  Collector(std::vector<TokenHash>* tokens, std::vector<std::string>* texts)
      : tokens_(tokens), texts_(texts) {}

  bool Full() const { return tokens_->size() >= kMaxOccurrences; }

  // The hash of a token as Begin, Feed and End make it, for a caller that keeps it in a
  // register (AddWords): in the collector it went through memory at every unit, a store
  // and a load in the chain of multiplications.
  static uint64_t Start(char kind) { return (kFnvOffset ^ static_cast<uint8_t>(kind)) * kFnvPrime; }
  static uint64_t Mix(uint64_t hash, char16_t unit) { return (hash ^ unit) * kFnvPrime; }
  bool KeepsTexts() const { return texts_ != nullptr; }
  // Ends a token hashed outside, neither a header name nor with a text.
  void EndHashed(uint64_t hash) {
    if (!Full()) tokens_->push_back(MarkGroup(Finish(hash), false));
  }

  void Begin(char kind) {
    header_name_ = kind == 'n';
    hash_ = Start(kind);
    if (texts_ != nullptr) {
      text_.assign(1, kind);
      text_.push_back(':');
    }
  }
  void Feed(char16_t unit) {
    hash_ = Mix(hash_, unit);
    if (texts_ != nullptr) AppendUtf8(unit, &text_);
  }
  void FeedAscii(std::string_view text) {
    for (const char c : text) Feed(static_cast<unsigned char>(c));
  }
  void End() {
    if (Full()) return;
    tokens_->push_back(MarkGroup(Finish(hash_), header_name_));
    if (texts_ != nullptr) texts_->push_back(text_);
  }
  void Add(char kind, std::string_view text) {
    Begin(kind);
    FeedAscii(text);
    End();
  }
  void Add(char kind, std::string_view prefix, std::u16string_view text) {
    Begin(kind);
    FeedAscii(prefix);
    for (const char16_t unit : text) Feed(unit);
    End();
  }

 private:
  std::vector<TokenHash>* tokens_;
  std::vector<std::string>* texts_;
  uint64_t hash_ = 0;
  bool header_name_ = false;
  std::string text_;
};

// ---- words ------------------------------------------------------------------------------

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// Letters of the scripts mail is mostly written in; punctuation, symbols, surrogates
// (emoji) and the CJK punctuation blocks separate words.
bool IsLetter(char16_t c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
  if (c < 0xC0 || c == 0xD7 || c == 0xF7) return false;
  if (c >= 0x2000 && c <= 0x2BFF) return false;
  if (c >= 0x3000 && c <= 0x303F) return false;
  if (c >= 0xD800 && c <= 0xDFFF) return false;
  if (c >= 0xFE00 && c <= 0xFE6F) return false;
  if (c >= 0xFF00 && c <= 0xFF20) return false;
  return true;
}

char16_t Lower(char16_t c) {
  if (c < 0x80) return c >= u'A' && c <= u'Z' ? c + 32 : c;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;  // Latin-1
  if (c >= 0x391 && c <= 0x3A9) return c + 32;              // Greek
  if (c >= 0x410 && c <= 0x42F) return c + 32;              // Cyrillic
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  return c;
}

// What an ASCII unit is to a word: 0 a separator, 1 a digit, else the letter in lower
// case. Mail text is mostly ASCII: one table look answers both questions and lowers.
struct AsciiClasses {
  char16_t of[128] = {};
  constexpr AsciiClasses() {
    for (char16_t c = u'0'; c <= u'9'; ++c) of[c] = 1;
    for (char16_t c = u'a'; c <= u'z'; ++c) of[c] = c;
    for (char16_t c = u'A'; c <= u'Z'; ++c) of[c] = c + 32;
  }
};
constexpr AsciiClasses kAscii;

// The class of any unit as kAscii gives it for ASCII.
inline char16_t ClassOf(char16_t c) {
  if (c < 0x80) return kAscii.of[c];
  return IsLetter(c) ? Lower(c) : 0;
}

// Every word of text as a token of kind. A word is a run of letters and digits; each run
// of digits counts as the one digit "0" (prices, dates and order numbers vary mail by mail
// while their shape does not). One pass: the word is hashed as it is measured, and one too
// short or too long is dropped at its end. kTexts: the collector also keeps the words'
// texts, through its own Begin, Feed and End.
template <bool kTexts>
void AddWordsOf(std::u16string_view text, char kind, Collector* out) {
  const char16_t* units = text.data();
  const size_t size = text.size();
  const uint64_t start = Collector::Start(kind);
  size_t i = 0;
  while (i < size && !out->Full()) {
    char16_t cls = 0;
    while (i < size && (cls = ClassOf(units[i])) == 0) ++i;
    if (i >= size) break;
    if constexpr (kTexts) out->Begin(kind);
    uint64_t hash = start;
    size_t length = 0;
    bool in_digits = false;
    for (; i < size && (cls = ClassOf(units[i])) != 0; ++i) {
      const bool digit = cls == 1;
      if (!(digit && in_digits) && ++length <= kMaxWordLength) {
        const char16_t unit = digit ? u'0' : cls;
        hash = Collector::Mix(hash, unit);
        if constexpr (kTexts) out->Feed(unit);
      }
      in_digits = digit;
    }
    if (length >= kMinWordLength && length <= kMaxWordLength) {
      if constexpr (kTexts) {
        out->End();
      } else {
        out->EndHashed(hash);
      }
    }
  }
}

void AddWords(std::u16string_view text, char kind, Collector* out) {
  if (out->KeepsTexts()) {
    AddWordsOf<true>(text, kind, out);
  } else {
    AddWordsOf<false>(text, kind, out);
  }
}

// ---- headers ----------------------------------------------------------------------------

const CHeader* FindHeader(const CHeaderMap* headers, const char* name) {
  if (headers == nullptr) return nullptr;
  CHeader* const* found = headers->Lookup(ascommon::sstring(name));
  return found != nullptr ? *found : nullptr;
}

std::u16string LowerAscii(std::u16string_view text) {
  std::u16string lower(text);
  for (char16_t& c : lower) c = c < 0x80 ? Lower(c) : c;
  return lower;
}

// The registrable domain of a host, URL or address domain, lower case; empty when none.
// A scheme ("https://") goes first: the domain steps know "http://" only.
std::u16string DomainOf(const DomainTable& table, std::u16string_view text) {
  const size_t colon = text.find(u"://");
  if (colon != std::u16string_view::npos && colon > 0 && colon <= 10) {
    text.remove_prefix(colon + 3);
  }
  const std::u16string lower = LowerAscii(text.substr(0, 512));
  ascommon::usstring domain;
  if (lower.empty() || ExtractDomainFromText(table, lower.data(), lower.size(), &domain) != 0) {
    return std::u16string();
  }
  return std::u16string(domain.View());
}

std::u16string AddressDomain(const DomainTable& table, const ascommon::usstring& address) {
  const std::u16string_view text = address.View();
  const size_t at = text.rfind(u'@');
  if (at == std::u16string_view::npos) return std::u16string();
  return DomainOf(table, text.substr(at + 1));
}

// A header text as a token: lower case, cut at kMaxHeaderToken, with `collapse` digit
// runs as "0" (a mailer's version; not a charset's number, which names the script).
void AddHeaderText(char kind, std::string_view prefix, std::u16string_view text,
                   Collector* out, bool collapse = true) {
  while (!text.empty() && (text.front() == u' ' || text.front() == u'\t')) text.remove_prefix(1);
  out->Begin(kind);
  out->FeedAscii(prefix);
  bool in_digits = false;
  size_t fed = 0;
  for (size_t i = 0; i < text.size() && fed < kMaxHeaderToken; ++i) {
    const char16_t c = text[i];
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    if (collapse && IsDigit(c)) {
      if (!in_digits) out->Feed(u'0'), ++fed;
      in_digits = true;
      continue;
    }
    in_digits = false;
    out->Feed(c == u'\t' || c == u'\r' || c == u'\n' ? u' ' : Lower(c));
    ++fed;
  }
  out->End();
}

void AddAscii(char kind, std::string_view prefix, const ascommon::sstring& value,
              Collector* out) {
  std::u16string wide;
  const char* text = value.c_str();
  for (size_t i = 0; text != nullptr && i < value.Length() && i < kMaxHeaderToken; ++i) {
    wide.push_back(static_cast<unsigned char>(text[i]));
  }
  AddHeaderText(kind, prefix, wide, out, false);
}

const char* Bucket(size_t n, const size_t* limits, const char* const* names, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (n <= limits[i]) return names[i];
  }
  return names[count];
}

// The network of an IPv4 address: its first two numbers ("192.0"); empty for anything
// else (an IPv6 address, or what a forged hop put there).
std::string_view Network(std::string_view ip) {
  if (ip.empty() || ip.size() > 15 ||
      ip.find_first_not_of("0123456789.") != std::string_view::npos) {
    return std::string_view();
  }
  const size_t first = ip.find('.');
  if (first == std::string_view::npos) return std::string_view();
  const size_t second = ip.find('.', first + 1);
  if (second == std::string_view::npos) return std::string_view();
  return ip.substr(0, second);
}

// To and Cc: how many recipients, and of the first To address its registrable domain,
// whether it is From's and whether it carries a name. Bulk mail goes to one address
// without a name, or to many, or to none that the To header shows.
void AddRecipientTokens(const CHeaderMap* headers, const DomainTable& table,
                        const std::u16string& from_domain, Collector* out) {
  using namespace nsEmlComponents;
  size_t recipients = 0;
  bool no_to = true;
  for (const char* name : {"TO", "CC"}) {
    const CHeader* header = FindHeader(headers, name);
    if (header == nullptr || header->GetType() != kHeaderAddress) continue;
    const auto& addresses = static_cast<const CHeaderAddress*>(header)->addresses;
    recipients += addresses.GetSize();
    if (name[0] != 'T' || addresses.GetSize() == 0) continue;
    no_to = false;
    const FullAddress& to = addresses[0];
    const std::u16string domain = AddressDomain(table, to.address);
    if (!domain.empty()) {
      out->Add('t', "dom:", domain);
      if (domain == from_domain) out->Add('t', "from-domain");
    }
    out->Add('t', to.name.IsEmpty() ? "unnamed" : "named");
  }
  if (no_to) out->Add('t', "no-to");
  static constexpr size_t kLimits[] = {0, 1, 2, 5, 20};
  static constexpr const char* kNames[] = {"rcpt0", "rcpt1", "rcpt2", "rcpt3-5", "rcpt6-20",
                                           "rcpt21+"};
  out->Add('t', Bucket(recipients, kLimits, kNames, 5));
}

// Message-ID: the shape of its left side (each run of digits "0", of lower-case letters
// "a", of capitals "A", other characters as they are, 30 at most) and the registrable
// domain of its right side, and whether that is From's. Every mail program and bulk tool
// writes its own shape, and spam tools forge the domain.
void AddMessageIdTokens(const CHeaderMap* headers, const DomainTable& table,
                        const std::u16string& from_domain, Collector* out) {
  using namespace nsEmlComponents;
  const CHeader* header = FindHeader(headers, "MESSAGE-ID");
  if (header == nullptr) {
    out->Add('i', "none");
    return;
  }
  std::u16string id;
  if (header->GetType() == kHeaderIdentification) {
    const ascommon::sstring& text = static_cast<const CHeaderIdentification*>(header)->id;
    for (size_t i = 0; i < text.Length() && i < 512; ++i) {
      id.push_back(static_cast<unsigned char>(text.c_str()[i]));
    }
  } else {
    id = header->value.View().substr(0, 512);
  }
  const size_t at = id.rfind(u'@');
  std::u16string shape;
  for (size_t i = 0; i < std::min(at, id.size()) && shape.size() < 30; ++i) {
    const char16_t c = id[i];
    const char16_t run = IsDigit(c)                 ? u'0'
                         : c >= u'a' && c <= u'z' ? u'a'
                         : c >= u'A' && c <= u'Z' ? u'A'
                                                  : 0;
    if (run == 0) {
      if (c >= 0x20 && c < 0x7F) shape.push_back(c);
    } else if (shape.empty() || shape.back() != run) {
      shape.push_back(run);
    }
  }
  out->Add('i', "", shape);
  if (at == std::u16string::npos) {
    out->Add('i', "no-at");
    return;
  }
  std::u16string right = id.substr(at + 1);
  while (!right.empty() && (right.back() == u'>' || right.back() == u' ')) right.pop_back();
  const std::u16string domain = DomainOf(table, right);
  out->Add('i', "dom:", domain.empty() ? std::u16string(u"none") : domain);
  if (!domain.empty() && domain == from_domain) out->Add('i', "from-domain");
}

void AddHeaderTokens(const CBlackBoxFacilitator& mail, const DomainTable& table,
                     Collector* out) {
  using namespace nsEmlComponents;
  const CHeaderMap* headers = mail.GetHeaders();
  if (headers != nullptr) {
    CHeaderMap::Position position = headers->GetStartPosition();
    for (uint32_t i = 0; i < headers->GetCount(); ++i, position.Next()) {
      const ascommon::sstring& name = position.Key();
      std::u16string wide;
      for (size_t j = 0; j < name.Length() && j < kMaxHeaderToken; ++j) {
        wide.push_back(static_cast<unsigned char>(name.c_str()[j]));
      }
      AddHeaderText('n', "", wide, out, false);
    }
  }

  std::u16string from_domain;
  if (const auto* from = mail.GetFromAddresses(); from != nullptr) {
    for (const FullAddress& entry : *from) {
      const std::u16string domain = AddressDomain(table, entry.address);
      if (domain.empty()) continue;
      if (from_domain.empty()) from_domain = domain;
      out->Add('f', "", domain);
    }
  }
  if (const CHeader* reply = FindHeader(headers, "REPLY-TO");
      reply != nullptr && reply->GetType() == kHeaderAddress) {
    for (const FullAddress& entry : static_cast<const CHeaderAddress*>(reply)->addresses) {
      const std::u16string domain = AddressDomain(table, entry.address);
      if (domain.empty()) continue;
      out->Add('r', "", domain);
      if (domain != from_domain) out->Add('r', "other");
    }
  }

  AddRecipientTokens(headers, table, from_domain, out);
  AddMessageIdTokens(headers, table, from_domain, out);

  const CHeader* mailer = FindHeader(headers, "X-MAILER");
  if (mailer == nullptr) mailer = FindHeader(headers, "USER-AGENT");
  if (mailer != nullptr) {
    AddHeaderText('m', "", mailer->value.View(), out);
  } else {
    out->Add('m', "none");
  }

  if (const CHeaderReceived* received = mail.GetReceived(); received != nullptr) {
    static constexpr size_t kLimits[] = {1, 2, 3, 4, 6, 9};
    static constexpr const char* kNames[] = {"hops1", "hops2", "hops3", "hops4",
                                             "hops5-6", "hops7-9", "hops10+"};
    const size_t hops = received->hops.GetSize();
    out->Add('h', Bucket(hops, kLimits, kNames, 6));
    size_t helo = 0;
    size_t ip = 0;
    for (const ReceivedData& hop : received->hops) {
      if (out->Full()) break;
      if (!hop.heloName.IsEmpty()) ++helo;
      if (!hop.ip.IsEmpty()) {
        ++ip;
        const std::string_view network = Network(hop.ip.View());
        if (!network.empty()) out->Add('h', std::string("net:").append(network));
      }
      if (!hop.hostName.IsEmpty()) {
        std::u16string host;
        for (size_t j = 0; j < hop.hostName.Length() && j < 255; ++j) {
          host.push_back(static_cast<unsigned char>(hop.hostName.c_str()[j]));
        }
        const std::u16string domain = DomainOf(table, host);
        if (!domain.empty()) out->Add('h', "host:", domain);
      }
    }
    out->Add('h', helo == hops ? "helo:all" : helo == 0 ? "helo:none" : "helo:some");
    out->Add('h', ip == hops ? "ip:all" : ip == 0 ? "ip:none" : "ip:some");
  } else {
    out->Add('h', "hops0");
  }

  if (const CHeader* subject = FindHeader(headers, "SUBJECT");
      subject != nullptr && subject->GetType() == kHeaderSubject) {
    AddWords(static_cast<const CHeaderSubject*>(subject)->decoded.View(), 's', out);
  }
}

// ---- parts ------------------------------------------------------------------------------

// The media type and charset of a part, and the extension of its file name.
void AddPartTokens(const nsEmlComponents::CPartHeaderMap& headers, Collector* out) {
  using namespace nsEmlComponents;
  const ascommon::sstring* file_name = nullptr;
  CHeader* const* found = headers.Lookup(ascommon::sstring("CONTENT-TYPE"));
  if (found != nullptr && (*found)->GetType() == kHeaderContentType) {
    const auto* type = static_cast<const CHeaderContentType*>(*found);
    if (!type->type.IsEmpty()) AddAscii('c', "", type->type, out);
    if (!type->charset.IsEmpty()) AddAscii('c', "charset=", type->charset, out);
    if (!type->name.IsEmpty()) file_name = &type->name;
  }
  found = headers.Lookup(ascommon::sstring("CONTENT-DISPOSITION"));
  if (found != nullptr && (*found)->GetType() == kHeaderContentDisposition) {
    const auto* disposition = static_cast<const CHeaderContentDisposition*>(*found);
    if (!disposition->filename.IsEmpty()) file_name = &disposition->filename;
  }
  if (file_name == nullptr) return;
  const std::string_view name(file_name->c_str(), file_name->Length());
  const size_t dot = name.rfind('.');
  std::string extension;
  if (dot != std::string_view::npos) extension = std::string(name.substr(dot + 1));
  while (!extension.empty() && (extension.back() == '"' || extension.back() == ' ')) {
    extension.pop_back();
  }
  const bool plain = !extension.empty() && extension.size() <= 8 &&
                     std::all_of(extension.begin(), extension.end(), [](char c) {
                       return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                              (c >= '0' && c <= '9');
                     });
  if (!plain) extension = dot == std::string_view::npos ? "noext" : "oddext";
  for (char& c : extension) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
  out->Add('a', extension);
}

// Every part of the tree down to the depth the rules read, without recursion.
void AddTreeTokens(const CBlackBoxFacilitator& mail, Collector* out) {
  const CPartsTree* tree = mail.GetParts();
  if (tree == nullptr || tree->GetRoot() == nullptr) return;
  // The root part's headers are the mail's own.
  if (const CHeaderMap* headers = mail.GetHeaders(); headers != nullptr) {
    AddPartTokens(*headers, out);
  }
  std::vector<const CPartsTree::CNode*> pending;
  for (const CPartsTree::CNode* child : tree->GetRoot()->children) pending.push_back(child);
  std::reverse(pending.begin(), pending.end());
  while (!pending.empty() && !out->Full()) {
    const CPartsTree::CNode* node = pending.back();
    pending.pop_back();
    if (node->part->removed != 0 || node->part->depth > nsEmlComponents::kMaxPartDepth) continue;
    AddPartTokens(node->part->headers, out);
    for (size_t i = node->children.GetSize(); i > 0; --i) pending.push_back(node->children[i - 1]);
  }
}

// ---- links and HTML ---------------------------------------------------------------------

void AddUrl(const DomainTable& table, std::string_view prefix,
            const nsEmlComponents::CUrl& url, Collector* out) {
  const std::u16string domain = DomainOf(table, url.decoded.View());
  if (!domain.empty()) out->Add('u', prefix, domain);
}

void AddHtmlSummary(const nsEmlComponents::CHtmlInfo& info, const DomainTable& table,
                    Collector* out) {
  const std::pair<uint8_t, const char*> flags[] = {
      {info.nonAsciiRun, "nonascii-run"}, {info.mediumText, "medium-text"},
      {info.redText, "red-text"},         {info.remoteImage, "remote-image"},
      {info.imageInLink, "image-link"},   {info.webLink, "web-link"},
      {info.bigText, "big-text"},         {info.largeImage, "large-image"},
      {info.clickHere, "click-here"},     {info.removeMailLink, "remove-link"},
      {info.blankTarget, "blank-target"}, {info.encodedUrl, "encoded-url"},
      {info.numericIpHost, "ip-host"},    {info.decimalHost, "decimal-host"},
      {info.noHtmlElement, "no-html"},    {info.nonJavaScript, "non-js"},
      {info.atInHost, "at-in-host"},      {info.textOutsideHtml, "text-outside"},
      {info.bizHost, "biz-host"},         {info.unbalancedTags, "unbalanced"},
      {info.imageWithoutSrc, "image-nosrc"}};
  for (const auto& [set, name] : flags) {
    if (set != 0) out->Add('l', name);
  }
  if (info.smallFontClass != 0) out->Add('l', "small-font");
  if (info.splitComments != 0) out->Add('l', "split-comments");
  static constexpr size_t kLimits[] = {0, 2, 5, 15};
  static constexpr const char* kNames[] = {"anchors0", "anchors1-2", "anchors3-5",
                                           "anchors6-15", "anchors16+"};
  out->Add('l', Bucket(info.anchors.GetSize(), kLimits, kNames, 4));
  if (info.visibleChars < 100) out->Add('l', "little-text");
  for (const nsEmlComponents::CUrl& image : info.images) {
    if (out->Full()) return;
    AddUrl(table, "img:", image, out);
  }
}

// Drops every token met before, keeping the first occurrence where it stood (and its
// text). An open-addressing set at most half full, probed on the hash's low bits (mixed by
// Finish); 0 marks a free slot, so the token 0 is remembered beside it.
void KeepFirstOccurrences(std::vector<TokenHash>* tokens, std::vector<std::string>* texts) {
  size_t size = 16;
  while (size < tokens->size() * 2) size *= 2;
  std::vector<TokenHash> seen(size, 0);
  const size_t mask = size - 1;
  bool seen_zero = false;
  size_t kept = 0;
  for (size_t i = 0; i < tokens->size(); ++i) {
    const TokenHash token = (*tokens)[i];
    if (token == 0) {
      if (seen_zero) continue;
      seen_zero = true;
    } else {
      size_t at = token & mask;
      while (seen[at] != 0 && seen[at] != token) at = (at + 1) & mask;
      if (seen[at] == token) continue;
      seen[at] = token;
    }
    if (texts != nullptr && kept != i) (*texts)[kept] = std::move((*texts)[i]);
    (*tokens)[kept++] = token;
  }
  tokens->resize(kept);
  if (texts != nullptr) texts->resize(kept);
}

}  // namespace

TokenHash HashToken(char kind, std::string_view text) {
  std::vector<TokenHash> one;
  Collector collector(&one, nullptr);
  const ascommon::usstring wide = ascommon::usstring::FromUtf8(text);
  collector.Add(kind, "", wide.IsSet() ? wide.View() : std::u16string_view());
  return one.front();
}

void MailTokens(const CBlackBoxFacilitator& mail, const DomainTable& domains,
                std::vector<TokenHash>* tokens, std::vector<std::string>* texts,
                TokenOrder order) {
  tokens->clear();
  if (texts != nullptr) texts->clear();
  Collector out(tokens, texts);
  AddHeaderTokens(mail, domains, &out);
  AddTreeTokens(mail, &out);
  // Links stop with the occurrences too: a mail of a hundred thousand links would
  // otherwise cut a hundred thousand hosts to their domains.
  for (const nsEmlComponents::CPartBodyTextPlain* body : mail.GetPlainBodies()) {
    for (const nsEmlComponents::CUrl& url : body->urls) {
      if (out.Full()) break;
      AddUrl(domains, "", url, &out);
    }
  }
  for (const nsEmlComponents::CHtmlAHref* anchor : mail.GetAnchors()) {
    if (out.Full()) break;
    AddUrl(domains, "", anchor->url, &out);
  }
  for (const nsEmlComponents::CPartBodyTextHtml* body : mail.GetHtmlBodies()) {
    AddHtmlSummary(body->info, domains, &out);
  }
  for (const ascommon::usstring* text : mail.GetPlainTexts()) AddWords(text->View(), 'w', &out);
  for (const ascommon::usstring* text : mail.GetHtmlVisibleTexts()) {
    AddWords(text->View(), 'w', &out);
  }

  if (order == TokenOrder::kFirstMet) {
    KeepFirstOccurrences(tokens, texts);
    return;
  }
  if (texts == nullptr) {
    std::sort(tokens->begin(), tokens->end());
    tokens->erase(std::unique(tokens->begin(), tokens->end()), tokens->end());
    return;
  }
  std::vector<size_t> by_hash(tokens->size());
  std::iota(by_hash.begin(), by_hash.end(), 0);
  std::stable_sort(by_hash.begin(), by_hash.end(),
                   [&](size_t a, size_t b) { return (*tokens)[a] < (*tokens)[b]; });
  std::vector<TokenHash> sorted_tokens;
  std::vector<std::string> sorted_texts;
  for (const size_t i : by_hash) {
    if (!sorted_tokens.empty() && sorted_tokens.back() == (*tokens)[i]) continue;
    sorted_tokens.push_back((*tokens)[i]);
    sorted_texts.push_back(std::move((*texts)[i]));
  }
  tokens->swap(sorted_tokens);
  texts->swap(sorted_texts);
}

}  // namespace learning
