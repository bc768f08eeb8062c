#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "protocol/Error.h"
#include "protocol/LocalFiles.h"

namespace tlm {

const char PathSeparator = '/';

bool IsPathSeparator(char AChar) { return AChar == '/'; }

std::string JoinPath(const std::string& AFolder, const std::string& AName) {
  if (AFolder.empty()) return AName;
  if (AFolder.back() == '/') return AFolder + AName;
  return AFolder + "/" + AName;
}

std::string LastErrorText() { return std::strerror(errno); }

TInputFile::TInputFile(const std::string& APath) : FHandle(-1) {
  // Non-blocking while opening: a FIFO or a device must not wait for a writer or a line before
  // the check below refuses it. Reads of the regular file then block as usual.
  const int fd = ::open(APath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) throw TError(APath + ": " + std::strerror(errno));
  struct stat st{};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const std::string why = S_ISREG(st.st_mode) ? std::strerror(errno) : "일반 파일이 아닙니다";
    ::close(fd);
    throw TError(APath + ": " + why);
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  FHandle = fd;
  FSize = uint64_t(st.st_size);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
}

TInputFile::~TInputFile() { Close(); }

bool TInputFile::IsOpen() const { return FHandle >= 0; }

void TInputFile::Close() {
  if (FHandle >= 0) ::close(int(FHandle));
  FHandle = -1;
}

size_t TInputFile::Read(void* AData, size_t ALen) {
  for (;;) {
    const ssize_t n = ::read(int(FHandle), AData, ALen);
    if (n >= 0) return size_t(n);
    if (errno != EINTR) throw TError(std::strerror(errno));
  }
}

bool IsRegularFile(const std::string& APath) {
  struct stat st{};
  return !APath.empty() && ::stat(APath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void MakeFolders(const std::string& APath) {
  std::string part;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = APath.find('/', pos + 1);
    part = APath.substr(0, pos);
    if (part.empty()) continue;
    if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) throw TError(part + ": " + std::strerror(errno));
  }
  struct stat st{};
  if (::stat(APath.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) throw TError(APath + ": 폴더가 아닙니다");
}

namespace {

std::FILE* StreamOf(int AFd, const std::string& APath) {
  std::FILE* file = ::fdopen(AFd, "wb");
  if (!file) {
    const int err = errno;
    ::close(AFd);
    ::unlink(APath.c_str());
    throw TError(APath + ": " + std::strerror(err));
  }
  return file;
}

}  // namespace

std::FILE* CreateNewFile(const std::string& APath, bool& AExisted) {
  AExisted = false;
  const int fd = ::open(APath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (errno == EEXIST) {
      AExisted = true;
      return nullptr;
    }
    throw TError(APath + ": " + std::strerror(errno));
  }
  return StreamOf(fd, APath);
}

std::FILE* CreateHiddenTempFile(const std::string& AFolder, std::string& APath) {
  APath = JoinPath(AFolder, ".tlmdownload-XXXXXX.part");
  const int fd = ::mkostemps(APath.data(), 5, O_CLOEXEC);
  if (fd < 0) throw TError(APath + ": " + std::strerror(errno));
  return StreamOf(fd, APath);
}

bool SyncFile(std::FILE* AFile) { return std::fflush(AFile) == 0 && ::fsync(::fileno(AFile)) == 0; }

void RemoveFile(const std::string& APath) { ::unlink(APath.c_str()); }

ERenameResult RenameNoReplace(const std::string& AFrom, const std::string& ATo) {
  // RENAME_NOREPLACE, else a hard link (which refuses an existing name too), else a checked
  // rename for file systems that have neither.
  if (::renameat2(AT_FDCWD, AFrom.c_str(), AT_FDCWD, ATo.c_str(), RENAME_NOREPLACE) == 0) return ERenameResult::Done;
  if (errno == EEXIST) return ERenameResult::Exists;
  if (errno != EINVAL && errno != ENOSYS) return ERenameResult::Failed;
  if (::link(AFrom.c_str(), ATo.c_str()) == 0) {
    ::unlink(AFrom.c_str());
    return ERenameResult::Done;
  }
  if (errno == EEXIST) return ERenameResult::Exists;
  struct stat st{};
  if (::lstat(ATo.c_str(), &st) == 0) return ERenameResult::Exists;
  return ::rename(AFrom.c_str(), ATo.c_str()) == 0 ? ERenameResult::Done : ERenameResult::Failed;
}

std::optional<std::vector<TDirEntry>> ListFolder(const std::string& AFolder) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(AFolder.c_str()), ::closedir);
  if (!dir) return std::nullopt;
  std::vector<TDirEntry> entries;
  errno = 0;
  while (const dirent* ent = ::readdir(dir.get())) {
    const std::string name = ent->d_name;
    if (name == "." || name == "..") continue;
    struct stat st{};
    const std::string full = AFolder + name;
    // Links are shown as what they point to; a dangling link as the link itself.
    if (::stat(full.c_str(), &st) != 0 && ::lstat(full.c_str(), &st) != 0) st = {};
    if (S_ISDIR(st.st_mode)) {
      entries.push_back({true, name, 0});
    } else {
      entries.push_back({false, name, uint64_t(st.st_size)});
    }
    errno = 0;
  }
  if (errno != 0) throw TError(std::strerror(errno));
  return entries;
}

std::string ParentFolder(const std::string& APath) {
  const size_t cut = APath.rfind('/');
  if (cut == std::string::npos) return std::string();
  return cut == 0 ? std::string("/") : APath.substr(0, cut);
}

std::optional<std::string> ReadFileText(const std::string& APath) {
  std::FILE* file = std::fopen(APath.c_str(), "rb");
  if (!file) return std::nullopt;
  std::string text;
  char buffer[65536];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) return std::nullopt;
  return text;
}

void ReplaceFileDurably(const std::string& APath, const std::string& AText) {
  std::string temp = APath + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());  // 0600 by itself
  if (fd < 0) throw TError(std::string("임시 파일: ") + std::strerror(errno));
  auto fail = [&](const char* AWhat) {
    const int err = errno;
    ::close(fd);
    ::unlink(temp.c_str());
    throw TError(std::string(AWhat) + ": " + std::strerror(err));
  };
  size_t done = 0;
  while (done < AText.size()) {
    const ssize_t n = ::write(fd, AText.data() + done, AText.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      fail("쓰기");
    }
    done += size_t(n);
  }
  if (::fchmod(fd, 0600) != 0) fail("권한");
  if (::fsync(fd) != 0) fail("fsync");
  if (::close(fd) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    throw TError(std::string("닫기: ") + std::strerror(err));
  }
  if (::rename(temp.c_str(), APath.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    throw TError(std::string("이름 바꾸기: ") + std::strerror(err));
  }
  const std::string folder = ParentFolder(APath);
  const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);  // the rename itself reaches the disk
    ::close(dir);
  }
}

void MakePrivateFolder(const std::string& APath) {
  try {
    MakeFolders(APath);
  } catch (const TError&) {
    // reported by the first write into it
  }
  ::chmod(APath.c_str(), 0700);
}

}  // namespace tlm
