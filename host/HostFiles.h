// The host's file services apart from the agent: directory listings, the queue that runs file
// sends one at a time, and the frame delay that paces file chunks.
// The user's folders are in platform/Folders.h, sending and receiving a file in
// protocol/FileTransfer.h.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace tlm {

// True when APath names an existing regular file (symbolic links followed; folders do not count).
bool ExistingFile(const std::string& APath);

// The reply to a listing request: "" lists the roots ("/" and the home folder), "~" the
// configuration folder, anything else that folder. A folder that cannot be opened gives the
// path line alone; other failures throw TError.
std::string BuildHostListing(std::string_view ARequest);

// Runs jobs one at a time in the order they were pushed, on one worker thread that exists only
// while there is work: file requests of a session are served in request order and never run
// side by side (their packets carry no transfer number, so two at once would mix on the wire).
// Bound: at most ALimit jobs wait besides the running one; Push refuses more. Any thread may
// call any member; the destructor drops waiting jobs and waits for the running one.
class TSerialJobs {
public:
  explicit TSerialJobs(size_t ALimit) : FLimit(ALimit) {}
  ~TSerialJobs();
  TSerialJobs(const TSerialJobs&) = delete;
  TSerialJobs& operator=(const TSerialJobs&) = delete;

  // False when ALimit jobs already wait. TError when no worker thread can be started.
  bool Push(std::function<void()> AJob);
  // Drops the jobs that have not started; the running one goes on.
  void Clear();
  // Until nothing runs and nothing waits.
  void WaitIdle();

private:
  void Run();

  const size_t FLimit;
  std::mutex FLock;
  std::condition_variable FIdle;
  std::deque<std::function<void()>> FJobs;
  bool FBusy = false;  // a worker runs (or is about to)
  std::thread FWorker;
};

// How long the viewer takes to acknowledge frames, so that a file send can step aside when the
// line fills up: chunks queued anywhere on the way (the relay, socket buffers, a slow link)
// delay the frames behind them, and the frame delay is the one measure of that the host has.
// Bound: a few dozen numbers. Any thread.
class TFrameDelay {
public:
  // Frames waiting longer than this are not the line's doing: the viewer stopped acknowledging.
  static constexpr int64_t StalledMs = 2000;
  // Delay above the quickest recent frames that counts as a full line.
  static constexpr int64_t TargetMs = 80;

  void Reset();
  void FrameSent(int64_t ANowMs);
  void FrameAcked(int64_t ANowMs);
  // True while frames take clearly longer than the quickest recent ones.
  bool Congested(int64_t ANowMs) const;

private:
  static constexpr size_t Samples = 64;
  mutable std::mutex FLock;
  std::deque<int64_t> FSent;    // send times of frames not yet acknowledged, oldest first
  std::deque<int64_t> FRecent;  // the latest round trips
  int64_t FLastAckMs = 0;
};

}  // namespace tlm
