#include "platform/Folders.h"

#include <pwd.h>
#include <unistd.h>

#include <fstream>
#include <string_view>

namespace tlm {

namespace {

std::string JoinPath(const std::string& AFolder, const std::string& AName) {
  if (AFolder.empty()) return AName;
  if (AFolder.back() == '/') return AFolder + AName;
  return AFolder + "/" + AName;
}

}  // namespace

std::string UserHomeDir(const TFolderEnvironment& AEnv) {
  if (!AEnv.Home.empty()) return AEnv.Home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && *pw->pw_dir) return pw->pw_dir;
  return "/";
}

std::string UserConfigDir(const TFolderEnvironment& AEnv) {
  const std::string& dir = AEnv.ConfigHome;
  if (!dir.empty() && dir.front() == '/') return dir;
  return JoinPath(UserHomeDir(AEnv), ".config");
}

std::string UserDownloadDir(const TFolderEnvironment& AEnv) {
  const std::string home = UserHomeDir(AEnv);
  std::ifstream in(JoinPath(UserConfigDir(AEnv), "user-dirs.dirs"));
  std::string line;
  while (std::getline(in, line)) {
    constexpr std::string_view key = "XDG_DOWNLOAD_DIR=";
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line.compare(start, key.size(), key) != 0) continue;
    std::string value = line.substr(start + key.size());
    while (!value.empty() && (value.back() == '\r' || value.back() == ' ' || value.back() == '\t')) value.pop_back();
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    if (value == "$HOME") return home;
    if (value.rfind("$HOME/", 0) == 0) return JoinPath(home, value.substr(6));
    if (!value.empty() && value.front() == '/') return value;
  }
  return JoinPath(home, "Downloads");
}

std::vector<std::string> ListingRoots(const TFolderEnvironment& AEnv) {
  std::vector<std::string> roots{"/"};
  const std::string home = UserHomeDir(AEnv);
  if (home != "/") roots.push_back(home);
  return roots;
}

std::string UserHomeDir() { return UserHomeDir(UserFolders()); }
std::string UserConfigDir() { return UserConfigDir(UserFolders()); }
std::string UserDownloadDir() { return UserDownloadDir(UserFolders()); }
std::vector<std::string> ListingRoots() { return ListingRoots(UserFolders()); }

}  // namespace tlm
