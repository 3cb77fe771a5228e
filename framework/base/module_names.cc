// Module and family names, built when the library (or a host linking
// ascommon) is loaded. Hosts find allocators by comparing these names.
#include "emlbreaker/modules.h"

const ascommon::usstring kEmlRealBreakerName(u"EML Real Breaker");
const ascommon::usstring kEmlHeaderBreakerName(u"Virtual Eml Header Breaker");
const ascommon::usstring kEmlPartsBreakerName(u"Virtual Eml Parts Breaker");
const ascommon::usstring kEmlHtmlPartsBreakerName(u"Virtual Eml Html Parts Breaker");
const ascommon::usstring kEmlTextPartsBreakerName(u"Virtual Eml Text Parts Breaker");
const ascommon::usstring kEmlStreamerName(u"Eml Streamer");
const ascommon::usstring kEmlPerformerName(u"Performer Module for the Mail Entity Type");
const ascommon::usstring kEmlBreakersFamilyName(u"Eml Breakers Family");
