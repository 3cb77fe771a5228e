// The URL database: domains listed in checked files (a base file and an update file),
// the test whether a URL's registrable domain is listed, and the writing of update
// files. It also owns the table of second-level registration domains (".co.uk", ...)
// with which a host is cut down to its registrable domain.
#ifndef ENGINES_URL_DB_H_
#define ENGINES_URL_DB_H_

#include <cstddef>
#include <cstdint>

#include "emlbreaker/analysis.h"
#include "emlbreaker/map.h"
#include "emlbreaker/strings.h"

// Second-level registration domains: ".co.uk" and the like, lower case, with their
// leading dot. Keys are compared exactly.
using CDomainTable = ascommon::CMap<ascommon::usstring, uint32_t>;

// The registrable domain of a URL's decoded string: 0 with *domain set, -450 when the
// URL names no domain, -10 when the domain cannot be stored. Never throws.
int ExtractDomain(const CDomainTable& table, const nsEmlComponents::CUrl& url,
                  ascommon::usstring* domain);
// The same steps on any text: a URL, a bare host, the part of an address after its "@".
int ExtractDomainFromText(const CDomainTable& table, const char16_t* text, size_t length,
                          ascommon::usstring* domain);

class CURLDB {
 public:
  CURLDB();
  virtual ~CURLDB();

  const CDomainTable& GetDomainTable() const;
  // True when the URL's registrable domain is listed.
  bool IsListed(const nsEmlComponents::CUrl& url) const;
  // True when domain (already registrable, as ExtractDomain gives it) is listed.
  bool IsDomainListed(const ascommon::usstring& domain) const;
};

#endif  // ENGINES_URL_DB_H_
