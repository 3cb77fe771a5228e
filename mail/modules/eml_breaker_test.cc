#include "mail/modules/eml_breaker.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "emlbreaker/exceptions.h"
#include "framework/base/testing/map_settings.h"
#include "rules/language/rule_test_util.h"

namespace nsEmlModules {
namespace {

class EmlBreakerSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    breaker_.settings = &settings_;
    breaker_.profileData[3] = breaker_.CreateProfileData();
    breaker_.sharedData = breaker_.CreateSharedData();
  }
  void TearDown() override {
    breaker_.DestroyProfileData(breaker_.profileData[3]);
    breaker_.DestroySharedData(breaker_.sharedData);
  }
  float Threshold() {
    breaker_.ApplySettings(3);
    auto* block = static_cast<SEmlBreakerProfileData*>(breaker_.profileData[3]);
    EXPECT_EQ(1, block->applied);
    return block->wordFinderThreshold;
  }

  CEmlBreaker breaker_{u"EML Real Breaker"};
  MapSettings settings_;
};

TEST_F(EmlBreakerSettingsTest, AggressivityLevelChoosesTheThreshold) {
  const struct { const char* level; const char* threshold; float expected; } kCases[] = {
      {"9", "0.5", 0.24f},  {"0", nullptr, 0.17f},  {"1", nullptr, 0.16f},
      {"2", nullptr, 0.17f}, {"5x", nullptr, 0.20f}, {"abc", "0.3", 0.17f},  // not a number: 0
      {"12", "0.3", 0.3f},  {"-1", "0.3", 0.3f},   {"12", nullptr, 0.1f},
      {nullptr, nullptr, 0.1f}, {"", "0.25", 0.25f}, {nullptr, "", 0.1f},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.level ? c.level : "(none)") + " / " +
                 (c.threshold ? c.threshold : "(none)"));
    settings_.values.clear();
    if (c.level) settings_.Set(u"/eml/global/AggressivityLevel", c.level);
    if (c.threshold) settings_.Set(u"/eml/breaker/WordFinderThreshold", c.threshold);
    EXPECT_FLOAT_EQ(c.expected, Threshold());
  }
}

TEST_F(EmlBreakerSettingsTest, MissingDataBlocksAreRefused) {
  try {
    breaker_.ApplySettings(4);
    ADD_FAILURE();
  } catch (const ASBadPtrException& e) {
    EXPECT_STREQ("nsEmlModules::CEmlBreaker::ApplySettings - invalid data struct pointer received",
                 e.what());
  }
  void* shared = breaker_.sharedData;
  breaker_.sharedData = nullptr;
  EXPECT_THROW(breaker_.ApplySharedSettings(3), ASBadPtrException);
  breaker_.sharedData = shared;
}

TEST_F(EmlBreakerSettingsTest, SharedSettingsReadyTheConverter) {
  auto* shared = static_cast<SEmlBreakerSharedData*>(breaker_.sharedData);
  EXPECT_FALSE(shared->converter.IsReady());
  settings_.Set(u"/eml/global/SharedLibsPath", "/opt/libs");
  breaker_.ApplySharedSettings(3);
  EXPECT_TRUE(shared->converter.IsReady());
  EXPECT_EQ(ascommon::usstring(u"/opt/libs"), shared->libsPathApplied);

  // An absent libs path still readies a fresh converter: hosts that never
  // set it must get working conversions.
  CEmlBreaker other(u"EML Real Breaker");
  MapSettings empty;
  other.settings = &empty;
  other.sharedData = other.CreateSharedData();
  other.ApplySharedSettings(0);
  EXPECT_TRUE(static_cast<SEmlBreakerSharedData*>(other.sharedData)->converter.IsReady());
  other.DestroySharedData(other.sharedData);
}

// The engine steps of ApplySharedSettings: their order, their guards and the
// paths they remember.
class EmlBreakerEnginesTest : public EmlBreakerSettingsTest {
 protected:
  void SetUp() override {
    EmlBreakerSettingsTest::SetUp();
    folder_ = std::filesystem::temp_directory_path() /
              ("eml_breaker_engines_" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_ / "rules");
    std::filesystem::create_directories(folder_ / "empty");
    std::ofstream(folder_ / "rules" / "r.slf")
        << "rule PLAIN { condition: none; actions: none; metadata: relevance = 3; }\n"
           "rule RX { condition: match(\"a+\", Headers::ALL, REGEX); actions: none; "
           "metadata: none; }\n";
  }
  void TearDown() override {
    EmlBreakerSettingsTest::TearDown();
    std::filesystem::remove_all(folder_);
  }
  SEmlBreakerSharedData* Shared() const {
    return static_cast<SEmlBreakerSharedData*>(breaker_.sharedData);
  }
  // The engine steps' trace lines of one application, without the function name.
  std::vector<std::string> Apply() {
    rules_testing::RecordingTracer tracer;
    breaker_.ApplySharedSettings(3);
    const std::string prefix = "nsEmlModules::CEmlBreaker::ApplySharedSettings - ";
    std::vector<std::string> steps;
    for (const std::string& line : tracer.lines) {
      if (line.compare(0, prefix.size(), prefix) == 0) steps.push_back(line.substr(prefix.size()));
    }
    return steps;
  }

  std::filesystem::path folder_;
};

TEST_F(EmlBreakerEnginesTest, EachStepFailsOnItsOwnAndIsTriedAgain) {
  settings_.Set(u"/eml/global/SharedLibsPath", "/nonexistent");
  settings_.Set(u"/eml/global/SharedDataPath", folder_.string());
  settings_.Set(u"/eml/breaker/SlfPath", (folder_ / "empty").string());
  const std::vector<std::string> first = Apply();
  EXPECT_EQ((std::vector<std::string>{
                "the Word Finder failed to initialize properly",
                "could not obtain a handle to the Regular Expressions library",
                "the KNN graphical patterns engine failed to initialize properly",
                "the ASSL engine failed to initialize properly",
                "an important part of the functionality will be disabled"}),
            first);
  ASSERT_NE(nullptr, Shared()->engines);
  EXPECT_NE(nullptr, Shared()->engines->GetCodeHeurEngine());  // it needs no data
  // Nothing failed is remembered, so the next application tries it all again.
  for (const ascommon::usstring* applied :
       {&Shared()->wordFinderPathApplied, &Shared()->regexPathApplied, &Shared()->knnPathApplied,
        &Shared()->slfPathApplied}) {
    EXPECT_FALSE(applied->IsSet());
  }
  EXPECT_EQ(first, Apply());

  // With the library there, the regex rule loads too.
  settings_.Set(u"/eml/global/SharedLibsPath", EMLB_PATMATCH_DIR);
  settings_.Set(u"/eml/breaker/SlfPath", (folder_ / "rules").string());
  EXPECT_EQ((std::vector<std::string>{
                "the Word Finder failed to initialize properly",
                "the KNN graphical patterns engine failed to initialize properly"}),
            Apply());
  CASSLEngine* engine = Shared()->engines->GetASSLEngine();
  ASSERT_NE(nullptr, engine);
  EXPECT_EQ(2u, engine->GetRuleCount());
  EXPECT_EQ(ascommon::usstring(u"" EMLB_PATMATCH_DIR), ascommon::usstring(Shared()->regexPathApplied));

  // The same paths again: the rules and the library stay as they are.
  CRegexLibrary* library = Shared()->engines->GetRegexLibrary();
  Apply();
  EXPECT_EQ(engine, Shared()->engines->GetASSLEngine());
  EXPECT_EQ(library, Shared()->engines->GetRegexLibrary());
}

TEST_F(EmlBreakerEnginesTest, TheRelevanceMapIsWrittenWhenAskedFor) {
  const std::filesystem::path saved = std::filesystem::current_path();
  std::filesystem::current_path(folder_);
  settings_.Set(u"/eml/global/SharedLibsPath", EMLB_PATMATCH_DIR);
  settings_.Set(u"/eml/breaker/SlfPath", (folder_ / "rules").string());
  settings_.Set(u"GENERATE_NNMAP_FILE", "2");  // only 1 asks for it
  Apply();
  const bool written_for_2 = std::filesystem::exists(folder_ / "asnnmap.dat");
  settings_.Set(u"/eml/breaker/SlfPath", (folder_ / "rules").string() + "/");
  settings_.Set(u"GENERATE_NNMAP_FILE", "1");
  Apply();
  const bool written_for_1 = std::filesystem::exists(folder_ / "asnnmap.dat");
  std::filesystem::current_path(saved);
  EXPECT_FALSE(written_for_2);
  EXPECT_TRUE(written_for_1);
}

}  // namespace
}  // namespace nsEmlModules
