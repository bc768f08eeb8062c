#include "viewer/ViewerTransfers.h"

#include <chrono>

#include "protocol/Error.h"
#include "protocol/Messages.h"

namespace tlm {

namespace {

// How long a finished upload waits for its last packets to leave before the next may start.
constexpr int EndFlushMs = 30000;

int64_t SteadyMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

std::string TViewerUpload::SentName(const std::string& APath) { return FileNamePart(APath); }

void TViewerUpload::Start(const std::string& APath) {
  std::lock_guard hold(FLock);
  // A worker still streaming counts as running: two files must never interleave their chunks.
  if (FRunning.load()) throw TError("이미 파일 전송이 진행 중입니다.");
  if (FThread.joinable()) FThread.join();
  auto sender = std::make_shared<TFileSender>(APath, SentName(APath));
  bool queued = true;
  sender->SendBegin([&](uint32_t AType, std::span<const uint8_t> AData) { queued = FWriter.Post(AType, AData); });
  if (!queued) throw TError("not connected");
  FSender = sender;
  FPercent.store(0);
  FRunning.store(true);
  FThread = std::thread([this, sender] { Body(sender); });
}

void TViewerUpload::RequestStop() {
  std::lock_guard hold(FLock);
  if (FSender) FSender->Stop();
}

void TViewerUpload::Cancel() {
  std::lock_guard hold(FLock);
  if (FSender) FSender->Stop();
  if (FThread.joinable()) FThread.join();
}

void TViewerUpload::Body(std::shared_ptr<TFileSender> ASender) {
  bool complete = false;
  try {
    TProgressThrottle throttle(SteadyMs());
    complete = ASender->SendBody(
        [this](uint32_t AType, std::span<const uint8_t> AData) { FWriter.PostBulk(AType, AData); }, {},
        [&](uint64_t ADone, uint64_t ATotal) {
          const auto progress = throttle.Offer(ADone, ATotal, SteadyMs());
          if (!progress) return;
          // Before the line: whoever shows the line finds the figure at least as new.
          FPercent.store(progress->Percent);
          if (OnProgress) OnProgress(FormatProgress(ASender->Name(), *progress));
        });
    // The end sits in the bulk queue, which the next file's MsgFileBegin (a small message)
    // would overtake: the host would then close this file short. So the upload counts as
    // running until the writer has put everything queued on the wire.
    FWriter.Flush(EndFlushMs);
  } catch (...) {
    complete = false;
  }
  FRunning.store(false);
  if (OnDone) OnDone(ASender->Name(), complete);
}

void TViewerDownload::Expect(const std::string& ARemotePath) {
  std::lock_guard hold(FAskedLock);
  FAsked.Add(ARemotePath);
}

bool TViewerDownload::Begin(const std::string& AText, std::string& AStatus) {
  AStatus.clear();
  std::string unasked;
  try {
    const auto accepted = FFile.Begin(FFolder, AText, [&](const TFileAnnouncement& AFile) {
      std::lock_guard hold(FAskedLock);
      if (FAsked.Take(AFile.Name)) return true;
      unasked = AFile.Name;
      return false;
    });
    if (!accepted) {
      if (!unasked.empty()) AStatus = "요청하지 않은 파일을 버렸습니다: " + unasked;
      return false;
    }
    FProgress = std::make_unique<TProgressThrottle>(SteadyMs());
    FCancel.store(false);  // a cancel meant for an earlier file
    FPercent.store(0);
    FActive.store(true);
    AStatus = "다운로드 중: " + accepted->Name;
    return true;
  } catch (const TError& e) {
    AStatus = std::string("다운로드 실패: ") + e.what();
    return false;
  }
}

std::string TViewerDownload::Cancelled() {
  const std::string name = FFile.Name();
  Abandon();
  return "전송 취소됨: " + name;
}

std::string TViewerDownload::Chunk(std::span<const uint8_t> AData) {
  if (!FFile.IsOpen() || AData.empty()) return {};
  if (FCancel.exchange(false)) return Cancelled();
  const std::string name = FFile.Name();
  try {
    FFile.Append(AData);
  } catch (const TError&) {
    FActive.store(false);
    return "다운로드 실패: " + name;  // the disk refused: the file is gone, the rest ignored
  }
  if (FFile.Received() > FFile.Expected()) {
    // More than announced: the file cannot come out right, so stop filling the disk with it.
    Abandon();
    return "다운로드 실패: " + name;
  }
  if (FProgress) {
    if (auto progress = FProgress->Offer(FFile.Received(), FFile.Expected(), SteadyMs())) {
      FPercent.store(progress->Percent);
      return "다운로드 중: " + FormatProgress(name, *progress);
    }
  }
  return {};
}

std::string TViewerDownload::End(std::string* AStored) {
  if (FFile.IsOpen() && FCancel.exchange(false)) return Cancelled();
  const std::string name = FFile.Name();
  const auto stored = FFile.Finish();
  FActive.store(false);
  if (!stored) return {};
  if (stored->Complete) {
    if (AStored) *AStored = stored->Path;
    return "다운로드 완료 (내려받기 폴더): " + FileNamePart(stored->Path);
  }
  return "다운로드 실패: " + name;
}

}  // namespace tlm
