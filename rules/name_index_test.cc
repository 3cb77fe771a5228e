#include "rules/name_index.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct Named {
  std::string name;
};
std::string_view NameOf(const Named& named) { return named.name; }
using Index = NameIndex<Named, NameOf>;

TEST(NameIndexTest, FindsInsertsRefusesSecondNameAndErases) {
  Index index;
  Named a{"Alpha"}, b{"Beta"}, again{"Alpha"};
  EXPECT_EQ(nullptr, index.Find("Alpha"));
  index.Erase("Alpha");  // absent: nothing happens

  ASSERT_TRUE(index.Insert(&a));
  ASSERT_TRUE(index.Insert(&b));
  EXPECT_FALSE(index.Insert(&again));  // the first one stays
  EXPECT_EQ(&a, index.Find("Alpha"));
  EXPECT_EQ(&b, index.Find("Beta"));
  EXPECT_EQ(nullptr, index.Find("alpha"));  // names are case-sensitive
  EXPECT_EQ(nullptr, index.Find(""));
  EXPECT_EQ(2u, index.size());

  index.Erase("Alpha");
  EXPECT_EQ(nullptr, index.Find("Alpha"));
  EXPECT_EQ(&b, index.Find("Beta"));
  ASSERT_TRUE(index.Insert(&again));
  EXPECT_EQ(&again, index.Find("Alpha"));

  index.Clear();
  EXPECT_EQ(0u, index.size());
  EXPECT_EQ(nullptr, index.Find("Beta"));
}

// Checks an index against a std::map over rounds of random insertions and removals.
void AgreeWithAMap(size_t names, int inserts, int erases, int rounds) {
  std::mt19937 random(static_cast<unsigned>(names));
  std::vector<std::unique_ptr<Named>> pool;
  for (size_t i = 0; i < names; ++i) {
    pool.push_back(std::make_unique<Named>(Named{"R" + std::to_string(i)}));
  }
  Index index;
  std::map<std::string, Named*> model;
  for (int round = 0; round < rounds; ++round) {
    for (int k = 0; k < inserts; ++k) {
      Named* named = pool[random() % pool.size()].get();
      const bool fresh = model.emplace(named->name, named).second;
      ASSERT_EQ(fresh, index.Insert(named)) << named->name;
    }
    for (int k = 0; k < erases; ++k) {
      const std::string& name = pool[random() % pool.size()]->name;
      model.erase(name);
      index.Erase(name);
    }
    ASSERT_EQ(model.size(), index.size());
    for (const auto& named : pool) {
      const auto found = model.find(named->name);
      ASSERT_EQ(found != model.end() ? found->second : nullptr, index.Find(named->name))
          << named->name << " in round " << round;
    }
  }
}

// Growth to thousands of names, and removals from the middle of a run, whose later slots
// must move back or lookups past the gap would stop early.
TEST(NameIndexTest, AgreesWithAMapThroughGrowthAndRemovals) { AgreeWithAMap(3000, 200, 120, 40); }

// A handful of names in 16 or 32 slots: runs often wrap around the end of the slots, and
// a removal there must move back only what may come before its home.
TEST(NameIndexTest, AgreesWithAMapWhenRunsWrapAround) { AgreeWithAMap(40, 5, 5, 4000); }

}  // namespace
