// A thread that runs one procedure once.
//
// The owner creates it (the thread starts at once), waits for it with Wait (or the destructor)
// and frees it.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

namespace tlm {

class TProcThread {
public:
  explicit TProcThread(std::function<void()> AProc);
  // Waits for the procedure.
  ~TProcThread();
  TProcThread(const TProcThread&) = delete;
  TProcThread& operator=(const TProcThread&) = delete;

  // True once the procedure has returned (or thrown).
  bool Finished() const { return FState->Finished.load(std::memory_order_acquire); }
  // Blocks until the procedure has returned; no-op after a previous Wait.
  void Wait();

private:
  // Shared with the running thread, which reports its end through it.
  struct TState {
    std::atomic<bool> Finished{false};
    std::function<void()> Proc;
  };
  std::shared_ptr<TState> FState;
  std::thread FThread;
};

}  // namespace tlm
