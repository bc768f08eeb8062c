#include "platform/Folders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string_view>

namespace tlm {

namespace {

std::string EnvText(const char* AName) {
  const char* v = std::getenv(AName);
  return v ? std::string(v) : std::string();
}

std::string JoinPath(const std::string& AFolder, const std::string& AName) {
  if (AFolder.empty()) return AName;
  if (AFolder.back() == '/') return AFolder + AName;
  return AFolder + "/" + AName;
}

}  // namespace

std::string UserHomeDir() {
  std::string home = EnvText("HOME");
  if (!home.empty()) return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && *pw->pw_dir) return pw->pw_dir;
  return "/";
}

std::string UserConfigDir() {
  std::string dir = EnvText("XDG_CONFIG_HOME");
  if (!dir.empty() && dir.front() == '/') return dir;
  return JoinPath(UserHomeDir(), ".config");
}

std::string UserDownloadDir() {
  const std::string home = UserHomeDir();
  std::ifstream in(JoinPath(UserConfigDir(), "user-dirs.dirs"));
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

std::vector<std::string> ListingRoots() {
  std::vector<std::string> roots{"/"};
  const std::string home = UserHomeDir();
  if (home != "/") roots.push_back(home);
  return roots;
}

}  // namespace tlm
