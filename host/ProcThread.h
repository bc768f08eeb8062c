// A thread that runs one procedure once.
//
// The owner creates it (the thread starts at once), then either waits for it with Wait and
// frees it, or calls Detach right after creation and lets it free itself; a detached
// procedure must not touch anything its creator may free before it ends.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

namespace tlm {

class TProcThread {
public:
  explicit TProcThread(std::function<void()> AProc);
  // Waits for the procedure unless the thread was detached.
  ~TProcThread();
  TProcThread(const TProcThread&) = delete;
  TProcThread& operator=(const TProcThread&) = delete;

  // True once the procedure has returned (or thrown).
  bool Finished() const { return FState->Finished.load(std::memory_order_acquire); }
  // Blocks until the procedure has returned; no-op after Detach or a previous Wait.
  void Wait();
  // The thread frees itself when its procedure ends.
  void Detach();

private:
  // Shared with the running thread, so a detached thread never touches this object.
  struct TState {
    std::atomic<bool> Finished{false};
    std::function<void()> Proc;
  };
  std::shared_ptr<TState> FState;
  std::thread FThread;
};

}  // namespace tlm
