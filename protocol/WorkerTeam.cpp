#include "protocol/WorkerTeam.h"

#include <algorithm>
#include <system_error>
#include <thread>

namespace tlm {

int TWorkerTeam::DefaultSize() {
  constexpr int MaxMembers = 8;
  return std::clamp(int(std::thread::hardware_concurrency()), 1, MaxMembers);
}

TWorkerTeam::TWorkerTeam(int AHelpers) : FHelpers(AHelpers > 0 ? AHelpers : 0) {}

TWorkerTeam::~TWorkerTeam() {
  {
    std::lock_guard Lock(FLock);
    FStop = true;
  }
  FWake.notify_all();
  for (auto& T : FThreads) T.join();
}

void TWorkerTeam::Start() {
  FStarted = true;
  for (int I = 1; I <= FHelpers; ++I) {
    try {
      FThreads.emplace_back([this, I] { HelperLoop(I); });
    } catch (const std::system_error&) {
      break;  // run with the helpers we have
    }
  }
  FHelpers = int(FThreads.size());
}

void TWorkerTeam::Run(const std::function<void(int)>& AJob) {
  if (!FStarted) Start();
  if (FHelpers == 0) {
    AJob(0);
    return;
  }
  {
    std::lock_guard Lock(FLock);
    FJob = &AJob;
    FBusy = FHelpers;
    ++FGeneration;
  }
  FWake.notify_all();
  AJob(0);
  std::unique_lock Lock(FLock);
  FDone.wait(Lock, [this] { return FBusy == 0; });
  FJob = nullptr;
}

void TWorkerTeam::HelperLoop(int AMember) {
  uint64_t Seen = 0;
  std::unique_lock Lock(FLock);
  for (;;) {
    FWake.wait(Lock, [&] { return FStop || FGeneration != Seen; });
    if (FStop) return;
    Seen = FGeneration;
    const std::function<void(int)>* Job = FJob;
    Lock.unlock();
    (*Job)(AMember);
    Lock.lock();
    if (--FBusy == 0) FDone.notify_one();
  }
}

}  // namespace tlm
