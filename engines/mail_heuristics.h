// Heuristics of our own that rules call by name through exec(...): each reads one
// broken mail and answers a number (0.0: nothing found). The code heuristics engine
// puts every entry of kMailHeuristics into its function table beside the news
// heuristic.
//
// What each name answers (docs/HEURISTICS.md has the administrator's view):
//
//   H_LINK_TEXT_OTHER_DOMAIN  anchors whose visible text is a URL or host of another
//                             registrable domain than the anchor's link
//   H_LINK_URL_OTHER_DOMAIN   the same, counting only texts written as a URL (a scheme or
//                             "www."): newsletters name shops ("Example.com") on links
//                             through their own servers, phishing shows the address
//   H_FROM_NAME_OTHER_DOMAIN  From entries whose display name holds an address of another
//                             registrable domain than the entry's address
//   H_FROM_NAME_IS_ADDRESS    From entries whose display name is one address and nothing
//                             else (the domain may be the same)
//   H_URL_LISTED              URLs of the plain-text bodies and links of the HTML bodies
//                             whose registrable domain the URL database lists
//   H_HTML_HIDDEN_SHARE       share (0 to 1) of the HTML bodies' text that the reader does
//                             not see, once at least kMinHiddenUnits units are hidden
//   H_HTML_MOSTLY_HIDDEN      the same share when it is at least one half
//   H_HDR_FROM_TWICE          the number of From headers of the mail when above one
//   H_HDR_SINGLE_TWICE        header names that may stand once in a mail (Date, Subject,
//                             To, Message-ID...) written more than once
//
// The functions only read the mail and the database: any number of threads may call them
// on different mails. They never throw.
#ifndef ENGINES_MAIL_HEURISTICS_H_
#define ENGINES_MAIL_HEURISTICS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class CBlackBoxFacilitator;
class CURLDB;

using MailHeuristicFunction = double (*)(const CBlackBoxFacilitator& mail, const CURLDB& db);

struct MailHeuristic {
  const char* name;
  MailHeuristicFunction function;
};

extern const MailHeuristic kMailHeuristics[];
extern const size_t kMailHeuristicCount;

// Hidden text below this many characters (blanks not counted) is rounding between the
// two counts, a stray hidden bullet or preheader, not a trick.
inline constexpr int64_t kMinHiddenUnits = 30;

// The characters of an HTML source that a reader would see if nothing were hidden:
// everything outside tags, comments, declarations and SCRIPT and STYLE elements, a
// character reference counted as one, blanks (space, tab, CR, LF) not counted. This is
// how the HTML stage counts its visible text (CHtmlInfo::visibleChars), so the two
// differ by what the stage dropped as invisible.
int64_t CountHtmlTextUnits(std::u16string_view source);

// The host a link text names, lower case, or empty when the text does not look like a
// URL or a host: "http://" or "https://" with a host, "www." with a host, or a bare
// dotted host whose last label is 2 to 6 letters (file names such as "terms.pdf" are
// not hosts). Blanks, quotes and angle brackets around the text are ignored; a text with
// a blank or an "@" inside is not a host. *written_as_url, when given, tells whether the
// text began with a scheme or "www." (a shop's name such as "Example.com" does not).
std::u16string HostOfLinkText(std::u16string_view text, bool* written_as_url = nullptr);

#endif  // ENGINES_MAIL_HEURISTICS_H_
