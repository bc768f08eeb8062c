// The user's folders from the Windows shell: the roaming application-data folder, the Downloads
// known folder (with the older systems' fallbacks) and the logical drives.
#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include "platform/Folders.h"
#include "protocol/WinText.h"

namespace tlm {

namespace {

std::string CsidlFolder(int ACsidl) {
  wchar_t path[MAX_PATH] = {};
  if (FAILED(::SHGetFolderPathW(nullptr, ACsidl, nullptr, SHGFP_TYPE_CURRENT, path))) return std::string();
  return Utf8FromWide(path);
}


}  // namespace

std::string UserHomeDir(const TFolderEnvironment& AEnv) {
  std::string home = AEnv.Home;
  if (home.empty()) home = CsidlFolder(CSIDL_PROFILE);
  return home.empty() ? std::string("C:\\") : home;
}

std::string UserConfigDir(const TFolderEnvironment& AEnv) {
  std::string dir = CsidlFolder(CSIDL_APPDATA);
  return dir.empty() ? UserHomeDir(AEnv) : dir;
}

std::string UserDownloadDir(const TFolderEnvironment& AEnv) {
  // Systems before version 6 have no Downloads known folder: the local application-data folder
  // stands in there, as it always has; a profile without either gets its Downloads folder.
  wchar_t* path = nullptr;
  std::string dir;
  if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_Downloads, 0, nullptr, &path)) && path) dir = Utf8FromWide(path);
  ::CoTaskMemFree(path);
  if (dir.empty()) dir = CsidlFolder(CSIDL_LOCAL_APPDATA);
  if (dir.empty()) dir = UserHomeDir(AEnv) + "\\Downloads";
  return dir;
}

std::vector<std::string> ListingRoots(const TFolderEnvironment&) {
  // "C:\<NUL>D:\<NUL><NUL>"; the first call tells the size.
  std::vector<std::string> roots;
  const DWORD need = ::GetLogicalDriveStringsW(0, nullptr);
  if (need == 0) return roots;
  std::wstring buffer(need + 1, L'\0');
  const DWORD got = ::GetLogicalDriveStringsW(DWORD(buffer.size()), buffer.data());
  if (got == 0 || got > buffer.size()) return roots;
  for (const wchar_t* p = buffer.c_str(); *p; p += wcslen(p) + 1) roots.push_back(Utf8FromWide(p));
  return roots;
}

std::string UserHomeDir() { return UserHomeDir(UserFolders()); }
std::string UserConfigDir() { return UserConfigDir(UserFolders()); }
std::string UserDownloadDir() { return UserDownloadDir(UserFolders()); }
std::vector<std::string> ListingRoots() { return ListingRoots(UserFolders()); }

}  // namespace tlm
