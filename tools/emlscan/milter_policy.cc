#include "tools/emlscan/milter_policy.h"

#include <syslog.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <stdexcept>

namespace emlscan {
namespace {

constexpr char kTable[] = "/emlscan/milter/";

// A problem with the value of `key`, named as the settings checker names it.
[[noreturn]] void Refuse(const Config& config, const std::string& key, const std::string& what) {
  const std::string path = kTable + key;
  const SettingSource* source = config.Source(path);
  const std::string where = source != nullptr ? source->Where(path) : config.file() + ": " + path;
  throw std::runtime_error(where + ": " + what);
}

std::optional<std::string> Value(const Config& config, const char* key) {
  return config.Get(std::string(kTable) + key);
}

long long Whole(const Config& config, const char* key, long long fallback, long long min,
                long long max) {
  std::optional<std::string> text = Value(config, key);
  if (!text) return fallback;
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text->c_str(), &end, 10);
  if (text->empty() || *end != '\0' || errno != 0 || value < min || value > max) {
    Refuse(config, key, "\"" + *text + "\" is not a whole number from " + std::to_string(min) +
                            " to " + std::to_string(max));
  }
  return value;
}

MilterAction Action(const Config& config, const char* key) {
  const std::string text = Value(config, key).value_or("tag");
  if (text == "accept") return MilterAction::kAccept;
  if (text == "tag") return MilterAction::kTag;
  if (text == "reject") return MilterAction::kReject;
  if (text == "quarantine") return MilterAction::kQuarantine;
  Refuse(config, key, "\"" + text + "\" is not one of accept, tag, reject or quarantine");
}

bool Digits(const std::string& text, size_t from, size_t to) {
  if (from >= to) return false;
  for (size_t i = from; i < to; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

size_t NextBlank(const std::string& text, size_t from) {
  const size_t blank = text.find(' ', from);
  return blank == std::string::npos ? text.size() : blank;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// Folds `text`, which follows `used` columns on its first line, at blanks so
// that no line passes 78 columns where a blank allows it.
std::string Folded(const std::string& text, size_t used) {
  constexpr size_t kWidth = 78;
  std::string out;
  size_t column = used;
  size_t start = 0;
  while (start < text.size()) {
    // The next word with the blanks before it.
    size_t end = start;
    while (end < text.size() && text[end] == ' ') ++end;
    end = NextBlank(text, end);
    const size_t length = end - start;
    if (column + length > kWidth && column > 1 && text[start] == ' ') {
      out += "\n";
      column = 0;
    }
    out.append(text, start, length);
    column += length;
    start = end;
  }
  return out;
}

}  // namespace

const char* MilterActionName(MilterAction action) {
  switch (action) {
    case MilterAction::kAccept: return "accept";
    case MilterAction::kTag: return "tag";
    case MilterAction::kReject: return "reject";
    case MilterAction::kQuarantine: return "quarantine";
  }
  return "accept";
}

MilterSettings MilterSettings::FromConfig(const Config& config) {
  MilterSettings settings;
  settings.socket = Value(config, "Socket").value_or(settings.socket);
  if (settings.socket.empty()) Refuse(config, "Socket", "names no socket");
  settings.socket_group = Value(config, "SocketGroup").value_or("");
  const std::string mode = Value(config, "SocketMode").value_or("0660");
  char* end = nullptr;
  const unsigned long bits = std::strtoul(mode.c_str(), &end, 8);
  if (mode.empty() || *end != '\0' || bits > 0777)
    Refuse(config, "SocketMode", "\"" + mode + "\" is not an octal mode such as \"0660\"");
  settings.socket_mode = static_cast<mode_t>(bits);
  settings.max_size = static_cast<uint64_t>(Whole(config, "MaxSize", 10485760, 1, INT32_MAX));
  settings.time_budget = static_cast<int>(Whole(config, "TimeBudget", 10, 1, 3600));
  const std::string on_error = Value(config, "OnError").value_or("accept");
  if (on_error != "accept" && on_error != "tempfail")
    Refuse(config, "OnError", "\"" + on_error + "\" is not accept or tempfail");
  settings.tempfail_on_error = on_error == "tempfail";
  settings.spam_action = Action(config, "SpamAction");
  settings.phishing_action = Action(config, "PhishingAction");
  settings.reject_score = static_cast<int32_t>(Whole(config, "RejectScore", 0, 0, INT32_MAX));

  // "550 5.7.1 Message refused as spam": a 5xx code, then an enhanced code
  // of the same class when one follows, then the text.
  const std::string reply =
      Value(config, "RejectReply").value_or("550 5.7.1 Message refused as spam");
  const size_t code_end = NextBlank(reply, 0);
  if (code_end != 3 || !Digits(reply, 0, 3) || reply[0] != '5')
    Refuse(config, "RejectReply", "\"" + reply + "\" does not start with a 5xx reply code");
  settings.reply_code = reply.substr(0, 3);
  settings.reply_xcode.clear();
  size_t text_start = code_end < reply.size() ? code_end + 1 : code_end;
  const size_t xcode_end = NextBlank(reply, text_start);
  const std::string word = reply.substr(text_start, xcode_end - text_start);
  const size_t dot1 = word.find('.');
  const size_t dot2 = dot1 == std::string::npos ? dot1 : word.find('.', dot1 + 1);
  if (dot2 != std::string::npos && Digits(word, 0, dot1) && Digits(word, dot1 + 1, dot2) &&
      Digits(word, dot2 + 1, word.size())) {
    if (word[0] != reply[0])
      Refuse(config, "RejectReply", "the enhanced code " + word + " is not of the class of " +
                                        settings.reply_code);
    settings.reply_xcode = word;
    text_start = xcode_end < reply.size() ? xcode_end + 1 : xcode_end;
  }
  settings.reply_text = reply.substr(text_start);
  // libmilter passes the text into a format string.
  if (settings.reply_text.find('%') != std::string::npos)
    Refuse(config, "RejectReply", "a '%' cannot be sent in the reply text");

  const std::string log = Value(config, "Log").value_or("stderr");
  if (log != "stderr" && log != "syslog")
    Refuse(config, "Log", "\"" + log + "\" is not stderr or syslog");
  settings.syslog = log == "syslog";
  static const std::map<std::string, int> kFacilities = {
      {"mail", LOG_MAIL},     {"daemon", LOG_DAEMON}, {"user", LOG_USER},
      {"local0", LOG_LOCAL0}, {"local1", LOG_LOCAL1}, {"local2", LOG_LOCAL2},
      {"local3", LOG_LOCAL3}, {"local4", LOG_LOCAL4}, {"local5", LOG_LOCAL5},
      {"local6", LOG_LOCAL6}, {"local7", LOG_LOCAL7}};
  const std::string facility = Value(config, "SyslogFacility").value_or("mail");
  auto found = kFacilities.find(facility);
  if (found == kFacilities.end())
    Refuse(config, "SyslogFacility", "\"" + facility + "\" is no syslog facility");
  settings.syslog_facility = found->second;
  settings.stats_interval = static_cast<int>(Whole(config, "StatsInterval", 300, 1, 86400));
  settings.stats_file = Value(config, "StatsFile").value_or("");
  settings.shutdown_timeout = static_cast<int>(Whole(config, "ShutdownTimeout", 30, 0, 3600));
  return settings;
}

MilterAction ActionFor(const Verdict& verdict, const MilterSettings& settings) {
  switch (verdict.kind) {
    case VerdictKind::kSpam:
      if (settings.reject_score > 0 && verdict.score >= settings.reject_score)
        return MilterAction::kReject;
      return settings.spam_action;
    case VerdictKind::kPhishing: return settings.phishing_action;
    case VerdictKind::kLegitimate: return MilterAction::kTag;
    case VerdictKind::kError: break;
  }
  return MilterAction::kAccept;
}

std::string UnixSocketPath(const std::string& spec) {
  for (const char* prefix : {"unix:", "local:"}) {
    const size_t length = std::char_traits<char>::length(prefix);
    if (spec.compare(0, length, prefix) == 0) return spec.substr(length);
  }
  if (spec.find(':') == std::string::npos) return spec;  // libmilter takes a bare path too
  return "";
}

std::string LoopbackUnlessNamed(const std::string& spec, bool* defaulted) {
  *defaulted = false;
  if (spec.find('@') != std::string::npos) return spec;
  if (spec.compare(0, 5, "inet:") == 0) {
    *defaulted = true;
    return spec + "@127.0.0.1";
  }
  if (spec.compare(0, 6, "inet6:") == 0) {
    *defaulted = true;
    return spec + "@::1";
  }
  return spec;
}

std::vector<HeaderChange> DiffHeaders(const std::vector<HeaderField>& before,
                                      const std::vector<HeaderField>& after) {
  if (after.size() < before.size())
    throw std::runtime_error("the performer removed a header field");
  std::vector<HeaderChange> changes;
  std::map<std::string, int> seen;  // lower-case name -> fields of it so far
  for (size_t i = 0; i < after.size(); ++i) {
    std::string key;
    for (char c : after[i].first) key.push_back(Lower(c));
    const int index = ++seen[key];
    if (i >= before.size()) {
      changes.push_back({true, after[i].first, 0, after[i].second, ""});
      continue;
    }
    if (!SameName(before[i].first, after[i].first))
      throw std::runtime_error("the header fields changed order at " + before[i].first);
    if (before[i].second != after[i].second)
      changes.push_back({false, after[i].first, index, after[i].second, before[i].second});
  }
  return changes;
}

std::string ChangedValue(const HeaderChange& change, const std::string& raw, bool lead_space) {
  const std::string& now = change.value;
  const std::string& was = change.previous;
  if (now.size() >= was.size() && now.compare(now.size() - was.size(), was.size(), was) == 0) {
    size_t lead = 0;
    while (lead < raw.size() && (raw[lead] == ' ' || raw[lead] == '\t')) ++lead;
    return raw.substr(0, lead) + now.substr(0, now.size() - was.size()) + raw.substr(lead);
  }
  return AddedValue(change.name, now, lead_space);
}

std::string AddedValue(const std::string& name, const std::string& value, bool lead_space) {
  const std::string text = lead_space ? " " + value : value;
  // "Name: " or "Name:" before the value on the first line.
  return Folded(text, name.size() + (lead_space ? 1 : 2));
}

}  // namespace emlscan
