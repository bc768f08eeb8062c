#include "host/SerialJobs.h"

#include <system_error>

#include "protocol/Error.h"

namespace tlm {

TSerialJobs::~TSerialJobs() {
  Clear();
  WaitIdle();
  if (FWorker.joinable()) FWorker.join();
}

bool TSerialJobs::Push(std::function<void()> AJob) {
  std::lock_guard<std::mutex> hold(FLock);
  if (FJobs.size() >= FLimit) return false;
  FJobs.push_back(std::move(AJob));
  if (FBusy) return true;
  // The previous worker has left Run (it cleared FBusy under this lock and touches nothing
  // afterwards), so this join does not wait for anything that needs the lock.
  if (FWorker.joinable()) FWorker.join();
  try {
    FWorker = std::thread([this] { Run(); });
  } catch (const std::system_error& e) {
    FJobs.pop_back();
    throw TError(std::string("작업 스레드를 시작할 수 없습니다: ") + e.what());
  }
  FBusy = true;
  return true;
}

void TSerialJobs::Clear() {
  std::lock_guard<std::mutex> hold(FLock);
  FJobs.clear();
  if (!FBusy) FIdle.notify_all();
}

void TSerialJobs::WaitIdle() {
  std::unique_lock<std::mutex> hold(FLock);
  FIdle.wait(hold, [this] { return !FBusy && FJobs.empty(); });
}

void TSerialJobs::Run() {
  for (;;) {
    std::function<void()> job;
    {
      std::lock_guard<std::mutex> hold(FLock);
      if (FJobs.empty()) {
        FBusy = false;
        FIdle.notify_all();
        return;
      }
      job = std::move(FJobs.front());
      FJobs.pop_front();
    }
    try {
      job();
    } catch (...) {
      // a job reports its own failures; one that escapes must not take the queue with it
    }
  }
}

}  // namespace tlm
