// SimpleIni with its conversions off: bytes pass through unchanged, which suits UTF-8 files.
// CSimpleIniA is the variant that matches section and key names without regard to case
// (CSimpleIniCaseA is the case-sensitive one, despite its name).
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

#include "app/Config.h"

#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/Folders.h"
#include "protocol/Error.h"

namespace tlm {

namespace fs = std::filesystem;

namespace {

constexpr const char* MainSection = "TLMRemote";
constexpr const char* RecentSection = "Recent";
constexpr size_t MaxRecent = 10;

std::string Env(const char* AName) {
  const char* v = std::getenv(AName);
  return v ? std::string(v) : std::string();
}

// Loads the file as it is now; a missing or unreadable file reads as empty.
void Load(const std::string& APath, CSimpleIniA& AIni) {
  AIni.SetUnicode(true);
  AIni.SetMultiKey(true);  // duplicate keys in a hand-edited Recent section are all kept
  AIni.LoadFile(APath.c_str());
}

void Save(const std::string& APath, CSimpleIniA& AIni) {
  std::string text;
  if (AIni.Save(text) < 0) throw TError("설정 저장 실패: " + APath);
  const std::string temp = APath + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) throw TError("설정 저장 실패: " + APath + ": " + std::strerror(errno));
  }
  std::error_code ec;
  fs::rename(temp, APath, ec);
  if (ec) {
    fs::remove(temp, ec);
    throw TError("설정 저장 실패: " + APath);
  }
}

std::string Read(const std::string& APath, const char* ASection, const char* AKey) {
  CSimpleIniA ini;
  Load(APath, ini);
  return ini.GetValue(ASection, AKey, "");
}

void Write(const std::string& APath, const char* ASection, const char* AKey, const std::string& AValue) {
  CSimpleIniA ini;
  Load(APath, ini);
  // Replace, never add a second line for the same key.
  ini.Delete(ASection, AKey);
  ini.SetValue(ASection, AKey, AValue.c_str());
  Save(APath, ini);
}

}  // namespace

TAppConfig::TAppConfig() {
  std::string folder = Env("TLMREMOTE_CONFIGDIR");
  if (folder.empty()) folder = UserConfigDir() + "/TLMRemote";
  std::error_code ec;
  fs::create_directories(folder, ec);
  FPath = (fs::path(folder) / "config.ini").string();
}

TAppConfig::~TAppConfig() = default;

std::string TAppConfig::NewDeviceKey() {
  uint8_t b[16];
  size_t got = 0;
  while (got < sizeof b) {
    ssize_t n = ::getrandom(b + got, sizeof b - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw TError(std::string("getrandom: ") + std::strerror(errno));
    }
    got += size_t(n);
  }
  b[6] = uint8_t((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = uint8_t((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static const char hex[] = "0123456789ABCDEF";
  std::string key = "D";
  for (uint8_t v : b) {
    key += hex[v >> 4];
    key += hex[v & 15];
  }
  return key;
}

std::string TAppConfig::DeviceKey() {
  std::string fromEnv = Env("TLMREMOTE_DEVICEKEY");
  if (!fromEnv.empty()) return fromEnv;
  std::string stored = Read(FPath, MainSection, "DeviceKey");
  if (!stored.empty()) return stored;
  // The folder may have gone since start-up; a new key must reach the disk before it is used.
  std::error_code ec;
  fs::create_directories(fs::path(FPath).parent_path(), ec);
  std::string key = NewDeviceKey();
  Write(FPath, MainSection, "DeviceKey", key);
  return key;
}

std::string TAppConfig::PasswordHash() const { return Read(FPath, MainSection, "PasswordHash"); }

void TAppConfig::SetPasswordHash(const std::string& AHash) { Write(FPath, MainSection, "PasswordHash", AHash); }

int TAppConfig::DefaultQuality() const {
  const std::string text = Read(FPath, MainSection, "Quality");
  if (text.empty()) return 1;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != '\0' || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return 1;
  return int(v);
}

void TAppConfig::SetDefaultQuality(int APreset) { Write(FPath, MainSection, "Quality", std::to_string(APreset)); }

bool TAppConfig::KeepAspect() const { return Read(FPath, MainSection, "KeepAspect") == "1"; }

void TAppConfig::SetKeepAspect(bool AKeep) { Write(FPath, MainSection, "KeepAspect", AKeep ? "1" : "0"); }

std::string TAppConfig::MyName() const {
  std::string name = Read(FPath, MainSection, "MyName");
  if (!name.empty()) return name;
  const char* computer = std::getenv("COMPUTERNAME");
  if (computer) return computer;
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) == 0) return host;
  return {};
}

void TAppConfig::SetMyName(const std::string& AName) { Write(FPath, MainSection, "MyName", AName); }

bool TAppConfig::RelayTls() const { return Read(FPath, MainSection, "RelayTls") == "1"; }

std::vector<TRecentItem> TAppConfig::GetRecent() const {
  CSimpleIniA ini;
  Load(FPath, ini);
  CSimpleIniA::TNamesDepend keys;
  ini.GetAllKeys(RecentSection, keys);
  // Every value of every key, then one sort by position in the file: repeated keys in a
  // hand-edited file keep their place among the others.
  CSimpleIniA::TNamesDepend values;
  for (const auto& key : keys) {
    CSimpleIniA::TNamesDepend same;
    ini.GetAllValues(RecentSection, key.pItem, same);
    values.splice(values.end(), same);
  }
  values.sort(CSimpleIniA::Entry::LoadOrder());
  std::vector<TRecentItem> out;
  for (const auto& value : values) {
    const std::string text = value.pItem;
    TRecentItem item;
    const size_t bar = text.find('|');
    if (bar == std::string::npos) {
      item.ID = text;
    } else {
      item.ID = text.substr(0, bar);
      item.Name = text.substr(bar + 1);
    }
    if (!item.ID.empty()) out.push_back(std::move(item));
  }
  return out;
}

void TAppConfig::AddRecent(const std::string& AID, const std::string& AName) {
  std::vector<TRecentItem> list{{AID, AName}};
  for (auto& item : GetRecent())
    if (item.ID != AID) list.push_back(std::move(item));
  CSimpleIniA ini;
  Load(FPath, ini);
  ini.Delete(RecentSection, nullptr);
  for (size_t i = 0; i < list.size() && i < MaxRecent; ++i) {
    const std::string key = "r" + std::to_string(i);
    ini.SetValue(RecentSection, key.c_str(), (list[i].ID + "|" + list[i].Name).c_str());
  }
  Save(FPath, ini);
}

}  // namespace tlm
