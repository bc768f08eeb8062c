#include "host/HostFileService.h"

#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "platform/Folders.h"
#include "protocol/Error.h"
#include "protocol/LocalFiles.h"
#include "protocol/Messages.h"

namespace tlm {

namespace {

// How a file chunk waits for a full line to drain: in steps, and at most this long per chunk.
constexpr int ChunkWaitStepMs = 5;
constexpr int MaxChunkWaitMs = 1000;

int64_t SteadyMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void SleepMs(int AMs) { std::this_thread::sleep_for(std::chrono::milliseconds(AMs)); }

void PostWaitText(TPacketWriter& AWriter, uint32_t AType, std::string_view AText) {
  AWriter.PostWait(AType, std::span(reinterpret_cast<const uint8_t*>(AText.data()), AText.size()));
}

}  // namespace

bool ExistingFile(const std::string& APath) { return IsRegularFile(APath); }

std::string BuildHostListing(std::string_view ARequest) {
  if (ARequest.empty()) {
    std::vector<TDirEntry> roots;
    for (const std::string& root : ListingRoots()) roots.push_back({true, root, 0});
    return BuildDirListing(DrivesHeader, roots);
  }
  std::string base = ARequest == "~" ? UserConfigDir() : std::string(ARequest);
  // The first line is the folder without its trailing separator: a Windows drive root
  // becomes "C:", the POSIX root stays "/".
  std::string first = base;
  while (first.size() > 1 && IsPathSeparator(first.back())) first.pop_back();
  if (!IsPathSeparator(base.back())) base += PathSeparator;

  std::optional<std::vector<TDirEntry>> listed;
  try {
    listed = ListFolder(base);
  } catch (const TError& e) {
    throw TError(first + ": " + e.what());
  }
  std::vector<TDirEntry> entries;
  if (!listed) return BuildDirListing(first, entries);
  for (TDirEntry& entry : *listed) {
    // TAB, CR and LF separate the fields and lines of a listing: such a name would forge entries.
    if (entry.Name.find_first_of("\t\r\n") != std::string::npos) continue;
    entries.push_back(std::move(entry));
  }
  return BuildDirListing(first, entries);
}

// ---- the service ------------------------------------------------------------------------

THostFileService::THostFileService(std::string ADownloadDir, std::string AConfigDir, const TFrameFlow& AFlow,
                                   THostFileNotes ANotes)
    : FDownloadDir(std::move(ADownloadDir)), FConfigDir(std::move(AConfigDir)), FFlow(AFlow), FNotes(std::move(ANotes)) {}

THostFileService::~THostFileService() {
  FSends.Clear();
  FSends.WaitIdle();
}

std::string THostFileService::DownloadFolder() const { return FDownloadDir.empty() ? UserDownloadDir() : FDownloadDir; }

void THostFileService::ReceiveBegin(std::string_view AAnnouncement, TPacketWriter& AReply) {
  // A new announcement ends the previous file whatever becomes of this one, so its chunks
  // can never land in the previous file.
  const std::string previous = FReceiver.IsOpen() ? FReceiver.Name() : "";
  std::optional<TFileAnnouncement> announced;
  std::string failure;
  try {
    announced = FReceiver.Begin(DownloadFolder(), std::string(AAnnouncement));
  } catch (const std::exception& e) {
    failure = e.what();
  }
  // An ignored announcement (no size field) leaves the previous file open.
  if (!previous.empty() && (announced || !failure.empty())) FNotes.Log("파일 수신 중단: " + previous);
  if (!failure.empty()) {
    PostWaitText(AReply, MsgFileError, "파일 생성 실패: " + failure);
    return;
  }
  if (!announced) return;
  AReply.PostWait(MsgFileReady);
  FNotes.Status("파일 수신 중: " + announced->Name);
  FNotes.Log("파일 수신 시작: " + announced->Name + " (" + std::to_string(announced->Size) + " 바이트)");
}

void THostFileService::ReceiveChunk(std::span<const uint8_t> AData, TPacketWriter& AReply) {
  if (!FReceiver.IsOpen() || AData.empty()) return;
  std::string failure;
  try {
    FReceiver.Append(AData);
    return;
  } catch (const std::exception& e) {
    failure = FReceiver.Name() + ": " + e.what();
  }
  // The disk refused the bytes: the file stays under its temporary name, the viewer is told,
  // and the rest of this file is ignored; the connection itself is fine.
  FNotes.Status("파일 수신 실패: " + failure);
  FNotes.Log("파일 수신 실패: " + failure);
  PostWaitText(AReply, MsgFileError, "파일 쓰기 실패: " + failure);
}

void THostFileService::ReceiveEnd(TPacketWriter& AReply) {
  const std::string name = FReceiver.Name();
  const std::optional<TReceivedFile::TResult> result = FReceiver.Finish();
  if (!result) return;
  if (result->Complete) {
    FNotes.Status("파일 수신 완료: " + FileNamePart(result->Path));
    FNotes.Log("파일 수신 완료: " + result->Path);
    return;
  }
  const std::string text = name + " (" + std::to_string(result->Received) + "/" + std::to_string(result->Expected.value_or(0)) + " 바이트)";
  FNotes.Status("파일 수신 실패: " + text);
  FNotes.Log("파일 수신 실패: " + text + ", 받은 부분: " + result->Path);
  PostWaitText(AReply, MsgFileError, "파일 수신 실패: " + text);
}

void THostFileService::ReceiveCancel() {
  const std::string name = FReceiver.Discard();
  if (name.empty()) return;  // finished or never begun: nothing to undo
  FNotes.Status("파일 수신 취소됨: " + name);
  FNotes.Log("파일 수신 취소됨: " + name);
}

void THostFileService::Request(std::string APath, TPacketWriter& AReply, THostSessionRef ASession) {
  if (!ExistingFile(APath)) {
    PostWaitText(AReply, MsgFileError, "파일을 찾을 수 없습니다");
    return;
  }
  if (!ASession) return;  // nobody is there to receive it
  bool queued = false;
  try {
    queued = FSends.Push([this, ASession, APath] { Send(ASession, APath); });
  } catch (const std::exception& e) {
    PostWaitText(AReply, MsgFileError, e.what());
    return;
  }
  if (!queued) PostWaitText(AReply, MsgFileError, "보낼 파일이 너무 많이 밀려 있습니다: " + FileNamePart(APath));
}

void THostFileService::Send(const THostSessionRef& ASession, const std::string& APath) {
  // A request of a session that has ended is dropped: nobody is there to receive it.
  if (!ASession->Lasts()) return;
  std::string name = FileNamePart(APath);
  TPacketWriter& writer = ASession->Writer();
  try {
    TFileSender sender(APath);
    name = sender.Name();
    // The whole file through the bulk queue, so its end never overtakes its last chunk, and
    // every other packet overtakes the next chunk.
    const auto send = [&](uint32_t AType, std::span<const uint8_t> AData) { writer.PostBulk(AType, AData); };
    FSendCancel.store(false);  // a cancel meant for an earlier file
    FSendNumber.fetch_add(1);
    FSending.store(true);
    sender.SendBegin(send);
    FNotes.Log("파일 송신 시작: " + name + " (" + std::to_string(sender.Size()) + " 바이트)");
    // Before each chunk: while frames are slow to come back the line is full, so the chunk
    // waits and the picture keeps moving.
    const auto goOn = [&] {
      for (int waited = 0; waited < MaxChunkWaitMs && ASession->Lasts() && !FSendCancel.load() &&
                           FFlow.Congested(SteadyMs());
           waited += ChunkWaitStepMs)
        SleepMs(ChunkWaitStepMs);
      return ASession->Lasts() && !FSendCancel.load();
    };
    const bool complete = sender.SendBody(send, goOn);
    FSending.store(false);
    if (complete) {
      FNotes.Log("파일 송신 완료: " + name);
    } else if (FSendCancel.exchange(false)) {
      FNotes.Log("파일 송신 취소됨: " + name + " (" + std::to_string(sender.Sent()) + "/" + std::to_string(sender.Size()) + " 바이트)");
    } else {
      FNotes.Log("파일 송신 중단: " + name + " (" + std::to_string(sender.Sent()) + "/" + std::to_string(sender.Size()) + " 바이트)");
    }
  } catch (const std::exception& e) {
    FSending.store(false);
    FNotes.Log("파일 송신 실패: " + name + ": " + e.what());
    try {
      writer.PostBulk(MsgFileError, BytesOf(e.what()));
    } catch (const std::exception&) {
      // the connection is gone as well
    }
  }
}

void THostFileService::List(std::string APath, TPacketWriter& AReply) {
  if (APath == "~" && !FConfigDir.empty()) APath = FConfigDir;
  std::string reply;
  try {
    reply = BuildHostListing(APath);
  } catch (const std::exception& e) {
    reply = BuildDirListingError(e.what());
  }
  PostWaitText(AReply, MsgDirListing, reply);
}

void THostFileService::CancelSend(uint32_t ANumber) {
  if (FSending.load() && FSendNumber.load() == ANumber) FSendCancel.store(true);
}

void THostFileService::SessionEnded() {
  FSends.Clear();  // the running send sees the session end and stops by itself
  FSendNumber.store(0);
  const std::string name = FReceiver.Abandon();
  if (!name.empty()) FNotes.Log("파일 수신 중단: " + name);
}

}  // namespace tlm
