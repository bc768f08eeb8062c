#include "viewer/DownloadFile.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "protocol/Error.h"

namespace tlm {

namespace {
std::string ErrnoText(const char* AWhat) { return std::string(AWhat) + ": " + std::strerror(errno); }
}  // namespace

std::string NumberedFileName(const std::string& AName, int AIndex) {
  if (AIndex == 0) return AName;
  const size_t dot = AName.rfind('.');
  const bool hasExt = dot != std::string::npos && dot > 0;
  const std::string stem = hasExt ? AName.substr(0, dot) : AName;
  const std::string ext = hasExt ? AName.substr(dot) : std::string();
  return stem + " (" + std::to_string(AIndex) + ")" + ext;
}

TDownloadFile::TDownloadFile(const std::filesystem::path& AFolder, std::string AName,
                             std::optional<uint64_t> AExpected)
    : FFolder(AFolder), FName(std::move(AName)), FExpected(AExpected) {
  std::error_code ec;
  std::filesystem::create_directories(FFolder, ec);
  if (ec) throw TError("cannot create " + FFolder.string() + ": " + ec.message());
  std::string tmpl = (FFolder / ".tlmdownload-XXXXXX.part").string();
  FFd = ::mkostemps(tmpl.data(), 5, O_CLOEXEC);
  if (FFd < 0) throw TError(ErrnoText("cannot create download file"));
  FTempPath = tmpl;
}

TDownloadFile::~TDownloadFile() { Discard(); }

void TDownloadFile::Discard() {
  if (FFd >= 0) {
    ::close(FFd);
    FFd = -1;
  }
  if (!FTempPath.empty()) {
    ::unlink(FTempPath.c_str());
    FTempPath.clear();
  }
}

void TDownloadFile::Append(std::span<const uint8_t> AData) {
  if (FFd < 0) throw TError("download file is closed");
  const uint8_t* p = AData.data();
  size_t left = AData.size();
  while (left > 0) {
    const ssize_t n = ::write(FFd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw TError(ErrnoText("cannot write download file"));
    }
    p += n;
    left -= static_cast<size_t>(n);
    FReceived += static_cast<uint64_t>(n);
  }
}

std::optional<std::string> TDownloadFile::Finish() {
  if (FFd < 0) return std::nullopt;
  const bool closedOk = ::close(FFd) == 0;
  FFd = -1;
  if (!closedOk || !FExpected || *FExpected != FReceived) {
    Discard();
    return std::nullopt;
  }
  for (int i = 0; i < 10000; ++i) {
    const std::string candidate = NumberedFileName(FName, i);
    const std::filesystem::path target = FFolder / candidate;
    // Never replaces a file: RENAME_NOREPLACE, or a hard link where the file system lacks it.
    if (::renameat2(AT_FDCWD, FTempPath.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
      FTempPath.clear();
      return candidate;
    }
    if (errno == EEXIST) continue;
    if (errno != EINVAL && errno != ENOSYS) break;
    if (::link(FTempPath.c_str(), target.c_str()) == 0) {
      ::unlink(FTempPath.c_str());
      FTempPath.clear();
      return candidate;
    }
    if (errno != EEXIST) break;
  }
  Discard();
  return std::nullopt;
}

}  // namespace tlm
