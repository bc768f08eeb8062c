// SimpleIni with its conversions off: bytes pass through unchanged, which suits UTF-8 files.
// CSimpleIniA is the variant that matches section and key names without regard to case
// (CSimpleIniCaseA is the case-sensitive one, despite its name).
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

#include "app/Config.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <optional>

#include "platform/DeviceUuid.h"
#include "platform/HostName.h"
#include "protocol/Error.h"
#include "protocol/LocalFiles.h"

namespace tlm {

namespace {

constexpr const char* MainSection = "TLMRemote";
constexpr const char* RecentSection = "Recent";
constexpr size_t MaxRecent = 10;

// Loads the file as it is now; a missing or unreadable file reads as empty.
void Load(const std::string& APath, CSimpleIniA& AIni) {
  AIni.SetUnicode(true);
  AIni.SetMultiKey(true);  // duplicate keys in a hand-edited Recent section are all kept
  if (const std::optional<std::string> text = ReadFileText(APath)) AIni.LoadData(*text);
}

// Replaces the file with AText, owner-only, so that a crash or power loss leaves either the
// old file or the new one, never a torn or empty one.
void ReplaceFile(const std::string& APath, const std::string& AText) {
  try {
    ReplaceFileDurably(APath, AText);
  } catch (const TError& e) {
    throw TError("설정 저장 실패: " + APath + ": " + e.what());
  }
}

void Save(const std::string& APath, CSimpleIniA& AIni) {
  std::string text;
  if (AIni.Save(text) < 0) throw TError("설정 저장 실패: " + APath);
  ReplaceFile(APath, text);
}

std::string Read(const std::string& APath, const char* ASection, const char* AKey) {
  CSimpleIniA ini;
  Load(APath, ini);
  return ini.GetValue(ASection, AKey, "");
}

void PutRecent(CSimpleIniA& AIni, const std::vector<TRecentItem>& AList) {
  AIni.Delete(RecentSection, nullptr);
  for (size_t i = 0; i < AList.size() && i < MaxRecent; ++i) {
    const std::string key = "r" + std::to_string(i);
    AIni.SetValue(RecentSection, key.c_str(), (AList[i].ID + "|" + AList[i].Name).c_str());
  }
}

}  // namespace

TAppConfig::TAppConfig(const TEnvironment& AEnv) : FDeviceKeyOverride(AEnv.DeviceKey), FComputerName(AEnv.ComputerName) {
  const std::string folder = AEnv.ConfigFolder();
  // The file holds the device key and the password hash: the folder is the owner's alone.
  MakePrivateFolder(folder);
  FPath = JoinPath(folder, "config.ini");
}

std::string TAppConfig::Folder() const { return ParentFolder(FPath); }

std::string TAppConfig::Get(const char* AKey) const {
  const auto unsaved = FUnsaved.find(AKey);
  if (unsaved != FUnsaved.end()) return unsaved->second;
  return Read(FPath, MainSection, AKey);
}

void TAppConfig::Set(const char* AKey, const std::string& AValue) {
  FUnsaved[AKey] = AValue;
  Flush();
}

void TAppConfig::Flush() {
  CSimpleIniA ini;
  Load(FPath, ini);
  for (const auto& [key, value] : FUnsaved) {
    // Replace, never add a second line for the same key.
    ini.Delete(MainSection, key.c_str());
    ini.SetValue(MainSection, key.c_str(), value.c_str());
  }
  if (FUnsavedRecent) PutRecent(ini, *FUnsavedRecent);
  try {
    MakeFolders(Folder());  // the folder may have gone since start-up
  } catch (const TError&) {
    // the save below says why
  }
  Save(FPath, ini);
  FUnsaved.clear();
  FUnsavedRecent.reset();
}

TAppConfig::~TAppConfig() = default;

std::string TAppConfig::NewDeviceKey() {
  const std::array<uint8_t, 16> b = NewRandomUuid();
  static const char hex[] = "0123456789ABCDEF";
  std::string key = "D";
  for (uint8_t v : b) {
    key += hex[v >> 4];
    key += hex[v & 15];
  }
  return key;
}

std::string TAppConfig::DeviceKey() {
  if (!FDeviceKeyOverride.empty()) return FDeviceKeyOverride;
  std::string stored = Get("DeviceKey");
  if (!stored.empty()) return stored;
  // A new key should reach the disk before it is used; when it cannot, this run keeps it.
  Set("DeviceKey", NewDeviceKey());
  return Get("DeviceKey");
}

std::string TAppConfig::PasswordHash() const { return Get("PasswordHash"); }

void TAppConfig::SetPasswordHash(const std::string& AHash) { Set("PasswordHash", AHash); }

int TAppConfig::DefaultQuality() const {
  const std::string text = Get("Quality");
  if (text.empty()) return 1;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != '\0' || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return 1;
  return int(v);
}

void TAppConfig::SetDefaultQuality(int APreset) { Set("Quality", std::to_string(APreset)); }

bool TAppConfig::KeepAspect() const { return Get("KeepAspect") != "0"; }

void TAppConfig::SetKeepAspect(bool AKeep) { Set("KeepAspect", AKeep ? "1" : "0"); }

std::string TAppConfig::MyName() const {
  std::string name = Get("MyName");
  if (!name.empty()) return name;
  if (FComputerName) return *FComputerName;
  return LocalHostName();
}

void TAppConfig::SetMyName(const std::string& AName) { Set("MyName", AName); }

bool TAppConfig::RelayTls() const { return Get("RelayTls") == "1"; }

void TAppConfig::SetRelayTls(bool AOn) { Set("RelayTls", AOn ? "1" : "0"); }

std::string TAppConfig::RelayHost() const { return Get("RelayHost"); }

void TAppConfig::SetRelayHost(const std::string& AHost) { Set("RelayHost", AHost); }

std::string TAppConfig::RelayCa() const { return Get("RelayCa"); }

void TAppConfig::SetRelayCa(const std::string& APath) { Set("RelayCa", APath); }

std::optional<bool> TAppConfig::KeepRunningOnClose() const {
  const std::string value = Get("KeepRunningOnClose");
  if (value == "1") return true;
  if (value == "0") return false;
  return std::nullopt;
}

void TAppConfig::SetKeepRunningOnClose(bool AKeep) { Set("KeepRunningOnClose", AKeep ? "1" : "0"); }

std::string TAppConfig::PortalRestoreToken() const { return Get("PortalRestoreToken"); }

void TAppConfig::SetPortalRestoreToken(const std::string& AToken) { Set("PortalRestoreToken", AToken); }
bool TAppConfig::RequireEncryption() const { return Get("RequireEncryption") == "1"; }

std::vector<TRecentItem> TAppConfig::GetRecent() const {
  if (FUnsavedRecent) return *FUnsavedRecent;
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
  if (list.size() > MaxRecent) list.resize(MaxRecent);
  FUnsavedRecent = std::move(list);
  Flush();
}

void TAppConfig::RemoveRecent(const std::string& AID) {
  std::vector<TRecentItem> list = GetRecent();
  std::erase_if(list, [&](const TRecentItem& AItem) { return AItem.ID == AID; });
  if (list.size() > MaxRecent) list.resize(MaxRecent);
  FUnsavedRecent = std::move(list);
  Flush();
}

std::string TAppConfig::RecentPasswordHash(const std::string& AID) const { return Get(("Remembered" + AID).c_str()); }

void TAppConfig::SetRecentPasswordHash(const std::string& AID, const std::string& AHash) {
  if (AHash.empty() && RecentPasswordHash(AID).empty()) return;
  Set(("Remembered" + AID).c_str(), AHash);
}

void TAppConfig::RenameRecent(const std::string& AID, const std::string& AName) {
  std::vector<TRecentItem> list = GetRecent();
  auto entry = std::find_if(list.begin(), list.end(), [&](const TRecentItem& AItem) { return AItem.ID == AID; });
  if (entry == list.end()) return;
  entry->Name = AName;
  FUnsavedRecent = std::move(list);
  Flush();
}

std::string TAppConfig::AdmissionsPath() const { return JoinPath(Folder(), "admissions.log"); }

void TAppConfig::RecordAdmission(std::time_t AWhen, const std::string& AName, const std::string& AAddress,
                                 const std::string& AHow) {
  char stamp[32] = "?";
  std::tm local{};
  if (::localtime_r(&AWhen, &local)) std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  // Tabs and line breaks in a field would forge a record: blank them.
  auto field = [](std::string AText) {
    for (char& c : AText)
      if (c == '\t' || c == '\r' || c == '\n') c = ' ';
    return AText;
  };
  const std::string path = AdmissionsPath();
  std::deque<std::string> lines;
  if (const std::optional<std::string> old = ReadFileText(path)) {
    size_t start = 0;
    while (start < old->size()) {
      size_t end = old->find('\n', start);
      if (end == std::string::npos) end = old->size();
      lines.push_back(old->substr(start, end - start));
      if (lines.size() > MaxAdmissionLines) lines.pop_front();
      start = end + 1;
    }
  }
  lines.push_back(std::string(stamp) + '\t' + field(AName) + '\t' + field(AAddress) + '\t' + field(AHow));
  while (lines.size() > MaxAdmissionLines) lines.pop_front();
  std::string text;
  for (const std::string& line : lines) text += line + '\n';
  ReplaceFile(path, text);
}

}  // namespace tlm
