// File transfer over a packet connection, the one implementation the host and the viewer share:
// TFileSender streams a local file as MsgFileBegin, MsgFileChunk... and MsgFileEnd;
// TFileReceiver turns the same messages into a file in a target folder. Neither knows the
// connection or the user interface: the sender writes through a callback, the receiver is fed
// the payloads, and what each end does with a result (status lines, error replies) stays its own.
//
// Contract: a TFileSender belongs to the thread that runs it, except Stop, which any thread may
// call. A TFileReceiver is used by one thread at a time (the owner serialises access otherwise).
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "protocol/LocalFiles.h"
#include "protocol/ReceivedFile.h"

namespace tlm {

// The size field of a file announcement: 1 to 20 decimal digits within 64 bits, nothing else
// (no sign, no blanks, no leading "+"); nullopt otherwise.
std::optional<uint64_t> ParseFileSize(std::string_view AText);

// The name under which a received file is stored: the last path component ("\", ":" and "/" all
// separate), and a leading "." becomes "_" so that a peer can never plant a hidden file such as
// ".bashrc" or ".profile". TError with the reason when no usable name remains.
std::string ReceivedFileName(std::string_view ARawName);

// What MsgFileBegin announces: the stored name (ReceivedFileName) and the size.
struct TFileAnnouncement {
  std::string Name;
  uint64_t Size = 0;
};
// nullopt when the text has fewer than two fields (such an announcement is ignored); TError
// with the reason for an unusable name or size.
std::optional<TFileAnnouncement> ParseFileBegin(std::string_view AText);

class TFileSender {
public:
  using TSend = std::function<void(uint32_t AType, std::span<const uint8_t> APayload)>;
  // Bytes sent so far and the announced total; called after each chunk on the sending thread.
  using TProgress = std::function<void(uint64_t ADone, uint64_t ATotal)>;

  // Opens APath for reading (other programs may still read and write it) and takes its size
  // now; the announcement carries that size. AName is the name announced; "" announces the
  // last component of APath. TError when the file cannot be opened or is not a regular file.
  explicit TFileSender(const std::string& APath, std::string AName = std::string());
  ~TFileSender();
  TFileSender(const TFileSender&) = delete;
  TFileSender& operator=(const TFileSender&) = delete;

  const std::string& Name() const { return FName; }
  uint64_t Size() const { return FSize; }
  uint64_t Sent() const { return FSent; }

  // MsgFileBegin with the name and the size.
  void SendBegin(const TSend& ASend);
  // MsgFileChunk packets of up to FileChunkSize bytes while AGoOn() answers true (empty: always)
  // and Stop was not called, never more than the announced size, then MsgFileEnd, which is sent
  // however the loop ended. True when all announced bytes were sent; false when stopped or the
  // file turned out shorter. Read and send failures raise (MsgFileEnd is then not sent).
  // The file is closed when it returns; a second call raises TError.
  bool SendBody(const TSend& ASend, const std::function<bool()>& AGoOn = {}, const TProgress& AProgress = {});
  // Any thread: the body stops before its next chunk.
  void Stop() { FStop.store(true); }
  bool Stopped() const { return FStop.load(); }

private:
  std::unique_ptr<TInputFile> FFile;  // null once the body was sent
  std::string FName;
  uint64_t FSize = 0;
  uint64_t FSent = 0;
  std::atomic<bool> FStop{false};
};

class TFileReceiver {
public:
  TFileReceiver(TReceivedFile::EIncomplete AIncomplete, TReceivedFile::ETempName ATempName)
      : FFile(AIncomplete, ATempName) {}

  // For MsgFileBegin: abandons an open file first (so later chunks can never reach it), then
  // opens a new one in AFolder for the announcement. nullopt when the text is ignored (fewer
  // than two fields; an open file is then kept); TError with the reason when refused (name,
  // size, creation), with nothing open afterwards. AAccept, when given, sees the announcement
  // before anything is created and may refuse it by returning false (nullopt is returned and
  // nothing is open).
  std::optional<TFileAnnouncement> Begin(const std::string& AFolder, std::string_view AText,
                                         const std::function<bool(const TFileAnnouncement&)>& AAccept = {});
  bool IsOpen() const { return FFile.IsOpen(); }
  const std::string& Name() const { return FFile.Name(); }
  uint64_t Received() const { return FFile.Received(); }
  uint64_t Expected() const { return FFile.Expected().value_or(0); }

  // For MsgFileChunk: appends to the open file; an empty chunk or no open file does nothing.
  // Bytes past the announced size are counted, never written. TError on a write failure (a full
  // disk); the file is then closed as incomplete and the rest of it is ignored.
  void Append(std::span<const uint8_t> AData) { FFile.Append(AData); }
  // For MsgFileEnd: nullopt when nothing was open. The file gets its final name only when
  // exactly the announced number of bytes arrived and reached the disk.
  std::optional<TReceivedFile::TResult> Finish();
  // Session end, teardown, cancel: closes an open file as incomplete; answers its name ("" if none).
  std::string Abandon();
  // The sender gave the open file up: closed and removed; answers its name ("" if none).
  std::string Discard();

private:
  TReceivedFile FFile;
};

// The files one end has asked its partner for, so that it accepts only those: a file the user
// did not ask for is never written. Entries are the names the partner will announce (the last
// component of the requested path, made a stored name as ReceivedFileName does). A request the
// partner refuses leaves its entry until it ages out: at most Limit entries are kept, the oldest
// dropped first. Not thread-safe; the owner serialises access.
class TRequestedFiles {
public:
  static constexpr size_t Limit = 64;
  // Remembers a request for ARemotePath; a path that names no file is not remembered.
  void Add(std::string_view ARemotePath);
  // True, and the request is forgotten, when AStoredName (as TFileAnnouncement::Name) was asked for.
  bool Take(const std::string& AStoredName);
  void Clear() { FNames.clear(); }
  size_t Size() const { return FNames.size(); }

private:
  std::deque<std::string> FNames;  // oldest first
};

// How far a transfer is, for a status line.
struct TTransferProgress {
  uint64_t Done = 0;
  uint64_t Total = 0;
  int Percent = 0;              // 0..100; 100 for an empty file
  double BytesPerSecond = 0;    // since the transfer started
};

// Turns a stream of progress reports (one per chunk) into at most one snapshot per interval, so
// a status bar is updated at most ten times a second however fast the chunks come. The last
// report of a transfer (Done == Total) always gives a snapshot.
class TProgressThrottle {
public:
  explicit TProgressThrottle(int64_t AStartMs, int64_t AIntervalMs = 100) : FStartMs(AStartMs), FIntervalMs(AIntervalMs) {}
  std::optional<TTransferProgress> Offer(uint64_t ADone, uint64_t ATotal, int64_t ANowMs);

private:
  int64_t FStartMs;
  int64_t FIntervalMs;
  std::optional<int64_t> FLastMs;
};

// "name 45% (12.3 MB/s)": the name, the percent and the rate (MB = 10^6 bytes; below 1 MB/s in
// KB/s; no rate before any time has passed).
std::string FormatProgress(std::string_view AName, const TTransferProgress& AProgress);

}  // namespace tlm
