#include "protocol/Marshal.h"

#include <chrono>
#include <exception>

namespace tlm {

void PostGuarded(IUiDispatcher& ADispatcher, const TLifeGuardRef& AGuard, std::function<void()> AProc) {
  ADispatcher.Post([LGuard = AGuard, LProc = std::move(AProc)] {
    if (LGuard->Alive()) LProc();
  });
}

void SyncGuarded(IUiDispatcher& ADispatcher, const TLifeGuardRef& AGuard, std::function<void()> AProc) {
  ADispatcher.Sync([LGuard = AGuard, LProc = std::move(AProc)] {
    if (LGuard->Alive()) LProc();
  });
}

void SyncByPosting(IUiDispatcher& ADispatcher, std::function<void()> AProc) {
  if (ADispatcher.IsUiThread()) {
    AProc();
    return;
  }
  struct TWaiter {
    std::mutex Lock;
    std::condition_variable Done;
    bool Finished = false;
    std::exception_ptr Error;
  };
  auto waiter = std::make_shared<TWaiter>();
  ADispatcher.Post([waiter, LProc = std::move(AProc)] {
    try {
      LProc();
    } catch (...) {
      waiter->Error = std::current_exception();
    }
    std::lock_guard<std::mutex> hold(waiter->Lock);
    waiter->Finished = true;
    waiter->Done.notify_all();
  });
  std::unique_lock<std::mutex> hold(waiter->Lock);
  waiter->Done.wait(hold, [&] { return waiter->Finished; });
  if (waiter->Error) std::rethrow_exception(waiter->Error);
}

TQueueDispatcher::TQueueDispatcher() : FUiThread(std::this_thread::get_id()) {}

bool TQueueDispatcher::IsUiThread() const { return std::this_thread::get_id() == FUiThread; }

void TQueueDispatcher::Post(std::function<void()> AProc) {
  if (IsUiThread()) {
    AProc();
    return;
  }
  {
    std::lock_guard<std::mutex> hold(FLock);
    FQueue.push_back(std::move(AProc));
  }
  FChanged.notify_all();
}

void TQueueDispatcher::Sync(std::function<void()> AProc) { SyncByPosting(*this, std::move(AProc)); }

int TQueueDispatcher::RunPending() {
  std::deque<std::function<void()>> batch;
  {
    std::lock_guard<std::mutex> hold(FLock);
    batch.swap(FQueue);
  }
  for (auto& proc : batch) proc();
  return int(batch.size());
}

bool TQueueDispatcher::RunUntil(const std::function<bool()>& APred, int ATimeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeoutMs);
  for (;;) {
    RunPending();
    if (APred()) return true;
    std::unique_lock<std::mutex> hold(FLock);
    if (FQueue.empty()) {
      // Wake at least every 5 ms: the predicate may depend on other threads, not on the queue.
      auto until = std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(5));
      FChanged.wait_until(hold, until);
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      hold.unlock();
      RunPending();
      return APred();
    }
  }
}

void TQueueDispatcher::WaitPumping(const std::function<bool()>& ADone) {
  while (!RunUntil(ADone, 1000)) {
  }
}

size_t TQueueDispatcher::QueuedCount() const {
  std::lock_guard<std::mutex> hold(FLock);
  return FQueue.size();
}

}  // namespace tlm
