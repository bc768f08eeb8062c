// Hand-over of work from background threads to the user-interface thread.
//
// The application implements IUiDispatcher on its UI thread (Qt); tests and headless tools
// use TQueueDispatcher, a plain event loop run by whichever thread plays the UI thread.
// PostGuarded / SyncGuarded wrap the procedure with the owner's life guard, so a call that
// reaches the UI thread after the owner died does nothing.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "protocol/LifeGuard.h"

namespace tlm {

class IUiDispatcher {
public:
  virtual ~IUiDispatcher() = default;
  virtual bool IsUiThread() const = 0;
  // Queues AProc to run on the UI thread, in order of posting; runs it at once on the UI thread.
  virtual void Post(std::function<void()> AProc) = 0;
  // Runs AProc on the UI thread and waits for it; runs it at once on the UI thread.
  // An exception escaping AProc is rethrown in the caller.
  virtual void Sync(std::function<void()> AProc) = 0;
  // On the UI thread only: keeps running queued calls until ADone() answers true. Used while
  // the UI thread waits for a worker that may itself be waiting in Sync.
  virtual void WaitPumping(const std::function<bool()>& ADone) = 0;
};

// Sync for a dispatcher that can only post: on the UI thread runs AProc at once; elsewhere
// posts it and waits until it ran, then rethrows what escaped it. The wait ends however the
// posted call is run (the main loop, WaitPumping, a modal dialog's loop).
void SyncByPosting(IUiDispatcher& ADispatcher, std::function<void()> AProc);

void PostGuarded(IUiDispatcher& ADispatcher, const TLifeGuardRef& AGuard, std::function<void()> AProc);
void SyncGuarded(IUiDispatcher& ADispatcher, const TLifeGuardRef& AGuard, std::function<void()> AProc);

// A plain event loop: the thread that constructs it is the UI thread.
class TQueueDispatcher final : public IUiDispatcher {
public:
  TQueueDispatcher();
  bool IsUiThread() const override;
  void Post(std::function<void()> AProc) override;
  void Sync(std::function<void()> AProc) override;
  void WaitPumping(const std::function<bool()>& ADone) override;

  // UI thread: runs what is queued now; returns how many calls ran.
  int RunPending();
  // UI thread: runs queued calls until APred() is true or ATimeoutMs passed; answers APred().
  bool RunUntil(const std::function<bool()>& APred, int ATimeoutMs);
  size_t QueuedCount() const;

private:
  std::thread::id FUiThread;
  mutable std::mutex FLock;
  std::condition_variable FChanged;
  std::deque<std::function<void()>> FQueue;
};

}  // namespace tlm
