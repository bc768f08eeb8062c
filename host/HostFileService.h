// THostFileService: files between the viewer and this host. It receives the viewer's uploads
// into the download folder, sends requested files one at a time in request order (their
// packets carry no transfer number, so two at once would mix on the wire) and answers folder
// listings.
//
// Contract:
// - Receive*, Request and List belong to the agent's reader thread and answer on the
//   connection's writer, waiting for room. SessionEnded too: it drops the requests that have
//   not started and gives up a file still arriving (it stays under its temporary name).
// - A requested file goes out on a worker thread, every packet through the writer's bulk queue,
//   so every other packet overtakes the next chunk; before each chunk the worker steps aside
//   while the frame flow says the line is full (a little at a time, never long in all).
// - Bound: MaxQueuedSends requests wait behind the running one; more are answered with
//   MsgFileError. WaitIdle (and the destructor) wait for the running send, which stops as soon
//   as its session no longer lasts.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "host/FrameFlow.h"
#include "host/HostSession.h"
#include "host/SerialJobs.h"
#include "protocol/FileTransfer.h"

namespace tlm {

// True when APath names an existing regular file (symbolic links followed; folders do not count).
bool ExistingFile(const std::string& APath);

// The reply to a listing request: "" lists the roots (platform/Folders.h: "/" and the home
// folder, or the drives), "~" the configuration folder, anything else that folder. A folder
// that cannot be opened gives the path line alone; other failures throw TError.
std::string BuildHostListing(std::string_view ARequest);

// Where the file service reports, for the user's log and status line; any thread.
struct THostFileNotes {
  std::function<void(const std::string& AText)> Log;
  std::function<void(const std::string& AText)> Status;
};

class THostFileService {
public:
  static constexpr size_t MaxQueuedSends = 16;

  // ADownloadDir: where uploads land (empty: the user's download folder, looked up per file);
  // AConfigDir: what "~" lists (empty: the user's configuration folder). AFlow must outlive
  // the service.
  THostFileService(std::string ADownloadDir, std::string AConfigDir, const TFrameFlow& AFlow, THostFileNotes ANotes);
  ~THostFileService();
  THostFileService(const THostFileService&) = delete;
  THostFileService& operator=(const THostFileService&) = delete;

  void ReceiveBegin(std::string_view AAnnouncement, TPacketWriter& AReply);
  void ReceiveChunk(std::span<const uint8_t> AData, TPacketWriter& AReply);
  void ReceiveEnd(TPacketWriter& AReply);
  // The viewer gave up the file it is sending: what arrived of it is removed, and the chunks
  // and end still on their way find nothing open.
  void ReceiveCancel();
  // The file is sent while ASession lasts; without a session only a missing file is answered.
  void Request(std::string APath, TPacketWriter& AReply, THostSessionRef ASession);
  void List(std::string APath, TPacketWriter& AReply);
  // The viewer gave up file number ANumber of the session (counting the files sent from 1): if
  // it is still being sent it stops (its end still goes), and the next waiting request follows.
  void CancelSend(uint32_t ANumber);
  void SessionEnded();
  void WaitIdle() { FSends.WaitIdle(); }

private:
  void Send(const THostSessionRef& ASession, const std::string& APath);
  std::string DownloadFolder() const;

  const std::string FDownloadDir;
  const std::string FConfigDir;
  const TFrameFlow& FFlow;
  const THostFileNotes FNotes;
  std::atomic<uint32_t> FSendNumber{0};  // files begun in this session, the running one last
  std::atomic<bool> FSending{false};      // the send worker is in file FSendNumber
  std::atomic<bool> FSendCancel{false};   // ... and the viewer gave it up
  // Reader thread only. A file that arrives short or broken stays under its temporary name,
  // for the user to recover.
  TFileReceiver FReceiver{TReceivedFile::EIncomplete::Keep, TReceivedFile::ETempName::BesideTarget};
  // Last member: destroyed first, so its worker never outlives anything a send uses.
  TSerialJobs FSends{MaxQueuedSends};
};

}  // namespace tlm
