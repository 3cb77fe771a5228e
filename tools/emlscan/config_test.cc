#include "tools/emlscan/config.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "tools/emlscan/host_settings.h"

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
