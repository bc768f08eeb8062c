// The viewer's two file directions, apart from the session that drives them; both use the
// shared transfer layer (protocol/FileTransfer.h).
//
// TViewerUpload sends one local file at a time: MsgFileBegin as a small message, then the
// chunks and MsgFileEnd as bulk packets from a worker thread, so they queue behind input and
// acknowledgements and wait while the writer's bulk queue is full. A cancelled upload still
// ends with MsgFileEnd: the host keeps the short file under its temporary name.
// Contract: Start, Cancel, RequestStop and Running from any thread (an internal lock orders
// them); the destructor cancels and waits for the worker. OnProgress (at most ten times a
// second) and OnDone (once the file has been queued whole, true, or the upload failed or was
// cancelled, false) are called on the worker thread.
//
// TViewerDownload writes what the host sends (MsgFileBegin / Chunk / End) into the downloads
// folder, and only files the user asked for: any other announcement is discarded with its
// chunks. Only a whole file ever carries its final name; anything else is removed. The wire
// has no way to stop the host's sending, so a cancelled download stops being written and is
// removed at its next chunk; what the host still sends of it is dropped.
// Contract: Expect, RequestCancel and Active from any thread; Begin, Chunk, End and Abandon on
// the session's reader thread only; each answers the status line to show ("" for none).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "protocol/FileTransfer.h"
#include "protocol/PacketWriter.h"

namespace tlm {

class TViewerUpload {
public:
  explicit TViewerUpload(TPacketWriter& AWriter) : FWriter(AWriter) {}
  ~TViewerUpload() { Cancel(); }
  TViewerUpload(const TViewerUpload&) = delete;
  TViewerUpload& operator=(const TViewerUpload&) = delete;

  // The name the host will keep: what follows the last "/", "\" or ":".
  static std::string SentName(const std::string& APath);

  // Opens APath and queues its MsgFileBegin; the worker then streams it. Raises TError with
  // the reason when the file cannot be read or another upload is still running.
  void Start(const std::string& APath);
  // Stops the worker (it still ends the file with MsgFileEnd when the writer runs) and waits.
  void Cancel();
  // Tells the worker to stop before its next chunk, without waiting (the user's cancel, and the
  // reader thread, which must keep reading while the worker drains).
  void RequestStop();
  bool Running() const { return FRunning.load(); }
  // How far the running (or last) upload is, 0..100, as the last progress line said.
  int Percent() const { return FPercent.load(); }

  // AText: "name 45% (12.3 MB/s)".
  std::function<void(const std::string& AText)> OnProgress;
  std::function<void(const std::string& AName, bool AComplete)> OnDone;

private:
  void Body(std::shared_ptr<TFileSender> ASender);

  TPacketWriter& FWriter;
  std::mutex FLock;  // FThread, FSender
  std::thread FThread;
  std::shared_ptr<TFileSender> FSender;
  std::atomic<bool> FRunning{false};
  std::atomic<int> FPercent{0};
};

class TViewerDownload {
public:
  explicit TViewerDownload(std::string AFolder) : FFolder(std::move(AFolder)) {}

  const std::string& Folder() const { return FFolder; }
  bool Open() const { return FFile.IsOpen(); }

  // The user asked the host for ARemotePath: a file of that name will be accepted once.
  void Expect(const std::string& ARemotePath);
  // "name\tsize": opens the file and answers true when the host may start (send MsgFileReady).
  bool Begin(const std::string& AText, std::string& AStatus);
  std::string Chunk(std::span<const uint8_t> AData);
  // AStored: the path of a file stored whole, else left empty.
  std::string End(std::string* AStored = nullptr);
  void Abandon() {
    FFile.Abandon();
    FActive.store(false);
  }
  // The user's cancel of the download being written.
  void RequestCancel() { FCancel.store(true); }
  bool Active() const { return FActive.load(); }
  // How far the download being written is, 0..100, as the last progress line said.
  int Percent() const { return FPercent.load(); }

private:
  const std::string FFolder;
  // A download that does not complete is removed: only whole files appear in the folder.
  TFileReceiver FFile{TReceivedFile::EIncomplete::Remove, TReceivedFile::ETempName::Hidden};
  std::mutex FAskedLock;  // Expect runs on the user-interface thread
  TRequestedFiles FAsked;
  std::unique_ptr<TProgressThrottle> FProgress;
  std::atomic<bool> FCancel{false};
  std::atomic<bool> FActive{false};
  std::atomic<int> FPercent{0};
  std::string Cancelled();
};

}  // namespace tlm
