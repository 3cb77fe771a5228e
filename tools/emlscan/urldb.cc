#include "tools/emlscan/urldb.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

#include "emlbreaker/exceptions.h"
#include "engines/url_db.h"
#include "tools/emlscan/host_settings.h"

namespace emlscan {
namespace fs = std::filesystem;

namespace {

using Domains = std::set<std::string>;

// Raised with the whole message; Run prints it and answers 2.
struct UrlDbError {
  std::string message;
};

// What a load's code means, in the words of engines/url_db.h.
std::string CodeText(int code) {
  switch (code) {
    case -13:
      return "malformed record stream";
    case -14:
      return "a record's text could not be read";
    case -3:
      return "not a URL database file (or a damaged one)";
    case -10:
      return "out of memory";
    default:
      return "error " + std::to_string(code);
  }
}

// Where the checked files unscramble to while they are read.
std::u16string TempFolder() {
  const char* dir = std::getenv("TMPDIR");
  return Utf8ToUtf16(dir != nullptr && *dir != 0 ? dir : "/tmp");
}

// Loads one database file alone into db.
void Load(const std::string& path, CURLDB* db) {
  std::error_code error;
  if (!fs::is_regular_file(path, error)) throw UrlDbError{path + ": no such file"};
  int code = 0;
  try {
    code = db->Update(Utf8ToUtf16(path).c_str(), u"", TempFolder().c_str());
  } catch (const std::exception& e) {
    throw UrlDbError{path + ": cannot load the URL database: " + e.what()};
  }
  if (code != 0) throw UrlDbError{path + ": cannot load the URL database: " + CodeText(code)};
}

Domains Listed(const CURLDB& db) {
  Domains domains;
  const CURLDB::ListedMap& listed = db.GetListed();
  if (listed.GetCount() == 0) return domains;
  CURLDB::ListedMap::Position position = listed.GetStartPosition();
  for (uint32_t i = 0; i < listed.GetCount(); ++i, position.Next()) {
    domains.insert(Utf16ToUtf8(position.Key().GetText().View()));
  }
  return domains;
}

Domains LoadDomains(const std::string& path) {
  CURLDB db;
  Load(path, &db);
  return Listed(db);
}

// Writes `domains` as records with tag 1 (a base or an update file: the format is the
// same), then reads the file back, so a file the breaker could not load is never left
// behind without a word.
void Write(const std::string& path, const Domains& domains) {
  {
    CURLDB writer;
    const int opened = writer.OpenOutput(Utf8ToUtf16(path).c_str());
    if (opened != 0) throw UrlDbError{path + ": cannot create the file"};
    for (const std::string& domain : domains) {
      const CURL item{ascommon::usstring(Utf8ToUtf16(domain))};
      const int added = writer.AddItem(&item);
      if (added != 0) throw UrlDbError{path + ": cannot write " + domain};
    }
    writer.CloseOutput();
  }
  Domains written;
  try {
    written = LoadDomains(path);
  } catch (const UrlDbError& e) {
    throw UrlDbError{path + ": the file written does not read back (" + e.message + ")"};
  }
  if (written != domains) throw UrlDbError{path + ": the file written does not read back"};
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// A registrable domain the way the breaker compares it: lower-case ASCII labels of
// letters, digits and hyphens, at least two, none empty.
bool IsDomain(std::string_view domain) {
  if (domain.empty() || domain.front() == '.' || domain.back() == '.' ||
      domain.find('.') == std::string_view::npos || domain.find("..") != std::string_view::npos) {
    return false;
  }
  return std::all_of(domain.begin(), domain.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
  });
}

// The registrable domain of a line's URL or host, lower case, as the breaker's heuristics
// cut it; empty when the text names none. The text is lowered first (the second-level
// table's keys are lower case) and a scheme dropped ("https://..."): the domain steps
// know "http://" only.
std::string DomainOf(const CDomainTable& table, std::string_view text) {
  const size_t scheme = text.find("://");
  if (scheme != std::string_view::npos) text.remove_prefix(scheme + 3);
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  const std::u16string wide = Utf8ToUtf16(lower);
  ascommon::usstring domain;
  if (wide.empty() || ExtractDomainFromText(table, wide.data(), wide.size(), &domain) != 0) {
    return std::string();
  }
  return Utf16ToUtf8(domain.View());
}

// Reads the domain lists; refused lines go to err as "file:line: why".
Domains ReadLists(const std::vector<std::string>& inputs, const CDomainTable& table,
                  std::ostream& err, size_t* refused, size_t* lines_read) {
  Domains domains;
  for (const std::string& input : inputs) {
    std::ifstream file(input);
    if (!file) throw UrlDbError{input + ": cannot read the file"};
    std::string line;
    for (size_t number = 1; std::getline(file, line); ++number) {
      std::string_view text = line;
      // A comment runs from a "#" at the start or after a blank to the end of the line.
      for (size_t hash = text.find('#'); hash != std::string_view::npos;
           hash = text.find('#', hash + 1)) {
        if (hash == 0 || IsBlank(text[hash - 1])) {
          text = text.substr(0, hash);
          break;
        }
      }
      text = Trim(text);
      if (text.empty()) continue;
      ++*lines_read;
      const std::string shown(text);
      std::string why;
      std::string domain;
      if (std::any_of(text.begin(), text.end(), IsBlank)) {
        why = "more than one word";
      } else {
        domain = DomainOf(table, text);
        if (!IsDomain(domain)) why = "names no domain";
      }
      if (!why.empty()) {
        err << input << ":" << number << ": " << why << ": " << shown << "\n";
        ++*refused;
        continue;
      }
      domains.insert(domain);
    }
    if (file.bad()) throw UrlDbError{input + ": read error"};
  }
  return domains;
}

int Build(const std::vector<std::string>& inputs, const std::string& output, std::ostream& err) {
  CURLDB db;
  size_t refused = 0, lines = 0;
  const Domains domains = ReadLists(inputs, db.GetDomainTable(), err, &refused, &lines);
  Write(output, domains);
  err << "emlscan: " << output << ": " << domains.size() << " domains from " << lines
      << " lines (" << lines - refused - domains.size() << " repeated, " << refused
      << " refused)\n";
  return refused == 0 ? 0 : 1;
}

int List(const std::string& path, std::ostream& out, std::ostream& err) {
  const Domains domains = LoadDomains(path);
  for (const std::string& domain : domains) out << domain << "\n";
  err << "emlscan: " << path << ": " << domains.size() << " domains\n";
  return 0;
}

int Test(const std::string& path, const std::vector<std::string>& urls, std::ostream& out) {
  CURLDB db;
  Load(path, &db);
  bool any = false;
  for (const std::string& url : urls) {
    std::string domain = DomainOf(db.GetDomainTable(), url);
    if (!IsDomain(domain)) domain.clear();
    const bool listed =
        !domain.empty() && db.IsDomainListed(ascommon::usstring(Utf8ToUtf16(domain)));
    any = any || listed;
    out << url << "\t" << (listed ? "listed" : "not listed") << "\t"
        << (domain.empty() ? "(no domain)" : domain) << "\n";
  }
  return any ? 0 : 1;
}

int Update(const std::string& base, const std::string& update, const std::string& output,
           std::ostream& err) {
  Domains domains = LoadDomains(base);
  const size_t before = domains.size();
  // Loading an update only adds: what it lists joins the base.
  const Domains added = LoadDomains(update);
  domains.insert(added.begin(), added.end());
  Write(output, domains);
  err << "emlscan: " << output << ": " << domains.size() << " domains (" << before
      << " of the base, " << domains.size() - before << " added by the update)\n";
  return 0;
}

int Diff(const std::string& old_path, const std::string& new_path, const std::string& output,
         std::ostream& err) {
  const Domains old_domains = LoadDomains(old_path);
  const Domains new_domains = LoadDomains(new_path);
  Domains added;
  size_t dropped = 0;
  for (const std::string& domain : new_domains) {
    if (old_domains.count(domain) == 0) added.insert(domain);
  }
  for (const std::string& domain : old_domains) {
    if (new_domains.count(domain) == 0) {
      if (dropped == 0) {
        err << "emlscan: an update file only adds domains; these stay listed until "
            << new_path << " replaces the base file:\n";
      }
      err << "  " << domain << "\n";
      ++dropped;
    }
  }
  Write(output, added);
  err << "emlscan: " << output << ": " << added.size() << " domains added, " << dropped
      << " that cannot be removed\n";
  return dropped == 0 ? 0 : 1;
}

}  // namespace

UrlDbCommand::UrlDbCommand(CLI::App& app)
    : command_(app.add_subcommand("urldb", "build, list, test and update URL database files")) {
  command_->require_subcommand(1);
  build_ = command_->add_subcommand(
      "build", "write a database from lists of domains or URLs (one a line, # comments)");
  build_->add_option("-o,--output", output_, "the database file to write")->required();
  build_->add_option("lists", inputs_, "text files of domains or URLs")->required();
  list_ = command_->add_subcommand("list", "print the domains a database file lists");
  list_->add_option("file", base_, "a database file")->required();
  test_ = command_->add_subcommand("test", "tell for each URL whether its domain is listed");
  test_->add_option("file", base_, "a database file")->required();
  test_->add_option("urls", urls_, "URLs, hosts or domains")->required();
  update_ = command_->add_subcommand(
      "update", "apply an update file to a base file and write the result as a new base");
  update_->add_option("base", base_, "the base file")->required();
  update_->add_option("update", other_, "the update file")->required();
  update_->add_option("-o,--output", output_, "the new base file")->required();
  diff_ = command_->add_subcommand(
      "diff", "write the update file that brings OLD to NEW (it can only add domains)");
  diff_->add_option("old", base_, "the database file in use")->required();
  diff_->add_option("new", other_, "the database file wanted")->required();
  diff_->add_option("-o,--output", output_, "the update file to write")->required();
}

bool UrlDbCommand::Selected() const { return command_->parsed(); }

int UrlDbCommand::Run(std::ostream& out, std::ostream& err) const {
  try {
    if (build_->parsed()) return Build(inputs_, output_, err);
    if (list_->parsed()) return List(base_, out, err);
    if (test_->parsed()) return Test(base_, urls_, out);
    if (update_->parsed()) return Update(base_, other_, output_, err);
    if (diff_->parsed()) return Diff(base_, other_, output_, err);
  } catch (const UrlDbError& e) {
    err << "emlscan: " << e.message << "\n";
    return 2;
  } catch (const std::exception& e) {
    err << "emlscan: urldb: " << e.what() << "\n";
    return 2;
  }
  return 2;
}

}  // namespace emlscan
