// The tokens the statistical classifier learns and weighs, taken from what the breaker
// already made of a mail (the header objects, the parts tree, the decoded texts, the URLs
// and the HTML summary): nothing of the mail is parsed again.
//
// Each token is its kind (one letter) and a short text, hashed to 64 bits; a mail gives
// each distinct token once. The kinds (docs/LEARNING.md says why each earns its place):
//
//   w  a word of the plain-text and HTML visible texts: letters and digits, lower case,
//      every run of digits written "0", 3 to 20 characters
//   s  a word of the Subject, as above
//   f  the registrable domain of a From address
//   r  the registrable domain of a Reply-To address, and "other" when it is not From's
//   m  the mailer (X-Mailer, else User-Agent): its first 40 characters as words are
//      written; "none" without either
//   c  the media type and charset of every part ("text/html", "charset=gb2312"), digits
//      kept
//   n  the name of every header of the mail ("x-mailing-list", "list-id"); their hashes
//      carry the header-name mark (stat_classifier.h: MarkGroup)
//   t  To and Cc: the number of recipients in buckets, "no-to"; of the first To address
//      its registrable domain ("dom:example.com"), "from-domain" when it is From's, and
//      "named" or "unnamed"
//   i  Message-ID: the shape of its left side ("0.AaA0a", runs of digits, lower-case and
//      capital letters written once), the registrable domain of its right side
//      ("dom:example.com", "dom:none"), "from-domain", "no-at"; "none" without one
//   h  the shape of the Received chain: the number of hops in buckets, whether all, some
//      or none of the hops name a HELO and an IP address; and each hop's network (the
//      first two numbers of its IPv4 address, "net:192.0") and the registrable domain of
//      the host it names ("host:example.net")
//   u  the registrable domain of every link (plain-text URLs, HTML anchors) and, as
//      "img:DOMAIN", of every HTML image
//   l  the tricks the HTML summary records (remote images, links on images, numeric
//      hosts, "click here"...), each by its name, and the number of anchors in buckets
//   a  the file-name extension of every attachment
//
// Read-only on the mail; any number of threads may tokenize different mails at once.
#ifndef ENGINES_MAIL_TOKENS_H_
#define ENGINES_MAIL_TOKENS_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "emlbreaker/map.h"
#include "emlbreaker/strings.h"
#include "engines/token_store.h"

class CBlackBoxFacilitator;

namespace learning {

// A mail's tokens are taken from at most this many occurrences, the first ones met
// (headers, parts, links, then the texts in order), so a huge mail costs no more than a
// long one.
inline constexpr size_t kMaxTokenOccurrences = 12000;
// Words outside these lengths are not tokens: shorter ones are mostly stop words and
// noise, longer ones base64 or glued-together text that never repeats.
inline constexpr size_t kMinWordLength = 3;
inline constexpr size_t kMaxWordLength = 20;

// The hash of a token of kind `kind` whose text is `text` (UTF-8, already lower case).
TokenHash HashToken(char kind, std::string_view text);

// How MailTokens orders the distinct tokens. Sorted by hash, a learner's writes and a
// lookup in the store's file walk its B-tree forward. In the order first met, the
// duplicates go through a small hash set instead of a sort: a mail's thousand random
// hashes sorted cost a branch misprediction every other comparison, several times what
// the classifier's lookups in the in-memory table cost.
enum class TokenOrder { kSorted, kFirstMet };

// The distinct tokens of a broken mail. `domains` is the second-level domain table of the
// code heuristics (CURLDB::GetDomainTable). With `texts`, each token's readable form
// ("w:viagra", "u:example.com") goes there in the same order: for `emlscan learn
// --explain` and the tests; the classifier does not pay for it.
void MailTokens(const CBlackBoxFacilitator& mail,
                const ascommon::CMap<ascommon::usstring, uint32_t>& domains,
                std::vector<TokenHash>* tokens, std::vector<std::string>* texts = nullptr,
                TokenOrder order = TokenOrder::kSorted);

}  // namespace learning

#endif  // ENGINES_MAIL_TOKENS_H_
