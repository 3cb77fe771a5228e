// The streamer through the plug-in's external interface: packer loading by
// the settings, and the streams it makes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "emlbreaker/exceptions.h"
#include "emlbreaker/mail_item.h"
#include "emlbreaker/packer.h"
#include "framework/base/testing/map_settings.h"
#include "tests/plugin_loader.h"

namespace {

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

class StreamerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(plugin_.ok()) << plugin_.error();
    factory_ = plugin_.get_factory();
    streamer_ = dynamic_cast<CAStreamer*>(
        plugin_.FindAllocator(factory_, u"Eml Streamer")->CreateModule());
    ASSERT_NE(nullptr, streamer_);
    streamer_->settings = &settings_;
    streamer_->profileData[0] = streamer_->CreateProfileData();
    streamer_->sharedData = streamer_->CreateSharedData();
  }
  void TearDown() override {
    if (streamer_ != nullptr) {
      streamer_->DestroySharedData(streamer_->sharedData);
      streamer_->DestroyProfileData(streamer_->profileData[0]);
      delete streamer_;
    }
    plugin_.release_factory();
  }

  void Configure(const std::string& packer_dir, const char16_t* load) {
    settings_.values[u"/eml/streamer/PackerPath"] = Wide(packer_dir);
    if (load != nullptr) {
      settings_.values[u"/eml/streamer/LoadPacker"] = load;
    } else {
      settings_.values.erase(u"/eml/streamer/LoadPacker");
    }
  }


  PluginLoader plugin_;
  CAClassFactory* factory_ = nullptr;
  CAStreamer* streamer_ = nullptr;
  MapSettings settings_;
};

template <class Exception, class Call>
void ExpectThrows(Call call, const std::string& message) {
  try {
    call();
    ADD_FAILURE() << "no exception; expected " << message;
  } catch (const Exception& e) {
    EXPECT_EQ(message, e.what());
  }
}

TEST_F(StreamerTest, WithoutLoadPackerFileStreamsFail) {
  Configure(EMLB_PACKER_DIR, nullptr);
  streamer_->ApplySharedSettings(0);
  ExpectThrows<ASInternalException>(
      [&] { delete streamer_->CreateStream(0, const_cast<char*>("/nonexistent"), 3); },
      "MIME Packer required, but it was not loaded!");
}

TEST_F(StreamerTest, MemoryStreamCarriesTheSourceAsIs) {
  int source = 0;
  CAStream* stream = streamer_->CreateStream(0, &source, 4);
  auto* eml = dynamic_cast<CAEmlStream*>(stream);
  ASSERT_NE(nullptr, eml);
  EXPECT_EQ(4, eml->GetSubtype());
  EXPECT_EQ(&source, eml->GetHandle());
  EXPECT_STREQ("", eml->GetFileName().c_str());
  delete stream;
  ExpectThrows<ASInternalException>([&] { streamer_->CreateStream(0, &source, 5); },
                                    "Unknown EML Entity Subtype 5");
}

TEST_F(StreamerTest, FileStreamOpensThroughTheRealPacker) {
  Configure(EMLB_PACKER_DIR, u"1");
  streamer_->ApplySharedSettings(0);
  std::string mail = ::testing::TempDir() + "/streamer_test.eml";
  std::ofstream(mail) << "From: a@example.com\r\nSubject: hi\r\n\r\nbody\r\n";
  CAStream* stream = streamer_->CreateStream(0, const_cast<char*>(mail.c_str()), 3);
  auto* eml = dynamic_cast<CAEmlStream*>(stream);
  ASSERT_NE(nullptr, eml);
  EXPECT_EQ(3, eml->GetSubtype());
  EXPECT_EQ(mail, eml->GetFileName().c_str());
  auto* top = static_cast<CAMimePart*>(eml->GetHandle());
  ASSERT_NE(nullptr, top);
  uint32_t name_length = 0, value_length = 0;
  ASSERT_EQ(1, top->GetMaxHeaderLengths(&name_length, &value_length));
  std::string name(name_length + 1, '\0'), value(value_length + 1, '\0');
  top->RewindHeaders();
  ASSERT_EQ(1, top->NextHeader(name.data(), value.data()));
  EXPECT_STREQ("From", name.c_str());
  EXPECT_STREQ("a@example.com", value.c_str());
  delete stream;  // closes the packer handle
  unlink(mail.c_str());
}

TEST_F(StreamerTest, SameSettingsOrCaseOnlyChangeKeepThePacker) {
  Configure(EMLB_PACKER_DIR, u"1");
  streamer_->ApplySharedSettings(0);
  streamer_->ApplySharedSettings(0);
  // A packer directory differing only in case counts as the same path: nothing
  // is reloaded, so file streams still work although that directory does not
  // exist here.
  std::string upper = EMLB_PACKER_DIR;
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  Configure(upper, u"1");
  streamer_->ApplySharedSettings(0);
  std::string mail = ::testing::TempDir() + "/streamer_case.eml";
  std::ofstream(mail) << "Subject: x\r\n\r\n";
  delete streamer_->CreateStream(0, const_cast<char*>(mail.c_str()), 3);
  // Switching loading off releases the packer.
  Configure(EMLB_PACKER_DIR, u"0");
  streamer_->ApplySharedSettings(0);
  ExpectThrows<ASInternalException>(
      [&] { streamer_->CreateStream(0, const_cast<char*>(mail.c_str()), 3); },
      "MIME Packer required, but it was not loaded!");
  unlink(mail.c_str());
}

TEST_F(StreamerTest, BrokenPackersAreRefusedWithTheirReason) {
  const struct { std::string dir; const char* message; } kCases[] = {
      {EMLB_FAKE_PACKERS "/wrong-kind/", "Packer error: Wrong Packer loaded!"},
      {EMLB_FAKE_PACKERS "/no-export", "Packer error: Cannot request packer interface"},
      {"/nonexistent/dir", "Error loading packer library file!"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.dir);
    Configure(c.dir, u"1");
    ExpectThrows<CStreamerException>([&] { streamer_->ApplySharedSettings(0); }, c.message);
    ExpectThrows<ASInternalException>(
        [&] { streamer_->CreateStream(0, const_cast<char*>("/nonexistent"), 3); },
        "MIME Packer required, but it was not loaded!");
    // Back to nothing loaded, so the next row starts clean.
    Configure(c.dir, u"0");
    streamer_->ApplySharedSettings(0);
    streamer_->DestroySharedData(streamer_->sharedData);
    streamer_->sharedData = streamer_->CreateSharedData();
  }
}

}  // namespace
