#include "rules/regex_prefilter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

using Literals = CRegexPrefilter::Literals;

Literals Read(const char* pattern, bool caseless = true) {
  return CRegexPrefilter::RequiredLiterals(pattern, caseless);
}

bool May(const CRegexPrefilter& prefilter, int id, const std::string& text) {
  CRegexPrefilter::TextTable table;
  prefilter.Tabulate(text.data(), text.size(), &table);
  return prefilter.MayMatch(id, table);
}

// A literal the reader claims must be in every match of the pattern. Claiming too much
// loses hits, so each case names what PCRE2 can match without it.
TEST(RegexPrefilterTest, ReadsOnlyLiteralsEveryMatchHolds) {
  EXPECT_EQ(Literals({"unsubscribe"}), Read("\\bunsubscribe\\b", false));
  EXPECT_EQ(Literals({"unsubscribe"}), Read("Unsubscribe"));
  // "u?" may be absent; "e+" is there at least once; "{0,3}" may be absent.
  EXPECT_EQ(Literals({"colo"}), Read("colou?r", false));
  EXPECT_EQ(Literals({"free"}), Read("free+dom", false));
  EXPECT_EQ(Literals({"opt"}), Read("opt\\W{0,3}out", false));
  // What every link holds tells nothing: a URL pattern is known by its other literals.
  EXPECT_EQ(Literals({"exe", "scr"}), Read("^https?://[^?#]*\\.(exe|scr)([?#]|$)", false));
  EXPECT_EQ(Literals({"http"}), Read("^https?://", false));
  // Alternatives: one literal per branch, or nothing when a branch has none.
  EXPECT_EQ(Literals({"viagra", "cialis"}), Read("(?:viagra|cialis) now", false));
  EXPECT_EQ(Literals({" now"}), Read("(?:viagra|cialis)? now", false));
  EXPECT_EQ(Literals(), Read("viagra|\\d+", false));
  // Look-arounds and classes hold nothing required; the text after them still counts.
  EXPECT_EQ(Literals({"click here"}), Read("(?!no )click here", false));
  EXPECT_EQ(Literals({"gratuit"}), Read("[0-9\\]]gratuit", false));
  // Case-sensitive letters compare without case; a caseless accented letter ends a run.
  EXPECT_EQ(Literals({"caf\xC3\xa9"}), Read("CAF\xC3\xa9", false));
  EXPECT_EQ(Literals({"caf"}), Read("caf\xC3\xa9"));
}

TEST(RegexPrefilterTest, GivesUpOnWhatItDoesNotRead) {
  for (const char* pattern : {"(?i)FREE money", "(?x) free money", "(\\w+) \\1 again",
                              "\\Qa.b\\E text", "\\x41bc", "a{,3}bcd", "(unclosed",
                              "stray) text", "(*UTF)money"}) {
    EXPECT_EQ(Literals(), Read(pattern, false)) << pattern;
  }
  // A caseless flag turned off is only stricter.
  EXPECT_EQ(Literals({"money"}), Read("(?-i)money", false));
}

TEST(RegexPrefilterTest, SkipsOnlyTextsThatLackALiteral) {
  CRegexPrefilter prefilter;
  const int id = prefilter.Add("\\b(?:viagra|cialis)\\b", true);
  const int none = prefilter.Add("\\d+", false);
  // "agra" ends inside "viagra", "via" starts it: the automaton reports both.
  const int suffix = prefilter.Add("agra", true);
  const int prefix = prefilter.Add("via\\b", true);
  // Caseless k and s have non-ASCII partners (the Kelvin sign, the long s): a text that
  // holds one lets the patterns whose literals have a k or an s run.
  const int ks = prefilter.Add("\\bsex\\b", true);
  const int plain = prefilter.Add("\\bviagra\\b", true);  // neither k nor s
  ASSERT_GE(id, 0);
  EXPECT_EQ(-1, none);
  // Until the automaton is built every pattern may match.
  EXPECT_TRUE(May(prefilter, plain, "nothing"));
  prefilter.Finish();
  EXPECT_EQ(-1, prefilter.Add("\\bmortgage\\b", true));  // too late: always runs

  EXPECT_TRUE(May(prefilter, id, "buy CIALIS today"));
  EXPECT_TRUE(May(prefilter, id, "buy ViAgRa today"));
  EXPECT_TRUE(May(prefilter, id, "viagra"));
  EXPECT_FALSE(May(prefilter, id, "buy nothing today"));
  EXPECT_FALSE(May(prefilter, id, "via agra viagr ciali s"));
  EXPECT_FALSE(May(prefilter, id, "ali cia ial lis"));
  EXPECT_FALSE(May(prefilter, id, ""));
  EXPECT_TRUE(May(prefilter, suffix, "buy viagra"));
  EXPECT_TRUE(May(prefilter, prefix, "buy viagra"));
  EXPECT_FALSE(May(prefilter, suffix, "vi agr a"));

  EXPECT_FALSE(May(prefilter, ks, "nothing"));
  EXPECT_TRUE(May(prefilter, ks, " \xC5\xBF" "ex"));
  EXPECT_TRUE(May(prefilter, id, " \xE2\x84\xAA" " nothing"));
  EXPECT_FALSE(May(prefilter, plain, " \xE2\x84\xAA" " nothing"));
}

// A branch needs all of its literals, not only its most telling one; each branch of a
// group that is all there is to a branch is a branch of its own.
TEST(RegexPrefilterTest, ABranchNeedsAllItsLiterals) {
  using Requirement = CRegexPrefilter::Requirement;
  EXPECT_EQ((Requirement{{{"order "}, {"now"}}, {{"order "}, {"today"}}, {{"act now"}}}),
            CRegexPrefilter::Required("\\b(?:order (now|today)\\b|act now\\b)", true));
  // Two groups in a branch would multiply: the branch keeps one list per group.
  EXPECT_EQ((Requirement{{{"taken", "remove"}, {"off", "from"}, {" list"}}}),
            CRegexPrefilter::Required("(taken|removed?) (off|from) list", true));
  EXPECT_EQ(Requirement(), CRegexPrefilter::Required("free|\\d+", true));

  CRegexPrefilter prefilter;
  const int id = prefilter.Add("\\b(?:order (now|today)\\b|act now\\b)", true);
  ASSERT_GE(id, 0);
  prefilter.Finish();
  EXPECT_TRUE(May(prefilter, id, "Order yours today"));  // PCRE2 says no; it runs
  EXPECT_TRUE(May(prefilter, id, "please act now"));
  EXPECT_FALSE(May(prefilter, id, "the order form"));
  EXPECT_FALSE(May(prefilter, id, "act today, not now"));
}

// The automaton against a plain search, over texts and literals of a small alphabet so
// that literals overlap, nest and repeat as they rarely do in a rule set; long texts are
// walked in stretches at once, so literals also fall across the cuts between them.
TEST(RegexPrefilterTest, FindsWhatAPlainSearchFinds) {
  std::mt19937 random(20261208);
  const std::string alphabet = "abAB c.\xC3\xA9";
  auto word = [&](size_t length) {
    std::string made;
    for (size_t i = 0; i < length; ++i) made += alphabet[random() % alphabet.size()];
    return made;
  };
  auto fold = [](std::string text) {
    for (char& c : text) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    return text;
  };
  for (int round = 0; round < 40; ++round) {
    CRegexPrefilter prefilter;
    std::vector<std::pair<int, std::string>> patterns;
    for (int i = 0; i < 30; ++i) {
      std::string literal = word(3 + random() % 4);
      if (literal.find_first_of("\\.") != std::string::npos) continue;  // regex syntax
      const int id = prefilter.Add(literal.c_str(), false);
      if (id >= 0) patterns.emplace_back(id, fold(literal));
    }
    prefilter.Finish();
    for (int t = 0; t < 20; ++t) {
      const std::string text = word(t % 2 == 0 ? random() % 200 : 300 + random() % 3000);
      for (const auto& [id, literal] : patterns) {
        const bool held = fold(text).find(literal) != std::string::npos;
        EXPECT_EQ(held, May(prefilter, id, text)) << literal << " in " << text;
      }
    }
  }
}

}  // namespace
