// The HTML tag and entity tables that unit tests and fuzz targets of the mail analysis
// hand to the HTML stage: built on first use and never destroyed, so every case of a
// test program and every run of a fuzz target shares one. Read-only after that.
#ifndef MAIL_COMPONENTS_TESTING_HTML_TABLES_H_
#define MAIL_COMPONENTS_TESTING_HTML_TABLES_H_

#include <cstdlib>

#include "mail/components/html_tables.h"

namespace nsEmlComponents {

inline const CHtmlTables& TestHtmlTables() {
  static const CHtmlTables* const tables = [] {
    auto* built = new CHtmlTables;
    if (built->Build() != 0) std::abort();  // a test cannot go on without them
    return built;
  }();
  return *tables;
}

}  // namespace nsEmlComponents

#endif  // MAIL_COMPONENTS_TESTING_HTML_TABLES_H_
