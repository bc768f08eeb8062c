// The viewer's two file directions, apart from the session that drives them.
//
// TViewerUpload sends one local file at a time: MsgFileBegin as a small message, then the
// chunks and MsgFileEnd as bulk packets from a worker thread, so they queue behind input and
// acknowledgements and wait while the writer's bulk queue is full.
// Contract: Start, Cancel and Running from any thread (an internal lock orders them); the
// destructor cancels and waits for the worker. OnDone is called on the worker thread once the
// file has been queued whole (true) or the upload failed or was cancelled (false).
//
// TViewerDownload writes what the host sends (MsgFileBegin / Chunk / End) into the downloads
// folder. Only a whole file ever carries its final name; anything else is removed.
// Contract: Begin, Chunk, End and Abandon on the session's reader thread only; each answers
// the status line to show ("" for none).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "protocol/PacketWriter.h"
#include "protocol/ReceivedFile.h"

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
  // Tells the worker to stop after the chunk it is queuing, without waiting (reader thread:
  // it must keep reading while the worker drains).
  void RequestStop() { FStop.store(true); }
  bool Running() const { return FRunning.load(); }

  std::function<void(const std::string& AName, bool AComplete)> OnDone;

private:
  void Body(int AFd, std::string AName);

  TPacketWriter& FWriter;
  std::mutex FLock;  // FThread
  std::thread FThread;
  std::atomic<bool> FRunning{false};
  std::atomic<bool> FStop{false};
};

class TViewerDownload {
public:
  explicit TViewerDownload(std::string AFolder) : FFolder(std::move(AFolder)) {}

  const std::string& Folder() const { return FFolder; }
  bool Open() const { return FFile.IsOpen(); }

  // "name\tsize": opens the file and answers true when the host may start (send MsgFileReady).
  bool Begin(const std::string& AText, std::string& AStatus);
  std::string Chunk(std::span<const uint8_t> AData);
  std::string End();
  void Abandon() { FFile.Abandon(); }

private:
  const std::string FFolder;
  // A download that does not complete is removed: only whole files appear in the folder.
  TReceivedFile FFile{TReceivedFile::EIncomplete::Remove, TReceivedFile::ETempName::Hidden};
  std::string FName;
};

}  // namespace tlm
