#include "emlbreaker/blackbox.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "emlbreaker/exceptions.h"
#include "framework/base/testing/outcome.h"

namespace ascommon {
namespace {

using emlbtest::Outcome;

class BlackBoxTest : public ::testing::Test {
 protected:
  // Ids 1..5 hold an int, a string, a usstring array, an int array and a long array.
  void SetUp() override {
    const char16_t* wide[] = {u"x", u"y"};
    const int32_t ints[] = {1, 2, 3};
    box.SetInt(5, 1, false);
    box.SetString("text", 2, false);
    box.SetWStringArray(wide, 2, 3, false);
    box.SetIntArray(ints, 3, 4, false);
    box.SetLongArray(ints, 2, 5, false);
  }
  CBlackBox box;
};

TEST_F(BlackBoxTest, FailuresCarryTheirCodesAndLeaveTheEntry) {
  const char* texts[] = {"a"};
  const double doubles[] = {1.5};
  const struct {
    const char* what;
    std::function<void()> operation;
    const char* outcome;
  } kCases[] = {
      {"int over int, no overwrite", [&] { box.SetInt(6, 1, false); },
       "-502 Problems adding the value"},
      {"bool over int, no overwrite", [&] { box.SetBool(true, 1, false); },
       "-502 Problems adding the value"},
      {"string over int", [&] { box.SetString("s", 1, true); }, "-500 Problmes adding the buffer"},
      {"wide string over int", [&] { box.SetWString(u"s", 1, true); },
       "-500 Problems adding the buffer"},
      {"string over string, no overwrite", [&] { box.SetString("s", 2, false); },
       "-502 Problmes adding the buffer"},
      {"int over string", [&] { box.SetInt(1, 2, true); }, "-500 Problems adding the value"},
      {"string array over int", [&] { box.SetStringArray(texts, 1, 1, true); },
       "-500 Problems adding the array"},
      {"string array over array, no overwrite", [&] { box.SetStringArray(texts, 1, 3, false); },
       "-502 Problems adding the array"},
      {"double array over string", [&] { box.SetDoubleArray(doubles, 1, 2, true); },
       "-500 Could not add to bb"},
      {"int from absent id", [&] { box.GetInt(99); }, "-501 No object with that id or other type"},
      {"int from string", [&] { box.GetInt(2); }, "-501 No object with that id or other type"},
      {"double from int", [&] { box.GetDouble(1); }, "-501 No object with that id or other type"},
      {"string from int", [&] { box.GetString(1); }, "-501 No object with that id ot other type"},
      {"wide string from string", [&] { box.GetWString(2); },
       "-501 No object with that id ot other type"},
      {"string array from absent id", [&] { box.GetStringArray(nullptr, 99); },
       "-501 No object with that id"},
      {"string array from wide array", [&] { box.GetStringArray(nullptr, 3); },
       "-501 No object with that id"},
      {"string array from int array", [&] { box.GetStringArray(nullptr, 4); },
       "-501 No object with that id"},
      {"int array from absent id", [&] { box.GetIntArray(nullptr, 99); },
       "-501 No object with that id"},
      {"int array from int", [&] { box.GetIntArray(nullptr, 1); }, "-501 No object with that id"},
      {"int array from wide array", [&] { box.GetIntArray(nullptr, 3); },
       "-501 Object with the id is of other type"},
      {"int array from long array", [&] { box.GetIntArray(nullptr, 5); },
       "-501 Object with the id is of other type"},
      {"long array from int array", [&] { box.GetLongArray(nullptr, 4); },
       "-501 Object with the id is of other type"},
      {"double array from int array", [&] { box.GetDoubleArray(nullptr, 4); },
       "-501 Object with the id is of other type"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.outcome, Outcome(c.operation));
    EXPECT_EQ(5, box.GetInt(1));
    EXPECT_STREQ("text", box.GetString(2));
    EXPECT_EQ(2u, box.GetWStringArray(nullptr, 3));
    EXPECT_EQ(3u, box.GetIntArray(nullptr, 4));
  }
}

TEST_F(BlackBoxTest, OverwriteAcrossScalarTypes) {
  box.SetDouble(2.5, 1, true);  // an int and a double are both BBE_VALUE
  EXPECT_EQ(2.5, box.GetDouble(1));
  box.SetBool(true, 1, true);
  EXPECT_TRUE(box.GetBool(1));
  EXPECT_EQ("-501 No object with that id or other type", Outcome([&] { box.GetInt64(1); }));
  box.SetInt64(-(int64_t{1} << 40), 1, true);
  EXPECT_EQ(-(int64_t{1} << 40), box.GetInt64(1));
  box.SetULong(4000000000u, 6, false);
  EXPECT_EQ(4000000000u, box.GetULong(6));
  box.SetFloat(0.25f, 7, false);
  EXPECT_EQ(0.25f, box.GetFloat(7));
  EXPECT_EQ(0.25f, *static_cast<float*>(box.GetValuePointer(7)));
  EXPECT_EQ(nullptr, box.GetValuePointer(2));
  box.SetString("new", 2, true);
  EXPECT_STREQ("new", box.GetString(2));
  EXPECT_STREQ("new", box.GetStringObject(2)->c_str());
}

TEST_F(BlackBoxTest, ArraysAreCopiesReadBack) {
  char first[] = "alpha";
  const char* texts[] = {first, "beta"};
  box.SetStringArray(texts, 2, 10, false);
  first[0] = 'X';                                  // the box holds its own copy
  EXPECT_EQ(2u, box.GetStringArray(nullptr, 10));  // a null output answers the count
  const char* out[2] = {};
  ASSERT_EQ(2u, box.GetStringArray(out, 10));
  EXPECT_STREQ("alpha", out[0]);
  EXPECT_STREQ("beta", out[1]);
  const char16_t* wide[2] = {};
  ASSERT_EQ(2u, box.GetWStringArray(wide, 3));
  EXPECT_EQ(std::u16string_view(u"y"), wide[1]);

  const double doubles[] = {0.5, -1.0, 3.0};
  box.SetDoubleArray(doubles, 3, 11, false);
  double read[3] = {};
  ASSERT_EQ(3u, box.GetDoubleArray(read, 11));
  EXPECT_EQ(-1.0, read[1]);
  int32_t ints[3] = {};
  ASSERT_EQ(3u, box.GetIntArray(ints, 4));
  EXPECT_EQ(3, ints[2]);
  as_long longs[2] = {};
  ASSERT_EQ(2u, box.GetLongArray(longs, 5));
  EXPECT_EQ(2, longs[1]);
  box.SetULongArray(nullptr, 0, 12, false);
  EXPECT_EQ(0u, box.GetULongArray(nullptr, 12));

  // An array a module stores itself reads back through the getters too.
  auto* own = new CArray<int32_t, 64>();
  own->Add(42);
  ASSERT_EQ(0, box.SetObject(own, 13, false));
  ASSERT_EQ(1u, box.GetIntArray(ints, 13));
  EXPECT_EQ(42, ints[0]);
  EXPECT_EQ(1u, box.GetLongArray(nullptr, 13));
}

// Counts destructions of the objects a test hands to the box.
class Tracked : public CBlackBoxObject {
 public:
  explicit Tracked(int* destroyed) : destroyed_(destroyed) {}
  ~Tracked() override { ++*destroyed_; }

 private:
  int* destroyed_;
};

TEST(BlackBoxOwnershipTest, OwnedObjectsAreDestroyedExactlyOnce) {
  int destroyed = 0;
  Tracked referenced(&destroyed);
  {
    CBlackBox box;
    auto* first = new Tracked(&destroyed);
    ASSERT_EQ(0, box.SetObject(first, 1, false));
    ASSERT_EQ(0, box.SetObject(first, 1, true));  // the same object again: kept
    EXPECT_EQ(0, destroyed);
    ASSERT_EQ(0, box.SetObject(new Tracked(&destroyed), 1, true));  // overwrite
    EXPECT_EQ(1, destroyed);

    Tracked* refused = new Tracked(&destroyed);
    EXPECT_EQ(-502, box.SetObject(refused, 1, false));  // the caller keeps it
    box.SetInt(3, 2, false);
    EXPECT_EQ(-500, box.SetObject(refused, 2, true));
    EXPECT_EQ(1, destroyed);
    delete refused;
    EXPECT_EQ(2, destroyed);

    ASSERT_EQ(0, box.SetReference(&referenced, 3));
    EXPECT_EQ(-502, box.SetReference(&referenced, 3));  // no throw
    EXPECT_EQ(-502, box.SetReference(&referenced, 1));
    EXPECT_EQ(&referenced, box.GetReference(3));
    EXPECT_EQ(&referenced, box.GetReferenceConst(3));
    EXPECT_EQ(nullptr, box.GetReference(1));  // an object is not a reference
    EXPECT_EQ(nullptr, box.GetObject(3));
    box.Remove(3);   // a removed reference leaves its object alive
    box.Remove(99);  // absent: nothing happens
    EXPECT_EQ(2, destroyed);

    ASSERT_EQ(0, box.SetObject(new Tracked(&destroyed), 4, false));
    box.Remove(4);
    EXPECT_EQ(3, destroyed);
    EXPECT_EQ(nullptr, box.GetObject(4));

    // Enough entries to fill every bucket of the box; all go with the box.
    for (uint32_t id = 100; id < 1100; ++id) {
      ASSERT_EQ(0, box.SetObject(new Tracked(&destroyed), id, false));
    }
    ASSERT_EQ(0, box.Rehash(7));
    ASSERT_EQ(0, box.SetReference(&referenced, 5));
  }
  EXPECT_EQ(3 + 1 + 1000, destroyed);  // the one left under id 1, and the thousand
}

}  // namespace
}  // namespace ascommon
