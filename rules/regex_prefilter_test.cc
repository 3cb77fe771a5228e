#include "rules/regex_prefilter.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using Literals = CRegexPrefilter::Literals;

Literals Read(const char* pattern, bool caseless = true) {
  return CRegexPrefilter::RequiredLiterals(pattern, caseless);
}

std::unique_ptr<CRegexPrefilter::TextTable> Table(const std::string& text) {
  auto table = std::make_unique<CRegexPrefilter::TextTable>();
  CRegexPrefilter::Tabulate(text.data(), text.size(), table.get());
  return table;
}

// A literal the reader claims must be in every match of the pattern. Claiming too much
// loses hits, so each case names what PCRE2 can match without it.
TEST(RegexPrefilterTest, ReadsOnlyLiteralsEveryMatchHolds) {
  EXPECT_EQ(Literals({"unsubscribe"}), Read("\\bunsubscribe\\b", false));
  EXPECT_EQ(Literals({"unsubscribe"}), Read("Unsubscribe"));
  // "u?" may be absent; "e+" is there at least once; "{0,3}" may be absent.
  EXPECT_EQ(Literals({"color", "colour"}), Read("colou?r", false));
  EXPECT_EQ(Literals({"free"}), Read("free+dom", false));
  EXPECT_EQ(Literals({"opt"}), Read("opt\\W{0,3}out", false));
  // What every link holds tells nothing: a URL pattern is known by its other literals.
  EXPECT_EQ(Literals({".exe", ".scr"}), Read("^https?://[^?#]*\\.(exe|scr)([?#]|$)", false));
  EXPECT_EQ(Literals({"http://", "https://"}), Read("^https?://", false));
  // Alternatives: one literal per branch, or nothing when a branch has none.
  EXPECT_EQ(Literals({"viagra", "cialis"}), Read("(?:viagra\\b|cialis)\\d now", false));
  EXPECT_EQ(Literals(), Read("viagra|\\d+", false));
  // Literal characters, optional ones and groups of literal alternatives read as every
  // text they can be, assertions in between or not; up to 32 texts, then as pieces.
  EXPECT_EQ(Literals({"viagra now", "cialis now"}), Read("(?:viagra|cialis) now", false));
  EXPECT_EQ(Literals({"viagra now", "cialis now", " now"}), Read("(?:viagra|cialis)? now", false));
  EXPECT_EQ(Literals({"not a spam", "not a junk", "not an spam", "not an junk", "not spam",
                      "not junk"}),
            Read("\\bnot (?:an? )?\\b(?:spam|junk)\\b"));
  EXPECT_EQ(Literals({"wives", "husbands"}), Read("lat\\s(?:wives|husbands+)", false));
  EXPECT_EQ(Literals({"abcdef"}), Read("abc(?<=c)def", false));
  // A group's name is no text of it, in each of the three syntaxes.
  EXPECT_EQ(Literals({"buy now"}), Read("buy (?<when>now)", false));
  EXPECT_EQ(Literals({"buy now"}), Read("buy (?P<when>now)", false));
  EXPECT_EQ(Literals({"buy now"}), Read("buy (?'when'now)", false));
  EXPECT_EQ(Literals({"buy"}), Read("buy(?'name')", false));
  EXPECT_EQ(Literals({"abc"}), Read("abc(?-i)def", false));
  // Only "?" (and "{0,1}") is at most once; "*" and "{0,2}" may repeat what they follow.
  EXPECT_EQ(Literals({"abdef", "abcdef"}), Read("abc{0,1}def", false));
  EXPECT_EQ(Literals({"def"}), Read("abc*def", false));
  EXPECT_EQ(Literals({"def"}), Read("abc{0,2}def", false));
  EXPECT_EQ(Literals({"def"}), Read("ab(?:c|x)*def", false));
  EXPECT_EQ(Literals({"xyz"}),
            Read("a(?:0|1|2|3|4|5|6|7|8|9)(?:0|1|2|3|4|5|6|7|8|9)xyz", false));
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
                              "stray) text", "(*UTF)money", "ab(?R)?cd", "(?(1)ab|cd)"}) {
    EXPECT_EQ(Literals(), Read(pattern, false)) << pattern;
  }
  // A caseless flag turned off is only stricter.
  EXPECT_EQ(Literals({"money"}), Read("(?-i)money", false));
}

// The texts every match begins with: claiming a text a match can begin without would
// make a search from its first place miss that match.
TEST(RegexPrefilterTest, ReadsTheTextsEveryMatchBeginsWith) {
  auto starts = [](const char* pattern, bool caseless = true) {
    CRegexPrefilter::Starts read;
    CRegexPrefilter::RequiredLiterals(pattern, caseless, &read);
    return read;
  };
  EXPECT_EQ(Literals({"click here"}), starts("click here").texts);
  EXPECT_EQ(0u, starts("click here").behind);
  // Assertions before the first text match none; "\b" reads the character before.
  EXPECT_EQ(Literals({"act now", "limited"}), starts("\\b(?:act now\\b|limited\\b)").texts);
  EXPECT_EQ(1u, starts("\\b(?:act now\\b|limited\\b)").behind);
  EXPECT_EQ(Literals({"win"}), starts("(?=\\w)(?m)win").texts);
  // A group begins as its branches do, or as its exact texts do.
  EXPECT_EQ(Literals({"free ", "bonus "}), starts("(?:free |bonus )+chips").texts);
  EXPECT_EQ(Literals({"color", "colour"}), starts("colou?r\\d").texts);
  EXPECT_EQ(Literals({"abcdef", "def"}), starts("(?:abc)?def").texts);
  EXPECT_EQ(Literals({"abc", "xabc"}), starts("x?abc").texts);
  EXPECT_EQ(Literals({"search en", "top"}),
            starts("(?:search en[a-z]+|top\\d)", false).texts);
  // The first stretch ends at what it cannot read: what came before it still begins.
  EXPECT_EQ(Literals({"abc"}), starts("abcd*ef").texts);
  EXPECT_EQ(Literals({"opt"}), starts("opt.?out").texts);
  // Nothing known: a branch that begins with a class or a repeated text, an empty
  // branch; "^", "\A", "\G" and look-behinds read before or at the subject's start.
  for (const char* pattern : {"\\w+@", "a*bcd", "(?:abc)*def", "abc|", "^abc", "(?m)^abc",
                              "\\Aabc", "\\Gabc", "(?<![a-z])abc", "abc(?<=c)def",
                              "caf\xC3\xA9|[0-9]"}) {
    EXPECT_EQ(Literals(), starts(pattern).texts) << pattern;
  }
}

TEST(RegexPrefilterTest, SearchesFromTheEarliestStart) {
  CRegexPrefilter prefilter;
  const int act = prefilter.Add("\\b(?:act now|order (now|today))\\b", true);
  const int plain = prefilter.Add("free (spins|chips)", true);
  const int unknown = prefilter.Add("\\w+ viagra", true);
  ASSERT_GE(act, 0);
  ASSERT_GE(plain, 0);
  ASSERT_GE(unknown, 0);
  const std::string filler(100, '-');
  auto from = [&](int id, const std::string& text) {
    std::string folded;
    CRegexPrefilter::FoldText(text.data(), text.size(), &folded);
    return prefilter.MatchFrom(id, *Table(text), folded);
  };
  // The earliest of the start texts, less four bytes for the character "\b" reads.
  EXPECT_EQ(100u - 4, from(act, filler + "ORDER NOW, act now"));
  EXPECT_EQ(100u - 4 + 3, from(act, filler + "xx act now, order today"));
  EXPECT_EQ(2u, from(act, "xxxxxxorder now" + filler));
  EXPECT_EQ(0u, from(act, "xxorder now" + filler));
  EXPECT_EQ(0u, from(act, "act now" + filler));
  EXPECT_EQ(100u, from(plain, filler + "Free Chips"));
  EXPECT_EQ(CRegexPrefilter::kNoMatch, from(plain, filler + "free fries"));
  EXPECT_EQ(0u, from(unknown, filler + "buy viagra"));
  // A Kelvin sign may stand for the k of a start text PCRE2 would match.
  const int kit = prefilter.Add("kit now", true);
  ASSERT_GE(kit, 0);
  EXPECT_EQ(0u, from(kit, filler + "\xE2\x84\xAA" "it now, kit now"));
  EXPECT_EQ(101u, from(kit, filler + " kit now"));
}

TEST(RegexPrefilterTest, SkipsOnlyTextsThatLackALiteral) {
  CRegexPrefilter prefilter;
  const int id = prefilter.Add("\\b(?:viagra|cialis)\\b", true);
  const int none = prefilter.Add("\\d+", false);
  ASSERT_GE(id, 0);
  EXPECT_EQ(-1, none);
  auto may = [&](const std::string& text) {
    auto table = std::make_unique<CRegexPrefilter::TextTable>();
    CRegexPrefilter::Tabulate(text.data(), text.size(), table.get());
    return prefilter.MayMatch(id, *table);
  };
  const std::string filler(CRegexPrefilter::kMinScannedLength, '-');
  EXPECT_TRUE(may(filler + " buy CIALIS today"));
  EXPECT_TRUE(may(filler + " buy ViAgRa today"));
  EXPECT_TRUE(may("viagra" + filler));  // at the very start
  // A long text is tabulated sixteen bytes at a time where the processor allows, then
  // byte by byte: a literal at any offset, up to the last byte, is found.
  for (size_t length = filler.size(); length < filler.size() + 24; ++length) {
    for (size_t at = 0; at + 6 <= length; ++at) {
      std::string text(length, '-');
      text.replace(at, 6, "Cialis");
      EXPECT_TRUE(may(text)) << length << " " << at;
    }
  }
  EXPECT_FALSE(may(filler + " buy nothing today"));
  EXPECT_FALSE(may(filler + " via agra"));
  // Triples and quadruples: a text holding every quadruple of a literal out of order is
  // not skipped, one holding only its triples is.
  EXPECT_TRUE(may(filler + " alis cial iali"));
  EXPECT_FALSE(may(filler + " ali cia ial lis"));
  // With the folded text as well, the literal itself must be there, in any case.
  auto may_exactly = [&](const std::string& text) {
    std::string folded;
    CRegexPrefilter::FoldText(text.data(), text.size(), &folded);
    return prefilter.MayMatch(id, *Table(text), folded);
  };
  EXPECT_FALSE(may_exactly(filler + " alis cial iali"));
  EXPECT_TRUE(may_exactly(filler + " SPECIALIST"));
  EXPECT_TRUE(may_exactly(filler + " v1agra or vIaGrA"));
  EXPECT_FALSE(may_exactly(filler + " v1agra or viagr"));
  std::string folded;
  CRegexPrefilter::FoldText("AZaz@[`{\xC3\x89", 10, &folded);
  EXPECT_EQ("azaz@[`{\xC3\x89", folded);  // only ASCII capitals change
  std::string every_byte;
  for (int round = 0; round < 3; ++round) {
    for (int c = 0; c < 256; ++c) every_byte += static_cast<char>(c);
  }
  every_byte.pop_back();  // a length the vector loop leaves a tail of
  CRegexPrefilter::FoldText(every_byte.data(), every_byte.size(), &folded);
  ASSERT_EQ(every_byte.size(), folded.size());
  for (size_t i = 0; i < folded.size(); ++i) {
    const auto c = static_cast<unsigned char>(every_byte[i]);
    EXPECT_EQ(c >= 'A' && c <= 'Z' ? c + 32 : c, static_cast<unsigned char>(folded[i])) << i;
  }

  // Caseless k and s have non-ASCII partners (the Kelvin sign, the long s): a text that
  // holds one lets the patterns whose literals have a k or an s run.
  const int ks = prefilter.Add("\\bsex\\b", true);
  ASSERT_GE(ks, 0);
  EXPECT_FALSE(prefilter.MayMatch(ks, *Table(filler + " nothing")));
  EXPECT_TRUE(prefilter.MayMatch(ks, *Table(filler + " \xC5\xBF" "ex")));
  EXPECT_TRUE(prefilter.MayMatch(id, *Table(filler + " \xE2\x84\xAA" " nothing")));
  const int plain = prefilter.Add("\\bviagra\\b", true);  // neither k nor s
  ASSERT_GE(plain, 0);
  EXPECT_FALSE(prefilter.MayMatch(plain, *Table(filler + " \xE2\x84\xAA" " nothing")));

  // A short text gets its own small table, with the same answers.
  auto may_short = [&](const std::string& text) {
    CRegexPrefilter::ShortTable table;
    CRegexPrefilter::TabulateShort(text.data(), text.size(), &table);
    return prefilter.MayMatchShort(id, table);
  };
  EXPECT_TRUE(may_short("Buy CiAlIs"));
  EXPECT_TRUE(may_short("viagra"));
  EXPECT_FALSE(may_short("buy nothing today"));
  EXPECT_FALSE(may_short("viagr"));
  EXPECT_FALSE(may_short(""));
}

}  // namespace
