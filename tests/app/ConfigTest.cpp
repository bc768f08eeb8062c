#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/Config.h"

namespace tlm {
namespace {

namespace fs = std::filesystem;

// Each test gets its own configuration folder and a clean environment.
class ConfigTest : public ::testing::Test {
protected:
  void SetUp() override {
    FDir = fs::temp_directory_path() / ("tlmcfg-" + std::to_string(::getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(FDir);
    ::setenv("TLMREMOTE_CONFIGDIR", (FDir / "nested" / "TLMRemote").c_str(), 1);
    ::unsetenv("TLMREMOTE_DEVICEKEY");
    ::unsetenv("COMPUTERNAME");
  }
  void TearDown() override {
    fs::remove_all(FDir);
    ::unsetenv("TLMREMOTE_CONFIGDIR");
  }
  std::string FileText(const TAppConfig& ACfg) {
    std::ifstream in(ACfg.Path());
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  void WriteFile(const TAppConfig& ACfg, const std::string& AText) { std::ofstream(ACfg.Path()) << AText; }
  fs::path FDir;
};

TEST_F(ConfigTest, FirstStartMakesAKeyThatSurvivesARestart) {
  std::string key;
  {
    TAppConfig cfg;
    EXPECT_TRUE(fs::is_directory(fs::path(cfg.Path()).parent_path())) << "missing parents are created";
    key = cfg.DeviceKey();
    EXPECT_EQ(key.size(), 33u);
    EXPECT_EQ(key[0], 'D');
    EXPECT_EQ(key.find_first_not_of("0123456789ABCDEF", 1), std::string::npos) << key;
    EXPECT_EQ(key[13], '4') << "version-4 UUID";
    EXPECT_EQ(cfg.DeviceKey(), key);
  }
  TAppConfig again;
  EXPECT_EQ(again.DeviceKey(), key);
  EXPECT_NE(TAppConfig::NewDeviceKey(), TAppConfig::NewDeviceKey());
}

TEST_F(ConfigTest, DeviceKeyFromTheEnvironmentIsNeverWritten) {
  ::setenv("TLMREMOTE_DEVICEKEY", "my-key", 1);
  TAppConfig cfg;
  EXPECT_EQ(cfg.DeviceKey(), "my-key");
  EXPECT_EQ(FileText(cfg).find("DeviceKey"), std::string::npos);
  ::unsetenv("TLMREMOTE_DEVICEKEY");
}

TEST_F(ConfigTest, SettersWriteThroughAndNamesIgnoreCase) {
  TAppConfig cfg;
  cfg.SetPasswordHash("abc");
  EXPECT_TRUE(cfg.HasPassword());
  cfg.SetPasswordHash("");
  EXPECT_FALSE(cfg.HasPassword());
  cfg.SetDefaultQuality(2);
  EXPECT_EQ(TAppConfig().DefaultQuality(), 2) << "a second store sees the change at once";
  EXPECT_FALSE(fs::exists(cfg.Path() + ".tmp")) << "the temporary file is renamed over config.ini";

  WriteFile(cfg, "[tlmremote]\nquality=0\nPASSWORDHASH=ff\nMyName=노트북\n");
  EXPECT_EQ(cfg.DefaultQuality(), 0);
  EXPECT_EQ(cfg.PasswordHash(), "ff");
  EXPECT_EQ(cfg.MyName(), "노트북");
  cfg.SetDefaultQuality(1);
  const std::string text = FileText(cfg);
  EXPECT_EQ(text.find("quality"), text.rfind("quality")) << "a key is replaced, not repeated:\n" << text;
}

TEST_F(ConfigTest, QualityReading) {
  TAppConfig cfg;
  const std::vector<std::pair<std::string, int>> cases = {{"", 1}, {"x", 1}, {"1x", 1}, {"7", 7}, {"-1", -1}};
  for (const auto& [stored, expected] : cases) {
    WriteFile(cfg, "[TLMRemote]\nQuality=" + stored + "\n");
    EXPECT_EQ(cfg.DefaultQuality(), expected) << stored;
  }
}

TEST_F(ConfigTest, RelayTlsOnlyWhenTheKeySaysOne) {
  TAppConfig cfg;
  EXPECT_FALSE(cfg.RelayTls()) << "no file: plain TCP";
  const std::vector<std::pair<std::string, bool>> cases = {
      {"RelayTls=1", true}, {"relaytls = 1", true}, {"RelayTls=0", false}, {"RelayTls=", false}, {"RelayTls=yes", false}};
  for (const auto& [line, expected] : cases) {
    WriteFile(cfg, "[TLMRemote]\n" + line + "\n");
    EXPECT_EQ(cfg.RelayTls(), expected) << line;
  }
}

TEST_F(ConfigTest, MyNameFallsBackToComputerName) {
  TAppConfig cfg;
  ::setenv("COMPUTERNAME", "DESK-7", 1);
  EXPECT_EQ(cfg.MyName(), "DESK-7");
  ::setenv("COMPUTERNAME", "", 1);
  EXPECT_EQ(cfg.MyName(), "");
  ::unsetenv("COMPUTERNAME");
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  EXPECT_EQ(cfg.MyName(), host) << "without COMPUTERNAME the host name stands in";
}

TEST_F(ConfigTest, RecentListOrderAndLimits) {
  TAppConfig cfg;
  WriteFile(cfg,
            "[Recent]\nzz=111|first\na=222|\nr0=333|x|y\nr0=444\nq=|nameless\n"
            "k1=5\nk2=6\nk3=7\nk4=8\nk5=9\nk6=10\nk7=11\n");
  auto list = cfg.GetRecent();
  ASSERT_EQ(list.size(), 11u) << "every entry of a hand-edited file, in file order; empty IDs skipped";
  EXPECT_EQ(list[0].ID, "111");
  EXPECT_EQ(list[0].Name, "first");
  EXPECT_EQ(list[2].Name, "x|y") << "later bars belong to the name";
  EXPECT_EQ(list[3].ID, "444") << "a repeated key keeps its place";
  EXPECT_EQ(list[3].Name, "");

  cfg.AddRecent("333", "");
  list = cfg.GetRecent();
  ASSERT_EQ(list.size(), 10u) << "rewritten as at most ten entries";
  EXPECT_EQ(list[0].ID, "333");
  EXPECT_EQ(list[0].Name, "") << "the old name goes with the old entry";
  EXPECT_EQ(list[1].ID, "111");
  EXPECT_EQ(list[2].ID, "222");
  EXPECT_EQ(list[3].ID, "444");
  const std::string text = FileText(cfg);
  EXPECT_NE(text.find("r0 = 333|"), std::string::npos) << text;
  EXPECT_EQ(text.find("zz"), std::string::npos) << "other keys are erased";

  cfg.AddRecent("999", "");
  list = cfg.GetRecent();
  ASSERT_EQ(list.size(), 10u);
  EXPECT_EQ(list.front().ID, "999");
  EXPECT_NE(list.back().ID, "10") << "the oldest entry dropped";
}

TEST_F(ConfigTest, UnwritableFolderFailsOnTheSetterNotAtCreation) {
  const fs::path blocker = FDir / "file";
  fs::create_directories(FDir);
  std::ofstream(blocker) << "x";
  ::setenv("TLMREMOTE_CONFIGDIR", (blocker / "sub").c_str(), 1);
  TAppConfig cfg;  // cannot create the folder: not an error here
  EXPECT_EQ(cfg.DefaultQuality(), 1);
  EXPECT_THROW(cfg.SetDefaultQuality(2), std::exception);
  EXPECT_THROW(cfg.DeviceKey(), std::exception);
}

}  // namespace
}  // namespace tlm
