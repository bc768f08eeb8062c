#include "viewer/ViewerTransfers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <vector>

#include "protocol/Error.h"
#include "protocol/Messages.h"

namespace tlm {

std::string TViewerUpload::SentName(const std::string& APath) { return FileNamePart(APath); }

void TViewerUpload::Start(const std::string& APath) {
  std::lock_guard hold(FLock);
  // A worker still streaming counts as running: two files must never interleave their chunks.
  if (FRunning.load()) throw TError("이미 파일 전송이 진행 중입니다.");
  if (FThread.joinable()) FThread.join();
  const int fd = ::open(APath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw TError(APath + ": " + std::strerror(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    throw TError(APath + ": not a regular file");
  }
  const std::string name = SentName(APath);
  if (!FWriter.PostText(MsgFileBegin, BuildFileBegin(name, uint64_t(st.st_size)))) {
    ::close(fd);
    throw TError("not connected");
  }
  FStop.store(false);
  FRunning.store(true);
  FThread = std::thread([this, fd, name] { Body(fd, name); });
}

void TViewerUpload::Cancel() {
  std::lock_guard hold(FLock);
  FStop.store(true);
  if (FThread.joinable()) FThread.join();
}

void TViewerUpload::Body(int AFd, std::string AName) {
  bool complete = false;
  try {
    std::vector<uint8_t> buffer(FileChunkSize);
    for (;;) {
      if (FStop.load()) break;
      const ssize_t n = ::read(AFd, buffer.data(), buffer.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        throw TError(std::strerror(errno));
      }
      if (n == 0) {
        complete = true;
        break;
      }
      FWriter.PostBulk(MsgFileChunk, std::span<const uint8_t>(buffer.data(), size_t(n)));
    }
    // After the chunks, in the same queue: the host closes the file with what arrived.
    FWriter.PostBulk(MsgFileEnd);
  } catch (...) {
    complete = false;
  }
  ::close(AFd);
  FRunning.store(false);
  if (OnDone) OnDone(AName, complete);
}

bool TViewerDownload::Begin(const std::string& AText, std::string& AStatus) {
  AStatus.clear();
  const std::vector<std::string> fields = SplitTabs(AText);
  FFile.Abandon();  // an unfinished download is dropped
  if (fields.size() < 2) return false;
  FName = SafeLeafName(fields[0]);
  if (FName.empty()) return false;
  std::optional<uint64_t> expected;
  uint64_t size = 0;
  const std::string& text = fields[1];
  const auto parsed = std::from_chars(text.data(), text.data() + text.size(), size);
  if (parsed.ec == std::errc() && parsed.ptr == text.data() + text.size() && !text.empty()) expected = size;
  try {
    FFile.Begin(FFolder, FName, expected);
  } catch (const TError&) {
    FFile.Abandon();
    return false;
  }
  AStatus = "다운로드 중: " + FName;
  return true;
}

std::string TViewerDownload::Chunk(std::span<const uint8_t> AData) {
  if (!FFile.IsOpen() || AData.empty()) return {};
  if (FFile.Expected() && FFile.Received() + AData.size() > *FFile.Expected()) {
    // More than announced: the file cannot come out right, so stop filling the disk with it.
    FFile.Abandon();
    return "다운로드 실패: " + FName;
  }
  try {
    FFile.Append(AData);
  } catch (const TError&) {
    FFile.Abandon();
    return "다운로드 실패: " + FName;
  }
  return {};
}

std::string TViewerDownload::End() {
  if (!FFile.IsOpen()) return {};
  const TReceivedFile::TResult stored = FFile.Finish();
  if (stored.Complete) return "다운로드 완료 (내려받기 폴더): " + FileNamePart(stored.Path);
  return "다운로드 실패: " + FName;
}

}  // namespace tlm
