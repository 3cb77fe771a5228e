#include "tools/emlscan/dump_headers.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <utility>
#include <vector>

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
  char text[96];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d zone %d%s", date.year,
                date.month + 1, date.day, date.hour, date.minute, date.second, date.zone,
                date.obsolete ? " (obsolete form)" : "");
  return text;
}

// The headers of a map in name order (the map's own order is its hash's).
std::vector<std::pair<std::string, const CHeader*>> Sorted(const CHeaderMap& headers) {
  std::vector<std::pair<std::string, const CHeader*>> sorted;
  if (headers.GetCount() == 0) return sorted;
  CHeaderMap::Position position = headers.GetStartPosition();
  for (uint32_t i = 0; i < headers.GetCount(); ++i, position.Next())
    sorted.emplace_back(Narrow(position.Key()), position.Value());
  std::sort(sorted.begin(), sorted.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  return sorted;
}

nlohmann::json HeaderJson(const CHeader& header) {
  nlohmann::json entry;
  entry["type"] = TypeName(header.GetType());
  entry["value"] = Utf8(header.value);
  if (auto* subject = dynamic_cast<const CHeaderSubject*>(&header)) {
    entry["decoded"] = Utf8(subject->decoded);
    if (subject->charset.IsSet()) entry["charset"] = Narrow(subject->charset);
  } else if (auto* address = dynamic_cast<const CHeaderAddress*>(&header)) {
    nlohmann::json list = nlohmann::json::array();
    for (size_t i = 0; i < address->addresses.GetSize(); ++i) {
      const FullAddress& one = address->addresses[i];
      list.push_back({{"name", Utf8(one.name)}, {"address", Utf8(one.address)}});
    }
    entry["addresses"] = std::move(list);
  } else if (auto* date = dynamic_cast<const CHeaderDate*>(&header)) {
    entry["date"] = DateText(date->date);
  } else if (auto* received = dynamic_cast<const CHeaderReceived*>(&header)) {
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
  } else if (auto* type = dynamic_cast<const CHeaderContentType*>(&header)) {
    entry["content_type"] = Narrow(type->type);
    if (type->charset.IsSet()) entry["charset"] = Narrow(type->charset);
    if (type->boundary.IsSet()) entry["boundary"] = Narrow(type->boundary);
    if (type->name.IsSet()) entry["name"] = Narrow(type->name);
  } else if (auto* disposition = dynamic_cast<const CHeaderContentDisposition*>(&header)) {
    entry["disposition"] = Narrow(disposition->disposition);
    if (disposition->filename.IsSet()) entry["filename"] = Narrow(disposition->filename);
  } else if (auto* id = dynamic_cast<const CHeaderIdentification*>(&header)) {
    entry["id"] = Narrow(id->id);
  }
  return entry;
}

const CHeaderMap* MailHeaders(MailItem& item) {
  return dynamic_cast<const CHeaderMap*>(item.box.GetObject(1));
}

}  // namespace

nlohmann::json PartHeadersJson(const CHeaderMap& headers) {
  nlohmann::json all = nlohmann::json::object();
  for (const auto& [name, header] : Sorted(headers)) all[name] = HeaderJson(*header);
  return all;
}

nlohmann::json HeadersJson(MailItem& item) {
  const CHeaderMap* headers = MailHeaders(item);
  return headers != nullptr ? PartHeadersJson(*headers) : nlohmann::json::object();
}

// The text form writes straight into the stream: a dump of a large folder
// spends its time here otherwise.
void HeaderText(std::ostream& out, const std::string& name, const CHeader& header) {
  std::string value = Utf8(header.value);
  if (value.size() > 120) value = value.substr(0, 117) + "...";
  out << "  " << name << " [" << TypeName(header.GetType()) << "] " << value << "\n";
  if (auto* subject = dynamic_cast<const CHeaderSubject*>(&header)) {
    out << "      decoded: " << Utf8(subject->decoded) << "\n";
    if (subject->charset.IsSet()) out << "      charset: " << Narrow(subject->charset) << "\n";
  } else if (auto* address = dynamic_cast<const CHeaderAddress*>(&header)) {
    for (size_t i = 0; i < address->addresses.GetSize(); ++i) {
      const FullAddress& one = address->addresses[i];
      out << "      address: " << Utf8(one.address);
      if (one.name.Length() > 0) out << "  name: \"" << Utf8(one.name) << "\"";
      out << "\n";
    }
  } else if (auto* date = dynamic_cast<const CHeaderDate*>(&header)) {
    out << "      date: " << DateText(date->date) << "\n";
  } else if (auto* received = dynamic_cast<const CHeaderReceived*>(&header)) {
    for (size_t i = 0; i < received->hops.GetSize(); ++i) {
      const ReceivedData& hop = received->hops[i];
      out << "      hop " << i + 1 << ": helo " << Narrow(hop.heloName) << "  host "
          << Narrow(hop.hostName) << "  ip " << Narrow(hop.ip) << "  date " << DateText(hop.date)
          << "\n";
    }
  } else if (auto* type = dynamic_cast<const CHeaderContentType*>(&header)) {
    out << "      content_type: " << Narrow(type->type) << "\n";
    if (type->charset.IsSet()) out << "      charset: " << Narrow(type->charset) << "\n";
    if (type->boundary.IsSet()) out << "      boundary: " << Narrow(type->boundary) << "\n";
    if (type->name.IsSet()) out << "      name: " << Narrow(type->name) << "\n";
  } else if (auto* disposition = dynamic_cast<const CHeaderContentDisposition*>(&header)) {
    out << "      disposition: " << Narrow(disposition->disposition) << "\n";
    if (disposition->filename.IsSet())
      out << "      filename: " << Narrow(disposition->filename) << "\n";
  } else if (auto* id = dynamic_cast<const CHeaderIdentification*>(&header)) {
    out << "      id: " << Narrow(id->id) << "\n";
  }
}

std::string HeadersText(MailItem& item) {
  const CHeaderMap* headers = MailHeaders(item);
  if (headers == nullptr) return "headers: (none)\n";
  std::ostringstream out;
  out << "headers:\n";
  for (const auto& [name, header] : Sorted(*headers)) HeaderText(out, name, *header);
  return out.str();
}

}  // namespace emlscan
