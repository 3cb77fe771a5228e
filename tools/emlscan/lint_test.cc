#include "tools/emlscan/lint.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace emlscan {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

class LintTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& text) {
    const std::string dir = ::testing::TempDir() + "/emlscan_lint_test";
    std::filesystem::create_directories(dir);
    const std::string file = dir + "/" + name;
    std::ofstream(file) << text;
    return file;
  }
  int Lint(const std::vector<std::string>& inputs) {
    out_.str("");
    err_.str("");
    return LintRules(inputs, EMLSCAN_PATMATCH_DIR, out_, err_);
  }
  std::ostringstream out_;
  std::ostringstream err_;
};

TEST_F(LintTest, ShippedRulesAreClean) {
  EXPECT_EQ(0, Lint({EMLSCAN_SHIPPED_RULES}));
  EXPECT_EQ("", out_.str());
  EXPECT_NE(std::string::npos, err_.str().find(" rules loaded, 0 rules dropped, 0 parser messages"))
      << err_.str();
}

TEST_F(LintTest, EachDroppedRuleIsReportedWhereItStands) {
  const std::string file = Write(
      "three.slf",
      "rule Fine { condition: match(\"viagra\", Headers::\"SUBJECT\", EXACT_INSENSITIVE);"
      " actions: none; metadata: none; }\n"
      "rule Bad_Regex { condition: match(\"(unclosed\", Headers::ALL, REGEX);"
      " actions: none; metadata: none; }\n"
      "metarule Meta_Unknown { condition: Fine && Missing_Rule; actions: none; metadata: none; }\n"
      "rule Merged { condition: none; actions: mark(\"spam\", 10); mark(CATEGORY, 5);"
      " metadata: none; }\n");
  EXPECT_EQ(1, Lint({file}));
  std::vector<std::string> lines = Lines(out_.str());
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ((std::vector<std::string>{
                file + ":2: rule Bad_Regex dropped at initialisation: MatchCondition::Init - could "
                       "not initialize regex from string [(unclosed] (missing closing parenthesis "
                       "at offset 9)",
                file + ":3: rule Meta_Unknown dropped at initialisation: CASSLEngine::InitRule - "
                       "rule with name Missing_Rule does not exist",
                file + ":4: rule Merged dropped: the mark action was refused: its category is "
                       "given both as a constant or text and as a NAME (items of one kind in a rule "
                       "merge into one)",
            }),
            lines);
  EXPECT_EQ("emlscan: 1 files, 1 rules loaded, 3 rules dropped, 0 parser messages\n", err_.str());
}

TEST_F(LintTest, ParserMessagesAndUnreadableInput) {
  const std::string file = Write(
      "syntax.slf", "rule A { condition: none; actions: none; metadata: none; }\n"
                    "rule B { condition: exists(Headers::all); actions: none; metadata: none; }\n");
  EXPECT_EQ(1, Lint({file}));
  EXPECT_EQ((std::vector<std::string>{
                file + ":2: syntax error, unexpected NAME, expecting STRING_LITERAL "
                       "[found a name; expected a \"string\"]",
                file + ":2: syntax error: invalid exists condition",
                file + ":2: discarding simple rule B because it contains errors",
            }),
            Lines(out_.str()));
  EXPECT_EQ(2, Lint({file, file + ".missing"}));
  EXPECT_EQ("", out_.str());
}

// A rule left open takes the next one with it: the parser names only the
// first as discarded, but both are gone, and the count says so.
TEST_F(LintTest, RulesSwallowedByAnErrorCountAsDropped) {
  const std::string file = Write(
      "open.slf",
      "rule A {\n  condition: exists(Parts::Txt);\n  actions: none;\n  metadata: none;\n\n"
      "/* rule NotARule in a comment */\n"
      "rule B {\n  condition: none;\n  actions: none;\n  metadata: none;\n}\n"
      "rule C { condition: none; actions: none; metadata: none; }\n");
  EXPECT_EQ(1, Lint({file}));
  const std::string out = out_.str();
  EXPECT_NE(std::string::npos,
            out.find("expecting ALL or TEXT or TEXT_PLAIN or TEXT_HTML [found a name; expected "
                     "ALL, Text, TextPlain or TextHTML]"))
      << out;
  EXPECT_NE(std::string::npos,
            out.find(file + ":7: rule B dropped: lost to a syntax error before it"))
      << out;
  EXPECT_EQ(std::string::npos, out.find("NotARule")) << out;
  EXPECT_NE(std::string::npos, err_.str().find(" 1 rules loaded, 2 rules dropped,")) << err_.str();
}

}  // namespace
}  // namespace emlscan
