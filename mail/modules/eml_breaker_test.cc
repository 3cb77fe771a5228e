#include "mail/modules/eml_breaker.h"

#include <gtest/gtest.h>

#include "emlbreaker/exceptions.h"
#include "framework/base/testing/map_settings.h"

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

}  // namespace
}  // namespace nsEmlModules
