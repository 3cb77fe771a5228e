#include "tools/emlscan/settings_schema.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <utility>

namespace emlscan {

namespace {

constexpr double kInt32Min = INT32_MIN;
constexpr double kInt32Max = INT32_MAX;

// The readers are mail/modules/eml_breaker.cc, eml_streamer.cc and
// eml_performer.cc for the plug-in, verdict.cc and learn.cc for the host; the
// fallbacks are theirs.
const std::vector<SettingInfo> kSettings = {
    {"/eml/global/AggressivityLevel", SettingKind::kInteger, 0, 9, nullptr,
     "picks the word finder's threshold from a table of ten; when absent, "
     "WordFinderThreshold decides"},
    {"/eml/breaker/WordFinderThreshold", SettingKind::kNumber, 0, 1, "0.1",
     "the word finder's threshold when AggressivityLevel is absent"},
    {"/eml/global/SharedLibsPath", SettingKind::kFolder, 0, 0, "",
     "where the companion libraries are (libpatmatch.so, the regular-expression library)"},
    {"/eml/global/SharedDataPath", SettingKind::kFolder, 0, 0, "",
     "where the engines' data files are (aswfconf.dat, as2graph.dat)"},
    {"/eml/breaker/SlfPath", SettingKind::kFolder, 0, 0, "",
     "the rule folder: every *.slf file in it is loaded"},
    {"/eml/breaker/UrlDatabase", SettingKind::kText, 0, 0, "",
     "the URL database's base file (emlscan urldb build); empty: nothing listed"},
    {"/eml/breaker/UrlDatabaseUpdate", SettingKind::kText, 0, 0, "",
     "an update file loaded after the base file when it exists (emlscan urldb diff)"},
    {"/emlscan/learning/Database", SettingKind::kText, 0, 0, "",
     "the statistical classifier's token store: a file (emlscan learn writes it) or "
     "redis://HOST:PORT/N; empty: no learning"},
    {"/emlscan/learning/MinSpam", SettingKind::kInteger, 0, kInt32Max, "200",
     "learned spam mails the statistical classifier needs before it speaks"},
    {"/emlscan/learning/MinHam", SettingKind::kInteger, 0, kInt32Max, "200",
     "learned ham mails the statistical classifier needs before it speaks"},
    {"/emlscan/learning/AutoLearn", SettingKind::kBoolean, 0, 0, "0",
     "check, filter and milter learn the mails the other rules scored beyond "
     "AutoLearnSpamScore or AutoLearnHamScore into Database"},
    {"/emlscan/learning/AutoLearnSpamScore", SettingKind::kInteger, kInt32Min, kInt32Max,
     nullptr,
     "auto-learned as spam from this score without the classifier's rules; "
     "default /emlscan/check/Threshold + 8"},
    {"/emlscan/learning/AutoLearnHamScore", SettingKind::kInteger, kInt32Min, kInt32Max, "0",
     "auto-learned as ham up to this score without the classifier's rules (a legitimate "
     "verdict), below AutoLearnSpamScore"},
    {"GENERATE_NNMAP_FILE", SettingKind::kInteger, 0, 1, "0",
     "1: the rule engine writes its relevance-rule map (asnnmap.dat) to the current folder"},
    {"/eml/streamer/PackerPath", SettingKind::kFolder, 0, 0, "",
     "the folder of the MIME packer (libmsgcodec.so); empty: the dynamic linker's search"},
    {"/eml/streamer/LoadPacker", SettingKind::kBoolean, 0, 0, "0",
     "load the MIME packer; without it no mail can be written back"},
    {"/eml/performer/TagSpamSubject", SettingKind::kBoolean, 0, 0, "0",
     "put SpamTag before the subject of a spam"},
    {"/eml/performer/SpamTag", SettingKind::kText, 0, 0, "[spam]",
     "the subject tag of a spam (a trailing space keeps the subject readable)"},
    {"/eml/performer/TagPhishSubject", SettingKind::kBoolean, 0, 0, "0",
     "put PhishTag before the subject of a phishing mail"},
    {"/eml/performer/PhishTag", SettingKind::kText, 0, 0, "[phishing]",
     "the subject tag of a phishing mail"},
    {"/eml/performer/AddHeader", SettingKind::kBoolean, 0, 0, "0",
     "add the verdict header (HeaderName) to every mail judged"},
    {"/eml/performer/HeaderName", SettingKind::kHeaderName, 0, 0, "X-Orvane-Spam",
     "the verdict header's name"},
    {"/eml/performer/ASHeaderSpamValue", SettingKind::kText, 0, 0, "Yes ($score)",
     "the verdict header's value for a spam; $score stands for the score"},
    {"/eml/performer/ASHeaderLegitValue", SettingKind::kText, 0, 0, "No  ($score)",
     "the verdict header's value for a legitimate mail"},
    {"/eml/performer/AddASSLHeader", SettingKind::kBoolean, 0, 0, "0",
     "add a header naming the rules that hit (ASSLHeaderName)"},
    {"/eml/performer/ASSLHeaderName", SettingKind::kHeaderName, 0, 0, "X-Orvane-ASSL-Hit-Rules",
     "the hit-rules header's name"},
    {"/eml/performer/SpamStampEnabled", SettingKind::kBoolean, 0, 0, "1",
     "add the stamp header: who judged the mail, and when"},
    {"/eml/performer/SpamStampHeaderName", SettingKind::kHeaderName, 0, 0, "X-Orvane-SpamStamp",
     "the stamp header's name"},
    {"/emlscan/check/Threshold", SettingKind::kInteger, kInt32Min, kInt32Max, "5",
     "check and filter: a score of this or more is spam"},
    {"/emlscan/check/UnreadableBodyScore", SettingKind::kInteger, kInt32Min, kInt32Max, "0",
     "check and filter: the score of a mail whose body breaks its declared charset"},
    // The milter's own (tools/emlscan/milter_policy.cc reads them).
    {"/emlscan/milter/Socket", SettingKind::kText, 0, 0, "unix:/run/emlscan/milter.sock",
     "milter: where to listen, as libmilter writes it (unix:PATH, inet:PORT@ADDRESS)"},
    {"/emlscan/milter/SocketGroup", SettingKind::kText, 0, 0, "",
     "milter: the group of a unix socket (e.g. postfix); empty: the process's group"},
    {"/emlscan/milter/SocketMode", SettingKind::kText, 0, 0, "0660",
     "milter: the permissions of a unix socket, in octal"},
    {"/emlscan/milter/MaxSize", SettingKind::kInteger, 1, kInt32Max, "10485760",
     "milter: a message of more bytes is accepted unchecked"},
    {"/emlscan/milter/TimeBudget", SettingKind::kInteger, 1, 3600, "10",
     "milter: seconds a check may take before the message is accepted unchecked"},
    {"/emlscan/milter/OnError", SettingKind::kChoice, 0, 0, "accept",
     "milter: a message that cannot be checked is accepted unchanged, or refused for now"},
    {"/emlscan/milter/SpamAction", SettingKind::kChoice, 0, 0, "tag",
     "milter: what a spam gets (tag: the performer's headers and subject tag)"},
    {"/emlscan/milter/PhishingAction", SettingKind::kChoice, 0, 0, "tag",
     "milter: what a phishing mail gets"},
    {"/emlscan/milter/RejectScore", SettingKind::kInteger, 0, kInt32Max, "0",
     "milter: a spam scoring this or more is rejected whatever SpamAction says; 0: off"},
    {"/emlscan/milter/RejectReply", SettingKind::kText, 0, 0,
     "550 5.7.1 Message refused as spam",
     "milter: the SMTP reply of a rejected message: code, enhanced code, text"},
    {"/emlscan/milter/Log", SettingKind::kChoice, 0, 0, "stderr",
     "milter: where the line per message and the statistics go"},
    {"/emlscan/milter/SyslogFacility", SettingKind::kChoice, 0, 0, "mail",
     "milter: the syslog facility when Log is syslog"},
    {"/emlscan/milter/StatsInterval", SettingKind::kInteger, 1, 86400, "300",
     "milter: seconds between two statistics lines (and StatsFile writes)"},
    {"/emlscan/milter/StatsFile", SettingKind::kText, 0, 0, "",
     "milter: a file the statistics are written to in Prometheus text format; empty: none"},
    {"/emlscan/milter/ShutdownTimeout", SettingKind::kInteger, 0, 3600, "30",
     "milter: seconds SIGTERM leaves the messages under way to finish"},
};

// The words of each kChoice setting, as its readers take them.
const std::vector<std::pair<std::string_view, std::vector<std::string>>> kChoices = {
    {"/emlscan/milter/OnError", {"accept", "tempfail"}},
    {"/emlscan/milter/SpamAction", {"accept", "tag", "reject", "quarantine"}},
    {"/emlscan/milter/PhishingAction", {"accept", "tag", "reject", "quarantine"}},
    {"/emlscan/milter/Log", {"stderr", "syslog"}},
    {"/emlscan/milter/SyslogFacility",
     {"mail", "daemon", "user", "local0", "local1", "local2", "local3", "local4", "local5",
      "local6", "local7"}},
};

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

// Edits (insert, delete, replace) from `a` to `b`, letters compared without case.
size_t Distance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      const size_t replace = diagonal + (Lower(a[i - 1]) == Lower(b[j - 1]) ? 0 : 1);
      row[j] = std::min({replace, above + 1, row[j - 1] + 1});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string_view Leaf(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string Number(double value) {
  if (value == std::floor(value) && std::fabs(value) < 1e15)
    return std::to_string(static_cast<long long>(value));
  std::string text = std::to_string(value);
  text.erase(text.find_last_not_of('0') + 1);
  return text;
}

bool ParseInteger(const std::string& text, long long* out) {
  if (text.empty()) return false;
  const size_t digits = text[0] == '-' || text[0] == '+' ? 1 : 0;
  if (digits == text.size()) return false;
  for (size_t i = digits; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  errno = 0;
  *out = std::strtoll(text.c_str(), nullptr, 10);
  return errno == 0;
}

bool ParseNumber(const std::string& text, double* out) {
  if (text.empty() || text[0] == ' ' || text[0] == '\t') return false;
  char* end = nullptr;
  *out = std::strtod(text.c_str(), &end);
  return *end == '\0' && std::isfinite(*out);
}

}  // namespace

const std::vector<SettingInfo>& KnownSettings() { return kSettings; }

std::vector<std::string> Choices(std::string_view path) {
  for (const auto& [known, words] : kChoices) {
    if (known == path) return words;
  }
  return {};
}

const SettingInfo* FindSetting(std::string_view path) {
  for (const SettingInfo& info : kSettings) {
    if (path == info.path) return &info;
  }
  return nullptr;
}

std::string ClosestSetting(std::string_view path) {
  const SettingInfo* best = nullptr;
  size_t best_distance = 0;
  const std::string_view leaf = Leaf(path);
  for (const SettingInfo& info : kSettings) {
    const std::string_view known(info.path);
    const size_t distance = Distance(path, known);
    // A slip of a letter or two in the whole path, or the right name (give
    // or take a letter) in another table.
    const bool near = distance <= std::max<size_t>(2, known.size() / 8) ||
                      Distance(leaf, Leaf(known)) <= (leaf.size() >= 8 ? 2 : 0);
    if (near && (best == nullptr || distance < best_distance)) {
      best = &info;
      best_distance = distance;
    }
  }
  return best != nullptr ? best->path : "";
}

std::string KindText(const SettingInfo& info) {
  switch (info.kind) {
    case SettingKind::kText: return "text";
    case SettingKind::kHeaderName: return "a header name";
    case SettingKind::kInteger:
      if (info.min == kInt32Min && info.max == kInt32Max) return "a whole number";
      return "a whole number from " + Number(info.min) + " to " + Number(info.max);
    case SettingKind::kNumber:
      return "a number from " + Number(info.min) + " to " + Number(info.max);
    case SettingKind::kBoolean: return "true or false";
    case SettingKind::kFolder: return "a folder";
    case SettingKind::kChoice: {
      std::string text = "one of";
      const std::vector<std::string> words = Choices(info.path);
      for (size_t i = 0; i < words.size(); ++i)
        text += (i == 0 ? " \"" : i + 1 == words.size() ? " or \"" : ", \"") + words[i] + "\"";
      return text;
    }
  }
  return "";
}

std::string NormalizeValue(std::string_view path, const std::string& value) {
  const SettingInfo* info = FindSetting(path);
  if (info == nullptr || info->kind != SettingKind::kBoolean) return value;
  std::string lower;
  for (char c : value) lower.push_back(Lower(c));
  if (lower == "true") return "1";
  if (lower == "false") return "0";
  return value;
}

std::optional<ValueProblem> CheckValue(const SettingInfo& info, const std::string& value) {
  const ValueProblem wrong{"is not " + KindText(info), true};
  switch (info.kind) {
    case SettingKind::kText:
      return std::nullopt;
    case SettingKind::kHeaderName: {
      const bool fits = !value.empty() && std::all_of(value.begin(), value.end(), [](char c) {
        return c > ' ' && c < 127 && c != ':';
      });
      if (!fits) return wrong;
      return std::nullopt;
    }
    case SettingKind::kInteger: {
      long long number = 0;
      if (!ParseInteger(value, &number) || number < info.min || number > info.max) return wrong;
      return std::nullopt;
    }
    case SettingKind::kNumber: {
      double number = 0;
      if (!ParseNumber(value, &number) || number < info.min || number > info.max) return wrong;
      return std::nullopt;
    }
    case SettingKind::kBoolean:
      if (value != "1" && value != "0") return wrong;
      return std::nullopt;
    case SettingKind::kFolder: {
      if (value.empty()) return std::nullopt;
      std::error_code error;
      const std::filesystem::file_status status = std::filesystem::status(value, error);
      if (!std::filesystem::exists(status)) return ValueProblem{"no such folder", false};
      if (!std::filesystem::is_directory(status)) return ValueProblem{"not a folder", false};
      return std::nullopt;
    }
    case SettingKind::kChoice: {
      const std::vector<std::string> words = Choices(info.path);
      if (std::find(words.begin(), words.end(), value) == words.end()) return wrong;
      return std::nullopt;
    }
  }
  return std::nullopt;
}

}  // namespace emlscan
