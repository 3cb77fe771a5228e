// The shared token store on Redis.
//
// Layout on the server (in database N; every key begins with "NAME:" when the store's name
// has ?prefix=NAME):
//
//   t:BBBB     hash, one per bucket of tokens: BBBB is the top 16 bits of the token's hash
//              in hex, each field the low 48 bits in 12 hex digits, its value "SPAM HAM"
//              (two decimal counts). 65536 buckets keep each hash within Redis's compact
//              encoding (128 fields by default) up to some 8 million tokens, where a key
//              per token would add the server's per-key overhead to every token. A token
//              with 0/0 has no field.
//   totals     hash: spam, ham (learned mails of each class), tokens (fields in t:*).
//   mails      hash: digest of each learned mail -> "s" or "h".
//
// Lookup sends one HMGET per bucket, wrapped in MULTI/EXEC and pipelined: one round trip,
// and a learn cannot land between two buckets. Learn runs one Lua script (EVALSHA, EVAL
// when the server has lost it) that reads the digest's class, moves every token's counts
// and the totals and records the digest: scripts run alone on the server, so learners on
// several hosts never interleave, and counts never go below zero.
//
// Connections: each call borrows one from a small pool (a blocked reader never waits for
// another's connection), with a 200 ms connect and a 1 s command timeout. A pooled
// connection the server has closed (restart, idle timeout) is replaced once; a timeout is
// not retried, so a silent server costs a mail at most one timeout. A learn sent again that
// way had perhaps landed already: it then answers kAlready (kUnknown for a forget), and the
// counts are right either way.
#include "engines/token_store_redis.h"

#include <hiredis/hiredis.h>
#include <pthread.h>
#include <signal.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <numeric>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace learning {
namespace {

constexpr timeval kConnectTimeout = {0, 200 * 1000};
constexpr timeval kCommandTimeout = {1, 0};
constexpr int kCommandTimeoutMs = 1000;
// Idle connections kept for reuse: enough for the milter's busy threads; more threads
// than this still work, their extra connections are closed after use.
constexpr size_t kMaxIdleConnections = 16;
constexpr int kBucketBits = 16;

// KEYS[1] totals, KEYS[2] mails, KEYS[2+i] the bucket of token i;
// ARGV[1] the digest, ARGV[2] "s", "h" or "" (forget), ARGV[2+i] the field of token i.
constexpr const char kLearnScript[] = R"lua(
local was = redis.call('HGET', KEYS[2], ARGV[1]) or ''
local as = ARGV[2]
if was == as then
  if as == '' then return 'unknown' end
  return 'already'
end
local ds, dh = 0, 0
if was == 's' then ds = -1 elseif was == 'h' then dh = -1 end
if as == 's' then ds = ds + 1 elseif as == 'h' then dh = dh + 1 end
local added = 0
for i = 3, #KEYS do
  local key, field = KEYS[i], ARGV[i]
  local old = redis.call('HGET', key, field)
  local s, h = 0, 0
  if old then
    local a, b = string.match(old, '^(%d+) (%d+)$')
    s, h = tonumber(a) or 0, tonumber(b) or 0
  end
  s, h = math.max(s + ds, 0), math.max(h + dh, 0)
  if s == 0 and h == 0 then
    if old then
      redis.call('HDEL', key, field)
      added = added - 1
    end
  else
    redis.call('HSET', key, field, s .. ' ' .. h)
    if not old then added = added + 1 end
  end
end
local function bump(field, by)
  if by ~= 0 and redis.call('HINCRBY', KEYS[1], field, by) < 0 then
    redis.call('HSET', KEYS[1], field, 0)
  end
end
bump('tokens', added)
if was == 's' then bump('spam', -1) elseif was == 'h' then bump('ham', -1) end
if as == 's' then bump('spam', 1) elseif as == 'h' then bump('ham', 1) end
if as == '' then
  redis.call('HDEL', KEYS[2], ARGV[1])
  return 'forgotten'
end
redis.call('HSET', KEYS[2], ARGV[1], as)
if was == '' then return 'learned' end
return 'relearned'
)lua";

struct ReplyFree {
  void operator()(redisReply* reply) const { freeReplyObject(reply); }
};
using ReplyPtr = std::unique_ptr<redisReply, ReplyFree>;
struct ContextFree {
  void operator()(redisContext* context) const { redisFree(context); }
};
using ContextPtr = std::unique_ptr<redisContext, ContextFree>;

// The server could not be reached or did not answer: it may be back for the next call.
class ConnectionError : public TokenStoreError {
 public:
  using TokenStoreError::TokenStoreError;
};

// Where the store lives, from its name.
struct Endpoint {
  std::string host;  // empty for a unix socket
  int port = 6379;
  std::string socket_path;  // empty for TCP
  int db = 0;
  std::string prefix;    // "" or "NAME:"
  std::string user;      // for AUTH; empty: the default user
  std::string password;  // empty: no AUTH
};

// The name with its password masked, for messages and logs.
std::string Redact(const std::string& name) {
  const size_t start = name.find("://");
  if (start == std::string::npos) return name;
  const size_t end = std::min(name.find_first_of("/?", start + 3), name.size());
  const size_t at = name.rfind('@', end - 1);
  if (at == std::string::npos || at < start + 3) return name;
  const size_t colon = name.find(':', start + 3);
  if (colon == std::string::npos || colon > at) return name;
  return name.substr(0, colon + 1) + "****" + name.substr(at);
}

constexpr std::string_view kTcpScheme = "redis://";
constexpr std::string_view kUnixScheme = "redis+unix://";

bool ParseNumber(std::string_view text, int max, int* value) {
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size() && *value >= 0 && *value <= max;
}

// Reads "?key=value&..." into the endpoint; `allow_db` for the unix form, whose path leaves
// no room for "/N".
void ParseQuery(std::string_view query, bool allow_db, Endpoint* endpoint,
                const std::string& name) {
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    const size_t eq = pair.find('=');
    const std::string_view key = pair.substr(0, eq);
    const std::string_view value =
        eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1);
    if (key == "prefix" && !value.empty()) {
      endpoint->prefix = std::string(value) + ":";
    } else if (key == "db" && allow_db) {
      if (!ParseNumber(value, std::numeric_limits<int>::max(), &endpoint->db)) {
        throw TokenStoreError(name + ": db must be a database number, not \"" + std::string(value) +
                              "\"");
      }
    } else {
      throw TokenStoreError(name + ": unknown option \"" + std::string(pair) + "\" (expected " +
                            (allow_db ? "db=N or prefix=NAME)" : "prefix=NAME)"));
    }
  }
}

// `name` is the redacted name, for messages; `full` the one to read.
Endpoint ParseName(const std::string& name, const std::string& full) {
  Endpoint endpoint;
  std::string_view rest(full);
  std::string_view query;
  if (const size_t q = rest.find('?'); q != std::string_view::npos) {
    query = rest.substr(q + 1);
    rest = rest.substr(0, q);
  }
  if (rest.substr(0, kUnixScheme.size()) == kUnixScheme) {
    endpoint.socket_path = std::string(rest.substr(kUnixScheme.size()));
    if (endpoint.socket_path.empty() || endpoint.socket_path[0] != '/') {
      throw TokenStoreError(name + ": expected redis+unix:///PATH/TO/SOCKET[?db=N]");
    }
    ParseQuery(query, true, &endpoint, name);
    return endpoint;
  }
  if (rest.substr(0, kTcpScheme.size()) != kTcpScheme) {
    throw TokenStoreError(name + ": not a Redis store name (redis://HOST:PORT/N)");
  }
  rest = rest.substr(kTcpScheme.size());
  const size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  if (const size_t at = authority.rfind('@'); at != std::string_view::npos) {
    const std::string_view user_info = authority.substr(0, at);
    const size_t colon = user_info.find(':');
    if (colon == std::string_view::npos || colon + 1 == user_info.size()) {
      throw TokenStoreError(name + ": expected :PASSWORD@ or USER:PASSWORD@ before the host");
    }
    endpoint.user = std::string(user_info.substr(0, colon));
    endpoint.password = std::string(user_info.substr(colon + 1));
    authority = authority.substr(at + 1);
  }
  if (slash != std::string_view::npos) {
    const std::string_view db = rest.substr(slash + 1);
    if (!db.empty() && !ParseNumber(db, std::numeric_limits<int>::max(), &endpoint.db)) {
      throw TokenStoreError(name + ": the database must be a number, not \"" + std::string(db) +
                            "\"");
    }
  }
  std::string_view port;
  if (!authority.empty() && authority[0] == '[') {  // [IPv6]:PORT
    const size_t close = authority.find(']');
    if (close == std::string_view::npos) throw TokenStoreError(name + ": unclosed '[' in host");
    endpoint.host = std::string(authority.substr(1, close - 1));
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty() && after[0] != ':') throw TokenStoreError(name + ": junk after ']'");
    if (!after.empty()) port = after.substr(1);
  } else {
    const size_t colon = authority.rfind(':');
    endpoint.host = std::string(authority.substr(0, colon));
    if (colon != std::string_view::npos) port = authority.substr(colon + 1);
  }
  if (endpoint.host.empty()) throw TokenStoreError(name + ": no host (redis://HOST:PORT/N)");
  if (!port.empty() && (!ParseNumber(port, 65535, &endpoint.port) || endpoint.port == 0)) {
    throw TokenStoreError(name + ": the port must be a number from 1 to 65535, not \"" +
                          std::string(port) + "\"");
  }
  ParseQuery(query, false, &endpoint, name);
  return endpoint;
}

// Commands to send at once. Built first and sent after, so the argument pointers handed
// to hiredis stay valid.
class Pipeline {
 public:
  void Begin(std::string_view verb) {
    starts_.push_back(args_.size());
    args_.emplace_back(verb);
  }
  void Add(std::string arg) { args_.push_back(std::move(arg)); }
  size_t size() const { return starts_.size(); }

  bool AppendTo(redisContext* context) const {
    std::vector<const char*> argv;
    std::vector<size_t> lengths;
    for (size_t i = 0; i < starts_.size(); ++i) {
      const size_t end = i + 1 < starts_.size() ? starts_[i + 1] : args_.size();
      argv.clear();
      lengths.clear();
      for (size_t a = starts_[i]; a < end; ++a) {
        argv.push_back(args_[a].data());
        lengths.push_back(args_[a].size());
      }
      if (redisAppendCommandArgv(context, static_cast<int>(argv.size()), argv.data(),
                                 lengths.data()) != REDIS_OK) {
        return false;
      }
    }
    return true;
  }

 private:
  std::vector<std::string> args_;
  std::vector<size_t> starts_;
};

// hiredis writes with write(2): on a connection the server has reset, that raises SIGPIPE,
// whose default action ends the process. Hold it blocked on this thread while we talk to
// the server and drop one we caused, so no host needs to ignore SIGPIPE for us.
class SigpipeGuard {
 public:
  SigpipeGuard() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_mask_);
  }
  ~SigpipeGuard() {
    sigset_t pending;
    sigpending(&pending);
    if (!was_pending_ && sigismember(&pending, SIGPIPE) == 1) {
      const timespec no_wait = {0, 0};
      sigtimedwait(&pipe_, nullptr, &no_wait);
    }
    pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
  }
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  sigset_t pipe_;
  sigset_t old_mask_;
  bool was_pending_ = false;
};

char HexDigit(unsigned value) { return "0123456789abcdef"[value & 15]; }

std::string BucketKey(const std::string& prefix, TokenHash token) {
  std::string key = prefix + "t:";
  for (int shift = 60; shift >= 64 - kBucketBits; shift -= 4) key += HexDigit(token >> shift);
  return key;
}

std::string TokenField(TokenHash token) {
  std::string field;
  field.reserve((64 - kBucketBits) / 4);
  for (int shift = 64 - kBucketBits - 4; shift >= 0; shift -= 4) field += HexDigit(token >> shift);
  return field;
}

// Shared between threads: the pool and the script's SHA1 are behind a mutex, everything
// else is fixed at open.
class RedisTokenStore final : public TokenStore {
 public:
  RedisTokenStore(std::string name, Endpoint endpoint, bool writable)
      : name_(std::move(name)),
        endpoint_(std::move(endpoint)),
        writable_(writable),
        totals_key_(endpoint_.prefix + "totals"),
        mails_key_(endpoint_.prefix + "mails") {}

  // Connects once, so a server that refuses us (password, database) shows at open, and
  // loads the learning script. A server that is down or silent is not an error yet: the
  // milter opens its store when it starts, and should classify as soon as the server is
  // back, not from its next reload.
  void Open() {
    Pipeline pipeline;
    if (writable_) {
      pipeline.Begin("SCRIPT");
      pipeline.Add("LOAD");
      pipeline.Add(kLearnScript);
    } else {
      pipeline.Begin("PING");
    }
    std::vector<ReplyPtr> replies;
    try {
      replies = Exchange(pipeline);
    } catch (const ConnectionError&) {
      return;
    }
    if (replies[0]->type == REDIS_REPLY_ERROR) {
      Fail(writable_ ? "the server refused SCRIPT LOAD" : "the server refused PING",
           replies[0].get());
    }
    if (writable_) SetScriptSha(String(replies[0].get(), "SCRIPT LOAD"));
  }

  void Lookup(const std::vector<TokenHash>& tokens, std::vector<TokenCounts>* counts) override {
    counts->assign(tokens.size(), TokenCounts());
    if (tokens.empty()) return;
    std::vector<uint32_t> order(tokens.size());
    std::iota(order.begin(), order.end(), 0);
    const auto bucket = [&](uint32_t i) { return tokens[i] >> (64 - kBucketBits); };
    std::sort(order.begin(), order.end(),
              [&](uint32_t a, uint32_t b) { return bucket(a) < bucket(b); });
    Pipeline pipeline;
    pipeline.Begin("MULTI");
    for (size_t i = 0; i < order.size(); ++i) {
      if (i == 0 || bucket(order[i]) != bucket(order[i - 1])) {
        pipeline.Begin("HMGET");
        pipeline.Add(BucketKey(endpoint_.prefix, tokens[order[i]]));
      }
      pipeline.Add(TokenField(tokens[order[i]]));
    }
    pipeline.Begin("EXEC");
    const std::vector<ReplyPtr> replies = Exchange(pipeline);
    const redisReply* groups = replies.back().get();
    if (groups->type != REDIS_REPLY_ARRAY || groups->elements != pipeline.size() - 2) {
      Fail("unexpected answer to EXEC", groups);
    }
    size_t next = 0;
    for (size_t g = 0; g < groups->elements; ++g) {
      const redisReply* values = groups->element[g];
      if (values->type != REDIS_REPLY_ARRAY) Fail("unexpected answer to HMGET", values);
      for (size_t v = 0; v < values->elements; ++v, ++next) {
        if (next >= order.size()) Fail("more counts than tokens from HMGET", values);
        (*counts)[order[next]] = ParseCounts(values->element[v]);
      }
    }
    if (next != order.size()) Fail("fewer counts than tokens from HMGET", groups);
  }

  StoreTotals Totals() override {
    Pipeline pipeline;
    pipeline.Begin("HMGET");
    pipeline.Add(totals_key_);
    for (const char* field : {"spam", "ham", "tokens"}) pipeline.Add(field);
    const std::vector<ReplyPtr> replies = Exchange(pipeline);
    const redisReply* values = replies[0].get();
    if (values->type != REDIS_REPLY_ARRAY || values->elements != 3) {
      Fail("unexpected answer to HMGET " + totals_key_, values);
    }
    StoreTotals totals;
    totals.spamMails = ParseCount(values->element[0]);
    totals.hamMails = ParseCount(values->element[1]);
    totals.tokens = ParseCount(values->element[2]);
    return totals;
  }

  MailClass Learned(const std::string& digest) override {
    Pipeline pipeline;
    pipeline.Begin("HGET");
    pipeline.Add(mails_key_);
    pipeline.Add(digest);
    const std::vector<ReplyPtr> replies = Exchange(pipeline);
    const redisReply* value = replies[0].get();
    if (value->type == REDIS_REPLY_NIL) return MailClass::kNone;
    const std::string as = String(value, "HGET " + mails_key_);
    if (as == "s") return MailClass::kSpam;
    if (as == "h") return MailClass::kHam;
    Fail("a mail's class is \"" + as + "\", not s or h", nullptr);
  }

  LearnOutcome Learn(const std::string& digest, const std::vector<TokenHash>& tokens,
                     MailClass as) override {
    if (!writable_) throw TokenStoreError(name_ + ": opened for reading only");
    // The script counts each token once per call; callers pass distinct tokens, but a
    // repeat must not count twice.
    std::vector<TokenHash> distinct(tokens);
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());

    // Without the script's SHA1 (not yet loaded: the server was down at open), load it in
    // the same round trip.
    const std::string sha = ScriptSha();
    const auto build = [&](bool by_sha) {
      Pipeline pipeline;
      if (!by_sha && sha.empty()) {
        pipeline.Begin("SCRIPT");
        pipeline.Add("LOAD");
        pipeline.Add(kLearnScript);
      }
      pipeline.Begin(by_sha ? "EVALSHA" : "EVAL");
      pipeline.Add(by_sha ? sha : std::string(kLearnScript));
      pipeline.Add(std::to_string(2 + distinct.size()));
      pipeline.Add(totals_key_);
      pipeline.Add(mails_key_);
      for (TokenHash token : distinct) pipeline.Add(BucketKey(endpoint_.prefix, token));
      pipeline.Add(digest);
      pipeline.Add(as == MailClass::kSpam ? "s" : as == MailClass::kHam ? "h" : "");
      for (TokenHash token : distinct) pipeline.Add(TokenField(token));
      return pipeline;
    };
    std::vector<ReplyPtr> replies = Exchange(build(!sha.empty()));
    if (sha.empty() && replies[0]->type == REDIS_REPLY_STRING) {
      SetScriptSha(String(replies[0].get(), "SCRIPT LOAD"));
    }
    // A restarted server has lost its scripts: send the text, which loads it again.
    if (replies.back()->type == REDIS_REPLY_ERROR &&
        std::string_view(replies.back()->str, replies.back()->len).substr(0, 8) == "NOSCRIPT") {
      replies = Exchange(build(false));
    }
    const std::string outcome = String(replies.back().get(), "the learning script");
    if (outcome == "learned") return LearnOutcome::kLearned;
    if (outcome == "relearned") return LearnOutcome::kRelearned;
    if (outcome == "already") return LearnOutcome::kAlready;
    if (outcome == "forgotten") return LearnOutcome::kForgotten;
    if (outcome == "unknown") return LearnOutcome::kUnknown;
    Fail("unexpected answer \"" + outcome + "\" from the learning script", nullptr);
  }

  const std::string& name() const override { return name_; }

 private:
  std::string ScriptSha() {
    std::lock_guard<std::mutex> lock(pool_mutex_);
    return script_sha_;
  }
  void SetScriptSha(std::string sha) {
    std::lock_guard<std::mutex> lock(pool_mutex_);
    script_sha_ = std::move(sha);
  }

  [[noreturn]] void Fail(const std::string& what, const redisReply* reply) const {
    std::string message = name_ + ": " + what;
    if (reply != nullptr && reply->type == REDIS_REPLY_ERROR) {
      message += ": " + std::string(reply->str, reply->len);
    }
    throw TokenStoreError(message);
  }

  std::string String(const redisReply* reply, const std::string& from) const {
    if (reply->type != REDIS_REPLY_STRING && reply->type != REDIS_REPLY_STATUS) {
      Fail("unexpected answer to " + from, reply);
    }
    return std::string(reply->str, reply->len);
  }

  // A count in the totals: nil is 0.
  uint64_t ParseCount(const redisReply* reply) const {
    if (reply->type == REDIS_REPLY_NIL) return 0;
    const std::string text = String(reply, "HMGET " + totals_key_);
    uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) {
      Fail("the totals hold \"" + text + "\", not a count", nullptr);
    }
    return value;
  }

  // A token's "SPAM HAM": nil is 0/0.
  TokenCounts ParseCounts(const redisReply* reply) const {
    TokenCounts counts;
    if (reply->type == REDIS_REPLY_NIL) return counts;
    if (reply->type != REDIS_REPLY_STRING) Fail("unexpected answer to HMGET", reply);
    const char* const begin = reply->str;
    const char* const end = reply->str + reply->len;
    const auto spam = std::from_chars(begin, end, counts.spam);
    const auto ham = spam.ptr < end && *spam.ptr == ' '
                         ? std::from_chars(spam.ptr + 1, end, counts.ham)
                         : std::from_chars_result{spam.ptr, std::errc::invalid_argument};
    if (spam.ec != std::errc() || ham.ec != std::errc() || ham.ptr != end) {
      Fail("a token holds \"" + std::string(begin, end) + "\", not \"SPAM HAM\"", nullptr);
    }
    return counts;
  }

  ContextPtr Connect() const {
    ContextPtr context(
        endpoint_.socket_path.empty()
            ? redisConnectWithTimeout(endpoint_.host.c_str(), endpoint_.port, kConnectTimeout)
            : redisConnectUnixWithTimeout(endpoint_.socket_path.c_str(), kConnectTimeout));
    if (context == nullptr) throw std::bad_alloc();
    if (context->err != 0) {
      throw ConnectionError(name_ + ": cannot connect: " + context->errstr);
    }
    redisSetTimeout(context.get(), kCommandTimeout);
    Pipeline setup;
    if (!endpoint_.password.empty()) {
      setup.Begin("AUTH");
      if (!endpoint_.user.empty()) setup.Add(endpoint_.user);
      setup.Add(endpoint_.password);
    }
    if (endpoint_.db != 0) {
      setup.Begin("SELECT");
      setup.Add(std::to_string(endpoint_.db));
    }
    if (setup.size() == 0) return context;
    std::vector<ReplyPtr> replies;
    if (const std::string failure = Send(context.get(), setup, nullptr, &replies);
        !failure.empty()) {
      throw ConnectionError(name_ + ": " + failure);
    }
    for (size_t i = 0; i < replies.size(); ++i) {
      if (replies[i]->type != REDIS_REPLY_ERROR) continue;
      const bool is_auth = i == 0 && !endpoint_.password.empty();
      Fail(is_auth ? "the server refused the password"
                   : "cannot select database " + std::to_string(endpoint_.db),
           replies[i].get());
    }
    return context;
  }

  // Sends the pipeline and reads every answer. Returns "" or what went wrong with the
  // connection; `lost` says whether the server closed it, so a fresh one may succeed.
  static std::string Send(redisContext* context, const Pipeline& pipeline, bool* lost,
                          std::vector<ReplyPtr>* replies) {
    SigpipeGuard guard;
    replies->clear();
    bool ok = pipeline.AppendTo(context);
    while (ok && replies->size() < pipeline.size()) {
      void* reply = nullptr;
      ok = redisGetReply(context, &reply) == REDIS_OK;
      if (ok) replies->emplace_back(static_cast<redisReply*>(reply));
    }
    if (ok) return std::string();
    const int error_number = errno;
    const bool timed_out =
        context->err == REDIS_ERR_IO && (error_number == EAGAIN || error_number == EWOULDBLOCK);
    if (lost != nullptr) {
      *lost =
          context->err == REDIS_ERR_EOF ||
          (context->err == REDIS_ERR_IO && (error_number == ECONNRESET || error_number == EPIPE));
    }
    if (timed_out) return "no answer within " + std::to_string(kCommandTimeoutMs) + " ms";
    return context->errstr;
  }

  // One exchange on a borrowed connection; a pooled one the server has closed is
  // replaced once. Throws when the connection fails; error answers are the caller's.
  std::vector<ReplyPtr> Exchange(const Pipeline& pipeline) {
    ContextPtr context;
    {
      std::lock_guard<std::mutex> lock(pool_mutex_);
      if (!idle_.empty()) {
        context = std::move(idle_.back());
        idle_.pop_back();
      }
    }
    const bool pooled = context != nullptr;
    if (!pooled) context = Connect();
    std::vector<ReplyPtr> replies;
    bool lost = false;
    std::string failure = Send(context.get(), pipeline, &lost, &replies);
    if (!failure.empty() && pooled && lost) {
      context = Connect();
      failure = Send(context.get(), pipeline, nullptr, &replies);
    }
    if (!failure.empty()) throw ConnectionError(name_ + ": " + failure);
    std::lock_guard<std::mutex> lock(pool_mutex_);
    if (idle_.size() < kMaxIdleConnections) idle_.push_back(std::move(context));
    return replies;
  }

  const std::string name_;
  const Endpoint endpoint_;
  const bool writable_;
  const std::string totals_key_;
  const std::string mails_key_;
  std::mutex pool_mutex_;
  std::vector<ContextPtr> idle_;  // guarded by pool_mutex_
  std::string script_sha_;        // guarded by pool_mutex_; empty until loaded
};

}  // namespace

bool IsRedisStoreName(const std::string& name) {
  const std::string_view view(name);
  return view.substr(0, kTcpScheme.size()) == kTcpScheme ||
         view.substr(0, kUnixScheme.size()) == kUnixScheme;
}

std::unique_ptr<TokenStore> OpenRedisTokenStore(const std::string& name, bool writable) {
  const std::string redacted = Redact(name);
  auto store = std::make_unique<RedisTokenStore>(redacted, ParseName(redacted, name), writable);
  store->Open();
  return store;
}

}  // namespace learning
