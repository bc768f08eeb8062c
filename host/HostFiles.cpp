#include "host/HostFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/Folders.h"
#include "protocol/Error.h"
#include "protocol/Messages.h"

namespace tlm {

namespace {

std::string ErrnoText(int AErr) { return std::strerror(AErr); }

std::string JoinPath(const std::string& AFolder, const std::string& AName) {
  if (AFolder.empty()) return AName;
  if (AFolder.back() == '/') return AFolder + AName;
  return AFolder + "/" + AName;
}

// mkdir -p; an existing folder is fine.
void MakeFolders(const std::string& APath) {
  std::string part;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = APath.find('/', pos + 1);
    part = APath.substr(0, pos);
    if (part.empty()) continue;
    if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) throw TError(part + ": " + ErrnoText(errno));
  }
  struct stat st{};
  if (::stat(APath.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) throw TError(APath + ": 폴더가 아닙니다");
}

}  // namespace

std::string FileNamePart(std::string_view APath) {
  size_t cut = APath.find_last_of("\\:/");
  return std::string(cut == std::string_view::npos ? APath : APath.substr(cut + 1));
}

std::string SafeReceivedName(std::string_view ARawName) {
  std::string name = FileNamePart(ARawName);
  if (name.find('\0') != std::string::npos) throw TError("파일 이름에 NUL 문자가 있습니다");
  if (name.empty() || name == "." || name == "..") throw TError("잘못된 파일 이름: \"" + name + "\"");
  return name;
}

std::string NumberedName(std::string_view AName, int ACopy) {
  if (ACopy == 0) return std::string(AName);
  size_t dot = AName.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::string(AName) + " (" + std::to_string(ACopy) + ")";
  return std::string(AName.substr(0, dot)) + " (" + std::to_string(ACopy) + ")" + std::string(AName.substr(dot));
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

TFileReceiver::~TFileReceiver() { CloseFile(); }

void TFileReceiver::CloseFile() {
  if (FFile) {
    std::fclose(FFile);
    FFile = nullptr;
  }
}

void TFileReceiver::Begin(const std::string& AFolder, const std::string& AName, uint64_t AExpected) {
  Abandon();
  MakeFolders(AFolder);
  for (int copy = 0; copy < 10000; ++copy) {
    const std::string temp = JoinPath(AFolder, NumberedName(AName, copy) + ".part");
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      throw TError(temp + ": " + ErrnoText(errno));
    }
    FFile = ::fdopen(fd, "wb");
    if (!FFile) {
      int err = errno;
      ::close(fd);
      ::unlink(temp.c_str());
      throw TError(temp + ": " + ErrnoText(err));
    }
    FFolder = AFolder;
    FName = AName;
    FTempPath = temp;
    FExpected = AExpected;
    FReceived = 0;
    FWriteFailed = false;
    return;
  }
  throw TError(AName + ": 사용할 수 있는 임시 이름이 없습니다");
}

void TFileReceiver::Append(std::span<const uint8_t> AData) {
  if (!FFile || AData.empty()) return;
  uint64_t room = FReceived < FExpected ? FExpected - FReceived : 0;
  size_t n = size_t(std::min<uint64_t>(room, AData.size()));
  FReceived += AData.size();
  if (n > 0 && std::fwrite(AData.data(), 1, n, FFile) != n) {
    int err = errno;
    FWriteFailed = true;
    CloseFile();
    throw TError(FTempPath + ": " + ErrnoText(err));
  }
}

TFileReceiver::TResult TFileReceiver::Finish() {
  TResult result;
  result.Path = FTempPath;
  result.Received = FReceived;
  result.Expected = FExpected;
  if (!FFile) return result;
  bool flushed = std::fflush(FFile) == 0 && ::fsync(::fileno(FFile)) == 0;
  flushed = (std::fclose(FFile) == 0) && flushed;
  FFile = nullptr;
  if (!flushed || FWriteFailed || FReceived != FExpected) return result;
  // link() refuses to replace an existing file, so a file that appeared meanwhile stays intact.
  for (int copy = 0; copy < 10000; ++copy) {
    const std::string target = JoinPath(FFolder, NumberedName(FName, copy));
    if (::link(FTempPath.c_str(), target.c_str()) == 0) {
      ::unlink(FTempPath.c_str());
      result.Complete = true;
      result.Path = target;
      return result;
    }
    if (errno == EEXIST) continue;
    // File systems without hard links: rename, after checking the name is still free.
    struct stat st{};
    if (::lstat(target.c_str(), &st) == 0) continue;
    if (::rename(FTempPath.c_str(), target.c_str()) == 0) {
      result.Complete = true;
      result.Path = target;
    }
    return result;
  }
  return result;
}

void TFileReceiver::Abandon() { CloseFile(); }

}  // namespace tlm
