#include "protocol/FileTransfer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
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

TFileSender::TFileSender(const std::string& APath, std::string AName)
    : FFile(std::make_unique<TInputFile>(APath)), FName(std::move(AName)) {
  FSize = FFile->Size();
  if (FName.empty()) FName = FileNamePart(APath);
}

TFileSender::~TFileSender() = default;

void TFileSender::SendBegin(const TSend& ASend) { ASend(MsgFileBegin, BytesOf(BuildFileBegin(FName, FSize))); }

bool TFileSender::SendBody(const TSend& ASend, const std::function<bool()>& AGoOn, const TProgress& AProgress) {
  // The file is not needed once the body returns, however it returns: nothing keeps it open.
  if (!FFile) throw TError(FName + ": 이미 보냈습니다");
  const std::unique_ptr<TInputFile> file = std::move(FFile);
  std::vector<uint8_t> chunk(FileChunkSize);
  while (FSent < FSize && !FStop.load() && (!AGoOn || AGoOn())) {
    const size_t want = size_t(std::min<uint64_t>(chunk.size(), FSize - FSent));
    size_t n = 0;
    try {
      n = file->Read(chunk.data(), want);
    } catch (const TError& e) {
      throw TError(FName + ": " + e.what());
    }
    if (n == 0) break;  // the file shrank after it was announced
    ASend(MsgFileChunk, std::span<const uint8_t>(chunk.data(), n));
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

std::string TFileReceiver::Discard() {
  if (!FFile.IsOpen()) return std::string();
  std::string name = FFile.Name();
  FFile.Discard();
  return name;
}

std::string TFileReceiver::Abandon() {
  if (!FFile.IsOpen()) return std::string();
  std::string name = FFile.Name();
  FFile.Abandon();
  return name;
}

// ---- requests and progress ---------------------------------------------------------------

void TRequestedFiles::Add(std::string_view ARemotePath) {
  std::string name;
  try {
    name = ReceivedFileName(FileNamePart(ARemotePath));
  } catch (const TError&) {
    return;  // the partner can announce no file for it
  }
  FNames.push_back(std::move(name));
  if (FNames.size() > Limit) FNames.pop_front();
}

bool TRequestedFiles::Take(const std::string& AStoredName) {
  const auto it = std::find(FNames.begin(), FNames.end(), AStoredName);
  if (it == FNames.end()) return false;
  FNames.erase(it);
  return true;
}

std::optional<TTransferProgress> TProgressThrottle::Offer(uint64_t ADone, uint64_t ATotal, int64_t ANowMs) {
  const bool last = ADone >= ATotal;
  if (!last && FLastMs && ANowMs - *FLastMs < FIntervalMs) return std::nullopt;
  FLastMs = ANowMs;
  TTransferProgress p;
  p.Done = ADone;
  p.Total = ATotal;
  // In 128 bits: ADone * 100 overflows 64 for the largest sizes, and a double would round
  // 99.99...% up to 100 before the end.
  p.Percent = ATotal == 0 ? 100 : int(std::min<unsigned __int128>(100, (unsigned __int128)ADone * 100 / ATotal));
  const double seconds = double(ANowMs - FStartMs) / 1000.0;
  p.BytesPerSecond = seconds > 0 ? double(ADone) / seconds : 0;
  return p;
}

std::string FormatProgress(std::string_view AName, const TTransferProgress& AProgress) {
  std::string text = std::string(AName) + " " + std::to_string(AProgress.Percent) + "%";
  if (AProgress.BytesPerSecond <= 0) return text;  // no time has passed yet: no rate to show
  char rate[32];
  if (AProgress.BytesPerSecond >= 1e6) {
    std::snprintf(rate, sizeof rate, "%.1f MB/s", AProgress.BytesPerSecond / 1e6);
  } else {
    std::snprintf(rate, sizeof rate, "%.0f KB/s", AProgress.BytesPerSecond / 1e3);
  }
  return text + " (" + rate + ")";
}

}  // namespace tlm
