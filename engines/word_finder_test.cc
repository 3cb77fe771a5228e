// The word finder: its configuration grammar, the defaults, the text preparation and the
// approximate word match with the costs we ship (data/aswfconf.dat).
#include "engines/word_finder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "framework/base/testing/outcome.h"
#include "framework/base/testing/recording_tracer.h"

namespace {

using emlbtest::Outcome;

using emlbtest::RecordingTracer;

// A configuration file in the test's temporary folder, removed with the object.
class ConfigFile {
 public:
  explicit ConfigFile(const std::string& content) {
    char name[] = "/tmp/wordfinder_test_XXXXXX";
    const int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    path_ = name;
    EXPECT_EQ(static_cast<ssize_t>(content.size()), write(fd, content.data(), content.size()));
    close(fd);
  }
  ~ConfigFile() { std::remove(path_.c_str()); }
  const char* path() const { return path_.c_str(); }

 private:
  std::string path_;
};

// Every entry in which finder differs from a fresh word finder, in table order:
// "char 97=500", "pair 97,52=200".
std::vector<std::string> ChangedEntries(const CWordFinder& finder) {
  const auto fresh = std::make_unique<CWordFinder>();
  std::vector<std::string> changed;
  for (int a = 0; a < 256; ++a) {
    if (finder.GetCharCost(a) != fresh->GetCharCost(a)) {
      changed.push_back("char " + std::to_string(a) + "=" + std::to_string(finder.GetCharCost(a)));
    }
  }
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      if (finder.GetPairCost(a, b) != fresh->GetPairCost(a, b)) {
        changed.push_back("pair " + std::to_string(a) + "," + std::to_string(b) + "=" +
                          std::to_string(finder.GetPairCost(a, b)));
      }
    }
  }
  return changed;
}

std::vector<std::string> LoadedEntries(const std::string& content) {
  auto finder = std::make_unique<CWordFinder>();
  ConfigFile file(content);
  finder->Load(file.path());
  return ChangedEntries(*finder);
}

using Entries = std::vector<std::string>;

TEST(WordFinderTest, ConfigurationLines) {
  const std::string kLong(1999, 'x');
  const struct { std::string content; Entries changed; } kCases[] = {
      {". a 0.5\n", {"char 97=500"}},
      {"* 98 0.25", {"char 98=250"}},  // no newline at the end
      {". a 0.5\n. a 0.1\n", {"char 97=100"}},  // the later line wins
      // ";": a with 4, and the capital of a (code minus 32) with 4, both ways.
      {"; a 4 0.2\n", {"pair 52,65=200", "pair 52,97=200", "pair 65,52=200", "pair 97,52=200"}},
      {": 101 51 0.1\n",
       {"pair 51,69=100", "pair 51,101=100", "pair 69,51=100", "pair 101,51=100"}},
      // a below 32: no second pair.
      {": 20 65 0.3\n", {"pair 20,65=300", "pair 65,20=300"}},
      {": 300 65 0.2\n", {}},  // a code above 255 changes nothing
      {": 65 256 0.2\n", {}},
      {"* 256 0.5\n* -1 0.5\n", {}},
      {"##. a 0.5\n", {}},             // a comment, whatever follows
      {". a 0.5 ## why\n", {}},        // "##" anywhere
      {"\n\n. a\n.\n; a 4\n? a 0.5\n", {}},  // empty, short, unknown forms
      // The second character is skipped, whatever it is: this line names codes 5 and 66.
      {":65 66 0.1\n", {"pair 5,66=100", "pair 66,5=100"}},
      {". a -2\n", {"char 97=0"}},     // a negative cost is free, not a wrapped one
      // The file is read 1999 bytes at a time: the rest of a longer line is a line.
      {kLong + ". b 0.5\n", {"char 98=500"}},
      {std::string(1998, 'x') + ". b 0.5\n", {}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.content.substr(0, 40));
    EXPECT_EQ(c.changed, LoadedEntries(c.content));
  }
}

TEST(WordFinderTest, DefaultsAndReloads) {
  auto finder = std::make_unique<CWordFinder>();
  EXPECT_EQ(0u, finder->GetPairCost('Q', 'q'));
  EXPECT_EQ(0u, finder->GetPairCost('q', 'Q'));
  EXPECT_EQ(1000u, finder->GetPairCost('q', 'g'));
  EXPECT_EQ(0u, finder->GetPairCost(200, 200));
  EXPECT_EQ(1000u, finder->GetPairCost(0xC9, 0xE9));  // only ASCII letters fold
  EXPECT_EQ(1000u, finder->GetCharCost('a'));
  EXPECT_EQ('z', finder->GetLowerCase('Z'));
  EXPECT_EQ(0xC9, finder->GetLowerCase(0xC9));

  // A second load applies on top of the first, without going back to the defaults.
  ConfigFile first(". a 0.5\n. b 0.2\n; a 4 0.2\n");
  ConfigFile second(". a 0.3\n");
  finder->Load(first.path());
  finder->Load(second.path());
  EXPECT_EQ(300u, finder->GetCharCost('a'));
  EXPECT_EQ(200u, finder->GetCharCost('b'));
  EXPECT_EQ(200u, finder->GetPairCost('4', 'A'));

  // A file that cannot be opened throws CASFile's error and keeps the tables.
  EXPECT_EQ("-551 CASFile constructor - /nonexistent/aswfconf.dat - No such file or directory",
            Outcome([&] { finder->Load("/nonexistent/aswfconf.dat"); }));
  EXPECT_EQ(300u, finder->GetCharCost('a'));
}

TEST(WordFinderTest, DestructorTraces) {
  RecordingTracer tracer;
  { auto finder = std::make_unique<CWordFinder>(); }
  EXPECT_EQ((std::vector<std::string>{">>> CWordFinder destructor : freeing the structures...",
                                      "<<< CWordFinder destructor: done!"}),
            tracer.lines);
}

TEST(WordFinderTest, StudyRecordsCostsAndWordStarts) {
  auto finder = std::make_unique<CWordFinder>();
  ConfigFile config(". . 0.05\n; i 1 0.1\n");
  finder->Load(config.path());
  EXPECT_EQ("-1 Invalid buffer in the Word Finder Study() method!",
            Outcome([&] { finder->Study(nullptr, 3); }));

  // Words start after spaces and punctuation that costs a full edit, after a cheap
  // separator, and where a small letter meets a capital; an invisible character
  // (U+200B) neither costs nor separates.
  const std::u16string text = u"ab, c.d1 xYz e\u200Bf";
  auto studied = finder->Study(text.data(), text.size());
  // A digit or symbol that reads as a letter may start a word too ("1" at 7).
  EXPECT_EQ((std::vector<uint32_t>{0, 4, 6, 7, 9, 10, 13}), studied->WordStarts());
  const std::vector<uint32_t> costs = studied->Costs();
  ASSERT_EQ(text.size(), costs.size());
  EXPECT_EQ(1000u, costs[0]);
  EXPECT_EQ(50u, costs[5]);   // "."
  EXPECT_EQ(0u, costs[14]);   // U+200B
  // "d1" is one word: the digit reads as i.
  EXPECT_EQ(finder->ClassOf(u'i'), finder->ClassOf(u'1'));

  const std::u16string huge(CWordFinder::kMaxStudiedLength + 10, u'a');
  EXPECT_EQ(CWordFinder::kMaxStudiedLength, finder->Study(huge.data(), huge.size())->Text().size());
}

// The word finder as the breaker loads it.
class ShippedCostsTest : public ::testing::Test {
 protected:
  void SetUp() override { finder_->Load(EMLB_WORD_FINDER_CONF); }
  uint32_t Cost(const std::u16string& text, const std::u16string& word) {
    auto studied = finder_->Study(text.data(), text.size());
    return finder_->SpanCost(*studied, 0, text.size(), word, 100000);
  }
  bool Finds(const std::u16string& text, const std::u16string& word, float threshold) {
    auto studied = finder_->Study(text.data(), text.size());
    return finder_->FindWord(*studied, word, CWordFinder::BudgetFor(threshold, word.size()));
  }
  std::unique_ptr<CWordFinder> finder_ = std::make_unique<CWordFinder>();
};

TEST_F(ShippedCostsTest, SpanCostPricesEachDisguise) {
  const struct { const char16_t* text; uint32_t cost; } kCases[] = {
      {u"viagra", 0},         {u"VIAGRA", 0},       {u"v1agra", 100},
      {u"v1@gra", 200},       {u"viaagra", 100},    {u"viaaagra", 200},   // repeats
      {u"viagr", 1000},       {u"V.I.A.G.R.A", 250}, {u"v i a g r a", 500},
      {u"vi\u200Bagra", 0},   {u"vIagra", 0},       {u"VlAGRA", 200},     // l for I
      {u"vigara", 2000},      {u"niagara", 2000},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.text, c.text + std::char_traits<char16_t>::length(c.text)));
    EXPECT_EQ(c.cost, Cost(c.text, u"viagra"));
  }
  // A cost past the limit stops at limit + 1.
  auto studied = finder_->Study(u"xxxxxxxx", 8);
  EXPECT_EQ(501u, finder_->SpanCost(*studied, 0, 8, u"viagra", 500));
  // A repeated letter of the word may be left out cheaply.
  EXPECT_EQ(100u, Cost(u"pils", u"pills"));
}

TEST_F(ShippedCostsTest, FindsDisguisedWordsAndNotTheirNeighbours) {
  const struct { const char16_t* text; bool found; } kCases[] = {
      {u"buy v1@gra now", true},
      {u"V.I.A.G.R.A", true},
      {u"cheap viaagra!", true},
      {u"VIAGRA", true},
      {u"get V I A G R A here", true},
      {u"viagra100mg", true},
      {u"http://www.v1agra-shop.com/x", true},
      {u"BuyViagraNow", true},
      {u"(viagra)", true},
      {u"vi\u200Bag\u00ADra", true},
      {u"travel via Agra", false},   // a space is no separator between words
      {u"via", false},
      {u"agra", false},
      {u"vinegar", false},
      {u"Niagara falls", false},
      {u"viagras", false},           // the word goes on
      {u"aviagra", false},           // it started before
      {u"viagro", false},            // a typo into another letter is not found
      {u"v-i-a-g-r-a", true},
      {u"v i agra", false},          // "agra" is no lone letter
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.text, c.text + std::char_traits<char16_t>::length(c.text)));
    EXPECT_EQ(c.found, Finds(c.text, u"viagra", 0.2f));
  }
  // The threshold decides how many disguises a word may carry: 4 look-alikes and 5
  // separators cost 0.65, more than 0.1 x 6 letters.
  EXPECT_TRUE(Finds(u"v.1.@.9.r.@", u"viagra", 0.2f));
  EXPECT_FALSE(Finds(u"v.1.@.9.r.@", u"viagra", 0.1f));
  // Short words; a word of one letter goes without the index. Several words keep their
  // spaces.
  EXPECT_TRUE(Finds(u"a 0k then", u"ok", 0.2f));
  EXPECT_FALSE(Finds(u"token", u"ok", 0.2f));
  EXPECT_TRUE(Finds(u"plan b!", u"b", 0.2f));
  EXPECT_FALSE(Finds(u"plan bee", u"b", 0.2f));
  EXPECT_TRUE(Finds(u"one ca$ino bonus!", u"casino bonus", 0.2f));
  EXPECT_FALSE(Finds(u"one casinobonus", u"casino bonus", 0.2f));
  EXPECT_FALSE(Finds(u"viagra", u"", 0.2f));
}

// One studied text answers many words: most are turned away by the sketch of its
// letters, and the runs are made when a word first gets past it, far into a long text.
TEST_F(ShippedCostsTest, ManyWordsInOneLongText) {
  std::u16string text;
  while (text.size() < 20000) text += u"The quick brown fox jumps over the lazy dog. ";
  const size_t filler = text.size();
  text += u"Cheap V.1.A.G.R.A and c\u200Bas1no! ";
  auto studied = finder_->Study(text.data(), text.size());
  const uint32_t budget = CWordFinder::BudgetFor(0.2f, 6);
  EXPECT_FALSE(finder_->FindWord(*studied, u"cialis", budget));  // letters nowhere in a row
  EXPECT_FALSE(finder_->FindWord(*studied, u"foxjumps", budget));  // a space in the text
  EXPECT_TRUE(finder_->FindWord(*studied, u"viagra", budget));
  EXPECT_TRUE(finder_->FindWord(*studied, u"casino", budget));
  EXPECT_TRUE(finder_->FindWord(*studied, u"quick", budget));
  EXPECT_FALSE(finder_->FindWord(*studied, u"quack", budget));
  // The runs made on demand are those of the whole text.
  const std::vector<uint32_t> starts = studied->WordStarts();
  ASSERT_FALSE(starts.empty());
  // "Cheap", V 1 A G R A, "and", c 1 n and "!", which reads as i.
  ASSERT_GE(starts.size(), 12u);
  EXPECT_EQ(filler, starts[starts.size() - 12]);
}

}  // namespace
