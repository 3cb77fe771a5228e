// The embedded token store: learning, relearning and forgetting keep the counts and totals
// right, the file keeps them across opens, and a reader racing the learner always sees
// whole mails.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "engines/token_store.h"

namespace {

namespace fs = std::filesystem;
using learning::LearnOutcome;
using learning::MailClass;
using learning::TokenCounts;
using learning::TokenHash;

std::vector<TokenCounts> Look(learning::TokenStore& store, const std::vector<TokenHash>& tokens) {
  std::vector<TokenCounts> counts;
  store.Lookup(tokens, &counts);
  return counts;
}

class TokenStoreLmdbTest : public testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = std::getenv("TMPDIR");
    dir_ = fs::path(tmp != nullptr && *tmp != 0 ? tmp : "/tmp") /
           ("token-store-test-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    path_ = (dir_ / "tokens.lmdb").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
  std::string path_;
};

TEST_F(TokenStoreLmdbTest, LearnRelearnForget) {
  auto store = learning::OpenTokenStore(path_, true);
  EXPECT_EQ(LearnOutcome::kLearned, store->Learn("mail-a", {1, 2, 3}, MailClass::kSpam));
  EXPECT_EQ(LearnOutcome::kLearned, store->Learn("mail-b", {2, 3, 4}, MailClass::kSpam));
  EXPECT_EQ(LearnOutcome::kLearned, store->Learn("mail-c", {3, 5}, MailClass::kHam));
  EXPECT_EQ(LearnOutcome::kAlready, store->Learn("mail-a", {1, 2, 3}, MailClass::kSpam));
  EXPECT_EQ(MailClass::kSpam, store->Learned("mail-a"));
  EXPECT_EQ(MailClass::kNone, store->Learned("mail-z"));

  std::vector<TokenCounts> counts = Look(*store, {1, 2, 3, 4, 5, 6});
  const std::vector<std::pair<uint32_t, uint32_t>> expected = {
      {1, 0}, {2, 0}, {2, 1}, {1, 0}, {0, 1}, {0, 0}};
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(expected[i].first, counts[i].spam) << i;
    EXPECT_EQ(expected[i].second, counts[i].ham) << i;
  }
  learning::StoreTotals totals = store->Totals();
  EXPECT_EQ(2u, totals.spamMails);
  EXPECT_EQ(1u, totals.hamMails);
  EXPECT_EQ(5u, totals.tokens);

  // Reported as the other class: its counts move.
  EXPECT_EQ(LearnOutcome::kRelearned, store->Learn("mail-a", {1, 2, 3}, MailClass::kHam));
  counts = Look(*store, {1, 2, 3});
  EXPECT_EQ(0u, counts[0].spam);
  EXPECT_EQ(1u, counts[0].ham);
  EXPECT_EQ(1u, counts[1].spam);
  EXPECT_EQ(1u, counts[2].spam);
  EXPECT_EQ(2u, counts[2].ham);
  totals = store->Totals();
  EXPECT_EQ(1u, totals.spamMails);
  EXPECT_EQ(2u, totals.hamMails);

  // Forgotten: the tokens only it had go.
  EXPECT_EQ(LearnOutcome::kForgotten, store->Learn("mail-a", {1, 2, 3}, MailClass::kNone));
  EXPECT_EQ(LearnOutcome::kUnknown, store->Learn("mail-a", {1, 2, 3}, MailClass::kNone));
  counts = Look(*store, {1});
  EXPECT_EQ(0u, counts[0].spam + counts[0].ham);
  totals = store->Totals();
  EXPECT_EQ(1u, totals.spamMails);
  EXPECT_EQ(1u, totals.hamMails);
  EXPECT_EQ(4u, totals.tokens);  // 2, 3, 4, 5

  // The file keeps it all; a read-only store refuses to learn.
  store.reset();
  auto reader = learning::OpenTokenStore(path_, false);
  EXPECT_EQ(4u, reader->Totals().tokens);
  EXPECT_EQ(MailClass::kSpam, reader->Learned("mail-b"));
  EXPECT_THROW(reader->Learn("mail-d", {7}, MailClass::kSpam), learning::TokenStoreError);

  // Learned again from scratch under the same name: the open store says so.
  EXPECT_FALSE(reader->Replaced());
  fs::remove(path_);
  fs::remove(path_ + "-lock");
  EXPECT_TRUE(reader->Replaced());
  learning::OpenTokenStore(path_, true)->Learn("mail-e", {8}, MailClass::kHam);
  EXPECT_TRUE(reader->Replaced());
  EXPECT_FALSE(learning::OpenTokenStore(path_, false)->Replaced());
}

TEST_F(TokenStoreLmdbTest, MissingStoreIsNamedInTheError) {
  const std::string missing = (dir_ / "none.lmdb").string();
  try {
    learning::OpenTokenStore(missing, false);
    FAIL() << "opened a store that does not exist";
  } catch (const learning::TokenStoreError& e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find(missing)) << e.what();
  }
  EXPECT_FALSE(fs::exists(missing));
  EXPECT_THROW(learning::OpenTokenStore("", false), learning::TokenStoreError);
}

// Every mail has tokens 1 and 2 (and one of its own): a reader that ever sees their counts
// differ, or the totals run behind a token's count, saw half a mail.
// The reader runs both ways: from its copy of the table (renewed whenever it finds newer
// learning) and from the file itself.
void RaceReadersWithLearner(const std::string& path, const learning::LmdbReadOptions& options) {
  auto writer = learning::OpenTokenStore(path, true);
  auto reader = learning::OpenLmdbTokenStore(path, false, options);
  constexpr int kMails = 300;
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::atomic<int> reads{0};
  auto read = [&] {
    std::vector<TokenCounts> counts;
    while (!done) {
      reader->Lookup({1, 2}, &counts);
      if (counts[0].spam != counts[1].spam || counts[0].ham != counts[1].ham) ++torn;
      const learning::StoreTotals totals = reader->Totals();
      // Read after the lookup: the totals can only be ahead.
      if (totals.spamMails + totals.hamMails < counts[0].spam + counts[0].ham) ++torn;
      ++reads;
    }
  };
  std::thread first(read);
  std::thread second(read);
  for (int i = 0; i < kMails; ++i) {
    const TokenHash own = 1000 + i;
    writer->Learn("mail-" + std::to_string(i), {1, 2, own},
                  i % 3 == 0 ? MailClass::kHam : MailClass::kSpam);
    if (i % 2 == 1) {
      writer->Learn("mail-" + std::to_string(i - 1), {1, 2, own - 1},
                    i % 3 == 1 ? MailClass::kHam : MailClass::kSpam);
    }
  }
  done = true;
  first.join();
  second.join();
  EXPECT_EQ(0, torn.load());
  EXPECT_GT(reads.load(), 0);
  const learning::StoreTotals totals = reader->Totals();
  EXPECT_EQ(static_cast<uint64_t>(kMails), totals.spamMails + totals.hamMails);
  std::vector<TokenCounts> counts;
  reader->Lookup({1}, &counts);
  EXPECT_EQ(totals.spamMails, counts[0].spam);
  EXPECT_EQ(totals.hamMails, counts[0].ham);
}

TEST_F(TokenStoreLmdbTest, ConcurrentReadersSeeWholeMailsWhileOneLearns) {
  learning::LmdbReadOptions copied;
  copied.refreshMs = 0;
  RaceReadersWithLearner(path_, copied);
  fs::remove(path_);
  fs::remove(path_ + "-lock");
  learning::LmdbReadOptions direct;
  direct.maxCopiedTokens = 0;
  RaceReadersWithLearner(path_, direct);
}

// A copy is renewed only when due, then shows what was learned meanwhile; a table grown
// past the limit is read directly from then on.
TEST_F(TokenStoreLmdbTest, CopyIsRenewedWhenDueAndDroppedWhenTooLarge) {
  auto writer = learning::OpenTokenStore(path_, true);
  writer->Learn("a", {1, 2}, MailClass::kSpam);
  learning::LmdbReadOptions slow;
  slow.refreshMs = 60 * 60 * 1000;
  slow.maxCopiedTokens = 3;
  auto reader = learning::OpenLmdbTokenStore(path_, false, slow);
  EXPECT_EQ(1u, reader->Totals().spamMails);
  writer->Learn("b", {1, 3}, MailClass::kHam);
  EXPECT_EQ(0u, reader->Totals().hamMails);  // the copy is not due yet
  EXPECT_EQ(0u, Look(*reader, {3})[0].ham);
  learning::LmdbReadOptions quick = slow;
  quick.refreshMs = 0;
  auto renewing = learning::OpenLmdbTokenStore(path_, false, quick);
  EXPECT_EQ(1u, renewing->Totals().spamMails);
  writer->Learn("c", {4}, MailClass::kHam);
  EXPECT_EQ(2u, renewing->Totals().hamMails);
  EXPECT_EQ(1u, Look(*renewing, {4})[0].ham);
  writer->Learn("d", {5, 6}, MailClass::kSpam);  // 5 tokens now: past the limit
  const std::vector<TokenCounts> counts = Look(*renewing, {1, 5, 6, 7});
  EXPECT_EQ(1u, counts[0].spam);
  EXPECT_EQ(1u, counts[0].ham);
  EXPECT_EQ(1u, counts[1].spam);
  EXPECT_EQ(1u, counts[2].spam);
  EXPECT_EQ(0u, counts[3].spam);
}


}  // namespace
