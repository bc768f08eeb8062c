#include "protocol/ReceivedFile.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "protocol/Error.h"

namespace tlm {

namespace {

// Tries per file name before giving up: "name (9999).ext" is as far as anyone goes.
constexpr int MaxCopies = 10000;

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

std::string SafeLeafName(std::string_view AName) {
  std::string leaf = FileNamePart(AName);
  if (leaf.empty() || leaf == "." || leaf == ".." || leaf.find('\0') != std::string::npos) return std::string();
  return leaf;
}

std::string NumberedName(std::string_view AName, int ACopy) {
  if (ACopy == 0) return std::string(AName);
  size_t dot = AName.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::string(AName) + " (" + std::to_string(ACopy) + ")";
  return std::string(AName.substr(0, dot)) + " (" + std::to_string(ACopy) + ")" + std::string(AName.substr(dot));
}

void TReceivedFile::Begin(const std::string& AFolder, const std::string& AName, std::optional<uint64_t> AExpected) {
  Abandon();
  MakeFolders(AFolder);
  std::string temp;
  int fd = -1;
  if (FTempName == ETempName::Hidden) {
    temp = JoinPath(AFolder, ".tlmdownload-XXXXXX.part");
    fd = ::mkostemps(temp.data(), 5, O_CLOEXEC);
    if (fd < 0) throw TError(temp + ": " + ErrnoText(errno));
  } else {
    for (int copy = 0; copy < MaxCopies && fd < 0; ++copy) {
      temp = JoinPath(AFolder, NumberedName(AName, copy) + ".part");
      fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (fd < 0 && errno != EEXIST) throw TError(temp + ": " + ErrnoText(errno));
    }
    if (fd < 0) throw TError(AName + ": 사용할 수 있는 임시 이름이 없습니다");
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
}

void TReceivedFile::Append(std::span<const uint8_t> AData) {
  if (!FFile || AData.empty()) return;
  size_t n = AData.size();
  if (FExpected) n = size_t(std::min<uint64_t>(FReceived < *FExpected ? *FExpected - FReceived : 0, n));
  FReceived += AData.size();
  if (n > 0 && std::fwrite(AData.data(), 1, n, FFile) != n) {
    const std::string reason = FTempPath + ": " + ErrnoText(errno);
    CloseIncomplete();
    throw TError(reason);
  }
}

TReceivedFile::TResult TReceivedFile::Finish() {
  TResult result;
  result.Received = FReceived;
  result.Expected = FExpected;
  if (FFile) {
    // Only bytes that reached the disk count: a full disk may show first when the buffer is flushed.
    bool flushed = std::fflush(FFile) == 0 && ::fsync(::fileno(FFile)) == 0;
    flushed = std::fclose(FFile) == 0 && flushed;
    FFile = nullptr;
    if (flushed && FExpected && FReceived == *FExpected && NameFinal(result)) {
      FTempPath.clear();
      return result;
    }
    CloseIncomplete();
  }
  result.Path = FTempPath;
  return result;
}

void TReceivedFile::Abandon() { CloseIncomplete(); }

void TReceivedFile::CloseIncomplete() {
  if (FFile) {
    std::fclose(FFile);
    FFile = nullptr;
  }
  if (FIncomplete == EIncomplete::Remove && !FTempPath.empty()) {
    ::unlink(FTempPath.c_str());
    FTempPath.clear();
  }
}

bool TReceivedFile::NameFinal(TResult& AResult) {
  for (int copy = 0; copy < MaxCopies; ++copy) {
    const std::string target = JoinPath(FFolder, NumberedName(FName, copy));
    // Never replaces a file, not even one that appeared a moment ago: RENAME_NOREPLACE, else
    // a hard link (which refuses an existing name too), else a checked rename for file
    // systems that have neither.
    bool done = ::renameat2(AT_FDCWD, FTempPath.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0;
    if (!done) {
      if (errno == EEXIST) continue;
      if (errno != EINVAL && errno != ENOSYS) return false;
      if (::link(FTempPath.c_str(), target.c_str()) == 0) {
        ::unlink(FTempPath.c_str());
        done = true;
      } else {
        if (errno == EEXIST) continue;
        struct stat st{};
        if (::lstat(target.c_str(), &st) == 0) continue;
        done = ::rename(FTempPath.c_str(), target.c_str()) == 0;
      }
    }
    if (!done) return false;
    AResult.Complete = true;
    AResult.Path = target;
    return true;
  }
  return false;
}

}  // namespace tlm
