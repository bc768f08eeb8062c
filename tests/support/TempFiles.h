// A private home folder for a test, a stand-in for a full disk, and small file helpers for
// checking what landed in a folder.
//
// TTempHome points $HOME (and XDG_CONFIG_HOME, inside it) and the program's user folders
// (SetUserFolders) at a fresh folder for its lifetime and restores them afterwards. Both are
// process-wide: create it before any thread that reads them starts, destroy it after they ended.
#pragma once

#include <sys/resource.h>

#include <string>

#include "platform/Folders.h"

namespace tlm::test {

class TTempHome {
public:
  TTempHome();
  ~TTempHome();
  TTempHome(const TTempHome&) = delete;
  TTempHome& operator=(const TTempHome&) = delete;
  const std::string& Path() const { return FPath; }
  std::string Sub(const std::string& ARel) const { return FPath + "/" + ARel; }

private:
  std::string FPath;
  std::string FOldHome, FOldConfig;
  bool FHadHome = false, FHadConfig = false;
  TFolderEnvironment FOldFolders;
};

// Files of this process may grow to ALimit bytes while this lives: a write beyond fails with
// EFBIG (SIGXFSZ is ignored meanwhile), as on a full disk. Process-wide, like TTempHome.
class TFileSizeLimit {
public:
  explicit TFileSizeLimit(rlim_t ALimit);
  ~TFileSizeLimit();
  TFileSizeLimit(const TFileSizeLimit&) = delete;
  TFileSizeLimit& operator=(const TFileSizeLimit&) = delete;

private:
  rlimit FOld{};
  void (*FOldHandler)(int) = nullptr;
};

// Writes AContent, creating missing parent folders.
void WriteFile(const std::string& APath, const std::string& AContent);
// The whole file; "" when it cannot be read.
std::string ReadFile(const std::string& APath);
bool FileExists(const std::string& APath);

}  // namespace tlm::test
