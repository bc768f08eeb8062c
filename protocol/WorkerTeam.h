// A team that runs one job on several threads at once: the calling thread and helper threads
// that the team starts on first use and keeps, asleep, between jobs. The capturer uses it to
// hash and encode the tile rows of one frame side by side, the viewer to decode the tiles of one
// frame. One caller at a time.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tlm {

class TWorkerTeam {
public:
  // AHelpers threads besides the caller; fewer when the system refuses to start them.
  explicit TWorkerTeam(int AHelpers);
  ~TWorkerTeam();
  TWorkerTeam(const TWorkerTeam&) = delete;
  TWorkerTeam& operator=(const TWorkerTeam&) = delete;

  // Members a team should have for work split over the processors: their number, at most a
  // handful (work is cut into few enough pieces that more threads would only wait).
  static int DefaultSize();

  // Members including the caller (valid after the first Run; before it, as asked).
  int Size() const { return FHelpers + 1; }

  // Calls AJob(0) on the calling thread and AJob(1) .. AJob(Size() - 1) on the helpers, and
  // returns when every call has returned. AJob must not throw.
  void Run(const std::function<void(int)>& AJob);

private:
  void Start();
  void HelperLoop(int AMember);

  int FHelpers;
  bool FStarted = false;
  std::mutex FLock;
  std::condition_variable FWake;
  std::condition_variable FDone;
  const std::function<void(int)>* FJob = nullptr;
  uint64_t FGeneration = 0;
  int FBusy = 0;
  bool FStop = false;
  std::vector<std::thread> FThreads;
};

}  // namespace tlm
