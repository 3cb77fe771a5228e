// The shared token store against a redis-server of the test's own: what learning,
// relearning and forgetting do to the counts, several hosts on one server, readers beside
// a learner, a server that goes away or never answers, and the names it refuses.
#include "engines/token_store_redis.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <hiredis/hiredis.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "framework/base/testing/temp_dir.h"

extern char** environ;

namespace learning {
namespace {

// A loopback TCP socket that listens on a free port and never accepts: connecting works,
// nothing ever answers. Closed with the object.
class ListeningSocket {
 public:
  ListeningSocket() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(fd_, 8) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ADD_FAILURE() << "cannot listen on loopback";
      return;
    }
    port_ = ntohs(address.sin_port);
  }
  ~ListeningSocket() {
    if (fd_ >= 0) close(fd_);
  }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A redis-server on a free loopback port and a unix socket in a temporary folder, saving
// nothing, stopped with the object. error() says why there is none.
class RedisServer {
 public:
  explicit RedisServer(std::vector<std::string> options = {})
      : dir_("redis"), options_(std::move(options)) {
    for (const char* folder : {"/usr/bin", "/usr/sbin", "/usr/local/bin"}) {
      const std::string path = std::string(folder) + "/redis-server";
      if (access(path.c_str(), X_OK) == 0) program_ = path;
    }
    if (program_.empty()) {
      error_ = "redis-server not found in /usr/bin, /usr/sbin or /usr/local/bin";
      return;
    }
    port_ = ListeningSocket().port();  // free now; a race with another program is unlikely
    Start();
  }
  ~RedisServer() { Stop(); }

  void Start() {
    const std::string port = std::to_string(port_);
    const std::string out = dir_.File("redis.out");
    // clang-format off
    std::vector<std::string> args = {program_, "--port", port, "--bind", "127.0.0.1",
                                     "--save", "", "--appendonly", "no", "--dir", dir_.Path(),
                                     "--unixsocket", dir_.File("redis.sock"), "--logfile", out};
    // clang-format on
    args.insert(args.end(), options_.begin(), options_.end());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, program_.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
      error_ = "cannot start " + program_;
      pid_ = 0;
      return;
    }
    for (int tries = 0; tries < 500; ++tries) {  // up to 5 s
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = 0;
        std::ifstream log(dir_.File("redis.out"));
        std::string line, last;
        while (std::getline(log, line)) last = line;
        error_ = program_ + " exited at once: " + last;
        return;
      }
      if (Query("PING") != kNoConnection) {  // PONG, or NOAUTH with a password
        error_.clear();
        return;
      }
      usleep(10 * 1000);
    }
    error_ = program_ + " did not answer within 5 s";
  }

  void Stop() {
    if (pid_ == 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = 0;
  }

  const std::string& error() const { return error_; }
  std::string Name(int db, const std::string& query = "") const {
    return "redis://127.0.0.1:" + std::to_string(port_) + "/" + std::to_string(db) + query;
  }
  std::string SocketName(const std::string& query) const {
    return "redis+unix://" + dir_.File("redis.sock") + query;
  }

  // The answer to one command in database 0, strings and arrays joined by spaces, sorted.
  std::string Query(const char* command) const {
    const timeval timeout = {1, 0};
    redisContext* context = redisConnectWithTimeout("127.0.0.1", port_, timeout);
    if (context == nullptr || context->err != 0) {
      redisFree(context);
      return kNoConnection;
    }
    auto* reply = static_cast<redisReply*>(redisCommand(context, command));
    std::vector<std::string> words;
    if (reply != nullptr && reply->type == REDIS_REPLY_ARRAY) {
      for (size_t i = 0; i < reply->elements; ++i) words.push_back(reply->element[i]->str);
    } else if (reply != nullptr && reply->str != nullptr) {
      words.push_back(reply->str);
    }
    freeReplyObject(reply);
    redisFree(context);
    std::sort(words.begin(), words.end());
    std::string joined;
    for (const std::string& word : words) joined += (joined.empty() ? "" : " ") + word;
    return joined;
  }

 private:
  static constexpr const char* kNoConnection = "(no connection)";

  emlbtest::TempDir dir_;
  std::vector<std::string> options_;
  std::string program_;
  std::string error_;
  int port_ = 0;
  pid_t pid_ = 0;
};

class RedisTokenStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!server_.error().empty())
      GTEST_SKIP() << "no Redis server to test with: " << server_.error();
  }
  RedisServer server_;
};

// "spam/ham" of each token, space-separated.
std::string Counts(TokenStore& store, const std::vector<TokenHash>& tokens) {
  std::vector<TokenCounts> counts;
  store.Lookup(tokens, &counts);
  std::ostringstream out;
  for (const TokenCounts& c : counts) out << (out.tellp() > 0 ? " " : "") << c.spam << "/" << c.ham;
  return out.str();
}

std::string Totals(TokenStore& store) {
  const StoreTotals totals = store.Totals();
  return std::to_string(totals.spamMails) + " spam " + std::to_string(totals.hamMails) + " ham " +
         std::to_string(totals.tokens) + " tokens";
}

// Two tokens share a bucket, the others sit at the ends of the hash range.
constexpr TokenHash kA = 0x0001000000000001, kB = 0x0001000000000002, kC = ~TokenHash{0}, kD = 0,
                    kE = 0x8000000000000000;

TEST_F(RedisTokenStoreTest, LearnRelearnForgetMoveTheCounts) {
  const auto store = OpenRedisTokenStore(server_.Name(0), true);
  const struct {
    const char* digest;
    std::vector<TokenHash> tokens;
    MailClass as;
    LearnOutcome outcome;
    const char* counts;  // of kA kB kC kD kE afterwards
    const char* totals;
  } kSteps[] = {
      // clang-format off
      {"m1", {kA, kB, kC}, MailClass::kSpam, LearnOutcome::kLearned, "1/0 1/0 1/0 0/0 0/0",
       "1 spam 0 ham 3 tokens"},
      {"m2", {kB, kC, kD, kD}, MailClass::kHam, LearnOutcome::kLearned,  // kD once
       "1/0 1/1 1/1 0/1 0/0", "1 spam 1 ham 4 tokens"},
      {"m1", {kA, kB, kC}, MailClass::kSpam, LearnOutcome::kAlready, "1/0 1/1 1/1 0/1 0/0",
       "1 spam 1 ham 4 tokens"},
      {"m1", {kA, kB, kC}, MailClass::kHam, LearnOutcome::kRelearned, "0/1 0/2 0/2 0/1 0/0",
       "0 spam 2 ham 4 tokens"},
      {"m2", {kB, kC, kD}, MailClass::kNone, LearnOutcome::kForgotten, "0/1 0/1 0/1 0/0 0/0",
       "0 spam 1 ham 3 tokens"},
      {"m2", {kB, kC, kD}, MailClass::kNone, LearnOutcome::kUnknown, "0/1 0/1 0/1 0/0 0/0",
       "0 spam 1 ham 3 tokens"},
      {"m1", {kA, kB, kC}, MailClass::kNone, LearnOutcome::kForgotten, "0/0 0/0 0/0 0/0 0/0",
       "0 spam 0 ham 0 tokens"},
      // clang-format on
  };
  for (const auto& step : kSteps) {
    SCOPED_TRACE(std::string(step.digest) + " outcome " + std::to_string(int(step.outcome)));
    EXPECT_EQ(step.outcome, store->Learn(step.digest, step.tokens, step.as));
    EXPECT_EQ(step.counts, Counts(*store, {kA, kB, kC, kD, kE}));
    EXPECT_EQ(step.totals, Totals(*store));
    EXPECT_EQ(step.as, store->Learned(step.digest));
  }
  // Nothing is left of forgotten mails and tokens but the zero totals.
  EXPECT_EQ("totals", server_.Query("KEYS *"));
}

TEST_F(RedisTokenStoreTest, HostsOnOneServerShareWhatTheyLearn) {
  const auto host_a = OpenRedisTokenStore(server_.Name(0), true);
  const auto host_b = OpenRedisTokenStore(server_.Name(0), false);
  const auto by_socket = OpenRedisTokenStore(server_.SocketName("?db=0"), false);
  const auto other_db = OpenRedisTokenStore(server_.Name(1), false);
  const auto prefixed = OpenRedisTokenStore(server_.Name(0, "?prefix=site2"), true);

  EXPECT_EQ(LearnOutcome::kLearned, host_a->Learn("m1", {kA, kE}, MailClass::kSpam));
  EXPECT_EQ("1/0 1/0", Counts(*host_b, {kA, kE}));
  EXPECT_EQ(MailClass::kSpam, host_b->Learned("m1"));
  EXPECT_EQ("1/0 1/0", Counts(*by_socket, {kA, kE}));
  EXPECT_EQ("0 spam 0 ham 0 tokens", Totals(*other_db));
  EXPECT_EQ("0/0 0/0", Counts(*prefixed, {kA, kE}));

  EXPECT_EQ(LearnOutcome::kLearned, prefixed->Learn("m1", {kA}, MailClass::kHam));
  EXPECT_EQ("1/0 1/0", Counts(*host_b, {kA, kE}));
  EXPECT_EQ("0 spam 1 ham 1 tokens", Totals(*prefixed));
  EXPECT_EQ("mails site2:mails site2:t:0001 site2:totals t:0001 t:8000 totals",
            server_.Query("KEYS *"));
  EXPECT_THROW(host_b->Learn("m2", {kA}, MailClass::kHam), TokenStoreError);
}

TEST_F(RedisTokenStoreTest, ReadersSeeWholeMailsWhileALearnerWrites) {
  const auto learner = OpenRedisTokenStore(server_.Name(0), true);
  const auto reader = OpenRedisTokenStore(server_.Name(0), false);
  constexpr int kMails = 200, kTokensPerMail = 300;
  std::atomic<bool> done{false};
  std::mutex failure_mutex;
  std::string first_failure;
  const auto fail = [&](const std::string& what) {
    std::lock_guard<std::mutex> lock(failure_mutex);
    if (first_failure.empty()) first_failure = what;
  };
  std::vector<TokenHash> spread = {kA};
  for (TokenHash bucket = 2; bucket < 2000; ++bucket) spread.push_back(bucket << 48);
  spread.push_back(kE);
  std::vector<std::thread> readers;
  for (int r = 0; r < 4; ++r) {
    readers.emplace_back([&] {
      uint64_t mails_seen = 0;
      std::vector<TokenCounts> counts;
      try {
        while (!done) {
          const StoreTotals totals = reader->Totals();
          if (totals.spamMails + totals.hamMails < mails_seen) fail("the mail count went back");
          mails_seen = totals.spamMails + totals.hamMails;
          // Every mail holds kA and kE, and a lookup sees both counts of a mail or neither,
          // even when it asks for so many buckets between the two that the server reads
          // the request in several parts.
          reader->Lookup(spread, &counts);
          if (counts.front().spam != counts.back().spam ||
              counts.front().ham != counts.back().ham) {
            fail("a lookup saw half a mail");
          }
        }
      } catch (const TokenStoreError& e) {
        fail(e.what());
      }
    });
  }
  for (int m = 0; m < kMails; ++m) {
    std::vector<TokenHash> tokens = {kA, kE};
    // Spread over the buckets as real hashes are (an odd factor keeps them distinct).
    for (uint64_t t = 2; t < kTokensPerMail; ++t) {
      tokens.push_back((uint64_t(m) << 32 | t) * 0x9e3779b97f4a7c15);
    }
    learner->Learn("mail" + std::to_string(m), tokens,
                   m % 2 == 0 ? MailClass::kSpam : MailClass::kHam);
  }
  done = true;
  for (std::thread& thread : readers) thread.join();
  EXPECT_EQ("", first_failure);
  EXPECT_EQ("100 spam 100 ham " + std::to_string(2 + kMails * (kTokensPerMail - 2)) + " tokens",
            Totals(*reader));
}

TEST_F(RedisTokenStoreTest, AGoneServerFailsNamingTheStoreAndARestartedOneServesAgain) {
  const std::string name = server_.Name(0);
  const auto store = OpenRedisTokenStore(name, true);
  ASSERT_EQ(LearnOutcome::kLearned, store->Learn("m1", {kA}, MailClass::kSpam));

  server_.Stop();
  // A store opened while the server is down opens, and fails like the others.
  const auto opened_while_down = OpenRedisTokenStore(name, true);
  for (const auto& call :
       std::vector<std::function<void()>>{[&] { Counts(*store, {kA}); }, [&] { store->Totals(); },
                                          [&] { store->Learn("m2", {kA}, MailClass::kSpam); },
                                          [&] { opened_while_down->Learned("m1"); }}) {
    try {
      call();
      ADD_FAILURE() << "no error from a stopped server";
    } catch (const TokenStoreError& e) {
      EXPECT_EQ(name + ": cannot connect: Connection refused", e.what());
    }
  }

  // The restarted server has neither the data (nothing saved) nor the learning script,
  // which the store opened while it was down never loaded.
  server_.Start();
  ASSERT_EQ("", server_.error());
  EXPECT_EQ(LearnOutcome::kLearned, store->Learn("m2", {kA}, MailClass::kHam));
  EXPECT_EQ(LearnOutcome::kLearned, opened_while_down->Learn("m3", {kA}, MailClass::kHam));
  EXPECT_EQ(LearnOutcome::kAlready, opened_while_down->Learn("m3", {kA}, MailClass::kHam));
  EXPECT_EQ("0/2", Counts(*store, {kA}));
}

TEST(RedisTokenStoreNameTest, ASilentServerTimesOut) {
  ListeningSocket silent;
  const std::string name = "redis://127.0.0.1:" + std::to_string(silent.port()) + "/0";
  const auto store = OpenRedisTokenStore(name, false);  // no error yet: it may answer later
  try {
    store->Totals();
    ADD_FAILURE() << "no error from a server that never answers";
  } catch (const TokenStoreError& e) {
    EXPECT_EQ(name + ": no answer within 1000 ms", e.what());
  }
}

TEST(RedisTokenStoreNameTest, MalformedNamesAreRefusedBeforeConnecting) {
  const struct {
    const char* name;
    const char* shown = nullptr;  // in the message, when not the name itself
  } kNames[] = {
      {"redis://"},
      {"redis://:6379/0"},
      {"redis://host:0/0"},
      {"redis://host:65536/0"},
      {"redis://host:63x/0"},
      {"redis://host:6379/x"},
      {"redis://host/0?bogus=1"},
      {"redis://host/0?db=2"},
      {"redis://[::1/0"},
      {"redis://secret@host:6379/0"},
      {"redis://:secret@host:0/0", "redis://:****@host:0/0"},
      {"redis://ops:secret@/0", "redis://ops:****@/0"},
      {"redis+unix://relative.sock"},
      {"redis+unix:///run/redis.sock?db=x"},
      {"rediss://host/0"},
  };
  for (const auto& c : kNames) {
    try {
      OpenRedisTokenStore(c.name, false);
      ADD_FAILURE() << c.name << " accepted";
    } catch (const TokenStoreError& e) {
      const std::string message = e.what();
      EXPECT_EQ(0u, message.find(std::string(c.shown ? c.shown : c.name) + ": ")) << message;
      EXPECT_EQ(std::string::npos, message.find("cannot connect")) << message;
    }
  }
}

TEST(RedisTokenStorePasswordTest, APasswordIsSentAndNeverShown) {
  RedisServer server({"--requirepass", "secret"});
  if (!server.error().empty()) GTEST_SKIP() << "no Redis server to test with: " << server.error();
  const std::string host = server.Name(1).substr(std::string("redis://").size());
  const auto store = OpenRedisTokenStore("redis://:secret@" + host, true);
  EXPECT_EQ("redis://:****@" + host, store->name());
  EXPECT_EQ(LearnOutcome::kLearned, store->Learn("m1", {kA}, MailClass::kSpam));
  EXPECT_EQ("1/0", Counts(*store, {kA}));

  const struct {
    std::string name;
    const char* error;
  } kRefused[] = {{"redis://:wrong@" + host, "refused the password: WRONGPASS"},
                  {"redis://" + host, "NOAUTH"}};
  for (const auto& c : kRefused) {
    try {
      OpenRedisTokenStore(c.name, false);
      ADD_FAILURE() << c.name << " opened";
    } catch (const TokenStoreError& e) {
      const std::string message = e.what();
      EXPECT_NE(std::string::npos, message.find(c.error)) << message;
      EXPECT_EQ(std::string::npos, message.find("wrong")) << message;
    }
  }
}

}  // namespace
}  // namespace learning
