#include "emlbreaker/strings.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>

namespace ascommon {
namespace {

// What each comparison operator answers for a pair; 'U' stands for an unset string.
std::string Relations(const sstring& a, const sstring& b) {
  return std::string(a == b ? "==" : "") + (a != b ? "!=" : "") + (a < b ? "<" : "");
}

TEST(SstringTest, ComparisonWithUnsetStrings) {
  const sstring unset1, unset2, empty(""), a("a"), b("b");
  const struct {
    const sstring& left;
    const sstring& right;
    const char* relations;
  } kCases[] = {
      {unset1, unset2, ""},    // two unset strings: neither == nor !=
      {unset1, unset1, "=="},  // an object equals itself
      {unset1, a, "!=<"},      // exactly one side unset: != and <, whichever side
      {a, unset1, "!=<"},
      {empty, unset1, "!=<"},  // empty is set
      {empty, a, "!=<"},
      {a, b, "!=<"},
      {b, a, "!="},
      {a, sstring("a"), "=="},
      {sstring("\xE9"), sstring("z"), "!="},  // unsigned bytes: 0xE9 sorts after 'z'
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.left.c_str()) + " vs " + c.right.c_str());
    EXPECT_EQ(c.relations, Relations(c.left, c.right));
  }
}

TEST(SstringTest, CompareCodes) {
  const sstring unset, abc("abc"), upper("ABC");
  EXPECT_EQ(-3, unset.Compare(abc, false));
  EXPECT_EQ(-3, unset.Compare("abc", false));
  EXPECT_EQ(-2, abc.Compare(unset, false));
  EXPECT_EQ(-2, abc.Compare(static_cast<const char*>(nullptr), false));
  EXPECT_EQ(1, abc.Compare(upper, false));
  EXPECT_EQ(0, abc.Compare(upper, true));
  EXPECT_EQ(-1, abc.Compare("abcd", true));
  EXPECT_EQ(1, sstring("\x80").Compare("\x7F", false));
  EXPECT_EQ(-1, sstring("\xC9").Compare("\xE9", true));  // only ASCII letters fold
}

TEST(StringHashTest, MatchesTheHandComputedValues) {
  // h = 5381 = 0x1505; 5381 * 33 = 0x2B5A5, then XOR the unit.
  EXPECT_EQ(0u, sstring().Hash());
  EXPECT_EQ(0u, sstring("").Hash());
  EXPECT_EQ(0x2B5C4u, sstring("a").Hash());        // 0x2B5A5 ^ 0x61
  EXPECT_EQ(0x596E26u, sstring("ab").Hash());      // 0x2B5C4 * 33 ^ 0x62
  EXPECT_EQ(0xFFFD4A4Cu, sstring("\xE9").Hash());  // 0x2B5A5 ^ 0xFFFFFFE9 (signed)
  EXPECT_EQ(0xF478C979u, sstring("a\xFF"
                                 "b")
                             .Hash());
  EXPECT_EQ(0u, usstring(u"").Hash());
  EXPECT_EQ(0x2B54Cu, usstring(u"\u00E9").Hash());  // 0x2B5A5 ^ 0xE9 (unsigned)
  EXPECT_EQ(0x598D9Bu, usstring(u"A\uFFFF").Hash());
}

TEST(SstringTest, ConstructionAndFill) {
  EXPECT_FALSE(sstring(static_cast<const char*>(nullptr)).IsSet());
  const sstring cut("ab\0cd", 5);  // copies up to the first 0
  EXPECT_EQ(2u, cut.Length());
  EXPECT_EQ("ab", cut.View());
  EXPECT_EQ("abc", sstring("abcdef", 3).View());

  sstring s("xyz");
  EXPECT_EQ(0, s.Fill(0, 'q'));  // does nothing
  EXPECT_EQ("xyz", s.View());
  ASSERT_EQ(0, s.Fill(4, 'q'));
  EXPECT_EQ("qqqq", s.View());
  EXPECT_EQ(5u, s.Capacity());
  ASSERT_EQ(0, s.Fill(8, '\0'));  // a zeroed scratch buffer
  EXPECT_EQ(0u, s.Length());
  EXPECT_EQ(8u, s.Capacity());
  std::memcpy(s.GetBuffer(), "12345678", 8);  // filled to the brim: still terminated
  s.UpdateLength();
  EXPECT_EQ("12345678", s.View());
  const sstring copy(s);  // copies the whole capacity
  EXPECT_EQ(8u, copy.Capacity());
  EXPECT_EQ("12345678", copy.View());

  EXPECT_EQ(-2, s.Fill(SIZE_MAX, 'a'));  // cannot be allocated: unchanged
  EXPECT_EQ(-2, s.GetError());
  EXPECT_EQ("12345678", s.View());
}

TEST(SstringTest, AppendAndConcatenation) {
  sstring s;
  ASSERT_EQ(0, s.Append("ab"));  // appending to unset assigns
  ASSERT_EQ(0, s.Append(s));     // the source may be the string itself
  EXPECT_EQ("abab", s.View());
  EXPECT_EQ(5u, s.Capacity());  // exactly the joined length plus the terminator
  ASSERT_EQ(0, s.Assign("x"));
  EXPECT_EQ("x", s.View());
  ASSERT_EQ(0, s.Assign(nullptr));
  EXPECT_FALSE(s.IsSet());

  EXPECT_FALSE((sstring() + sstring()).IsSet());
  EXPECT_FALSE((sstring("") + sstring()).IsSet());
  EXPECT_EQ("b", (sstring() + sstring("b")).View());
  EXPECT_EQ("ab", (sstring("a") + sstring("b")).View());
}

TEST(StringSearchTest, FindsFirstAndLastOccurrences) {
  using Search = bool (*)(const sstring&, size_t*);
  const struct {
    const char* what;
    Search search;
    bool found;
    size_t pos;
  } kCases[] = {
      {"Find", [](const sstring& s, size_t* p) { return s.Find("text", p); }, true, 25},
      {"Find from", [](const sstring& s, size_t* p) { return s.Find("text", p, 26); }, false, 0},
      {"Find empty", [](const sstring& s, size_t* p) { return s.Find("", p, 3); }, true, 3},
      {"FindNoCase", [](const sstring& s, size_t* p) { return s.FindNoCase("text", p); }, true, 14},
      {"FindNoCase from", [](const sstring& s, size_t* p) { return s.FindNoCase("tEXT", p, 15); },
       true, 25},
      {"FindChar", [](const sstring& s, size_t* p) { return s.FindChar('t', p); }, true, 3},
      {"FindChar from", [](const sstring& s, size_t* p) { return s.FindChar('t', p, 8); }, true,
       20},
      {"ReverseFindChar", [](const sstring& s, size_t* p) { return s.ReverseFindChar('t', p); },
       true, 28},
      {"Find null", [](const sstring& s, size_t* p) { return s.Find(nullptr, p); }, false, 0},
      {"FindChar 0", [](const sstring& s, size_t* p) { return s.FindChar('\0', p); }, false, 0},
  };
  const sstring header("Content-Type: TEXT/html; text");
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    size_t pos = SIZE_MAX;
    EXPECT_EQ(c.found, c.search(header, &pos));
    if (c.found) {
      EXPECT_EQ(c.pos, pos);
    }
    EXPECT_FALSE(c.search(sstring(), &pos));  // an unset string finds nothing
  }
}

// The case-insensitive and wide searches against std::string::find over every
// haystack and needle of a small alphabet, where overlaps and partial matches abound.
TEST(StringSearchTest, AgreesWithStdFindOnAllShortInputs) {
  auto word = [](unsigned code, unsigned length) {
    std::string text;
    for (unsigned i = 0; i < length; ++i, code /= 3) text += "aAb"[code % 3];
    return text;
  };
  auto lower = [](std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  };
  for (unsigned hay_len = 0, combos = 1; hay_len <= 7; ++hay_len, combos *= 3) {
    for (unsigned h = 0; h<combos; h += hay_len> 5 ? 7 : 1) {
      const std::string hay = word(h, hay_len);
      for (unsigned m = 1; m <= 4; ++m) {
        for (unsigned n = 0; n < 81; n += 1 + (m > 3)) {
          const std::string needle = word(n, m);
          size_t pos = 0;
          const size_t folded = lower(hay).find(lower(needle));
          ASSERT_EQ(folded != std::string::npos,
                    sstring(hay.c_str()).FindNoCase(needle.c_str(), &pos))
              << hay << " / " << needle;
          if (folded != std::string::npos) {
            ASSERT_EQ(folded, pos);
          }
          const std::u16string wide_hay(hay.begin(), hay.end());
          const std::u16string wide_needle(needle.begin(), needle.end());
          const size_t exact = hay.find(needle);
          ASSERT_EQ(exact != std::string::npos,
                    usstring(wide_hay.c_str()).Find(wide_needle.c_str(), &pos));
          if (exact != std::string::npos) {
            ASSERT_EQ(exact, pos);
          }
        }
      }
    }
  }
}

TEST(UsstringTest, IgnoreCaseFollowsTheLeftOperand) {
  usstring folding(u"\u00C9T\u00C9 \u0416");  // "ÉTÉ Ж"
  folding.SetIgnoreCase(true);
  const usstring exact(u"\u00E9t\u00E9 \u0436");  // "été ж"
  EXPECT_TRUE(folding == exact);
  EXPECT_FALSE(folding != exact);
  EXPECT_FALSE(exact == folding);  // the right operand's flag does not count
  EXPECT_TRUE(exact > folding);    // by unsigned units: 0xE9 > 0xC9
  EXPECT_FALSE(folding < exact);

  usstring copy(folding);
  EXPECT_TRUE(copy.IgnoreCase());
  usstring assigned;
  assigned = folding;
  EXPECT_TRUE(assigned.IgnoreCase());
  EXPECT_FALSE(usstring() > exact);
  EXPECT_FALSE(exact > usstring());
  EXPECT_TRUE(usstring() < exact);
}

TEST(FoldCase16Test, SimpleLowerCasing) {
  const struct {
    char16_t upper, lower;
  } kPairs[] = {{u'A', u'a'},           {u'Z', u'z'},           {u'\u00C0', u'\u00E0'},
                {u'\u00DE', u'\u00FE'}, {u'\u0100', u'\u0101'}, {u'\u0139', u'\u013A'},
                {u'\u0178', u'\u00FF'}, {u'\u0130', u'i'},      {u'\u0391', u'\u03B1'},
                {u'\u0386', u'\u03AC'}, {u'\u0401', u'\u0451'}, {u'\u042F', u'\u044F'}};
  for (const auto& p : kPairs) {
    EXPECT_EQ(p.lower, FoldCase16(p.upper)) << std::hex << int{p.upper};
    EXPECT_EQ(p.lower, FoldCase16(p.lower)) << std::hex << int{p.lower};
  }
  for (char16_t same : {u'\u00D7', u'\u00DF', u'@', u'[', u'\u4E2D'}) {
    EXPECT_EQ(same, FoldCase16(same));
  }
}

TEST(StringConversionTest, StrictUtf8AndUtf16) {
  const struct {
    const char* utf8;
    const char16_t* utf16;  // null: the text does not convert
  } kCases[] = {
      {"", u""},
      {"plain", u"plain"},
      {"\xC3\xA9t\xC3\xA9", u"\u00E9t\u00E9"},
      {"\xE2\x82\xAC", u"\u20AC"},
      {"\xF0\x9F\x98\x80", u"\U0001F600"},  // a surrogate pair
      {"\xC0\x80", nullptr},                // overlong
      {"\xE0\x80\xAF", nullptr},            // overlong
      {"\xED\xA0\x80", nullptr},            // a surrogate encoded in UTF-8
      {"\xF4\x90\x80\x80", nullptr},        // above U+10FFFF
      {"\xC3", nullptr},                    // truncated
      {"a\x80", nullptr},                   // stray continuation byte
      // An ASCII run, then not; then truncated after one.
      {"Re: caf\xC3\xA9 ok", u"Re: caf\u00E9 ok"},
      {"Subject\xF0\x9F", nullptr},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.utf8);
    const usstring wide{sstring(c.utf8)};
    ASSERT_EQ(c.utf16 != nullptr, wide.IsSet());
    if (c.utf16 == nullptr) continue;
    EXPECT_EQ(std::u16string_view(c.utf16), wide.View());
    EXPECT_EQ(std::string_view(c.utf8), sstring(wide).View());
  }
  EXPECT_FALSE(sstring(usstring(u"a\xD800")).IsSet());  // unpaired high surrogate
  EXPECT_FALSE(sstring(usstring(u"\xDC00z")).IsSet());  // lone low surrogate
  EXPECT_FALSE(usstring(sstring()).IsSet());
}

TEST(StringCaseTest, OnlyAsciiLettersChange) {
  sstring s("Hello \xC3\x89W\xE9[Z]");
  s.MakeLower();
  EXPECT_EQ("hello \xC3\x89w\xE9[z]", s.View());
  s.MakeUpper();
  EXPECT_EQ("HELLO \xC3\x89W\xE9[Z]", s.View());
}

}  // namespace
}  // namespace ascommon
