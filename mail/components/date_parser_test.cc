#include "mail/components/date_parser.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "mail/components/headers.h"

namespace nsEmlComponents {
namespace {

// "weekday year-month-day hour:minute:second zone flags(valid obsolete complete)".
std::string Dump(const DateRecord& d) {
  char text[128];
  std::snprintf(text, sizeof(text), "%s/%d %d-%s/%d-%d %d:%d:%d %d v%d o%d c%d", d.weekdayName,
                d.weekday, d.year, d.monthName, d.month, d.day, d.hour, d.minute, d.second, d.zone,
                d.valid, d.obsolete, d.complete);
  return text;
}

TEST(DateParserTest, Forms) {
  const struct {
    const char* text;
    const char* date;
  } kCases[] = {
      {"Tue, 1 Jul 2008 10:52:37 +0200", "Tue/2 2008-Jul/6-1 10:52:37 120 v1 o0 c1"},
      {"Sun, 31 Dec 1999 23:59:60 -0930", "Sun/0 1999-Dec/11-31 23:59:60 -570 v1 o0 c1"},
      {"1 jan 08 9:05 +0000 (UTC)", "/0 2008-Jan/0-1 9:5:0 0 v1 o1 c1"},  // two-digit year
      {"Fri 13 FEB 1970 00:00:00 GMT", "Fri/5 1970-Feb/1-13 0:0:0 0 v1 o1 c1"},
      {"Mon, 2 Mar 49 01:02:03 EST", "Mon/1 2049-Mar/2-2 1:2:3 -5 v1 o1 c1"},
      {"Mon, 2 Mar 50 01:02:03 pdt", "Mon/1 1950-Mar/2-2 1:2:3 -7 v1 o1 c1"},
      {"Mon, 2 Mar 2001 01:02:03 CEST", "Mon/1 2001-Mar/2-2 1:2:3 0 v1 o0 c1"},  // unknown name
      {"Mon, 2 Mar 2001 01:02:03 +0100(CET) trailing", "Mon/1 2001-Mar/2-2 1:2:3 60 v1 o0 c1"},
      {"Wed,\t3\r\nApr  2002", "Wed/3 2002-Apr/3-3 0:0:0 0 v1 o0 c1"},  // runs out: still valid
      {"", "/0 0-/0-0 0:0:0 0 v1 o0 c1"},
      // The first token that does not fit stops the reading and clears the flags.
      {"Xyz, 1 Jan 2008", "/0 0-/0-0 0:0:0 0 v0 o0 c0"},
      {"Mon, 32 Jan 2008", "Mon/1 0-/0-0 0:0:0 0 v0 o0 c0"},
      {"Mon, 1 January 2008", "Mon/1 0-/0-1 0:0:0 0 v0 o0 c0"},
      {"1 Jan 1899", "/0 0-Jan/0-1 0:0:0 0 v0 o0 c0"},
      {"1 Jan 208", "/0 0-Jan/0-1 0:0:0 0 v0 o0 c0"},
      {"1 Jan 2008 24:00", "/0 2008-Jan/0-1 0:0:0 0 v0 o0 c0"},
      {"1 Jan 2008 10:60", "/0 2008-Jan/0-1 0:0:0 0 v0 o0 c0"},
      {"1 Jan 2008 10:00:00:00", "/0 2008-Jan/0-1 0:0:0 0 v0 o0 c0"},
      {"1 Jan 2008 10:00 +0160", "/0 2008-Jan/0-1 10:0:0 0 v0 o0 c0"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    DateRecord record;
    record.year = 1234;  // every field is reset first
    ParseDate(&record, c.text);
    EXPECT_EQ(c.date, Dump(record));
  }
}

}  // namespace
}  // namespace nsEmlComponents
