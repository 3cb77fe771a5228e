// The performer driven as a host drives it: the plug-in loaded with dlopen,
// a mail broken by the real breaker over the real packer, the verdict left in
// a verdict box, and what the performer changed read back through the public
// layouts and from the mail the packer writes.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <strings.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "emlbreaker/broken_mail.h"
#include "emlbreaker/exceptions.h"
#include "emlbreaker/mail_item.h"
#include "emlbreaker/packer.h"
#include "framework/base/testing/map_settings.h"
#include "framework/base/testing/outcome.h"
#include "tests/plugin_loader.h"

namespace {

using emlbtest::Outcome;
using nsEmlComponents::CHeader;
using nsEmlComponents::CHeaderOther;
using nsEmlComponents::CHeaderSubject;

constexpr uint32_t kProfile = 0;
constexpr const char kMail[] =
    "From: a@example.org\r\nSubject: Hello\r\nx-orvane-spam: old\r\n\r\nbody\r\n";

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// A filter's execution unit that knows only its hit rules.
class FakeUnit final : public CAExecutionUnit {
 public:
  double ExecRule(const char*) override { return 0.0; }
  double AutoExecRule(const char*, double value) override { return value; }
  const NNetRuleArray& GetNNetRules() override { return nnet_; }
  const SignatureArray& GetSignatures() override { return signatures_; }
  ascommon::sstring GetHitRules() override {
    if (fail) throw ASException("no rule engine");
    return ascommon::sstring("R1; R2");
  }
  int32_t GetIntValue(const char*) override { return 0; }
  ascommon::sstring GetStringValue(const char*) override { return ascommon::sstring(); }

  bool fail = false;

 private:
  NNetRuleArray nnet_;
  SignatureArray signatures_;
};

class PerformerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(plugin_.ok()) << plugin_.error();
    factory_ = plugin_.get_factory();
    streamer_ = static_cast<CAStreamer*>(Create(u"Eml Streamer"));
    breaker_ = static_cast<CABreaker*>(Create(u"EML Real Breaker"));
    performer_ = static_cast<CAPerformer*>(Create(u"Performer Module for the Mail Entity Type"));
    ASSERT_EQ(kModuleTypePerformer, performer_->moduleType);
    settings_.values[u"/eml/streamer/PackerPath"] = Wide(EMLB_PACKER_DIR);
    settings_.values[u"/eml/streamer/LoadPacker"] = u"1";
    settings_.values[u"/eml/global/SharedLibsPath"] = Wide(EMLB_PACKER_DIR);
    for (CAModule* module : {static_cast<CAModule*>(streamer_), static_cast<CAModule*>(breaker_)}) {
      module->ApplySettings(kProfile);
      module->ApplySharedSettings(kProfile);
    }
    item_.verdictBox = &verdict_;
  }
  void TearDown() override {
    Release();
    stream_.reset();
    if (!mail_path_.empty()) unlink(mail_path_.c_str());
    for (CAModule* module : {static_cast<CAModule*>(performer_),
                             static_cast<CAModule*>(breaker_), static_cast<CAModule*>(streamer_)})
      PluginLoader::DestroyModule(module, kProfile);
    plugin_.release_factory();
  }

  CAModule* Create(const char16_t* name) {
    return plugin_.CreateModule(factory_, name, &settings_, kProfile);
  }

  // Applies the performer's settings, then breaks `text` into item_ (after
  // releasing the mail broken before).
  void Break(const std::string& text = kMail) {
    performer_->ApplySettings(kProfile);
    Release();
    item_.modified = false;
    stream_.reset();
    mail_path_ = ::testing::TempDir() + "/performer_test_" + std::to_string(getpid()) + ".eml";
    std::ofstream(mail_path_, std::ios::binary) << text;
    stream_.reset(streamer_->CreateStream(kProfile, mail_path_.data(), kEmlSubtypeFile));
    item_.stream = stream_.get();
    ASSERT_EQ(0, breaker_->Break(kProfile, &item_));
  }

  // Puts `unit` (null: none) under id 4 in place of the breaker's own unit,
  // which goes back before the mail is released.
  void UseUnit(CAExecutionUnit* unit) {
    if (!stashed_) breaker_unit_ = item_.box.GetReference(kExecutionUnitId);
    stashed_ = true;
    item_.box.Remove(kExecutionUnitId);
    if (unit != nullptr) item_.box.SetReference(unit, kExecutionUnitId);
  }
  void Release() {
    if (item_.stream == nullptr) return;
    if (stashed_) {
      item_.box.Remove(kExecutionUnitId);
      if (breaker_unit_ != nullptr) item_.box.SetReference(breaker_unit_, kExecutionUnitId);
      stashed_ = false;
    }
    breaker_->ReleaseBrokenMail(kProfile, &item_);
    item_.stream = nullptr;
  }

  // The header of that name, whatever the case of its key: headers read from
  // the mail are keyed upper-case, the ones the performer adds as configured.
  CHeader* Header(const char* name) {
    nsEmlComponents::CHeaderMap* headers = GetMailHeaders(item_.box);
    auto position = headers->GetStartPosition();
    for (uint32_t i = 0; i < headers->GetCount(); ++i, position.Next()) {
      if (strcasecmp(position.Key().c_str(), name) == 0) return position.Value();
    }
    return nullptr;
  }
  // The text of an added or changed header; "-" when there is none.
  std::string Text(const char* key) {
    CHeader* header = Header(key);
    if (header == nullptr) return "-";
    auto* modifiable = header->GetType() == nsEmlComponents::kHeaderSubject
                           ? static_cast<nsEmlComponents::CModifiableHeader*>(
                                 static_cast<CHeaderSubject*>(header))
                           : static_cast<CHeaderOther*>(header);
    EXPECT_EQ(1, modifiable->modified) << key;
    return modifiable->GetText();
  }
  std::string Perform(int32_t action) {
    return Outcome([&] { performer_->Perform(kProfile, &item_, action); });
  }

  PluginLoader plugin_;
  CAClassFactory* factory_ = nullptr;
  CAStreamer* streamer_ = nullptr;
  CABreaker* breaker_ = nullptr;
  CAPerformer* performer_ = nullptr;
  MapSettings settings_;
  ascommon::CBlackBox verdict_;
  std::string mail_path_;
  std::unique_ptr<CAStream> stream_;
  MailItem item_;
  bool stashed_ = false;
  void* breaker_unit_ = nullptr;
};

TEST_F(PerformerTest, WithDefaultSettingsOnlyTheStampIsAdded) {
  Break();
  verdict_.SetInt(57, kVerdictScoreId, true);
  const uint32_t count = GetMailHeaders(item_.box)->GetCount();
  for (int32_t action : {-1, 0, 1, 2, 3, 4, 5, 6, 7}) EXPECT_EQ("none", Perform(action));
  EXPECT_EQ(count, GetMailHeaders(item_.box)->GetCount());  // no stamp text yet
  EXPECT_FALSE(item_.modified);
  EXPECT_EQ(0, static_cast<CHeaderSubject*>(Header("SUBJECT"))->modified);

  verdict_.SetString("stamp 213", kVerdictStampId, true);
  EXPECT_EQ("none", Perform(6));
  EXPECT_TRUE(item_.modified);
  ASSERT_NE(nullptr, Header("X-ORVANE-SPAMSTAMP"));
  EXPECT_EQ(nsEmlComponents::kHeaderOther, Header("X-ORVANE-SPAMSTAMP")->GetType());
  EXPECT_EQ("stamp 213", Text("X-ORVANE-SPAMSTAMP"));
}

TEST_F(PerformerTest, FlagsAreOnOnlyWhenTheyStartWithOneAndTextsFollowTheirFlag) {
  verdict_.SetString("s", kVerdictStampId, true);
  struct Case {
    const char* stamp_enabled;  // null: absent
    bool stamped;
  } cases[] = {{nullptr, true}, {"1", true}, {"1x", true}, {"0", false}, {"yes", false}, {"", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stamp_enabled != nullptr ? c.stamp_enabled : "absent");
    settings_.values.erase(u"/eml/performer/SpamStampEnabled");
    if (c.stamp_enabled != nullptr) settings_.Set(u"/eml/performer/SpamStampEnabled", c.stamp_enabled);
    Break();
    Perform(6);
    EXPECT_EQ(c.stamped ? "s" : "-", Text("X-ORVANE-SPAMSTAMP"));
    EXPECT_EQ(c.stamped, item_.modified);
  }
  // A tag given while its flag is off is not taken; the record keeps the
  // default until the tag is given with the flag on.
  settings_.Set(u"/eml/performer/TagSpamSubject", "0");
  settings_.Set(u"/eml/performer/SpamTag", "[X] ");
  Break();
  EXPECT_EQ("none", Perform(0));
  EXPECT_FALSE(item_.modified);
  settings_.Set(u"/eml/performer/TagSpamSubject", "1");
  settings_.values.erase(u"/eml/performer/SpamTag");
  performer_->ApplySettings(kProfile);
  Perform(0);
  settings_.Set(u"/eml/performer/SpamTag", "[X] ");
  performer_->ApplySettings(kProfile);
  Perform(0);
  EXPECT_EQ("[X] [spam]Hello", Text("SUBJECT"));
  EXPECT_TRUE(item_.modified);
}

TEST_F(PerformerTest, SubjectTagsPrefixTheSubjectOrBecomeIt) {
  settings_.Set(u"/eml/performer/TagSpamSubject", "1");
  Break("From: a@example.org\r\n\r\nbody\r\n");
  Perform(0);
  ASSERT_NE(nullptr, Header("SUBJECT"));
  EXPECT_EQ(nsEmlComponents::kHeaderSubject, Header("SUBJECT")->GetType());
  EXPECT_EQ("[spam]", Text("SUBJECT"));
  // Phishing with only spam tagging on takes the spam tag; with its own flag
  // its own tag.
  Break();
  Perform(1);
  EXPECT_EQ("[spam]Hello", Text("SUBJECT"));
  settings_.Set(u"/eml/performer/TagPhishSubject", "1");
  performer_->ApplySettings(kProfile);
  Perform(1);
  EXPECT_EQ("[phishing][spam]Hello", Text("SUBJECT"));
  // A subject key that holds another class of header is refused.
  auto* headers = GetMailHeaders(item_.box);
  CHeader* subject = Header("SUBJECT");
  ASSERT_EQ(0, headers->SetAt(ascommon::sstring("SUBJECT"), Header("FROM")));
  item_.modified = false;
  EXPECT_EQ("-1 nsEmlModules::CEmlPerformer::TagSubject - the lookup returned an invalid header "
            "(it is not a subject header)", Perform(0));
  EXPECT_FALSE(item_.modified);
  headers->SetAt(ascommon::sstring("SUBJECT"), subject);
}

TEST_F(PerformerTest, VerdictHeaderExpandsScoreAndCategoryWithinTheLimits) {
  settings_.Set(u"/eml/performer/AddHeader", "1");
  Break();
  // No score: the header comes with an empty value.
  Perform(2);
  EXPECT_EQ("", Text("X-ORVANE-SPAM"));
  EXPECT_TRUE(item_.modified);
  // The defaults, with the two blanks of the legitimate value; the mail's own
  // header of that name, spelled in lower case, is the one rewritten.
  const uint32_t count = GetMailHeaders(item_.box)->GetCount();
  verdict_.SetInt(57, kVerdictScoreId, true);
  Perform(2);
  EXPECT_EQ("Yes (57)", Text("X-ORVANE-SPAM"));
  Perform(3);
  EXPECT_EQ("No  (57)", Text("X-ORVANE-SPAM"));
  EXPECT_EQ(count, GetMailHeaders(item_.box)->GetCount());

  const std::string long_category(300, 'c');
  const struct {
    std::string value_template;
    const char* category;  // null: none in the verdict box
    std::string expected;
  } cases[] = {
      {"$score/$categ/$category/$scor/$ $x", "phish", "57/phish/phishory/$scor/$ $x"},
      {"[$categ]", nullptr, "[]"},
      {std::string(1100, 'a'), nullptr, std::string(1023, 'a')},
      {"$categ$categ$categ$categ", long_category.c_str(), std::string(1023, 'c')},
      // The template is read up to 1024 characters, whatever they expand to.
      {[] { std::string t; for (int i = 0; i < 200; ++i) t += "$categ"; return t + "tail"; }(),
       nullptr, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value_template.substr(0, 40));
    settings_.Set(u"/eml/performer/ASHeaderSpamValue", c.value_template);
    performer_->ApplySettings(kProfile);
    verdict_.Remove(kVerdictCategoryId);
    if (c.category != nullptr) verdict_.SetString(c.category, kVerdictCategoryId, true);
    Perform(2);
    EXPECT_EQ(c.expected, Text("X-ORVANE-SPAM"));
  }
}

TEST_F(PerformerTest, HitRulesHeaderComesFromTheExecutionUnit) {
  settings_.Set(u"/eml/performer/AddASSLHeader", "1");
  settings_.Set(u"/eml/performer/ASSLHeaderName", "X-Hits");
  Break();
  UseUnit(nullptr);
  EXPECT_EQ("none", Perform(5));
  FakeUnit unit;
  unit.fail = true;
  UseUnit(&unit);
  EXPECT_EQ("none", Perform(5));
  EXPECT_EQ(nullptr, Header("X-HITS"));
  EXPECT_FALSE(item_.modified);
  unit.fail = false;
  Perform(5);
  EXPECT_EQ("R1; R2", Text("X-HITS"));
  EXPECT_TRUE(item_.modified);
  Release();
}

TEST_F(PerformerTest, FailuresNameTheActionAndLeaveTheItemUnmodified) {
  settings_.Set(u"/eml/performer/AddHeader", "1");
  settings_.Set(u"/eml/performer/HeaderName", "From");
  Break();
  EXPECT_EQ("-1 nsEmlModules::CEmlPerformer::AddCustomHeader - the search returned an invalid "
            "header", Perform(3));
  EXPECT_FALSE(item_.modified);

  MailItem unbroken;
  EXPECT_EQ("none", Outcome([&] { performer_->Perform(kProfile, &unbroken, 0); }));  // flag off
  EXPECT_EQ("-1 nsEmlModules::CEmlPerformer::AddStampHeader - could not get Eml headers map",
            Outcome([&] { performer_->Perform(kProfile, &unbroken, 6); }));
  unbroken.box.SetObject(new ascommon::sstring("not a map"), kMailHeadersId, true);
  EXPECT_EQ("-1 nsEmlModules::CEmlPerformer::AddSpamHeader - could not convert pointer to "
            "headers map", Outcome([&] { performer_->Perform(kProfile, &unbroken, 2); }));

  performer_->DestroyProfileData(performer_->profileData[kProfile]);
  performer_->profileData[kProfile] = nullptr;
  EXPECT_EQ("-1 CEmlPerformer - could not get data struct", Perform(6));
  EXPECT_EQ("-1 nsEmlModules::CEmlPerformer::AddASSLHeader - could not get data struct",
            Perform(5));
  EXPECT_EQ("none", Perform(4));
  EXPECT_EQ("-1 nsEmlModules::CEmlPerformer::ApplySettings - invalid data struct pointer received",
            Outcome([&] { performer_->ApplySettings(kProfile); }));
}

// The value of the first header line named `name` (any case), "-" when none.
std::string WrittenHeader(const std::string& mail, const std::string& name) {
  std::istringstream lines(mail);
  for (std::string line; std::getline(lines, line) && line != "\r";) {
    if (line.size() > name.size() && line[name.size()] == ':' &&
        strncasecmp(line.c_str(), name.c_str(), name.size()) == 0)
      return line.substr(name.size() + 2, line.size() - name.size() - 3);  // without ": " and CR
  }
  return "-";
}

TEST_F(PerformerTest, ChangesReachTheMailThePackerWrites) {
  for (const char* flag : {"TagSpamSubject", "AddHeader", "AddASSLHeader"})
    settings_.values[u"/eml/performer/" + Wide(flag)] = u"1";
  Break();
  verdict_.SetInt(57, kVerdictScoreId, true);
  verdict_.SetString("stamp 213", kVerdictStampId, true);
  FakeUnit unit;
  UseUnit(&unit);
  for (int32_t action : {0, 2, 5, 6}) ASSERT_EQ("none", Perform(action));
  breaker_->CommitChanges(kProfile, &item_);

  void* library = dlopen(EMLB_PACKER_DIR "/libmsgcodec.so", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, library);
  auto request = reinterpret_cast<RequestInterfaceFn>(dlsym(library, kRequestInterfaceName));
  auto release = reinterpret_cast<ReleaseInterfaceFn>(dlsym(library, kReleaseInterfaceName));
  CAMimePacker* packer = nullptr;
  ASSERT_NE(0, request(kPackerKindMime, &packer));
  const std::string written = mail_path_ + ".out";
  ASSERT_EQ(1, packer->WriteToFile(static_cast<CAMimePart*>(
                                       static_cast<CAEmlStream*>(stream_.get())->GetHandle()),
                                   written.c_str()))
      << packer->GetLastError();
  release(&packer);
  dlclose(library);
  std::ostringstream out;
  out << std::ifstream(written, std::ios::binary).rdbuf();
  unlink(written.c_str());
  Release();

  EXPECT_EQ("[spam]Hello", WrittenHeader(out.str(), "Subject"));
  EXPECT_EQ("Yes (57)", WrittenHeader(out.str(), "X-Orvane-Spam"));
  EXPECT_EQ("R1; R2", WrittenHeader(out.str(), "X-Orvane-ASSL-Hit-Rules"));
  EXPECT_EQ("stamp 213", WrittenHeader(out.str(), "X-Orvane-SpamStamp"));
  EXPECT_EQ("a@example.org", WrittenHeader(out.str(), "From"));
}

}  // namespace
