// Where the statistical token classifier keeps what it learned: for each token (a 64-bit
// hash of its kind and text) how many spam and ham mails contained it, the number of
// mails learned as each class, and the digest of every learned mail with its class, so
// that a mail learned twice counts once and a mail reported as the other class moves.
//
// Two kinds of store sit behind this one interface: an embedded file (one host, no
// server) and a shared server (many mail hosts learning from every user's reports).
// OpenTokenStore picks by the name: "redis://HOST:PORT/N" or a file path.
//
// Threads: Lookup and Totals may run from any number of threads at once (each mail of
// the milter or of `check -j N`) while one learner writes; a store gives every reader a
// consistent view (the counts of one learned mail appear together or not at all).
#ifndef ENGINES_TOKEN_STORE_H_
#define ENGINES_TOKEN_STORE_H_

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace learning {

// A token as stored: the hash of its kind and text.
using TokenHash = uint64_t;

struct TokenCounts {
  uint32_t spam = 0;  // learned spam mails that contained the token
  uint32_t ham = 0;   // learned ham mails that contained the token
};

struct StoreTotals {
  uint64_t spamMails = 0;
  uint64_t hamMails = 0;
  uint64_t tokens = 0;  // distinct tokens with a count above zero
};

enum class MailClass { kNone = 0, kSpam = 1, kHam = 2 };

// What Learn did with one mail.
enum class LearnOutcome {
  kLearned,    // new to the store
  kRelearned,  // known as the other class: its counts moved
  kAlready,    // known as this class already: nothing changed
  kForgotten,  // forget: its counts were taken back
  kUnknown,    // forget of a mail the store never learned
};

// A store failed (cannot open, full, server gone, corrupt): what and why, naming the
// store ("/var/lib/emlscan/tokens.lmdb: ...", "redis://127.0.0.1:6379/0: ...").
class TokenStoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TokenStore {
 public:
  virtual ~TokenStore() = default;

  // The counts of each of `tokens`, in the same order (zero counts for unknown ones).
  virtual void Lookup(const std::vector<TokenHash>& tokens, std::vector<TokenCounts>* counts) = 0;
  virtual StoreTotals Totals() = 0;

  // The class a mail (by its digest) was learned as, kNone when never.
  virtual MailClass Learned(const std::string& digest) = 0;

  // Learns one mail as `as` (kSpam or kHam) from its distinct tokens, or with
  // as == kNone forgets it. Atomic: a crash leaves the mail wholly learned or not.
  virtual LearnOutcome Learn(const std::string& digest, const std::vector<TokenHash>& tokens,
                             MailClass as) = 0;

  // The name the store was opened with.
  virtual const std::string& name() const = 0;

  // True when the name now stands for another store than the one opened (an embedded
  // store's file was replaced since): the owner should open it again. Cheap enough to ask
  // at every settings reload.
  virtual bool Replaced() const { return false; }
};

// Opens (creating when `writable`) the store named `name`: "redis://HOST:PORT/N" for the
// shared store, anything else a file path of the embedded store. Throws TokenStoreError.
std::unique_ptr<TokenStore> OpenTokenStore(const std::string& name, bool writable);

// How a read-only embedded store serves its readers. Such a store copies the token table
// into memory (one read transaction, so the copy is consistent) and answers Lookup and
// Totals from the copy: a hash probe a token instead of a B-tree descent. It checks for
// newer learning at most every `refreshMs` milliseconds and copies again when the file
// changed. A table of more than `maxCopiedTokens` tokens is not copied: lookups then read
// the file (LMDB's map) directly, always up to date.
struct LmdbReadOptions {
  uint32_t refreshMs = 10000;
  uint64_t maxCopiedTokens = 2000000;  // 16 bytes a slot, at most half full: 64 MiB
};

// The embedded file store alone (engines/token_store_lmdb.cc), whatever the path looks
// like; the shared one is engines/token_store_redis.h.
std::unique_ptr<TokenStore> OpenLmdbTokenStore(const std::string& path, bool writable,
                                               const LmdbReadOptions& read = LmdbReadOptions());

}  // namespace learning

#endif  // ENGINES_TOKEN_STORE_H_
