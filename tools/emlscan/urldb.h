// `emlscan urldb`: builds, reads and updates the URL database files the breaker loads
// ("/eml/breaker/UrlDatabase" and "/eml/breaker/UrlDatabaseUpdate"), with the database
// code of the plug-in itself (engines/url_db.h), so what the tool writes is what the
// breaker reads:
//
//   emlscan urldb build -o base.dat domains.txt   one domain or URL a line, # comments
//   emlscan urldb list base.dat                    the listed domains, sorted
//   emlscan urldb test base.dat URL...             listed or not, with the domain
//   emlscan urldb update base.dat update.dat -o new.dat
//   emlscan urldb diff old.dat new.dat -o update.dat
//
// Exit status: 0 success (test: some URL is listed); 1 lines refused (build), domains an
// update file cannot remove (diff), no URL listed (test); 2 a file could not be read or
// written.
#ifndef TOOLS_EMLSCAN_URLDB_H_
#define TOOLS_EMLSCAN_URLDB_H_

#include <iosfwd>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace emlscan {

// The urldb subcommand of main's CLI11 app, with its five actions.
class UrlDbCommand {
 public:
  explicit UrlDbCommand(CLI::App& app);
  bool Selected() const;
  int Run(std::ostream& out, std::ostream& err) const;

 private:
  CLI::App* command_;
  CLI::App* build_;
  CLI::App* list_;
  CLI::App* test_;
  CLI::App* update_;
  CLI::App* diff_;
  std::string output_;
  std::vector<std::string> inputs_;
  std::string base_;
  std::string other_;
  std::vector<std::string> urls_;
};

}  // namespace emlscan

#endif  // TOOLS_EMLSCAN_URLDB_H_
