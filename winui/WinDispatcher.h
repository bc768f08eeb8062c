// IUiDispatcher on the Win32 message loop of the thread that creates it: queued calls wait in a
// list and a message to a hidden message-only window tells that thread to run them. Whatever
// message loop runs on the thread (the main loop, a message box's, a file dialog's) runs them
// too, so a modal box never holds up the engines' hand-overs.
//
// Contract: created and destroyed on the user-interface thread; Post and Sync from any thread.
// Calls still queued when it is destroyed are dropped.
#pragma once

#include <windows.h>

#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "protocol/Marshal.h"

namespace tlm {

class TWinDispatcher final : public IUiDispatcher {
public:
  TWinDispatcher();
  ~TWinDispatcher() override;
  TWinDispatcher(const TWinDispatcher&) = delete;
  TWinDispatcher& operator=(const TWinDispatcher&) = delete;

  bool IsUiThread() const override;
  void Post(std::function<void()> AProc) override;
  void Sync(std::function<void()> AProc) override;
  void WaitPumping(const std::function<bool()>& ADone) override;

  // Runs every call queued now; the count that ran.
  int RunPending();

private:
  static LRESULT CALLBACK WndProc(HWND AWnd, UINT AMsg, WPARAM AW, LPARAM AL);

  std::thread::id FUiThread;
  HWND FWnd = nullptr;
  std::mutex FLock;
  std::deque<std::function<void()>> FQueue;
  bool FSignalled = false;  // a wake-up message is on its way
};

}  // namespace tlm
