#include "tools/emlscan/dump_bodies.h"

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "tools/emlscan/host_settings.h"

namespace emlscan {
namespace {

using nsEmlComponents::CHtmlInfo;
using nsEmlComponents::CPart;
using nsEmlComponents::CPartBodyTextHtml;
using nsEmlComponents::CPartBodyTextPlain;
using nsEmlComponents::CUrl;
using nsEmlComponents::kBodyTextHtml;
using nsEmlComponents::kBodyTextPlain;
using UrlList = ascommon::CArray<nsEmlComponents::CUrl, 64>;

// The part's body as its own class, which its kind names; null for another kind.
template <class Body>
const Body* BodyAs(const CPart& part, int32_t kind) {
  return part.GetKind() == kind ? static_cast<const Body*>(part.body) : nullptr;
}

std::string Utf8(const ascommon::usstring& text) {
  return Utf16ToUtf8(std::u16string_view(text.c_str(), text.Length()));
}

// The first `units` code units as UTF-8 (a surrogate pair cut in two is
// dropped): the text dump shows a prefix, and converting all of a 300 KiB
// body to show 160 characters was most of a dump's time.
std::string Utf8Prefix(const ascommon::usstring& text, size_t units) {
  size_t length = text.Length() < units ? text.Length() : units;
  if (length > 0 && length < text.Length() && text.c_str()[length - 1] >= 0xD800 &&
      text.c_str()[length - 1] < 0xDC00)
    --length;
  return Utf16ToUtf8(std::u16string_view(text.c_str(), length));
}

// Text on one line: line breaks and tabs as visible escapes, cut at `limit`
// code points (UTF-8 sequences are never split).
std::string OneLine(const std::string& text, size_t limit) {
  std::string line;
  line.reserve(text.size() < limit * 2 ? text.size() + 8 : limit * 2);
  size_t points = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if ((c & 0xC0) != 0x80 && ++points > limit) return line.append("...");
    if (c == '\n') line.append("\\n");
    else if (c == '\r') line.append("\\r");
    else if (c == '\t') line.append("\\t");
    else line.push_back(static_cast<char>(c));
  }
  return line;
}

// The summary's flags and counts by name, in the record's order.
std::vector<std::pair<const char*, int32_t>> InfoFields(const CHtmlInfo& info) {
  return {{"analysed", info.analysed},
          {"nonAsciiRun", info.nonAsciiRun},
          {"mediumText", info.mediumText},
          {"redText", info.redText},
          {"remoteImage", info.remoteImage},
          {"imageInLink", info.imageInLink},
          {"webLink", info.webLink},
          {"bigText", info.bigText},
          {"smallFontClass", info.smallFontClass},
          {"largeImage", info.largeImage},
          {"clickHere", info.clickHere},
          {"removeMailLink", info.removeMailLink},
          {"blankTarget", info.blankTarget},
          {"encodedUrl", info.encodedUrl},
          {"numericIpHost", info.numericIpHost},
          {"decimalHost", info.decimalHost},
          {"noHtmlElement", info.noHtmlElement},
          {"nonJavaScript", info.nonJavaScript},
          {"atInHost", info.atInHost},
          {"textOutsideHtml", info.textOutsideHtml},
          {"bizHost", info.bizHost},
          {"unbalancedTags", info.unbalancedTags},
          {"imageWithoutSrc", info.imageWithoutSrc},
          {"visibleChars", info.visibleChars},
          {"splitComments", info.splitComments},
          {"hrefCount", info.hrefCount}};
}

nlohmann::json UrlsJson(const UrlList& urls) {
  nlohmann::json list = nlohmann::json::array();
  for (size_t i = 0; i < urls.GetSize(); ++i)
    list.push_back({{"raw", Utf8(urls[i].raw)}, {"decoded", Utf8(urls[i].decoded)}});
  return list;
}

// One indented line made of `pieces`.
void Line(std::string& out, const std::string& indent,
          std::initializer_list<std::string_view> pieces) {
  out.append(indent);
  for (std::string_view piece : pieces) out.append(piece);
  out.push_back('\n');
}

void UrlsText(const char* what, const UrlList& urls, const std::string& indent, std::string& out) {
  for (size_t i = 0; i < urls.GetSize(); ++i) {
    const std::string raw = Utf8(urls[i].raw), decoded = Utf8(urls[i].decoded);
    if (decoded == raw) {
      Line(out, indent, {what, ": ", OneLine(raw, 200)});
    } else {
      Line(out, indent, {what, ": ", OneLine(raw, 200), "  decoded: ", OneLine(decoded, 200)});
    }
  }
}

}  // namespace

void AddBodyJson(const CPart& part, nlohmann::json* entry) {
  if (const auto* text = BodyAs<CPartBodyTextPlain>(part, kBodyTextPlain)) {
    if (!text->text.IsSet() && text->urls.GetSize() == 0) return;
    (*entry)["text"] = Utf8(text->text);
    (*entry)["urls"] = UrlsJson(text->urls);
  } else if (const auto* html = BodyAs<CPartBodyTextHtml>(part, kBodyTextHtml)) {
    const CHtmlInfo& info = html->info;
    if (!info.analysed) return;
    (*entry)["visible_text"] = Utf8(html->visibleText);
    (*entry)["links"] = UrlsJson(info.links);
    (*entry)["images"] = UrlsJson(info.images);
    nlohmann::json anchors = nlohmann::json::array();
    for (size_t i = 0; i < info.anchors.GetSize(); ++i) {
      anchors.push_back({{"label", Utf8(info.anchors[i].label)},
                         {"raw", Utf8(info.anchors[i].url.raw)},
                         {"decoded", Utf8(info.anchors[i].url.decoded)}});
    }
    (*entry)["anchors"] = std::move(anchors);
    nlohmann::json labels = nlohmann::json::array();
    for (size_t i = 0; i < info.labels.GetSize(); ++i)
      labels.push_back({{"text", Utf8(info.labels[i].text)}, {"for", Utf8(info.labels[i].forId)}});
    (*entry)["labels"] = std::move(labels);
    nlohmann::json summary = nlohmann::json::object();
    for (const auto& [name, value] : InfoFields(info)) summary[name] = value;
    (*entry)["summary"] = std::move(summary);
  }
}

void BodyText(const CPart& part, const std::string& indent, size_t text_limit, std::string& out) {
  if (const auto* text = BodyAs<CPartBodyTextPlain>(part, kBodyTextPlain)) {
    if (!text->text.IsSet() && text->urls.GetSize() == 0) return;
    Line(out, indent,
         {"text (", std::to_string(text->text.Length()),
          " units): ", OneLine(Utf8Prefix(text->text, text_limit + 1), text_limit)});
    UrlsText("url", text->urls, indent, out);
  } else if (const auto* html = BodyAs<CPartBodyTextHtml>(part, kBodyTextHtml)) {
    const CHtmlInfo& info = html->info;
    if (!info.analysed) return;
    Line(out, indent,
         {"visible text (", std::to_string(html->visibleText.Length()),
          " units): ", OneLine(Utf8Prefix(html->visibleText, text_limit + 1), text_limit)});
    UrlsText("link", info.links, indent, out);
    UrlsText("image", info.images, indent, out);
    for (size_t i = 0; i < info.anchors.GetSize(); ++i) {
      Line(out, indent,
           {"anchor: \"", OneLine(Utf8(info.anchors[i].label), 80), "\" -> ",
            OneLine(Utf8(info.anchors[i].url.decoded), 200)});
    }
    for (size_t i = 0; i < info.labels.GetSize(); ++i) {
      Line(out, indent,
           {"label: \"", OneLine(Utf8(info.labels[i].text), 80), "\" for ",
            Utf8(info.labels[i].forId)});
    }
    // Flags that are set, then the counts, so a trick stands out.
    std::string set, counts;
    for (const auto& [name, value] : InfoFields(info)) {
      const std::string field(name);
      const bool count = field == "smallFontClass" || field == "visibleChars" ||
                         field == "splitComments" || field == "hrefCount";
      if (count) {
        counts += " " + field + "=" + std::to_string(value);
      } else if (value != 0 && field != "analysed") {
        set += " " + field;
      }
    }
    Line(out, indent, {"flags:", set.empty() ? " (none)" : set});
    Line(out, indent, {"counts:", counts});
  }
}

}  // namespace emlscan
