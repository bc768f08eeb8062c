#include "protocol/FileTransfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "protocol/Bytes.h"
#include "protocol/Error.h"
#include "protocol/Messages.h"

namespace tlm {

std::optional<uint64_t> ParseFileSize(std::string_view AText) {
  if (AText.empty() || AText.size() > 20) return std::nullopt;
  uint64_t value = 0;
  for (char c : AText) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t digit = uint64_t(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::string ReceivedFileName(std::string_view ARawName) {
  std::string name = SafeLeafName(ARawName);
  if (name.empty()) {
    if (FileNamePart(ARawName).find('\0') != std::string::npos) throw TError("파일 이름에 NUL 문자가 있습니다");
    throw TError("잘못된 파일 이름: \"" + FileNamePart(ARawName) + "\"");
  }
  if (name.front() == '.') name.front() = '_';
  return name;
}

std::optional<TFileAnnouncement> ParseFileBegin(std::string_view AText) {
  const std::vector<std::string> fields = SplitTabs(AText);
  if (fields.size() < 2) return std::nullopt;
  TFileAnnouncement result;
  result.Name = ReceivedFileName(fields[0]);
  const std::optional<uint64_t> size = ParseFileSize(fields[1]);
  if (!size) throw TError("잘못된 파일 크기: \"" + fields[1] + "\"");
  result.Size = *size;
  return result;
}

// ---- sender -------------------------------------------------------------------------------

TFileSender::TFileSender(const std::string& APath, std::string AName) : FName(std::move(AName)) {
  FFd = ::open(APath.c_str(), O_RDONLY | O_CLOEXEC);
  if (FFd < 0) throw TError(APath + ": " + std::strerror(errno));
  struct stat st{};
  if (::fstat(FFd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const std::string why = S_ISREG(st.st_mode) ? std::strerror(errno) : "일반 파일이 아닙니다";
    ::close(FFd);
    throw TError(APath + ": " + why);
  }
  FSize = uint64_t(st.st_size);
  if (FName.empty()) FName = FileNamePart(APath);
  ::posix_fadvise(FFd, 0, 0, POSIX_FADV_SEQUENTIAL);
}

TFileSender::~TFileSender() {
  if (FFd >= 0) ::close(FFd);
}

void TFileSender::SendBegin(const TSend& ASend) { ASend(MsgFileBegin, BytesOf(BuildFileBegin(FName, FSize))); }

bool TFileSender::SendBody(const TSend& ASend, const std::function<bool()>& AGoOn, const TProgress& AProgress) {
  std::vector<uint8_t> chunk(FileChunkSize);
  while (FSent < FSize && !FStop.load() && (!AGoOn || AGoOn())) {
    const size_t want = size_t(std::min<uint64_t>(chunk.size(), FSize - FSent));
    const ssize_t n = ::read(FFd, chunk.data(), want);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw TError(FName + ": " + std::strerror(errno));
    }
    if (n == 0) break;  // the file shrank after it was announced
    ASend(MsgFileChunk, std::span<const uint8_t>(chunk.data(), size_t(n)));
    FSent += uint64_t(n);
    if (AProgress) AProgress(FSent, FSize);
  }
  ASend(MsgFileEnd, {});
  return FSent == FSize;
}

// ---- receiver -----------------------------------------------------------------------------

std::optional<TFileAnnouncement> TFileReceiver::Begin(const std::string& AFolder, std::string_view AText,
                                                      const std::function<bool(const TFileAnnouncement&)>& AAccept) {
  if (SplitTabs(AText).size() < 2) return std::nullopt;
  FFile.Abandon();
  std::optional<TFileAnnouncement> announced = ParseFileBegin(AText);
  if (AAccept && !AAccept(*announced)) return std::nullopt;
  FFile.Begin(AFolder, announced->Name, announced->Size);
  return announced;
}

std::optional<TReceivedFile::TResult> TFileReceiver::Finish() {
  if (!FFile.IsOpen()) return std::nullopt;
  return FFile.Finish();
}

std::string TFileReceiver::Abandon() {
  if (!FFile.IsOpen()) return std::string();
  std::string name = FFile.Name();
  FFile.Abandon();
  return name;
}

}  // namespace tlm
