#include "host/HostFiles.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/Folders.h"
#include "protocol/Error.h"
#include "protocol/Messages.h"
#include "protocol/ReceivedFile.h"

namespace tlm {

namespace {

std::string ErrnoText(int AErr) { return std::strerror(AErr); }

}  // namespace

std::string SafeReceivedName(std::string_view ARawName) {
  std::string name = SafeLeafName(ARawName);
  if (!name.empty()) return name;
  name = FileNamePart(ARawName);
  if (name.find('\0') != std::string::npos) throw TError("파일 이름에 NUL 문자가 있습니다");
  throw TError("잘못된 파일 이름: \"" + name + "\"");
}

bool ExistingFile(const std::string& APath) {
  struct stat st{};
  return !APath.empty() && ::stat(APath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string BuildHostListing(std::string_view ARequest) {
  if (ARequest.empty()) {
    std::vector<TDirEntry> roots{{true, "/", 0}};
    const std::string home = UserHomeDir();
    if (home != "/") roots.push_back({true, home, 0});
    return BuildDirListing(DrivesHeader, roots);
  }
  std::string base = ARequest == "~" ? UserConfigDir() : std::string(ARequest);
  std::string first = base;
  while (first.size() > 1 && first.back() == '/') first.pop_back();
  if (base.back() != '/') base += '/';

  std::vector<TDirEntry> entries;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(base.c_str()), ::closedir);
  if (!dir) return BuildDirListing(first, entries);
  errno = 0;
  while (const dirent* ent = ::readdir(dir.get())) {
    const std::string name = ent->d_name;
    if (name == "." || name == "..") continue;
    // TAB, CR and LF separate the fields and lines of a listing: such a name would forge entries.
    if (name.find_first_of("\t\r\n") != std::string::npos) continue;
    struct stat st{};
    const std::string full = base + name;
    // Links are shown as what they point to; a dangling link as the link itself.
    if (::stat(full.c_str(), &st) != 0 && ::lstat(full.c_str(), &st) != 0) st = {};
    if (S_ISDIR(st.st_mode)) {
      entries.push_back({true, name, 0});
    } else {
      entries.push_back({false, name, uint64_t(st.st_size)});
    }
    errno = 0;
  }
  if (errno != 0) throw TError(first + ": " + ErrnoText(errno));
  return BuildDirListing(first, entries);
}

}  // namespace tlm
