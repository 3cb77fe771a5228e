#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "emlbreaker/array.h"
#include "emlbreaker/map.h"
#include "emlbreaker/strings.h"

namespace ascommon {
namespace {

// Capacities after each of `adds` Adds to an empty array.
template <size_t N>
std::vector<size_t> CapacitiesAfterAdds(int adds) {
  CArray<int, N> array;
  std::vector<size_t> capacities;
  for (int i = 0; i < adds; ++i) {
    EXPECT_EQ(0, array.Add(i));
    capacities.push_back(array.GetCapacity());
  }
  for (int i = 0; i < adds; ++i) EXPECT_EQ(i, array[i]);
  return capacities;
}

TEST(CArrayTest, AddGrowsByWholeChunks) {
  const std::vector<size_t> chunk64 = CapacitiesAfterAdds<64>(130);
  EXPECT_EQ(64u, chunk64[0]);    // the first Add allocates one chunk
  EXPECT_EQ(64u, chunk64[62]);   // 63 elements still fit
  EXPECT_EQ(128u, chunk64[63]);  // the 64th Add (size 63 -> 64) reallocates
  EXPECT_EQ(128u, chunk64[126]);
  EXPECT_EQ(192u, chunk64[127]);
  const std::vector<size_t> chunk1 = CapacitiesAfterAdds<1>(5);
  EXPECT_EQ((std::vector<size_t>{2, 3, 4, 5, 6}), chunk1);  // every Add reallocates
}

TEST(CArrayTest, ConstructionAndSetSizeCapacities) {
  const struct {
    size_t n;
    size_t capacity;
  } kConstruct[] = {{0, 0}, {1, 64}, {63, 64}, {64, 128}, {130, 192}};
  for (const auto& c : kConstruct) {
    CArray<int, 64> array(c.n);
    EXPECT_EQ(c.n, array.GetSize());
    EXPECT_EQ(c.capacity, array.GetCapacity()) << c.n;
    EXPECT_EQ(c.n == 0, array.GetData() == nullptr);
  }

  CArray<int, 8> array(5);
  for (int i = 0; i < 5; ++i) array[i] = i + 1;
  ASSERT_EQ(0, array.SetSize(3, false));  // shrinks: keeps the first three
  EXPECT_EQ(3u, array.GetSize());
  EXPECT_EQ(8u, array.GetCapacity());
  ASSERT_EQ(0, array.SetSize(20, false));  // grows the storage, not the size
  EXPECT_EQ(3u, array.GetSize());
  EXPECT_EQ(24u, array.GetCapacity());
  ASSERT_EQ(0, array.SetSize(17, true));
  EXPECT_EQ(17u, array.GetSize());
  EXPECT_EQ(3, array[2]);
  EXPECT_EQ(0, array[16]);  // new elements are value-initialised
  ASSERT_EQ(0, array.SetSize(0, true));
  EXPECT_EQ(0u, array.GetCapacity());
  EXPECT_EQ(nullptr, array.GetData());
}

TEST(CArrayTest, SizesThatCannotBeAllocatedLeaveTheArrayAlone) {
  CArray<int, 64> huge(SIZE_MAX);
  EXPECT_EQ(nullptr, huge.GetData());
  EXPECT_EQ(0u, huge.GetSize());
  EXPECT_EQ(0u, huge.GetCapacity());
  CArray<int, 64> array(2);
  array[1] = 7;
  EXPECT_EQ(-2, array.SetSize(SIZE_MAX, true));
  EXPECT_EQ(2u, array.GetSize());
  EXPECT_EQ(7, array[1]);
}

struct Counted {
  static int live;
  Counted() { ++live; }
  Counted(const Counted&) { ++live; }
  Counted& operator=(const Counted&) = default;
  ~Counted() { --live; }
};
int Counted::live = 0;

TEST(CArrayTest, ClassElementsFillTheWholeBlock) {
  {
    CArray<Counted, 8> array(3);
    EXPECT_EQ(8, Counted::live);  // constructed in the whole block, not just 3
    ASSERT_EQ(0, array.Add(Counted()));
    EXPECT_EQ(8, Counted::live);
    ASSERT_EQ(0, array.SetSize(9, true));
    EXPECT_EQ(16, Counted::live);
  }
  EXPECT_EQ(0, Counted::live);
}

TEST(CArrayTest, AddingAnOwnElementSurvivesTheReallocation) {
  CArray<sstring, 1> array;
  ASSERT_EQ(0, array.Add(sstring("first")));
  for (int i = 0; i < 4; ++i) ASSERT_EQ(0, array.Add(array[0]));  // reallocates every time
  ASSERT_EQ(5u, array.GetSize());
  for (const sstring& s : array) EXPECT_EQ("first", s.View());
}

TEST(CArrayTest, IndexAtSizeThrows) {
  CArray<int, 64> array(2);
  const CArray<int, 64>& constant = array;
  for (size_t index : {size_t{2}, size_t{3}, SIZE_MAX}) {
    try {
      (void)constant.GetAt(index);
      ADD_FAILURE() << "no exception for index " << index;
    } catch (const ASException& e) {
      EXPECT_EQ(-301, e.GetErrorCode());
      EXPECT_STREQ("Array index out of bounds exception", e.what());
    }
    EXPECT_THROW(array[index] = 1, InvalidIndexException);
    EXPECT_THROW(array.GetAt(index), InvalidIndexException);
  }
  EXPECT_NO_THROW(array.GetAt(1));
}

// Identity hash, so a test chooses the bucket of each key: bucket = key % count.
uint32_t KeyItself(const uint32_t& key) { return key; }

std::string IterationOrder(const CMap<uint32_t, int>& map) {
  std::string order;
  if (map.GetCount() == 0) return order;
  auto position = map.GetStartPosition();
  for (uint32_t i = 0; i < map.GetCount(); ++i) {
    if (i > 0) position.Next();
    order += std::to_string(position.Key()) + " ";
  }
  return order;
}

CMap<uint32_t, int> MapOf(uint32_t buckets, bool ordered, std::vector<uint32_t> keys) {
  CMap<uint32_t, int> map(buckets, KeyItself);
  map.SetOrdered(ordered);
  for (uint32_t key : keys) EXPECT_EQ(0, map.Insert(key, static_cast<int>(key) * 10));
  return map;
}

TEST(CMapTest, ChainsAndIterationOrder) {
  const struct {
    uint32_t buckets;
    bool ordered;
    std::vector<uint32_t> keys;
    const char* order;
  } kCases[] = {
      // Bucket 0 first, then from the last bucket down; chains in insertion order.
      {4, false, {5, 0, 3, 6, 1, 4, 7, 2}, "0 4 3 7 6 2 5 1 "},
      // Ordered chains: each chain ascending whatever the insertion order.
      {4, true, {5, 0, 3, 6, 1, 4, 7, 2}, "0 4 3 7 2 6 1 5 "},
      {4, true, {12, 4, 8, 0}, "0 4 8 12 "},
      // Bucket 0 empty: start at the last non-empty bucket going down.
      {4, false, {1, 2, 3}, "3 2 1 "},
      {5, false, {1, 3}, "3 1 "},
      {1, false, {9, 3, 7}, "9 3 7 "},
  };
  for (const auto& c : kCases) {
    const CMap<uint32_t, int> map = MapOf(c.buckets, c.ordered, c.keys);
    EXPECT_EQ(c.order, IterationOrder(map));
  }
}

TEST(CMapTest, RehashRelinksOldChainsInBucketOrder) {
  CMap<uint32_t, int> map = MapOf(2, false, {3, 2, 1, 0});  // chains [2 0] and [3 1]
  int* value_of_three = map.Lookup(3);
  ASSERT_EQ(0, map.Rehash(0));  // does nothing
  EXPECT_EQ(2u, map.GetBucketCount());
  EXPECT_EQ("2 0 3 1 ", IterationOrder(map));
  ASSERT_EQ(0, map.Rehash(1));  // old bucket 0, then old bucket 1
  EXPECT_EQ("2 0 3 1 ", IterationOrder(map));
  EXPECT_EQ(value_of_three, map.Lookup(3));  // nodes are re-linked, not copied
  ASSERT_EQ(0, map.Rehash(3));
  EXPECT_EQ("0 3 2 1 ", IterationOrder(map));
  CMap<uint32_t, int> ordered = MapOf(2, true, {3, 2, 1, 0});
  ASSERT_EQ(0, ordered.Rehash(1));
  EXPECT_EQ("0 1 2 3 ", IterationOrder(ordered));
  for (uint32_t key = 0; key < 4; ++key) EXPECT_EQ(static_cast<int>(key) * 10, *map.Lookup(key));
}

// Append skips the duplicate search but must link exactly where Insert would, or an
// engine that fills its maps with it would iterate its rules in another order.
TEST(CMapTest, AppendLinksLikeInsertAndRemoveAllKeepsTheBuckets) {
  const std::vector<uint32_t> keys = {5, 0, 3, 6, 1, 4, 7, 2};
  CMap<uint32_t, int> appended(4, KeyItself);
  for (uint32_t key : keys) ASSERT_EQ(0, appended.Append(key, static_cast<int>(key)));
  EXPECT_EQ(IterationOrder(MapOf(4, false, keys)), IterationOrder(appended));
  EXPECT_EQ(8u, appended.GetCount());
  appended.RemoveAll();
  EXPECT_EQ(0u, appended.GetCount());
  EXPECT_EQ(4u, appended.GetBucketCount());
  EXPECT_EQ(nullptr, appended.Lookup(5));
  ASSERT_EQ(0, appended.Append(6, 60));  // chains were emptied, tails included
  ASSERT_EQ(0, appended.Append(2, 20));
  EXPECT_EQ("6 2 ", IterationOrder(appended));

  CMap<uint32_t, int> ordered(4, KeyItself);
  ordered.SetOrdered(true);
  EXPECT_EQ(-2, ordered.Append(1, 1));  // would break the ascending chains
  CMap<uint32_t, int> bucketless(0, nullptr);
  EXPECT_EQ(-2, bucketless.Append(1, 1));
}

TEST(CMapTest, Codes) {
  CMap<uint32_t, int> map;
  EXPECT_EQ(32u, map.GetBucketCount());
  EXPECT_EQ(0, map.Insert(7, 70));
  EXPECT_EQ(-451, map.Insert(7, 71));  // value unchanged
  EXPECT_EQ(70, *map.Lookup(7));
  EXPECT_EQ(0, map.SetAt(7, 72));
  EXPECT_EQ(72, *map.Lookup(7));
  EXPECT_EQ(-450, map.SetAt(8, 80));
  EXPECT_EQ(-450, map.Remove(8));
  EXPECT_EQ(0, map.Remove(7));
  EXPECT_EQ(nullptr, map.Lookup(7));
  EXPECT_EQ(0u, map.GetCount());

  CMap<uint32_t, int> bucketless(0, nullptr);
  EXPECT_EQ(-2, bucketless.Insert(1, 1));
  EXPECT_EQ(-2, bucketless.SetAt(1, 1));
  EXPECT_EQ(-2, bucketless.Remove(1));
  EXPECT_EQ(nullptr, bucketless.Lookup(1));
}

TEST(CMapTest, DefaultIntegerHashPicksTheBucket) {
  // HashInteger evaluated by hand from the mixing steps (x * 0x1001, x ^= x >> 22, ...).
  const struct {
    uint32_t key, hash;
  } kHashes[] = {
      {0, 0}, {1, 0xAF227BB7u}, {2, 0x5E54F76Fu}, {7, 0x6C23E06Eu}, {0xFFFFFFFFu, 0x047D84DFu}};
  for (const auto& h : kHashes) {
    EXPECT_EQ(h.hash, HashInteger(h.key)) << h.key;
    // With 2 buckets the key lands in bucket hash % 2; bucket 0 iterates first.
    CMap<uint32_t, int> map(2, nullptr);
    ASSERT_EQ(0, map.Insert(h.key, 1));
    ASSERT_EQ(0, map.Insert(h.hash % 2 == 0 ? 3u : 6u, 2));  // 3 hashes odd, 6 even
    EXPECT_EQ(h.hash % 2 == 0 ? h.key : 6u, map.GetStartPosition().Key()) << h.key;
  }
  EXPECT_EQ(1u, HashInteger(3) % 2);
  EXPECT_EQ(0u, HashInteger(6) % 2);
}

TEST(CMapTest, StringKeysNeverFindAnUnsetKey) {
  CMap<sstring, int> map;
  ASSERT_EQ(0, map.Insert(sstring("FROM"), 1));
  ASSERT_EQ(0, map.Insert(sstring(""), 2));
  ASSERT_EQ(0, map.Insert(sstring(), 3));
  ASSERT_EQ(0, map.Insert(sstring(), 4));  // not a duplicate: unset never equals unset
  EXPECT_EQ(4u, map.GetCount());
  EXPECT_EQ(nullptr, map.Lookup(sstring()));
  EXPECT_EQ(-450, map.Remove(sstring()));
  EXPECT_EQ(2, *map.Lookup(sstring("")));
  EXPECT_EQ(1, *map.Lookup(sstring("FROM")));
  EXPECT_EQ(nullptr, map.Lookup(sstring("from")));  // sstring keys are case-sensitive

  CMap<usstring, uint64_t> wide(64, nullptr);
  wide.SetOrdered(true);
  for (const char16_t* key : {u"b", u"a", u"c"}) ASSERT_EQ(0, wide.Insert(usstring(key), 1));
  EXPECT_EQ(-451, wide.Insert(usstring(u"a"), 2));
  EXPECT_EQ(1u, *wide.Lookup(usstring(u"c")));
}

}  // namespace
}  // namespace ascommon
