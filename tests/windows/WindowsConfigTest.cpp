// The configuration store on Windows: where it lives (the roaming application-data folder),
// a device key made from the system's UUID and kept across restarts, settings written through
// a replaced file, and folders with non-ASCII names (UTF-8 here, UTF-16 at the system); the
// environment as the program reads it there.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <vector>

#include "app/Config.h"
#include "app/Environment.h"
#include "platform/Folders.h"
#include "platform/HostName.h"
#include "protocol/LocalFiles.h"
#include "protocol/WinText.h"
// Last: <windows.h> defines macros that clash with names of ours.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

namespace tlm {
namespace {

void RemoveTree(const std::string& AFolder) {
  if (const auto entries = ListFolder(AFolder + "\\")) {
    for (const TDirEntry& e : *entries) {
      if (e.IsDir) {
        RemoveTree(JoinPath(AFolder, e.Name));
      } else {
        RemoveFile(JoinPath(AFolder, e.Name));
      }
    }
  }
  ::RemoveDirectoryW(WideFromUtf8(AFolder).c_str());
}

TEST(WindowsConfig, LivesInRoamingAppDataAndKeepsItsDeviceKey) {
  const TEnvironment env;  // no TLMREMOTE_CONFIGDIR, no TLMREMOTE_DEVICEKEY
  const std::string folder = UserConfigDir(env.Folders) + "\\TLMRemote";
  RemoveTree(folder);
  std::string key;
  {
    TAppConfig cfg(env);
    EXPECT_EQ(cfg.Path(), folder + "\\config.ini");
    key = cfg.DeviceKey();
    ASSERT_EQ(key.size(), 33u);
    EXPECT_EQ(key[0], 'D');
    EXPECT_EQ(key.find_first_not_of("0123456789ABCDEF", 1), std::string::npos) << key;
    EXPECT_EQ(key[13], '4') << "a version 4 UUID: " << key;
    cfg.SetPasswordHash("ab12");
    cfg.AddRecent("123456789", "");
  }
  TAppConfig again(env);
  EXPECT_EQ(again.DeviceKey(), key);
  EXPECT_EQ(again.PasswordHash(), "ab12");
  ASSERT_EQ(again.GetRecent().size(), 1u);
  EXPECT_EQ(again.GetRecent()[0].ID, "123456789");
  const std::optional<std::string> text = ReadFileText(again.Path());
  ASSERT_TRUE(text);
  EXPECT_NE(text->find("DeviceKey"), std::string::npos);
  RemoveTree(folder);
}

// Whom APath's access list admits, as SID strings, and whether it is closed to the folder's.
struct TAccess {
  bool Protected = false;
  std::vector<std::string> Allowed;
  std::string Problem;
};
TAccess AccessOf(const std::string& APath) {
  TAccess access;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (::GetNamedSecurityInfoW(WideFromUtf8(APath).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &sd) != ERROR_SUCCESS) {
    access.Problem = "GetNamedSecurityInfo failed";
    return access;
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ::GetSecurityDescriptorControl(sd, &control, &revision);
  access.Protected = (control & SE_DACL_PROTECTED) != 0;
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(dacl, i, &ace)) continue;
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    if (allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    wchar_t* sid = nullptr;
    if (::ConvertSidToStringSidW(&allowed->SidStart, &sid)) {
      access.Allowed.push_back(Utf8FromWide(sid));
      ::LocalFree(sid);
    }
  }
  ::LocalFree(sd);
  return access;
}

std::string UserSid() {
  HANDLE token = nullptr;
  ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token);
  char buffer[256];
  DWORD size = sizeof buffer;
  std::string text;
  wchar_t* sid = nullptr;
  if (::GetTokenInformation(token, TokenUser, buffer, size, &size) &&
      ::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid)) {
    text = Utf8FromWide(sid);
    ::LocalFree(sid);
  }
  ::CloseHandle(token);
  return text;
}

// config.ini (like the key files beside it) is the user's alone, as 0600 makes it on Linux:
// first written and replaced afterwards, whatever the folder lets others do.
TEST(WindowsConfig, StoredFilesAreTheUsersAlone) {
  const std::string folder = UserConfigDir() + "\\tlm-private-test";
  RemoveTree(folder);
  TEnvironment env;
  env.ConfigDir = folder;
  TAppConfig cfg(env);
  cfg.SetPasswordHash("ab12");
  const TAccess first = AccessOf(cfg.Path());
  cfg.SetPasswordHash("cd34");
  const TAccess replaced = AccessOf(cfg.Path());
  // Wine keeps no access list of its own: it turns one into the Unix file mode and makes the
  // list up from that mode when asked, so only the entries show there, not their order or the
  // protection from the folder's.
  const bool wine = ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  std::vector<std::string> expected{UserSid(), "S-1-5-18"};
  std::sort(expected.begin(), expected.end());
  for (TAccess access : {first, replaced}) {
    EXPECT_EQ(access.Problem, "");
    if (!wine) {
      EXPECT_TRUE(access.Protected) << "the folder's entries are inherited";
    }
    std::sort(access.Allowed.begin(), access.Allowed.end());
    EXPECT_EQ(access.Allowed, expected) << "anybody else may read it";
  }
  RemoveTree(folder);
}

TEST(WindowsConfig, AFolderWithAKoreanNameAndTheAdmissionRecord) {
  const std::string folder = UserConfigDir() + "\\설정 폴더\\TLMRemote";
  RemoveTree(UserConfigDir() + "\\설정 폴더\\TLMRemote");
  TEnvironment env;
  env.ConfigDir = folder;
  {
    TAppConfig cfg(env);
    cfg.SetMyName("김 대리 PC");
    cfg.RecordAdmission(0, "뷰어", "127.0.0.1", "비밀번호");
    cfg.RecordAdmission(0, "뷰어\t둘", "127.0.0.1", "동의");
  }
  TAppConfig cfg(env);
  EXPECT_EQ(cfg.MyName(), "김 대리 PC");
  const DWORD attrs = ::GetFileAttributesW(WideFromUtf8(folder + "\\config.ini").c_str());
  EXPECT_NE(attrs, INVALID_FILE_ATTRIBUTES);
  const std::optional<std::string> record = ReadFileText(cfg.AdmissionsPath());
  ASSERT_TRUE(record);
  size_t lines = 0;
  for (char c : *record) lines += c == '\n';
  EXPECT_EQ(lines, 2u);
  EXPECT_NE(record->find("\t뷰어 둘\t127.0.0.1\t동의\n"), std::string::npos) << *record;
  RemoveTree(folder);
  ::RemoveDirectoryW(WideFromUtf8(UserConfigDir() + "\\설정 폴더").c_str());
}

TEST(WindowsConfig, NameFallsBackToTheComputersName) {
  TEnvironment env;
  env.ConfigDir = UserConfigDir() + "\\tlm-name-test";
  EXPECT_FALSE(LocalHostName().empty());
  EXPECT_EQ(TAppConfig(env).MyName(), LocalHostName());
  env.ComputerName = "DESK-7";
  EXPECT_EQ(TAppConfig(env).MyName(), "DESK-7");
  RemoveTree(UserConfigDir() + "\\tlm-name-test");
}

// The environment's texts reach the program as UTF-8 whatever the system's code page: a
// Korean folder name set through the wide environment comes back whole.
TEST(WindowsEnvironment, VariablesAreReadAsUtf8) {
  const wchar_t* old = ::_wgetenv(L"COMPUTERNAME");
  const std::wstring oldName = old ? old : L"";
  ASSERT_EQ(::_wputenv_s(L"TLMREMOTE_CONFIGDIR", L"C:\\설정 폴더"), 0);
  ASSERT_EQ(::_wputenv_s(L"COMPUTERNAME", L"김 대리 PC"), 0);
  const TEnvironment env = TEnvironment::FromProcess();
  EXPECT_EQ(env.ConfigFolder(), "C:\\설정 폴더");
  EXPECT_EQ(env.ComputerName, std::optional<std::string>("김 대리 PC"));
  EXPECT_EQ(env.Folders.Home, Utf8FromWide(::_wgetenv(L"USERPROFILE")));
  ::_wputenv_s(L"TLMREMOTE_CONFIGDIR", L"");
  ::_wputenv_s(L"COMPUTERNAME", oldName.c_str());
  EXPECT_EQ(TEnvironment::FromProcess().ConfigFolder(), UserConfigDir(env.Folders) + "\\TLMRemote");
}

}  // namespace
}  // namespace tlm
