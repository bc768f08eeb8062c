#include "tests/support/TempFiles.h"

#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "protocol/Error.h"

namespace tlm::test {

TTempHome::TTempHome() {
  std::string templ = (std::filesystem::temp_directory_path() / "tlmhostXXXXXX").string();
  if (!::mkdtemp(templ.data())) throw TError("mkdtemp failed");
  FPath = templ;
  if (const char* v = std::getenv("HOME")) FOldHome = v, FHadHome = true;
  if (const char* v = std::getenv("XDG_CONFIG_HOME")) FOldConfig = v, FHadConfig = true;
  ::setenv("HOME", FPath.c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (FPath + "/.config").c_str(), 1);
  FOldFolders = UserFolders();
  SetUserFolders({FPath, FPath + "/.config"});
}

TTempHome::~TTempHome() {
  SetUserFolders(FOldFolders);
  if (FHadHome) ::setenv("HOME", FOldHome.c_str(), 1); else ::unsetenv("HOME");
  if (FHadConfig) ::setenv("XDG_CONFIG_HOME", FOldConfig.c_str(), 1); else ::unsetenv("XDG_CONFIG_HOME");
  std::error_code ec;
  std::filesystem::remove_all(FPath, ec);
}

TFileSizeLimit::TFileSizeLimit(rlim_t ALimit) {
  FOldHandler = std::signal(SIGXFSZ, SIG_IGN);
  ::getrlimit(RLIMIT_FSIZE, &FOld);
  rlimit lim = FOld;
  lim.rlim_cur = ALimit;
  ::setrlimit(RLIMIT_FSIZE, &lim);
}

TFileSizeLimit::~TFileSizeLimit() {
  ::setrlimit(RLIMIT_FSIZE, &FOld);
  std::signal(SIGXFSZ, FOldHandler);
}

void WriteFile(const std::string& APath, const std::string& AContent) {
  std::filesystem::create_directories(std::filesystem::path(APath).parent_path());
  std::ofstream out(APath, std::ios::binary);
  out << AContent;
}

std::string ReadFile(const std::string& APath) {
  std::ifstream in(APath, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool FileExists(const std::string& APath) {
  struct stat st{};
  return ::stat(APath.c_str(), &st) == 0;
}

}  // namespace tlm::test
