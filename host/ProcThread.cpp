#include "host/ProcThread.h"

namespace tlm {

TProcThread::TProcThread(std::function<void()> AProc) : FState(std::make_shared<TState>()) {
  FState->Proc = std::move(AProc);
  FThread = std::thread([LState = FState] {
    try {
      LState->Proc();
    } catch (...) {
      // Procedures catch their own errors; an escaped one must not take the process down.
    }
    LState->Proc = nullptr;  // release what the procedure captured before reporting the end
    LState->Finished.store(true, std::memory_order_release);
  });
}

TProcThread::~TProcThread() { Wait(); }

void TProcThread::Wait() {
  if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id()) FThread.join();
}

}  // namespace tlm
