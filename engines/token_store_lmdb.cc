// The embedded token store on LMDB: one file (the path) beside its lock file
// (path + "-lock"), three named tables in it:
//
//   tokens  key: the 64-bit token hash (native order, MDB_INTEGERKEY)
//           value: two 32-bit counts, spam then ham; a token whose counts both reach 0
//           is deleted
//   mails   key: a learned mail's digest; value: one byte, its class (1 spam, 2 ham)
//   totals  key "totals"; value: three 64-bit counts, spam mails, ham mails, tokens
//
// Why LMDB and not SQLite: docs/LEARNING.md. Readers never block the learner nor each
// other: each Lookup reads one snapshot (a read transaction), so the counts of a mail
// being learned appear all at once. A read-only store (the breaker's) answers from a
// copy of the token table in memory, itself made in one read transaction and renewed
// when newer learning is found (LmdbReadOptions, engines/token_store.h): a probe of a
// hash table costs a tenth of a B-tree descent, and a mail looks up hundreds of tokens. One write transaction per Learn makes a mail wholly
// learned or not, whatever kills the learner; a second learner waits for the first's
// transaction (LMDB's writer lock).
//
// MDB_NOMETASYNC: a commit syncs the data pages but not the meta page, so a power loss
// may undo the last mail learned but never leaves a broken file; a killed process loses
// nothing committed (the pages are in the kernel's cache).
#include <lmdb.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <numeric>
#include <string>
#include <vector>

#include "engines/token_store.h"
#include "engines/token_store_redis.h"

namespace learning {
namespace {

// Address space reserved for the file; the file itself grows only as pages are written.
// 16 GiB holds hundreds of millions of tokens; a store that fills it answers "full".
constexpr size_t kMapSize = size_t{16} << 30;
// Read transactions at once: every thread of the milter or of check -j N holds one while
// it looks a mail up. LMDB's default is 126.
constexpr unsigned kMaxReaders = 1022;
constexpr char kTotalsKey[] = "totals";

struct TotalsRecord {
  uint64_t spamMails = 0;
  uint64_t hamMails = 0;
  uint64_t tokens = 0;
};

struct CountsRecord {
  uint32_t spam = 0;
  uint32_t ham = 0;
};

// A read-only store's copy of the token table: open addressing with linear probing on the
// low bits of the hash (the hashes are already mixed), at most half full. The hash 0
// marks an empty slot, so a token whose hash is 0 is kept beside the table.
struct Snapshot {
  struct Slot {
    TokenHash token = 0;
    CountsRecord counts;
  };
  size_t txnid = 0;
  TotalsRecord totals;
  std::vector<Slot> slots;
  size_t mask = 0;
  bool has_zero = false;
  CountsRecord zero;

  void Reserve(size_t tokens) {
    size_t size = 16;
    while (size < tokens * 2) size *= 2;
    slots.assign(size, Slot());
    mask = size - 1;
  }
  void Insert(TokenHash token, const CountsRecord& counts) {
    if (token == 0) {
      has_zero = true;
      zero = counts;
      return;
    }
    size_t at = token & mask;
    while (slots[at].token != 0) at = (at + 1) & mask;
    slots[at].token = token;
    slots[at].counts = counts;
  }
  void Prefetch(TokenHash token) const { __builtin_prefetch(&slots[token & mask]); }
  const CountsRecord* Find(TokenHash token) const {
    if (token == 0) return has_zero ? &zero : nullptr;
    for (size_t at = token & mask;; at = (at + 1) & mask) {
      if (slots[at].token == token) return &slots[at].counts;
      if (slots[at].token == 0) return nullptr;
    }
  }
};

MDB_val Val(const void* data, size_t size) {
  MDB_val value;
  value.mv_data = const_cast<void*>(data);
  value.mv_size = size;
  return value;
}

class LmdbTokenStore : public TokenStore {
 public:
  LmdbTokenStore(const std::string& path, bool writable, const LmdbReadOptions& read)
      : name_(path), copy_(!writable && read.maxCopiedTokens > 0), read_(read) {
    Check(mdb_env_create(&env_), "cannot create the environment");
    try {
      Open(path, writable);
    } catch (...) {
      mdb_env_close(env_);
      throw;
    }
  }

  void Open(const std::string& path, bool writable) {
    Check(mdb_env_set_maxdbs(env_, 4), "cannot set the table count");
    Check(mdb_env_set_mapsize(env_, kMapSize), "cannot set the map size");
    Check(mdb_env_set_maxreaders(env_, kMaxReaders), "cannot set the reader count");
    struct stat status;
    if (!writable && stat(path.c_str(), &status) != 0) {
      Fail(std::string("no such store (") + std::strerror(errno) +
           "); learn mails into it first (emlscan learn)");
    }
    // Without MDB_NOTLS each thread keeps its reader slot between transactions: a read
    // begins without the lock file's mutex, which two threads classifying took turns on.
    // Every read transaction here begins and ends in one call, on one thread.
    unsigned flags = MDB_NOSUBDIR | MDB_NOMETASYNC;
    if (!writable) flags |= MDB_RDONLY;
    // Group-writable: the breaker's readers write their slots into the lock file, and may
    // run as another user of the learner's group.
    Check(mdb_env_open(env_, path.c_str(), flags, 0664), "cannot open");
    struct stat opened;
    if (stat(path.c_str(), &opened) == 0) {
      device_ = opened.st_dev;
      inode_ = opened.st_ino;
    }
    MDB_txn* txn = nullptr;
    Check(mdb_txn_begin(env_, nullptr, writable ? 0 : MDB_RDONLY, &txn), "cannot begin");
    const unsigned create = writable ? MDB_CREATE : 0;
    int rc = mdb_dbi_open(txn, "tokens", create | MDB_INTEGERKEY, &tokens_);
    if (rc == 0) rc = mdb_dbi_open(txn, "mails", create, &mails_);
    if (rc == 0) rc = mdb_dbi_open(txn, "totals", create, &totals_);
    if (rc != 0) {
      mdb_txn_abort(txn);
      Check(rc, "not a token store, or an empty one");
    }
    Check(mdb_txn_commit(txn), "cannot open the tables");
  }

  ~LmdbTokenStore() override {
    if (env_ != nullptr) mdb_env_close(env_);
  }

  void Lookup(const std::vector<TokenHash>& tokens, std::vector<TokenCounts>* counts) override {
    counts->assign(tokens.size(), TokenCounts());
    if (const std::shared_ptr<const Snapshot> copy = Current()) {
      // The slots of a mail's tokens are scattered over a table larger than the cache:
      // each is asked for a few tokens ahead, so the misses overlap.
      constexpr size_t kAhead = 8;
      for (size_t i = 0; i < tokens.size(); ++i) {
        if (i + kAhead < tokens.size()) copy->Prefetch(tokens[i + kAhead]);
        if (const CountsRecord* found = copy->Find(tokens[i])) {
          (*counts)[i].spam = found->spam;
          (*counts)[i].ham = found->ham;
        }
      }
      return;
    }
    ReadTxn txn(this);
    // One cursor for the mail: when the next token falls on the leaf page the cursor
    // stands on, LMDB searches that page alone instead of descending from the root, so
    // the tokens are visited in the order of their hashes (a learner's come sorted, the
    // classifier's in the order first met: engines/mail_tokens.h).
    std::vector<uint32_t> order(tokens.size());
    std::iota(order.begin(), order.end(), 0);
    if (!std::is_sorted(tokens.begin(), tokens.end())) {
      std::sort(order.begin(), order.end(),
                [&](uint32_t a, uint32_t b) { return tokens[a] < tokens[b]; });
    }
    MDB_cursor* cursor = nullptr;
    Check(mdb_cursor_open(txn.txn, tokens_, &cursor), "cannot open a cursor");
    for (const uint32_t i : order) {
      MDB_val key = Val(&tokens[i], sizeof(TokenHash));
      MDB_val value;
      const int rc = mdb_cursor_get(cursor, &key, &value, MDB_SET_KEY);
      if (rc == MDB_NOTFOUND) continue;
      if (rc != 0 || value.mv_size != sizeof(CountsRecord)) {
        mdb_cursor_close(cursor);
        Check(rc, "cannot read a token");
        Fail("corrupt token record");
      }
      CountsRecord record;
      std::memcpy(&record, value.mv_data, sizeof(record));
      (*counts)[i].spam = record.spam;
      (*counts)[i].ham = record.ham;
    }
    mdb_cursor_close(cursor);
  }

  StoreTotals Totals() override {
    TotalsRecord record;
    if (const std::shared_ptr<const Snapshot> copy = Current()) {
      record = copy->totals;
    } else {
      ReadTxn txn(this);
      record = ReadTotals(txn.txn);
    }
    StoreTotals totals;
    totals.spamMails = record.spamMails;
    totals.hamMails = record.hamMails;
    totals.tokens = record.tokens;
    return totals;
  }

  MailClass Learned(const std::string& digest) override {
    ReadTxn txn(this);
    return ReadClass(txn.txn, digest);
  }

  LearnOutcome Learn(const std::string& digest, const std::vector<TokenHash>& tokens,
                     MailClass as) override {
    if (digest.empty() || digest.size() > 400) Fail("a mail digest must be 1 to 400 bytes");
    MDB_txn* txn = nullptr;
    Check(mdb_txn_begin(env_, nullptr, 0, &txn), "cannot begin a write (read-only store?)");
    try {
      const MailClass was = ReadClass(txn, digest);
      LearnOutcome outcome;
      if (as == MailClass::kNone) {
        outcome = was == MailClass::kNone ? LearnOutcome::kUnknown : LearnOutcome::kForgotten;
      } else if (was == as) {
        outcome = LearnOutcome::kAlready;
      } else {
        outcome = was == MailClass::kNone ? LearnOutcome::kLearned : LearnOutcome::kRelearned;
      }
      if (outcome == LearnOutcome::kAlready || outcome == LearnOutcome::kUnknown) {
        mdb_txn_abort(txn);
        return outcome;
      }
      TotalsRecord totals = ReadTotals(txn);
      if (was != MailClass::kNone) {
        Apply(txn, tokens, was, -1, &totals);
        uint64_t& mails = was == MailClass::kSpam ? totals.spamMails : totals.hamMails;
        if (mails > 0) --mails;
      }
      MDB_val key = Val(digest.data(), digest.size());
      if (as != MailClass::kNone) {
        Apply(txn, tokens, as, +1, &totals);
        ++(as == MailClass::kSpam ? totals.spamMails : totals.hamMails);
        const uint8_t cls = static_cast<uint8_t>(as);
        MDB_val value = Val(&cls, 1);
        Check(mdb_put(txn, mails_, &key, &value, 0), "cannot record the mail");
      } else {
        Check(mdb_del(txn, mails_, &key, nullptr), "cannot forget the mail");
      }
      MDB_val totals_key = Val(kTotalsKey, sizeof(kTotalsKey) - 1);
      MDB_val totals_value = Val(&totals, sizeof(totals));
      Check(mdb_put(txn, totals_, &totals_key, &totals_value, 0), "cannot write the totals");
      const int rc = mdb_txn_commit(txn);
      txn = nullptr;
      Check(rc, "cannot commit");
      return outcome;
    } catch (...) {
      if (txn != nullptr) mdb_txn_abort(txn);
      throw;
    }
  }

  const std::string& name() const override { return name_; }

  bool Replaced() const override {
    struct stat status;
    if (stat(name_.c_str(), &status) != 0) return true;
    return status.st_dev != device_ || status.st_ino != inode_;
  }

 private:
  // A read transaction for one call.
  struct ReadTxn {
    explicit ReadTxn(LmdbTokenStore* store) {
      store->Check(mdb_txn_begin(store->env_, nullptr, MDB_RDONLY, &txn), "cannot begin a read");
    }
    ~ReadTxn() { mdb_txn_abort(txn); }
    ReadTxn(const ReadTxn&) = delete;
    ReadTxn& operator=(const ReadTxn&) = delete;
    MDB_txn* txn = nullptr;
  };

  // The copy to answer from, made or renewed when due; null when the store is not copied
  // (writable, or too many tokens). One thread renews while the others go on with the
  // copy they have.
  std::shared_ptr<const Snapshot> Current() {
    if (!copy_.load(std::memory_order_relaxed)) return nullptr;
    std::shared_ptr<const Snapshot> copy = std::atomic_load(&snapshot_);
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    if (copy != nullptr && now - checked_ms_.load(std::memory_order_relaxed) < read_.refreshMs) {
      return copy;
    }
    std::unique_lock<std::mutex> renewing(renew_mutex_, std::try_to_lock);
    if (!renewing.owns_lock() && copy != nullptr) return copy;
    if (!renewing.owns_lock()) renewing.lock();  // the first copy: wait for it
    copy = std::atomic_load(&snapshot_);
    MDB_envinfo info;
    Check(mdb_env_info(env_, &info), "cannot read the environment");
    if (copy != nullptr && copy->txnid == info.me_last_txnid) {
      checked_ms_.store(now, std::memory_order_relaxed);
      return copy;
    }
    std::shared_ptr<const Snapshot> fresh = MakeCopy();
    if (fresh == nullptr) {
      copy_.store(false, std::memory_order_relaxed);  // grown past the limit: read the file
      std::atomic_store(&snapshot_, fresh);
      return nullptr;
    }
    std::atomic_store(&snapshot_, fresh);
    checked_ms_.store(now, std::memory_order_relaxed);
    return fresh;
  }

  // The token table and totals of one read transaction; null when it holds more tokens
  // than a copy may.
  std::shared_ptr<const Snapshot> MakeCopy() {
    ReadTxn txn(this);
    MDB_stat stat;
    Check(mdb_stat(txn.txn, tokens_, &stat), "cannot read the table size");
    if (stat.ms_entries > read_.maxCopiedTokens) return nullptr;
    auto copy = std::make_shared<Snapshot>();
    copy->txnid = mdb_txn_id(txn.txn);
    copy->totals = ReadTotals(txn.txn);
    copy->Reserve(stat.ms_entries);
    MDB_cursor* cursor = nullptr;
    Check(mdb_cursor_open(txn.txn, tokens_, &cursor), "cannot open a cursor");
    MDB_val key;
    MDB_val value;
    int rc = mdb_cursor_get(cursor, &key, &value, MDB_FIRST);
    for (; rc == 0; rc = mdb_cursor_get(cursor, &key, &value, MDB_NEXT)) {
      if (key.mv_size != sizeof(TokenHash) || value.mv_size != sizeof(CountsRecord)) break;
      TokenHash token;
      CountsRecord counts;
      std::memcpy(&token, key.mv_data, sizeof(token));
      std::memcpy(&counts, value.mv_data, sizeof(counts));
      copy->Insert(token, counts);
    }
    mdb_cursor_close(cursor);
    if (rc != MDB_NOTFOUND) {
      Check(rc, "cannot read the tokens");
      Fail("corrupt token record");
    }
    return copy;
  }

  [[noreturn]] void Fail(const std::string& what) const {
    throw TokenStoreError(name_ + ": " + what);
  }
  void Check(int rc, const char* what) const {
    if (rc == 0) return;
    if (rc == MDB_MAP_FULL) Fail(std::string(what) + ": the store is full");
    Fail(std::string(what) + ": " + mdb_strerror(rc));
  }

  TotalsRecord ReadTotals(MDB_txn* txn) const {
    TotalsRecord record;
    MDB_val key = Val(kTotalsKey, sizeof(kTotalsKey) - 1);
    MDB_val value;
    const int rc = mdb_get(txn, totals_, &key, &value);
    if (rc == MDB_NOTFOUND) return record;
    Check(rc, "cannot read the totals");
    if (value.mv_size != sizeof(record)) Fail("corrupt totals record");
    std::memcpy(&record, value.mv_data, sizeof(record));
    return record;
  }

  MailClass ReadClass(MDB_txn* txn, const std::string& digest) const {
    MDB_val key = Val(digest.data(), digest.size());
    MDB_val value;
    const int rc = mdb_get(txn, mails_, &key, &value);
    if (rc == MDB_NOTFOUND) return MailClass::kNone;
    Check(rc, "cannot read a mail record");
    if (value.mv_size != 1) Fail("corrupt mail record");
    const uint8_t cls = *static_cast<const uint8_t*>(value.mv_data);
    if (cls != 1 && cls != 2) Fail("corrupt mail record");
    return static_cast<MailClass>(cls);
  }

  // Adds delta (+1 or -1) to the `as` count of every token. A count never goes below 0
  // (a mail forgotten with other tokens than it was learned with, after the tokenizer
  // changed); a token left with no count is deleted.
  void Apply(MDB_txn* txn, const std::vector<TokenHash>& tokens, MailClass as, int delta,
             TotalsRecord* totals) {
    for (const TokenHash token : tokens) {
      MDB_val key = Val(&token, sizeof(token));
      MDB_val value;
      CountsRecord record;
      const int rc = mdb_get(txn, tokens_, &key, &value);
      const bool existed = rc == 0;
      if (rc != MDB_NOTFOUND) Check(rc, "cannot read a token");
      if (existed) {
        if (value.mv_size != sizeof(record)) Fail("corrupt token record");
        std::memcpy(&record, value.mv_data, sizeof(record));
      }
      uint32_t& count = as == MailClass::kSpam ? record.spam : record.ham;
      if (delta > 0) {
        if (count < UINT32_MAX) ++count;
      } else if (count > 0) {
        --count;
      }
      if (record.spam == 0 && record.ham == 0) {
        if (existed) {
          Check(mdb_del(txn, tokens_, &key, nullptr), "cannot delete a token");
          if (totals->tokens > 0) --totals->tokens;
        }
        continue;
      }
      MDB_val stored = Val(&record, sizeof(record));
      Check(mdb_put(txn, tokens_, &key, &stored, 0), "cannot write a token");
      if (!existed) ++totals->tokens;
    }
  }

  std::string name_;
  std::atomic<bool> copy_;  // answer readers from a copy (read-only stores)
  const LmdbReadOptions read_;
  std::shared_ptr<const Snapshot> snapshot_;  // std::atomic_load / atomic_store only
  std::atomic<int64_t> checked_ms_{0};
  std::mutex renew_mutex_;
  MDB_env* env_ = nullptr;
  dev_t device_ = 0;  // the file opened, to tell when the path names another
  ino_t inode_ = 0;
  MDB_dbi tokens_ = 0;
  MDB_dbi mails_ = 0;
  MDB_dbi totals_ = 0;
};

}  // namespace

std::unique_ptr<TokenStore> OpenLmdbTokenStore(const std::string& path, bool writable,
                                               const LmdbReadOptions& read) {
  return std::make_unique<LmdbTokenStore>(path, writable, read);
}

std::unique_ptr<TokenStore> OpenTokenStore(const std::string& name, bool writable) {
  if (name.empty()) throw TokenStoreError("the token store has no name");
  if (IsRedisStoreName(name)) return OpenRedisTokenStore(name, writable);
  return OpenLmdbTokenStore(name, writable);
}

}  // namespace learning
