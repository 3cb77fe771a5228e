#include "tools/emlscan/config.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <unistd.h>

#include "tools/emlscan/host_settings.h"
#include "tools/emlscan/settings_schema.h"

namespace emlscan {
namespace {

class ConfigTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& text) {
    std::string dir = ::testing::TempDir() + "/emlscan_config_test";
    std::filesystem::create_directories(dir);
    std::string file = dir + "/settings.toml";
    std::ofstream(file) << text;
    return file;
  }
};

TEST_F(ConfigTest, TablesMirrorSettingPathsAndValuesAnswerAsText) {
  std::string file = Write(
      "[eml.global]\n"
      "SharedDataPath = \"data\"\n"
      "SharedLibsPath = \"${plugin_dir}\"\n"
      "AggressivityLevel = 7\n"
      "[eml.streamer]\n"
      "LoadPacker = true\n"
      "PackerPath = \"/abs/olute\"\n"
      "[eml.breaker]\n"
      "WordFinderThreshold = 0.25\n"
      "Name = \"not a path\"\n");
  Config config = Config::Load(file);
  config.ExpandPluginDir("/opt/plugin");
  std::string data_dir = (std::filesystem::path(file).parent_path() / "data").lexically_normal();
  EXPECT_EQ(data_dir, config.Get("/eml/global/SharedDataPath"));
  EXPECT_EQ("/opt/plugin", config.Get("/eml/global/SharedLibsPath"));
  EXPECT_EQ("7", config.Get("/eml/global/AggressivityLevel"));
  EXPECT_EQ("1", config.Get("/eml/streamer/LoadPacker"));
  EXPECT_EQ("/abs/olute", config.Get("/eml/streamer/PackerPath"));
  EXPECT_EQ("0.25", config.Get("/eml/breaker/WordFinderThreshold"));
  EXPECT_EQ("not a path", config.Get("/eml/breaker/Name"));
  EXPECT_FALSE(config.Get("/eml/global/Missing").has_value());

  config.Override("/eml/global/AggressivityLevel=2");
  config.Override("/new/Setting=a=b");
  EXPECT_EQ("2", config.Get("/eml/global/AggressivityLevel"));
  EXPECT_EQ("a=b", config.Get("/new/Setting"));
  EXPECT_THROW(config.Override("no-slash=1"), std::invalid_argument);
  EXPECT_THROW(config.Override("/no/equals"), std::invalid_argument);

  HostSettings settings(config);
  EXPECT_EQ(std::u16string(u"2"), settings.GetSetting(0, u"/eml/global/AggressivityLevel"));
  EXPECT_EQ(nullptr, settings.GetSetting(999, u"/eml/global/Missing"));
  EXPECT_EQ(2, settings.GetIntSetting(5, u"/eml/global/AggressivityLevel", 9));
  EXPECT_EQ(9, settings.GetIntSetting(5, u"/eml/breaker/Name", 9));  // not a number
  EXPECT_EQ(9, settings.GetIntSetting(5, u"/eml/global/Missing", 9));
}

TEST_F(ConfigTest, ErrorsNameTheFileAndLine) {
  std::string file = Write("[eml.global]\nSharedDataPath = \n");
  try {
    Config::Load(file);
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(0u, std::string(e.what()).find(file + ":2:")) << e.what();
  }
  file = Write("[eml.global]\nList = [1, 2]\n");
  try {
    Config::Load(file);
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find(":2: setting /eml/global/List"))
        << e.what();
  }
}

// Settings checked as CheckHostConfig does before a command runs. The plug-in
// sits in a folder of the test's own, so that ${plugin_dir} names one.
class SettingsCheckTest : public ConfigTest {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::path(::testing::TempDir() + "/emlscan_settings_check")
               .lexically_normal()
               .string();
    std::filesystem::create_directories(dir_ + "/lib");
    std::filesystem::create_directories(dir_ + "/rules");
    plugin_ = dir_ + "/lib/libemlbreaker.so";
  }
  std::string WriteIn(const std::string& name, const std::string& text) {
    std::string file = dir_ + "/" + name;
    std::ofstream(file) << text;
    return file;
  }
  std::vector<std::string> Check(const std::string& file,
                                 const std::vector<std::string>& overrides = {}) {
    return CheckHostConfig(file, overrides, plugin_);
  }
  std::string dir_;
  std::string plugin_;
};

TEST_F(SettingsCheckTest, GoodSettingsPassAndTheShippedFileIsGood) {
  std::string file = WriteIn("good.toml",
                             "GENERATE_NNMAP_FILE = 0\n"
                             "[eml.global]\n"
                             "SharedLibsPath = \"${plugin_dir}\"\n"
                             "SharedDataPath = \".\"\n"
                             "AggressivityLevel = \"9\"\n"
                             "[eml.breaker]\n"
                             "SlfPath = \"rules\"\n"
                             "WordFinderThreshold = \"0.25\"\n"
                             "[eml.performer]\n"
                             "AddHeader = true\n"
                             "SpamTag = \"\"\n"
                             "HeaderName = \"X-Spam-Flag\"\n"
                             "[emlscan.check]\n"
                             "Threshold = -3\n");
  EXPECT_EQ(std::vector<std::string>{}, Check(file));
  EXPECT_EQ(std::vector<std::string>{}, Check(EMLSCAN_SHIPPED_CONFIG));
}

TEST_F(SettingsCheckTest, UnknownPathsSuggestTheClosestKnownSetting) {
  std::string file = WriteIn("unknown.toml",
                             "[eml.global]\n"
                             "AgressivityLevel = 5\n"
                             "SlfPath = \"rules\"\n"
                             "[emlscan.check]\n"
                             "threshold = 5\n"
                             "[totally.different]\n"
                             "Thing = 1\n");
  const std::vector<std::string> expected = {
      file + ":2: /eml/global/AgressivityLevel: unknown setting; "
             "did you mean /eml/global/AggressivityLevel?",
      file + ":3: /eml/global/SlfPath: unknown setting; did you mean /eml/breaker/SlfPath?",
      file + ":5: /emlscan/check/threshold: unknown setting; "
             "did you mean /emlscan/check/Threshold?",
      file + ":7: /totally/different/Thing: unknown setting",
      "--set /eml/performer/SpamTg=x: unknown setting; did you mean /eml/performer/SpamTag?",
  };
  EXPECT_EQ(expected, Check(file, {"/eml/performer/SpamTg=x"}));
  EXPECT_EQ("", ClosestSetting("/eml/breaker/Tag"));
}

TEST_F(SettingsCheckTest, WrongValuesInTheFileNameTheirLineAndAllAreReported) {
  std::string file = WriteIn("wrong.toml",
                             "[eml.global]\n"
                             "AggressivityLevel = \"high\"\n"
                             "[eml.breaker]\n"
                             "WordFinderThreshold = \"0.1x\"\n"
                             "[eml.streamer]\n"
                             "LoadPacker = \"yes\"\n"
                             "[eml.performer]\n"
                             "HeaderName = \"X Spam\"\n"
                             "[emlscan.check]\n"
                             "Threshold = 2.5\n"
                             "UnreadableBodyScore = 99999999999\n"
                             "[eml.list]\n"
                             "Values = [1, 2]\n");
  const std::vector<std::string> expected = {
      file + ":13: setting /eml/list/Values must be a string, a number or a boolean",
      file + ":2: /eml/global/AggressivityLevel: \"high\" is not a whole number from 0 to 9",
      file + ":4: /eml/breaker/WordFinderThreshold: \"0.1x\" is not a number from 0 to 1",
      file + ":6: /eml/streamer/LoadPacker: \"yes\" is not true or false",
      file + ":8: /eml/performer/HeaderName: \"X Spam\" is not a header name",
      file + ":10: /emlscan/check/Threshold: \"2.5\" is not a whole number",
      file + ":11: /emlscan/check/UnreadableBodyScore: \"99999999999\" is not a whole number",
  };
  EXPECT_EQ(expected, Check(file));

  // Out of range, at both ends.
  file = WriteIn("range.toml",
                 "[eml.global]\nAggressivityLevel = 10\n[eml.breaker]\nWordFinderThreshold = -0.5\n");
  EXPECT_EQ((std::vector<std::string>{
                file + ":2: /eml/global/AggressivityLevel: \"10\" is not a whole number from 0 to 9",
                file + ":4: /eml/breaker/WordFinderThreshold: \"-0.5\" is not a number from 0 to 1",
            }),
            Check(file));
}

TEST_F(SettingsCheckTest, SetValuesAreCheckedAfterTheFileAndReplaceIt) {
  std::string file = WriteIn("set.toml",
                             "[eml.global]\nAggressivityLevel = \"high\"\n"
                             "[eml.streamer]\nLoadPacker = false\n");
  // The --set value is the one checked; the file's "high" is gone.
  EXPECT_EQ(std::vector<std::string>{}, Check(file, {"/eml/global/AggressivityLevel=3"}));
  const std::vector<std::string> expected = {
      "--set expects /path/of/setting=value, got \"nothing\"",
      "--set /eml/global/AggressivityLevel=x: \"x\" is not a whole number from 0 to 9",
      "--set /eml/streamer/LoadPacker=on: \"on\" is not true or false",
  };
  EXPECT_EQ(expected, Check(file, {"/eml/global/AggressivityLevel=x", "nothing",
                                   "/eml/streamer/LoadPacker=on"}));

  // true / false reach the plug-in as the "1" / "0" it tests for.
  Config config = LoadHostConfig(file, {"/eml/streamer/LoadPacker=True"}, plugin_);
  EXPECT_EQ("1", config.Get("/eml/streamer/LoadPacker"));
  config.Override("GENERATE_NNMAP_FILE=1");
  EXPECT_EQ("1", config.Get("GENERATE_NNMAP_FILE"));
}

TEST_F(SettingsCheckTest, FoldersMustExistOnceResolvedAndExpanded) {
  std::string file = WriteIn("folders.toml",
                             "[eml.global]\n"
                             "SharedLibsPath = \"${plugin_dir}\"\n"
                             "SharedDataPath = \"nowhere\"\n"
                             "[eml.breaker]\n"
                             "SlfPath = \"folders.toml\"\n"
                             "[eml.streamer]\n"
                             "PackerPath = \"${plugin_dir}/packer\"\n");
  const std::vector<std::string> expected = {
      file + ":3: /eml/global/SharedDataPath: \"nowhere\" (" + dir_ + "/nowhere): no such folder",
      file + ":5: /eml/breaker/SlfPath: \"folders.toml\" (" + file + "): not a folder",
      file + ":7: /eml/streamer/PackerPath: \"${plugin_dir}/packer\" (" + dir_ +
          "/lib/packer): no such folder",
      "--set /eml/global/SharedLibsPath=${plugin_dir}/x: " + dir_ + "/lib/x: no such folder",
  };
  EXPECT_EQ(expected, Check(file, {"/eml/global/SharedLibsPath=${plugin_dir}/x"}));
  EXPECT_EQ(std::vector<std::string>{},
            Check(file, {"/eml/global/SharedDataPath=" + dir_ + "/rules",
                         "/eml/breaker/SlfPath=.", "/eml/streamer/PackerPath="}))
      << "a relative --set path is the current folder's, and an empty one names none";
}

TEST_F(SettingsCheckTest, AConfigThatIsNoReadableFileIsOneProblem) {
  EXPECT_EQ(std::vector<std::string>{dir_ + ": a folder, not a settings file"}, Check(dir_));
  EXPECT_EQ(std::vector<std::string>{dir_ + "/none.toml: no such settings file"},
            Check(dir_ + "/none.toml"));
  EXPECT_THROW(Config::Load(dir_), std::runtime_error);
  std::string file = WriteIn("locked.toml", "[eml.global]\n");
  std::filesystem::permissions(file, std::filesystem::perms::none);
  if (geteuid() != 0) {  // root reads it anyway
    EXPECT_EQ(std::vector<std::string>{file + ": cannot read it: Permission denied"}, Check(file));
  }
  std::filesystem::permissions(file, std::filesystem::perms::owner_all);
}

// Mail text may hold a lone surrogate; the dump shows U+FFFD for it and keeps
// everything around it, where a strict conversion would drop the whole value.
TEST(Utf16ToUtf8Test, PairsBecomeFourBytesAndLoneSurrogatesBecomeReplacement) {
  EXPECT_EQ("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", Utf16ToUtf8(u"a\u00E9\u20AC\U0001F600"));
  const char16_t lone[] = {u'x', 0xD83D, u'y', 0xDC00, 0};
  EXPECT_EQ("x\xEF\xBF\xBDy\xEF\xBF\xBD", Utf16ToUtf8(lone));
  std::string out = "kept ";
  AppendUtf8(out, u"\u00FF");
  EXPECT_EQ("kept \xC3\xBF", out);
}

TEST(AppendZeroPaddedTest, WritesWhatPrintfWrites) {
  for (int64_t value : {int64_t{0}, int64_t{7}, int64_t{-7}, int64_t{59}, int64_t{-240},
                        int64_t{1999}, int64_t{12345}, int64_t{INT32_MIN}, int64_t{INT32_MAX}}) {
    for (int width : {0, 1, 2, 4, 6}) {
      char expected[32];
      std::snprintf(expected, sizeof(expected), "%0*lld", width, static_cast<long long>(value));
      std::string out = "x";
      AppendZeroPadded(out, value, width);
      EXPECT_EQ(std::string("x") + expected, out) << value << " " << width;
    }
  }
}

}  // namespace
}  // namespace emlscan
