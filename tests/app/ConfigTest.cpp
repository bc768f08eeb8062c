#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <optional>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <sys/stat.h>

#include "app/Config.h"
#include "protocol/Error.h"
#include "tests/support/TempFiles.h"

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
    Env.ConfigDir = (FDir / "nested" / "TLMRemote").string();
  }
  void TearDown() override { fs::remove_all(FDir); }
  std::string FileText(const TAppConfig& ACfg) {
    std::ifstream in(ACfg.Path());
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  void WriteFile(const TAppConfig& ACfg, const std::string& AText) { std::ofstream(ACfg.Path()) << AText; }
  fs::path FDir;
  TEnvironment Env;
};

TEST_F(ConfigTest, FirstStartMakesAKeyThatSurvivesARestart) {
  std::string key;
  {
    TAppConfig cfg(Env);
    EXPECT_TRUE(fs::is_directory(fs::path(cfg.Path()).parent_path())) << "missing parents are created";
    key = cfg.DeviceKey();
    EXPECT_EQ(key.size(), 33u);
    EXPECT_EQ(key[0], 'D');
    EXPECT_EQ(key.find_first_not_of("0123456789ABCDEF", 1), std::string::npos) << key;
    EXPECT_EQ(key[13], '4') << "version-4 UUID";
    EXPECT_EQ(cfg.DeviceKey(), key);
  }
  TAppConfig again(Env);
  EXPECT_EQ(again.DeviceKey(), key);
  EXPECT_NE(TAppConfig::NewDeviceKey(), TAppConfig::NewDeviceKey());
}

TEST_F(ConfigTest, DeviceKeyFromTheEnvironmentIsNeverWritten) {
  Env.DeviceKey = "my-key";
  TAppConfig cfg(Env);
  EXPECT_EQ(cfg.DeviceKey(), "my-key");
  EXPECT_EQ(FileText(cfg).find("DeviceKey"), std::string::npos);
}

TEST_F(ConfigTest, SettersWriteThroughAndNamesIgnoreCase) {
  TAppConfig cfg(Env);
  cfg.SetPasswordHash("abc");
  EXPECT_TRUE(cfg.HasPassword());
  cfg.SetPasswordHash("");
  EXPECT_FALSE(cfg.HasPassword());
  cfg.SetDefaultQuality(2);
  EXPECT_EQ(TAppConfig(Env).DefaultQuality(), 2) << "a second store sees the change at once";

  WriteFile(cfg, "[tlmremote]\nquality=0\nPASSWORDHASH=ff\nMyName=노트북\n");
  EXPECT_EQ(cfg.DefaultQuality(), 0);
  EXPECT_EQ(cfg.PasswordHash(), "ff");
  EXPECT_EQ(cfg.MyName(), "노트북");
  cfg.SetDefaultQuality(1);
  const std::string text = FileText(cfg);
  EXPECT_EQ(text.find("quality"), text.rfind("quality")) << "a key is replaced, not repeated:\n" << text;
}

TEST_F(ConfigTest, QualityReading) {
  TAppConfig cfg(Env);
  const std::vector<std::pair<std::string, int>> cases = {{"", 1}, {"x", 1}, {"1x", 1}, {"7", 7}, {"-1", -1}};
  for (const auto& [stored, expected] : cases) {
    WriteFile(cfg, "[TLMRemote]\nQuality=" + stored + "\n");
    EXPECT_EQ(cfg.DefaultQuality(), expected) << stored;
  }
}

TEST_F(ConfigTest, RelayTlsOnlyWhenTheKeySaysOne) {
  TAppConfig cfg(Env);
  EXPECT_FALSE(cfg.RelayTls()) << "no file: plain TCP";
  const std::vector<std::pair<std::string, bool>> cases = {
      {"RelayTls=1", true}, {"relaytls = 1", true}, {"RelayTls=0", false}, {"RelayTls=", false}, {"RelayTls=yes", false}};
  for (const auto& [line, expected] : cases) {
    WriteFile(cfg, "[TLMRemote]\n" + line + "\n");
    EXPECT_EQ(cfg.RelayTls(), expected) << line;
  }
}

TEST_F(ConfigTest, KeepAspectUnlessTheUserChoseToStretch) {
  TAppConfig cfg(Env);
  EXPECT_TRUE(cfg.KeepAspect()) << "no file: a new configuration keeps the picture's shape";
  const std::vector<std::pair<std::string, bool>> cases = {
      {"KeepAspect=0", false}, {"KeepAspect=1", true}, {"KeepAspect=", true}, {"Quality=2", true}};
  for (const auto& [line, expected] : cases) {
    WriteFile(cfg, "[TLMRemote]\n" + line + "\n");
    EXPECT_EQ(cfg.KeepAspect(), expected) << line;
  }
  cfg.SetKeepAspect(false);
  EXPECT_FALSE(TAppConfig(Env).KeepAspect());
}

TEST_F(ConfigTest, MyNameFallsBackToComputerName) {
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  const struct {
    std::optional<std::string> Computer;
    std::string Expected;
  } cases[] = {
      {"DESK-7", "DESK-7"},
      {"", ""},  // set but empty: used as it is
      {std::nullopt, host},  // without COMPUTERNAME the host name stands in
  };
  for (const auto& c : cases) {
    Env.ComputerName = c.Computer;
    EXPECT_EQ(TAppConfig(Env).MyName(), c.Expected) << c.Computer.value_or("(unset)");
  }
  Env.ComputerName = "DESK-7";
  TAppConfig cfg(Env);
  cfg.SetMyName("Stored");
  EXPECT_EQ(cfg.MyName(), "Stored") << "a stored name wins";
}

TEST_F(ConfigTest, RecentListOrderAndLimits) {
  TAppConfig cfg(Env);
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
  Env.ConfigDir = (blocker / "sub").string();
  TAppConfig cfg(Env);  // cannot create the folder: not an error here
  EXPECT_EQ(cfg.DefaultQuality(), 1);
  EXPECT_THROW(cfg.SetDefaultQuality(2), std::exception);
  EXPECT_THROW(cfg.DeviceKey(), std::exception);
}


mode_t ModeOf(const fs::path& APath) {
  struct stat st{};
  EXPECT_EQ(::stat(APath.c_str(), &st), 0) << APath;
  return st.st_mode & 0777;
}

// Only config.ini (and what the test put there) is left in the folder: no temporary files.
std::vector<std::string> FolderNames(const fs::path& AFolder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(AFolder)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(ConfigTest, OwnerOnlyFolderAndFiles) {
  fs::create_directories(FDir / "nested" / "TLMRemote");
  fs::permissions(FDir / "nested" / "TLMRemote", fs::perms::all);  // left open by an older version
  TAppConfig cfg(Env);
  cfg.SetPasswordHash("secret-hash");
  cfg.DeviceKey();
  cfg.RecordAdmission(0, "Kim", "10.0.0.7", "동의");
  EXPECT_EQ(ModeOf(cfg.Folder()), 0700u);
  EXPECT_EQ(ModeOf(cfg.Path()), 0600u);
  EXPECT_EQ(ModeOf(cfg.AdmissionsPath()), 0600u);
  EXPECT_EQ(FolderNames(cfg.Folder()), (std::vector<std::string>{"admissions.log", "config.ini"}));
}

// A write that fails (the folder cannot exist, the disk is full) names the file and the reason,
// and the program goes on with the value in memory; the next write that succeeds stores it.
TEST_F(ConfigTest, FailedWritesAreReportedAndKeptInMemory) {
  struct TCase {
    const char* Name;
    std::function<void(TAppConfig&)> Write;
    std::function<bool(TAppConfig&)> Kept;
  } cases[] = {
      {"password", [](TAppConfig& c) { c.SetPasswordHash("h1"); }, [](TAppConfig& c) { return c.PasswordHash() == "h1"; }},
      {"quality", [](TAppConfig& c) { c.SetDefaultQuality(2); }, [](TAppConfig& c) { return c.DefaultQuality() == 2; }},
      {"recent", [](TAppConfig& c) { c.AddRecent("123456789", ""); },
       [](TAppConfig& c) { return c.GetRecent().size() == 1 && c.GetRecent()[0].ID == "123456789"; }},
      {"device key", [](TAppConfig& c) { c.DeviceKey(); }, [](TAppConfig& c) { return c.DeviceKey().size() == 33; }},
  };
  for (const bool fullDisk : {false, true}) {
    for (const TCase& c : cases) {
      SCOPED_TRACE(std::string(c.Name) + (fullDisk ? ", full disk" : ", folder blocked"));
      fs::remove_all(FDir);
      fs::create_directories(FDir);
      const fs::path folder = FDir / "TLMRemote";
      if (!fullDisk) std::ofstream(folder) << "a file where the folder belongs";
      Env.ConfigDir = folder.string();
      TAppConfig cfg(Env);
      {
        std::optional<test::TFileSizeLimit> full;
        if (fullDisk) full.emplace(4);
        try {
          c.Write(cfg);
          ADD_FAILURE() << "the write did not fail";
        } catch (const TError& e) {
          const std::string text = e.what();
          EXPECT_NE(text.find(cfg.Path()), std::string::npos) << text;
          EXPECT_NE(text.find(fullDisk ? "File too large" : "Not a directory"), std::string::npos) << text;
        }
        EXPECT_TRUE(c.Kept(cfg)) << "the value stays for this run";
      }
      if (!fullDisk) fs::remove(folder);
      cfg.SetMyName("later");  // succeeds, and takes the kept value along
      TAppConfig fresh(Env);
      EXPECT_TRUE(c.Kept(fresh)) << "stored by the next write";
      if (fs::exists(folder)) {
        EXPECT_EQ(FolderNames(folder), std::vector<std::string>{"config.ini"});
      }
    }
  }
}

TEST_F(ConfigTest, AdmissionRecordKeepsTheNewestLines) {
  TAppConfig cfg(Env);
  {
    std::ofstream old(cfg.AdmissionsPath());  // an older record, one line short of full
    for (int i = 0; i < 999; ++i) old << "2026-01-01 00:00:00\tviewer " << i << "\t10.0.0.1\t동의\n";
  }
  for (int i = 999; i < 1005; ++i) cfg.RecordAdmission(0, "viewer " + std::to_string(i), "10.0.0.1", "동의");
  cfg.RecordAdmission(0, "tab\there", "line\nbreak", "거부");
  std::ifstream in(cfg.AdmissionsPath());
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), TAppConfig::MaxAdmissionLines);
  EXPECT_NE(lines.front().find("\tviewer 6\t"), std::string::npos) << lines.front();
  const std::string last = lines.back();
  EXPECT_EQ(last.substr(last.find('\t')), "\ttab here\tline break\t거부");
  EXPECT_EQ(last.find('\t'), 19u) << "YYYY-MM-DD HH:MM:SS first: " << last;
}

TEST_F(ConfigTest, RecentEntriesCanBeRemoved) {
  TAppConfig cfg(Env);
  cfg.AddRecent("111", "");
  cfg.AddRecent("222", "");
  cfg.AddRecent("333", "");
  cfg.RemoveRecent("222");
  cfg.RemoveRecent("999");  // not there: nothing changes
  std::vector<std::string> ids;
  for (const auto& item : TAppConfig(Env).GetRecent()) ids.push_back(item.ID);
  EXPECT_EQ(ids, (std::vector<std::string>{"333", "111"}));
}

}  // namespace
}  // namespace tlm
