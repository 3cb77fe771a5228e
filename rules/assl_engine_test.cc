#include "rules/assl_engine.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/binary_streamer.h"
#include "rules/conditions.h"
#include "rules/eml_context.h"
#include "rules/engines_interface.h"
#include "rules/language/rule_test_util.h"

namespace {

namespace fs = std::filesystem;
using rules_testing::RecordingTracer;

// Counts its runs and remembers the running rule's name the context showed each time.
class CountingAction : public AAction {
 public:
  explicit CountingAction(std::vector<std::string>* runs) : AAction(ACT_EXEC), runs_(runs) {}
  void Execute(CEnginesInterface*, CEmlContextInterface* context) override {
    runs_->push_back(context->GetCurrentRuleName().c_str());
  }

 private:
  std::vector<std::string>* runs_;
};

std::string Rule(const std::string& name, const std::string& condition,
                 const std::string& metadata = "none;", const std::string& actions = "none;") {
  return "rule " + name + " { condition: " + condition + " actions: " + actions +
         " metadata: " + metadata + " }\n";
}
std::string Meta(const std::string& name, const std::string& condition) {
  return "metarule " + name + " { condition: " + condition + "; actions: none; metadata: none; }\n";
}

bool Contains(const std::vector<std::string>& lines, const std::string& text) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

// Keeps what the engine reports while it loads.
class Report : public ARuleLoadReport {
 public:
  void OnRuleRefused(const char*, int line, const char* name, const std::string& reason) override {
    refused[name] = std::to_string(line) + ": " + reason;
  }
  void OnRuleDuplicate(const char* file, int line, const char* name) override {
    duplicates.push_back(fs::path(file).filename().string() + ":" + std::to_string(line) + " " + name);
  }
  void OnRuleInitFailed(const char* name, const std::string& reason) override {
    init_failed[name] = reason;
  }
  std::map<std::string, std::string> refused;
  std::vector<std::string> duplicates;
  std::map<std::string, std::string> init_failed;
};

class AsslEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("assl_engine_test_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    engines_.SetupRxLibHandle(EMLB_PATMATCH_DIR);
    engines_.SetRuleLoadReport(&report_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  void Write(const std::string& file, const std::string& text) {
    std::ofstream(dir_ / file) << text;
  }
  // Loads the folder and gives the context fresh states.
  void Load() {
    engines_.SetupASSLEngine(dir_.c_str(), false);
    context_.SetRuleStates(engine()->GetStateTemplates());
  }
  CASSLEngine* engine() const { return engines_.GetASSLEngine(); }
  bool Has(const char* name) const {
    try {
      engine()->GetRule(name);
      return true;
    } catch (const ASException&) {
      return false;
    }
  }
  // Appends a counting action to each named rule, then numbers the rules again so that
  // their states have room for it.
  void CountRuns(std::initializer_list<const char*> names) {
    for (const char* name : names) engine()->GetRule(name)->AppendAction(new CountingAction(&runs_));
    engine()->InitRules(&engines_);
    context_.SetRuleStates(engine()->GetStateTemplates());
  }

  RecordingTracer tracer_;
  fs::path dir_;
  Report report_;
  CEnginesInterface engines_;
  CEmlContextInterface context_;
  std::vector<std::string> runs_;
};

TEST_F(AsslEngineTest, LoadKeepsFirstDefinitionAndDropsBrokenRules) {
  // Within one file the later definition replaces the earlier one (the parser warns), and
  // the rule the engine had already built from the earlier one goes with it.
  Write("a.slf",
        Rule("Again", "none;", "comment = \"early\";") +
            Rule("Twice", "none;", "comment = \"first\";") +
            Rule("Good_Regex", "match(\"fr[e3]{2}\", Headers::ALL, REGEX_INSENSITIVE);") +
            Rule("Bad_Regex", "match(\"a(b\", Headers::ALL, REGEX);") +
            Meta("Unknown", "Good_Regex || Missing") + Meta("Cycle_A", "Cycle_B") +
            Meta("Cycle_B", "!Cycle_A") + Meta("Uses_Bad", "Bad_Regex && true") +
            Meta("Fine", "Good_Regex && !Twice") +
            Rule("Merged", "none;", "none;", "set_category(\"spam\"); set_category(CATEGORY);") +
            Rule("Again", "none;", "comment = \"late\";"));
  Write("b.slf", Rule("Twice", "none;", "comment = \"second\";"));
  Write("ignored.txt", Rule("Other_File", "none;"));
  Load();

  EXPECT_EQ("first", std::string(engine()->GetRule("Twice")->GetMetainfoStringValue(META_COMMENT).c_str()));
  EXPECT_EQ("late",
            std::string(engine()->GetRule("Again")->GetMetainfoStringValue(META_COMMENT).c_str()));
  EXPECT_EQ(std::vector<std::string>{"b.slf:1 Twice"}, report_.duplicates);
  for (const char* kept : {"Twice", "Good_Regex", "Fine", "Again"}) EXPECT_TRUE(Has(kept)) << kept;
  for (const char* gone : {"Bad_Regex", "Unknown", "Cycle_A", "Cycle_B", "Uses_Bad", "Merged",
                           "Other_File"}) {
    EXPECT_FALSE(Has(gone)) << gone;
  }
  EXPECT_EQ(4u, engine()->GetRuleCount());
  EXPECT_EQ(4u, engine()->GetStateTemplates().GetSize());

  EXPECT_EQ("CASSLEngine::InitRule - rule with name Missing does not exist",
            report_.init_failed["Unknown"]);
  EXPECT_EQ("CRule::Init - Cyclic initialization of rule Cycle_A", report_.init_failed["Cycle_A"]);
  EXPECT_EQ("CRule::Init - Cyclic initialization of rule Cycle_B", report_.init_failed["Cycle_B"]);
  EXPECT_EQ("MatchCondition::Init - could not initialize regex from string [a(b] "
            "(missing closing parenthesis at offset 3)",
            report_.init_failed["Bad_Regex"]);
  EXPECT_EQ(report_.init_failed["Bad_Regex"], report_.init_failed["Uses_Bad"]);
  EXPECT_EQ(5u, report_.init_failed.size());
  EXPECT_EQ(
      "10: the set_category action was refused: its category is given both as a constant "
      "or text and as a NAME (items of one kind in a rule merge into one)",
      report_.refused["Merged"]);
  EXPECT_TRUE(Contains(tracer_.lines, "CASSLEngine::InitRules - rule Unknown failed to initialize"));
  EXPECT_TRUE(Contains(tracer_.lines, "CRule::Init - init for rule Cycle_A failed"));

  // The case-insensitive pattern was compiled with its flag.
  const auto* match = static_cast<const MatchCondition*>(engine()->GetRule("Good_Regex")->GetCondition());
  auto* regex = const_cast<CARegEx*>(match->GetRegex());
  ASSERT_NE(nullptr, regex);
  EXPECT_EQ(1, regex->Match("FREE", 4, 0, 0));
  EXPECT_EQ(1, regex->Match("fr3E", 4, 0, 0));
  EXPECT_EQ(0, regex->Match("frog", 4, 0, 0));
}

TEST_F(AsslEngineTest, ExecutingAHitRuleAgainRunsItsActionsAgain) {
  Write("r.slf", Rule("Hit", "none;", "relevance = 3;") + Rule("Off", "none;", "enabled = false;") +
                     Meta("Both", "Hit ||| Off") + Meta("Short", "Hit || Off") +
                     Rule("Failing", "none;", "none;", "exec(NO_HEURISTICS_YET);"));
  Load();
  CountRuns({"Hit", "Off", "Failing"});

  EXPECT_EQ("", std::string(engines_.GetHitRules(&context_).c_str()));
  EXPECT_EQ(1.0, engines_.ExecRule("Hit", &context_));
  EXPECT_EQ(1.0, engines_.ExecRule("Hit", &context_));
  EXPECT_EQ(1.0, engines_.ExecRule("Short", &context_));  // Off is not executed
  EXPECT_EQ(1.0, engines_.ExecRule("Both", &context_));   // Off is, and stays silent
  EXPECT_EQ((std::vector<std::string>{"Hit", "Hit", "Hit", "Hit"}), runs_);
  EXPECT_EQ(0.0, engines_.ExecRule("Off", &context_));
  EXPECT_EQ(4u, runs_.size());
  // A disabled rule is still numbered and listed.
  EXPECT_NO_THROW(engine()->GetRuleIndex("Off"));
  EXPECT_FALSE(context_.GetRuleState(engine()->GetRuleIndex("Off")).evaluated);

  // An action that fails does not stop the next one, and the rule can run again.
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      engines_.ExecRule("Failing", &context_);
      ADD_FAILURE() << "no exception";
    } catch (const ASException& e) {
      EXPECT_STREQ("CRule::Execute - one or more actions failed to execute", e.what());
    }
  }
  EXPECT_EQ("Failing", runs_.back());
  EXPECT_EQ(6u, runs_.size());
  EXPECT_EQ("", std::string(context_.GetCurrentRuleName().c_str()));

  std::vector<std::string> hits;
  const std::string joined = engines_.GetHitRules(&context_).c_str();
  for (size_t from = 0;;) {
    const size_t next = joined.find("; ", from);
    hits.push_back(joined.substr(from, next - from));
    if (next == std::string::npos) break;
    from = next + 2;
  }
  std::sort(hits.begin(), hits.end());
  EXPECT_EQ((std::vector<std::string>{"Both", "Failing", "Hit", "Short"}), hits);
}

TEST_F(AsslEngineTest, AutoExecutedValueStandsForTheMail) {
  Write("r.slf", Rule("Heur", "none;") + Meta("Uses", "Heur"));
  Load();
  CountRuns({"Heur"});
  EXPECT_EQ(0.0, engines_.AutoExecRule("Heur", 0.0, &context_));
  EXPECT_TRUE(runs_.empty());
  EXPECT_EQ(0.0, engines_.ExecRule("Uses", &context_));  // the condition is not evaluated
  EXPECT_EQ(2.5, engines_.AutoExecRule("Heur", 2.5, &context_));
  EXPECT_EQ(1u, runs_.size());
  EXPECT_EQ(2.5, engines_.ExecRule("Heur", &context_));
  EXPECT_EQ(2u, runs_.size());

  // A fresh mail starts unevaluated.
  context_.SetRuleStates(engine()->GetStateTemplates());
  EXPECT_EQ(1.0, engines_.ExecRule("Uses", &context_));
}

TEST_F(AsslEngineTest, SignaturesByPriorityAndTheRelevanceMap) {
  Write("r.slf", Rule("Low", "none;", "priority = 1; relevance = 10;") +
                     Rule("High", "none;", "priority = 50;") +
                     Rule("Mid", "none;", "priority = 7; relevance = 4; enabled = false;") +
                     Rule("Plain", "none;", "relevance = 2;") + Rule("Nothing", "none;"));
  Load();
  std::vector<std::string> order;
  for (const CRule::SignatureInfo* s : engine()->GetSignatures()) order.push_back(s->name);
  EXPECT_EQ((std::vector<std::string>{"High", "Mid", "Low"}), order);
  EXPECT_EQ(3u, engine()->GetNNetRules().GetSize());
  // A rule without one of the two traces what asking for it throws.
  const auto traced = [&](const std::string& line) {
    return std::count(tracer_.lines.begin(), tracer_.lines.end(), line);
  };
  EXPECT_EQ(1, traced("EXCEPTION: CRule::GetMetainfoIntValue - rule High has no metainfo of "
                      "type 2001"));
  EXPECT_EQ(1, traced("EXCEPTION: CRule::GetMetainfoIntValue - rule Plain has no metainfo of "
                      "type 2003"));
  EXPECT_THROW(engine()->GetRule("Nothing")->GetMetainfoIntValue(META_PRIORITY), ASException);
  EXPECT_EQ(0, engine()->GetRule("Mid")->GetMetainfoIntValue(META_STATE));

  // The map lists the enabled relevance rules in list order, numbered from 0. The setup
  // writes it to the current directory.
  const fs::path saved = fs::current_path();
  fs::current_path(dir_);
  engines_.SetupASSLEngine(dir_.c_str(), true);
  fs::current_path(saved);
  std::vector<std::string> expected;
  for (const CRule::NNetRuleInfo* r : engine()->GetNNetRules()) {
    if (std::string(r->name) != "Mid") expected.push_back(r->name);
  }
  ascommon::CBinaryStreamer reader(ascommon::usstring(ascommon::sstring((dir_ / "asnnmap.dat").c_str())),
                                   ascommon::IStreamer::kReadMode,
                                   ascommon::usstring(ascommon::sstring(dir_.c_str())));
  EXPECT_EQ(2, reader.ReadInt());
  ASSERT_EQ(2, reader.ReadInt());
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(i, reader.ReadInt());
    ascommon::sstring name;
    reader.ReadString(&name, expected[i].size());
    EXPECT_EQ(expected[i], name.c_str());
  }
  EXPECT_THROW(reader.ReadChar(), ASException);  // nothing after the last name
}

TEST_F(AsslEngineTest, SetupAndLookupFailures) {
  auto message_of = [](auto&& call) -> std::string {
    try {
      call();
    } catch (const ASException& e) {
      return e.what();
    }
    return "no exception";
  };
  EXPECT_EQ("CEnginesInterface::ExecRule - invalid reference to ASSL engine",
            message_of([&] { engines_.ExecRule("A", &context_); }));
  EXPECT_EQ("CEnginesInterface::SetupASSLEngine - specified path does not contain any "
            "scripting language files",
            message_of([&] { engines_.SetupASSLEngine(dir_.c_str(), false); }));
  ASSERT_NE(nullptr, engine());
  EXPECT_EQ(0u, engine()->GetRuleCount());

  Write("r.slf", Rule("A", "none;"));
  engines_.SetupASSLEngineFromFiles({(dir_ / "missing.slf").string(), (dir_ / "r.slf").string()},
                                    false);
  EXPECT_TRUE(Contains(tracer_.lines, "CEnginesInterface::SetupASSLEngine - exception caught while "
                                      "parsing " + (dir_ / "missing.slf").string() + " - continuing..."));
  EXPECT_EQ("CASSLEngine::ExecRule - rule with name B does not exist",
            message_of([&] { engines_.ExecRule("B", &context_); }));
  EXPECT_EQ("CASSLEngine::GetRuleIndex - no index for rule B",
            message_of([&] { engine()->GetRuleIndex("B"); }));
  // The context has no states yet: the index is beyond them.
  EXPECT_THROW(engines_.ExecRule("A", &context_), InvalidIndexException);
  EXPECT_EQ("CRule::Execute - invalid handle to context",
            message_of([&] { engine()->ExecRule("A", &engines_, nullptr); }));
  EXPECT_EQ("CASSLEngine::GetHitRules - invalid context handle",
            message_of([&] { engines_.GetHitRules(nullptr); }));

  // A path ending with a separator gets none added.
  EXPECT_EQ(std::vector<std::string>{(dir_ / "r.slf").string()},
            CEnginesInterface::ListRuleFiles((dir_.string() + "/").c_str()));
}

TEST(MatchConditionInitTest, CompilesRegexesThroughTheEnginesLibrary) {
  CEnginesInterface with_library;
  with_library.SetupRxLibHandle(EMLB_PATMATCH_DIR);
  CEnginesInterface without_library;
  const struct {
    const char* pattern;
    uint32_t how;
    CEnginesInterface* engines;
    const char* error;  // null: compiles (or needs nothing)
    const char* compile_error;
  } kCases[] = {
      {"a(b", HOW_REGEX, &with_library,
       "MatchCondition::Init - could not initialize regex from string [a(b]",
       "missing closing parenthesis at offset 3"},
      {"x{2,1}", HOW_REGEX_INSENSITIVE, &with_library,
       "MatchCondition::Init - could not initialize regex from string [x{2,1}]",
       "numbers out of order in {} quantifier at offset 5"},
      {"fr.e", HOW_REGEX, &with_library, nullptr, nullptr},
      {"a(b", HOW_EXACT, &without_library, nullptr, nullptr},
      {"fr.e", HOW_REGEX, &without_library,
       "MatchCondition::Init - could not obtain regex from handle", nullptr},
      {"fr.e", HOW_REGEX, nullptr, "MatchCondition::Init - invalid engines handle", nullptr},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.pattern);
    MatchCondition condition(c.pattern, WHERE_HEADERS_ALL, "", c.how, 0);
    std::string error = "none", compile_error = "none";
    try {
      condition.Init(c.engines);
    } catch (const RegexCompileException& e) {
      error = e.what();
      compile_error = e.GetCompileError();
    } catch (const ASException& e) {
      error = e.what();
    }
    EXPECT_EQ(c.error != nullptr ? c.error : "none", error);
    if (c.compile_error != nullptr) {
      EXPECT_EQ(c.compile_error, compile_error);
    }
    EXPECT_EQ(c.error == nullptr && c.how == HOW_REGEX, condition.GetRegex() != nullptr);
  }
}

}  // namespace
