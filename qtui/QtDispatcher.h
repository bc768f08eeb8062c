// IUiDispatcher on the Qt event loop: the thread that constructs it (the GUI thread) is the
// user-interface thread. Post queues onto the application object; Sync queues and waits;
// WaitPumping keeps the event loop turning while the GUI thread waits for a worker.
#pragma once

#include "protocol/Marshal.h"

#include <thread>

namespace tlm {

class TQtDispatcher final : public IUiDispatcher {
public:
  TQtDispatcher();
  bool IsUiThread() const override;
  void Post(std::function<void()> AProc) override;
  void Sync(std::function<void()> AProc) override;
  void WaitPumping(const std::function<bool()>& ADone) override;

private:
  std::thread::id FUiThread;
};

}  // namespace tlm
