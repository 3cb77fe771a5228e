// The plug-in as a host sees it: loaded with dlopen, driven only through its
// exports and the module interfaces.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "emlbreaker/class_factory.h"
#include "emlbreaker/exceptions.h"
#include "emlbreaker/mail_item.h"
#include "emlbreaker/trace.h"
#include "tests/plugin_loader.h"

namespace {

TEST(HostTest, ExportsOnlyTheFactoryEntryPoints) {
  PluginLoader plugin;
  ASSERT_TRUE(plugin.ok()) << plugin.error();
  // Internal classes must not leak out of the shared object.
  EXPECT_EQ(nullptr, dlsym(plugin.handle(), "_ZN12nsEmlModules11CEmlBreaker5BreakEjP8MailItem"));
}

TEST(HostTest, VersionIsWrittenThroughEachNonNullPointer) {
  PluginLoader plugin;
  ASSERT_TRUE(plugin.ok()) << plugin.error();
  uint32_t major = 0, minor = 0, build = 0;
  plugin.get_version(&major, &minor, &build);
  EXPECT_EQ(2u, major);
  EXPECT_EQ(5u, minor);
  EXPECT_EQ(16u, build);
  uint32_t only_minor = 99;
  plugin.get_version(nullptr, &only_minor, nullptr);
  EXPECT_EQ(5u, only_minor);
  plugin.get_version(nullptr, nullptr, nullptr);
}

struct ModuleRow {
  const char16_t* name;
  int32_t type;
  int breaker_kind;  // 0: not a breaker
  bool is_virtual;
};

const ModuleRow kModules[] = {
    {u"EML Real Breaker", 2, 1, false},
    {u"Virtual Eml Header Breaker", 2, 2, true},
    {u"Virtual Eml Parts Breaker", 2, 3, true},
    {u"Virtual Eml Html Parts Breaker", 2, 5, true},
    {u"Virtual Eml Text Parts Breaker", 2, 4, true},
    {u"Eml Streamer", 5, 0, false},
    {u"Performer Module for the Mail Entity Type", 4, 0, false},
};

TEST(HostTest, FactoryListsSevenModulesInOrderAndCreatesEach) {
  PluginLoader plugin;
  ASSERT_TRUE(plugin.ok()) << plugin.error();
  CAClassFactory* factory = plugin.get_factory();
  ASSERT_NE(nullptr, factory);
  EXPECT_EQ(factory, plugin.get_factory());
  ASSERT_EQ(7u, factory->allocators.GetSize());
  for (size_t i = 0; i < 7; ++i) {
    const ModuleRow& row = kModules[i];
    CBasicAllocator* allocator = factory->allocators[i];
    ASSERT_NE(nullptr, allocator);
    EXPECT_EQ(std::u16string_view(row.name), allocator->GetName()->c_str());
    CAModule* module = allocator->CreateModule();
    ASSERT_NE(nullptr, module);
    EXPECT_EQ(row.type, module->moduleType);
    EXPECT_EQ(std::u16string_view(row.name), module->name.c_str());
    EXPECT_EQ(nullptr, module->settings);
    EXPECT_EQ(nullptr, module->sharedData);
    for (uint32_t p = 0; p < kMaxProfiles; ++p) {
      ASSERT_EQ(nullptr, module->profileData[p]);
      ASSERT_EQ(0, module->profileValid[p]);
    }
    // Data blocks round-trip through their own module.
    void* profile = module->CreateProfileData();
    void* shared = module->CreateSharedData();
    EXPECT_NE(nullptr, profile);
    EXPECT_NE(nullptr, shared);
    module->DestroyProfileData(profile);
    module->DestroySharedData(shared);
    if (row.breaker_kind != 0) {
      auto* breaker = dynamic_cast<CABreaker*>(module);
      ASSERT_NE(nullptr, breaker);
      EXPECT_EQ(row.breaker_kind, breaker->GetBreakerKind());
      EXPECT_EQ(std::u16string_view(u"Eml Breakers Family"), breaker->familyName.c_str());
      EXPECT_EQ(row.is_virtual ? 1 : 0, breaker->isVirtual);
      if (row.is_virtual) {
        EXPECT_TRUE(dynamic_cast<CAVirtualBreaker*>(module)->IsVirtualBreaker());
      }
    }
    if (i % 2 == 0) {
      delete module;
    } else {
      factory->modules.Add(module);  // the factory destroys these itself
    }
  }
  plugin.release_factory();
  plugin.release_factory();  // no factory: nothing happens
  CAClassFactory* again = plugin.get_factory();
  ASSERT_NE(nullptr, again);
  EXPECT_EQ(7u, again->allocators.GetSize());
  plugin.release_factory();
}

TEST(HostTest, VirtualBreakerBindingRules) {
  PluginLoader plugin;
  ASSERT_TRUE(plugin.ok()) << plugin.error();
  CAClassFactory* factory = plugin.get_factory();
  auto create = [&](const char16_t* name) { return plugin.FindAllocator(factory, name)->CreateModule(); };
  auto* text_breaker = dynamic_cast<CAVirtualBreaker*>(create(u"Virtual Eml Text Parts Breaker"));
  CAModule* performer = create(u"Performer Module for the Mail Entity Type");
  CAModule* real = create(u"EML Real Breaker");
  ASSERT_NE(nullptr, text_breaker);

  MailItem item;
  auto expect_breaker_error = [](auto call, const char* message) {
    try {
      call();
      ADD_FAILURE() << "no exception, expected " << message;
    } catch (const CBreakerException& e) {
      EXPECT_EQ(-1, e.GetErrorCode());
      EXPECT_STREQ(message, e.what());
    }
  };
  expect_breaker_error([&] { text_breaker->Break(0, &item); }, "No real breaker provided");
  expect_breaker_error([&] { text_breaker->ReleaseBrokenMail(0, &item); },
                       "No real breaker provided");
  expect_breaker_error([&] { text_breaker->SetRealBreaker(nullptr); }, "NULL pointer exception");
  expect_breaker_error([&] { text_breaker->SetRealBreaker(performer); },
                       "Object provided it's not an instance of real eml breaker");
  text_breaker->SetRealBreaker(real);  // accepted
  delete text_breaker;
  delete performer;
  delete real;
  plugin.release_factory();
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs `body` in a child process with EMLSCAN_TRACE set to `target` (unset
// when empty) and stderr sent to `stderr_path`: the tracer library decides once
// per process where its lines go.
void RunTraced(const std::string& target, const std::string& stderr_path, void (*body)()) {
  std::fflush(nullptr);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (target.empty()) {
      unsetenv("EMLSCAN_TRACE");
    } else {
      setenv("EMLSCAN_TRACE", target.c_str(), 1);
    }
    if (!freopen(stderr_path.c_str(), "w", stderr)) _exit(3);
    body();
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(0, WEXITSTATUS(status));
}

void CreateModuleAndThrow() {
  PluginLoader plugin;
  if (!plugin.ok()) _exit(2);
  CAClassFactory* factory = plugin.get_factory();
  delete plugin.FindAllocator(factory, u"EML Real Breaker")->CreateModule();
  plugin.release_factory();
  // The host's own copy of the family traces through the same library.
  LoadTracer();
  try {
    throw ASException("%s - memory problems", "Host::Run");
  } catch (const ASException&) {
  }
  UnloadTracer();
}

TEST(HostTest, TracerLibraryWritesLinesWhereTheEnvironmentSays) {
  std::string dir = ::testing::TempDir();
  std::string err = dir + "/host_test_stderr.txt";
  std::string file = dir + "/host_test_trace.txt";
  std::remove(file.c_str());

  RunTraced("stderr", err, CreateModuleAndThrow);
  std::string text = ReadFile(err);
  EXPECT_NE(std::string::npos, text.find("AS2FW: Creating new module: [EML Real Breaker]\n"))
      << text;
  EXPECT_NE(std::string::npos, text.find("EXCEPTION: Host::Run - memory problems\n")) << text;

  RunTraced(file, err, CreateModuleAndThrow);
  EXPECT_EQ("", ReadFile(err));
  EXPECT_NE(std::string::npos, ReadFile(file).find("EXCEPTION: Host::Run - memory problems\n"));

  RunTraced("", err, CreateModuleAndThrow);
  EXPECT_EQ("", ReadFile(err));
  std::remove(file.c_str());
  std::remove(err.c_str());
}

}  // namespace
