#include "mail/components/header_parser.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "emlbreaker/packer.h"
#include "mail/components/address_parser.h"
#include "mail/components/content_params.h"
#include "mail/components/date_parser.h"
#include "mail/components/encoded_words.h"
#include "mail/components/header_limits.h"
#include "mail/components/header_text.h"
#include "mail/components/received_parser.h"

namespace nsEmlComponents {
namespace {

using View = std::string_view;

constexpr uint32_t kAddressNameBuckets = 53;
constexpr const char* kAddressNames[] = {"From",         "To",        "Cc",           "Bcc",
                                         "Reply-To",     "Resent-Cc", "Resent-From",  "Resent-Bcc",
                                         "Delivered-To", "Resent-To", "Resent-Sender"};

constexpr View kReceivedKey = "RECEIVED";

// The class a header name selects, read from its upper-cased key.
int32_t ClassOf(View key, bool is_address) {
  if (is_address) return kHeaderAddress;
  if (key == "SUBJECT") return kHeaderSubject;
  if (key == kReceivedKey) return kHeaderReceived;
  if (key == "DATE") return kHeaderDate;
  if (key == "CONTENT-TYPE") return kHeaderContentType;
  if (key == "CONTENT-DISPOSITION") return kHeaderContentDisposition;
  if (key == "MESSAGE-ID" || key == "CONTENT-ID" || key == "IN-REPLY-TO" || key == "REFERENCES") {
    return kHeaderIdentification;
  }
  return kHeaderOther;
}

// "<id>" without the brackets: one "<" skipped, the text cut at the last ">".
int32_t StoreIdentification(View raw, CHeaderIdentification* header) {
  View id = SkipHeaderSpace(raw);
  if (id.empty()) return kHeaderOk;
  if (id[0] == '<') id.remove_prefix(1);
  const size_t close = id.rfind('>');
  if (close != View::npos) id = id.substr(0, close);
  return StoreText(&header->id, id);
}

// Builds the header of class `type` from its raw value. -303 from the
// encoded-word decoding keeps the header; every other failure is -10.
int32_t BuildHeader(int32_t type, View raw, const ascommon::CCharsetConverter* converter,
                    std::unique_ptr<CHeader>* built) {
  int32_t code = kHeaderOk;
  switch (type) {
    case kHeaderAddress: {
      auto* header = new CHeaderAddress;
      built->reset(header);
      code = ParseAddresses(converter, raw, header);
      break;
    }
    case kHeaderSubject: {
      auto* header = new CHeaderSubject;
      built->reset(header);
      const View text = SkipHeaderSpace(raw);
      code = StoreText(&header->text, text);
      if (code == kHeaderOk)
        code = DecodeEncodedWords(converter, text, &header->decoded, &header->charset);
      break;
    }
    case kHeaderDate: {
      auto* header = new CHeaderDate;
      built->reset(header);
      ParseDate(&header->date, raw);
      break;
    }
    case kHeaderContentType: {
      auto* header = new CHeaderContentType;
      built->reset(header);
      code = ParseContentType(raw, header);
      break;
    }
    case kHeaderContentDisposition: {
      auto* header = new CHeaderContentDisposition;
      built->reset(header);
      code = ParseContentDisposition(raw, header);
      break;
    }
    case kHeaderIdentification: {
      auto* header = new CHeaderIdentification;
      built->reset(header);
      code = StoreIdentification(raw, header);
      break;
    }
    default: {
      auto* header = new CHeaderOther;
      built->reset(header);
      code = StoreText(&header->text, raw);
      break;
    }
  }
  if (code == kHeaderConversionFailed) code = kHeaderOk;
  if (code == kHeaderOk) code = WideHeaderValue(raw, &(*built)->value);
  return code == kHeaderOk ? kHeaderOk : kHeaderNoMemory;
}

// The first kMaxHeaderTextBytes of a value, cut before a UTF-8 sequence
// rather than inside one (back over at most three continuation bytes), so the
// kept text converts as the whole would have up to there.
View KeptValue(View raw) {
  if (raw.size() <= kMaxHeaderTextBytes) return raw;
  size_t cut = kMaxHeaderTextBytes;
  for (int back = 0; back < 3 && (static_cast<unsigned char>(raw[cut]) & 0xC0) == 0x80; ++back)
    --cut;
  return raw.substr(0, cut);
}

// Gives a map twice the buckets once its chains grow long (see header_limits.h).
void KeepChainsShort(CHeaderMap* headers) {
  const uint32_t buckets = headers->GetBucketCount();
  if (buckets > 0 && buckets <= UINT32_MAX / 2 &&
      headers->GetCount() / buckets >= kMaxHeadersPerBucket) {
    headers->Rehash(buckets * 2);  // a failure leaves the map as it was
  }
}

// Puts header under key; an existing header of the key is replaced and deleted.
int32_t StoreHeader(CHeaderMap* headers, const ascommon::sstring& key,
                    std::unique_ptr<CHeader> header) {
  const int inserted = headers->Insert(key, header.get());
  if (inserted == 0) {
    header.release();
    KeepChainsShort(headers);
    return kHeaderOk;
  }
  if (inserted != ascommon::kKeyPresent) return kHeaderNoMemory;
  CHeader** slot = headers->Lookup(key);
  if (slot == nullptr) return kHeaderMapInconsistent;
  CHeader* replaced = *slot;
  *slot = header.release();
  delete replaced;
  return kHeaderOk;
}

// The Received headers of one parse. Every header adds a hop and a line of the
// joined value; both are gathered here and written into the map's one
// CHeaderReceived by Finish, since growing its usstring and CArray one header
// at a time would copy them again for every header.
class ReceivedHops {
 public:
  ReceivedHops(CHeaderMap* headers, const ascommon::sstring& key) : headers_(headers), key_(key) {}
  ReceivedHops(const ReceivedHops&) = delete;
  ReceivedHops& operator=(const ReceivedHops&) = delete;
  ~ReceivedHops() { Finish(); }

  // One Received header. On failure the entry leaves the map and is deleted.
  int32_t Add(View raw) {
    int32_t code = kHeaderNoMemory;
    try {
      code = header_ == nullptr ? Attach() : kHeaderOk;
      if (code == kHeaderOk) code = Append(raw);
    } catch (const std::bad_alloc&) {
      code = kHeaderNoMemory;
    }
    if (code != kHeaderOk) Abandon();
    return code;
  }

  // Writes the gathered value and hops into the header; 0 or -10 (then the
  // entry leaves the map). Nothing happens when no Received header came.
  int32_t Finish() {
    if (header_ == nullptr) return kHeaderOk;
    int32_t code = StoreText(&header_->value, value_);
    if (code == kHeaderOk && header_->hops.SetSize(hops_.size(), true) != 0) code = kHeaderNoMemory;
    if (code == kHeaderOk) {
      for (size_t i = 0; i < hops_.size(); ++i) header_->hops[i] = std::move(hops_[i]);
      header_ = nullptr;
    } else {
      Abandon();
    }
    hops_.clear();
    value_.clear();
    return code;
  }

 private:
  // Finds or creates the map's CHeaderReceived and takes over what it holds.
  int32_t Attach() {
    CHeader** slot = headers_->Lookup(key_);
    auto* existing = slot != nullptr ? dynamic_cast<CHeaderReceived*>(*slot) : nullptr;
    if (existing != nullptr) {
      header_ = existing;
      value_.assign(existing->value.View());
      hops_.reserve(existing->hops.GetSize());
      for (ReceivedData& hop : existing->hops) hops_.push_back(std::move(hop));
      existing->hops.SetSize(0, false);
      return kHeaderOk;
    }
    auto created = std::make_unique<CHeaderReceived>();
    CHeaderReceived* header = created.get();
    const int32_t code = StoreHeader(headers_, key_, std::move(created));
    if (code == kHeaderOk) header_ = header;
    return code;
  }

  int32_t Append(View raw) {
    if (hops_.size() >= kMaxReceivedHops) return kHeaderOk;
    ascommon::usstring wide;
    if (WideHeaderValue(raw, &wide) != kHeaderOk) return kHeaderNoMemory;
    ReceivedData hop;
    if (ParseReceived(raw, &hop) != kHeaderOk) return kHeaderNoMemory;
    if (!value_.empty()) value_.push_back(u'\n');
    value_.append(wide.View());
    hops_.push_back(std::move(hop));
    return kHeaderOk;
  }

  void Abandon() {
    if (header_ == nullptr) return;
    headers_->Remove(key_);
    delete header_;
    header_ = nullptr;
  }

  CHeaderMap* headers_;
  const ascommon::sstring& key_;
  CHeaderReceived* header_ = nullptr;  // owned by the map
  std::u16string value_;
  std::vector<ReceivedData> hops_;
};

}  // namespace

CHeaderParser::CHeaderParser() : addressNames(kAddressNameBuckets, &CHeaderParser::HashNoCase) {
  for (const char* name : kAddressNames) {
    ascommon::sstring key(name);
    key.MakeUpper();
    if (key.GetError() != 0 || addressNames.Insert(key, 1) == ascommon::kNoMemory)
      throw std::bad_alloc();
  }
}

uint32_t CHeaderParser::HashNoCase(const ascommon::sstring& name) {
  uint32_t hash = 5381;
  for (char c : name.View()) hash = (hash * 33) ^ static_cast<unsigned char>(UpperAscii(c));
  return hash;
}

bool CHeaderParser::IsAddressName(std::string_view name) const {
  ascommon::sstring key(name);
  key.MakeUpper();
  return addressNames.Lookup(key) != nullptr;
}

int32_t CHeaderParser::ParseHeaders(CAMimePart* source, CHeaderMap* headers) const {
  return ParseHeaders(source, headers, nullptr);
}

void CHeaderParser::NameTally::Count(std::string_view name) {
  if (name.empty()) return;
  const char first = UpperAscii(name[0]);
  for (size_t i = 0; i < count; ++i) {
    const char* wanted = names[i];
    if (UpperAscii(wanted[0]) != first) continue;
    size_t k = 0;
    while (k < name.size() && wanted[k] != '\0' && UpperAscii(name[k]) == UpperAscii(wanted[k])) ++k;
    if (k == name.size() && wanted[k] == '\0') ++counts[i];
  }
}

int32_t CHeaderParser::ParseHeaders(CAMimePart* source, CHeaderMap* headers,
                                    NameTally* tally) const {
  if (converter == nullptr || source == nullptr || headers == nullptr) return kHeaderInvalidPointer;
  uint32_t max_name = 0, max_value = 0;
  if (source->GetMaxHeaderLengths(&max_name, &max_value) == 0) return kHeaderInvalidPointer;
  const ascommon::sstring received_key(kReceivedKey);
  if (received_key.GetError() != 0) return kHeaderNoMemory;
  std::unique_ptr<char[]> name(new (std::nothrow) char[size_t{max_name} + 1]());
  std::unique_ptr<char[]> value(new (std::nothrow) char[size_t{max_value} + 1]());
  if (name == nullptr || value == nullptr) return kHeaderNoMemory;
  ReceivedHops received(headers, received_key);
  source->RewindHeaders();
  int32_t code = kHeaderOk;
  // One key for all the headers: it keeps its buffer from name to name, and the map
  // copies the key it stores.
  ascommon::sstring key;
  if (tally != nullptr) std::fill(tally->counts, tally->counts + tally->count, 0);
  try {
    while (code == kHeaderOk && source->NextHeader(name.get(), value.get()) != 0) {
      const View header_name(name.get(), strnlen(name.get(), max_name));
      const View whole(value.get(), strnlen(value.get(), max_value));
      if (tally != nullptr) tally->Count(header_name);
      if (header_name.find_first_of(" \t") != View::npos) continue;
      const View raw = KeptValue(whole);
      if (key.Assign(header_name.data(), header_name.size()) != 0) return kHeaderNoMemory;
      key.MakeUpper();
      const int32_t type = ClassOf(key.View(), addressNames.Lookup(key) != nullptr);
      if (type == kHeaderReceived) {
        code = received.Add(raw);
        continue;
      }
      std::unique_ptr<CHeader> header;
      code = BuildHeader(type, raw, converter, &header);
      if (code == kHeaderOk) code = StoreHeader(headers, key, std::move(header));
    }
  } catch (const std::bad_alloc&) {
    code = kHeaderNoMemory;
  }
  const int32_t finished = received.Finish();
  if (tally != nullptr) tally->complete = code == kHeaderOk;
  return code != kHeaderOk ? code : finished;
}

}  // namespace nsEmlComponents
