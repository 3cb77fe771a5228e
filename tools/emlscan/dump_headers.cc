#include "tools/emlscan/dump_headers.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "emlbreaker/broken_mail.h"
#include "tools/emlscan/host_settings.h"

namespace emlscan {
namespace {

using namespace nsEmlComponents;

std::string Utf8(const ascommon::usstring& text) {
  return Utf16ToUtf8(std::u16string_view(text.c_str(), text.Length()));
}
std::string Narrow(const ascommon::sstring& text) { return std::string(text.c_str(), text.Length()); }

const char* TypeName(int32_t type) {
  switch (type) {
    case kHeaderOther: return "other";
    case kHeaderAddress: return "address";
    case kHeaderDate: return "date";
    case kHeaderReceived: return "received";
    case kHeaderContentType: return "content-type";
    case kHeaderContentDisposition: return "content-disposition";
    case kHeaderIdentification: return "identification";
    case kHeaderSubject: return "subject";
    default: return "unknown";
  }
}

std::string DateText(const DateRecord& date) {
  if (!date.valid) return "(invalid)";
  // Numeric zones are kept in minutes, named ones in hours (as the parser
  // reads them); the raw number is shown, its unit depends on the form.
  std::string text;
  text.reserve(48);
  AppendZeroPadded(text, date.year, 4);
  text.push_back('-');
  AppendZeroPadded(text, int64_t{date.month} + 1, 2);
  text.push_back('-');
  AppendZeroPadded(text, date.day, 2);
  text.push_back(' ');
  AppendZeroPadded(text, date.hour, 2);
  text.push_back(':');
  AppendZeroPadded(text, date.minute, 2);
  text.push_back(':');
  AppendZeroPadded(text, date.second, 2);
  text.append(" zone ");
  AppendZeroPadded(text, date.zone, 0);
  if (date.obsolete) text.append(" (obsolete form)");
  return text;
}

// The headers of a map in name order (the map's own order is its hash's).
// The names are views of the map's keys, not copies: a dump sorts every part's headers.
std::vector<std::pair<std::string_view, const CHeader*>> Sorted(const CHeaderMap& headers) {
  std::vector<std::pair<std::string_view, const CHeader*>> sorted;
  if (headers.GetCount() == 0) return sorted;
  sorted.reserve(headers.GetCount());
  CHeaderMap::Position position = headers.GetStartPosition();
  for (uint32_t i = 0; i < headers.GetCount(); ++i, position.Next())
    sorted.emplace_back(position.Key().View(), position.Value());
  std::sort(sorted.begin(), sorted.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  return sorted;
}

// The header as its own class, which its type code names; null for another type.
template <class Header>
const Header* As(const CHeader& header, int32_t type) {
  return header.GetType() == type ? static_cast<const Header*>(&header) : nullptr;
}

nlohmann::json HeaderJson(const CHeader& header) {
  nlohmann::json entry;
  entry["type"] = TypeName(header.GetType());
  entry["value"] = Utf8(header.value);
  if (auto* subject = As<CHeaderSubject>(header, kHeaderSubject)) {
    entry["decoded"] = Utf8(subject->decoded);
    if (subject->charset.IsSet()) entry["charset"] = Narrow(subject->charset);
  } else if (auto* address = As<CHeaderAddress>(header, kHeaderAddress)) {
    nlohmann::json list = nlohmann::json::array();
    for (size_t i = 0; i < address->addresses.GetSize(); ++i) {
      const FullAddress& one = address->addresses[i];
      list.push_back({{"name", Utf8(one.name)}, {"address", Utf8(one.address)}});
    }
    entry["addresses"] = std::move(list);
  } else if (auto* date = As<CHeaderDate>(header, kHeaderDate)) {
    entry["date"] = DateText(date->date);
  } else if (auto* received = As<CHeaderReceived>(header, kHeaderReceived)) {
    nlohmann::json hops = nlohmann::json::array();
    for (size_t i = 0; i < received->hops.GetSize(); ++i) {
      const ReceivedData& hop = received->hops[i];
      hops.push_back({{"helo", Narrow(hop.heloName)},
                      {"host", Narrow(hop.hostName)},
                      {"ip", Narrow(hop.ip)},
                      {"by", Narrow(hop.byText)},
                      {"date", DateText(hop.date)}});
    }
    entry["hops"] = std::move(hops);
  } else if (auto* type = As<CHeaderContentType>(header, kHeaderContentType)) {
    entry["content_type"] = Narrow(type->type);
    if (type->charset.IsSet()) entry["charset"] = Narrow(type->charset);
    if (type->boundary.IsSet()) entry["boundary"] = Narrow(type->boundary);
    if (type->name.IsSet()) entry["name"] = Narrow(type->name);
  } else if (auto* disposition = As<CHeaderContentDisposition>(header, kHeaderContentDisposition)) {
    entry["disposition"] = Narrow(disposition->disposition);
    if (disposition->filename.IsSet()) entry["filename"] = Narrow(disposition->filename);
  } else if (auto* id = As<CHeaderIdentification>(header, kHeaderIdentification)) {
    entry["id"] = Narrow(id->id);
  }
  return entry;
}

const CHeaderMap* MailHeaders(MailItem& item) { return GetMailHeaders(item.box); }

}  // namespace

nlohmann::json PartHeadersJson(const CHeaderMap& headers) {
  nlohmann::json all = nlohmann::json::object();
  for (const auto& [name, header] : Sorted(headers)) all[std::string(name)] = HeaderJson(*header);
  return all;
}

nlohmann::json HeadersJson(MailItem& item) {
  const CHeaderMap* headers = MailHeaders(item);
  return headers != nullptr ? PartHeadersJson(*headers) : nlohmann::json::object();
}

// The text form appends straight to one string, without a stream or a copy
// per field: a dump of a large folder spends its time here otherwise.
namespace {

void Append(std::string& out, const ascommon::usstring& text) {
  AppendUtf8(out, std::u16string_view(text.c_str(), text.Length()));
}
void Append(std::string& out, const ascommon::sstring& text) {
  out.append(text.c_str(), text.Length());
}
void Field(std::string& out, const char* label, const ascommon::sstring& text) {
  out.append("      ").append(label).append(": ");
  Append(out, text);
  out.push_back('\n');
}

void HeaderText(std::string& out, std::string_view name, const CHeader& header) {
  out.append("  ").append(name).append(" [").append(TypeName(header.GetType())).append("] ");
  // The raw value, cut to 117 bytes and "..." when longer than 120 (never
  // inside a UTF-8 sequence).
  const size_t start = out.size();
  Append(out, header.value);
  if (out.size() - start > 120) {
    size_t cut = start + 117;
    while (cut > start && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
    out.resize(cut);
    out.append("...");
  }
  out.push_back('\n');
  switch (header.GetType()) {
    case kHeaderSubject: {
      const auto& subject = static_cast<const CHeaderSubject&>(header);
      out.append("      decoded: ");
      Append(out, subject.decoded);
      out.push_back('\n');
      if (subject.charset.IsSet()) Field(out, "charset", subject.charset);
      break;
    }
    case kHeaderAddress: {
      const auto& address = static_cast<const CHeaderAddress&>(header);
      for (size_t i = 0; i < address.addresses.GetSize(); ++i) {
        const FullAddress& one = address.addresses[i];
        out.append("      address: ");
        Append(out, one.address);
        if (one.name.Length() > 0) {
          out.append("  name: \"");
          Append(out, one.name);
          out.push_back('"');
        }
        out.push_back('\n');
      }
      break;
    }
    case kHeaderDate:
      out.append("      date: ")
          .append(DateText(static_cast<const CHeaderDate&>(header).date))
          .push_back('\n');
      break;
    case kHeaderReceived: {
      const auto& received = static_cast<const CHeaderReceived&>(header);
      for (size_t i = 0; i < received.hops.GetSize(); ++i) {
        const ReceivedData& hop = received.hops[i];
        out.append("      hop ").append(std::to_string(i + 1)).append(": helo ");
        Append(out, hop.heloName);
        out.append("  host ");
        Append(out, hop.hostName);
        out.append("  ip ");
        Append(out, hop.ip);
        out.append("  date ").append(DateText(hop.date)).push_back('\n');
      }
      break;
    }
    case kHeaderContentType: {
      const auto& type = static_cast<const CHeaderContentType&>(header);
      Field(out, "content_type", type.type);
      if (type.charset.IsSet()) Field(out, "charset", type.charset);
      if (type.boundary.IsSet()) Field(out, "boundary", type.boundary);
      if (type.name.IsSet()) Field(out, "name", type.name);
      break;
    }
    case kHeaderContentDisposition: {
      const auto& disposition = static_cast<const CHeaderContentDisposition&>(header);
      Field(out, "disposition", disposition.disposition);
      if (disposition.filename.IsSet()) Field(out, "filename", disposition.filename);
      break;
    }
    case kHeaderIdentification:
      Field(out, "id", static_cast<const CHeaderIdentification&>(header).id);
      break;
    default:
      break;
  }
}

}  // namespace

void AppendHeadersText(std::string& out, MailItem& item) {
  const CHeaderMap* headers = MailHeaders(item);
  if (headers == nullptr) {
    out.append("headers: (none)\n");
    return;
  }
  out.append("headers:\n");
  for (const auto& [name, header] : Sorted(*headers)) HeaderText(out, name, *header);
}

}  // namespace emlscan
