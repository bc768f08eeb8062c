#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace tlm {

// TSerialJobs runs jobs one at a time in the order they were pushed, on one worker thread that exists only
// while there is work: file requests of a session are served in request order and never run
// side by side (their packets carry no transfer number, so two at once would mix on the wire).
// Bound: at most ALimit jobs wait besides the running one; Push refuses more. Any thread may
// call any member; the destructor drops waiting jobs and waits for the running one.
class TSerialJobs {
public:
  explicit TSerialJobs(size_t ALimit) : FLimit(ALimit) {}
  ~TSerialJobs();
  TSerialJobs(const TSerialJobs&) = delete;
  TSerialJobs& operator=(const TSerialJobs&) = delete;

  // False when ALimit jobs already wait. TError when no worker thread can be started.
  bool Push(std::function<void()> AJob);
  // Drops the jobs that have not started; the running one goes on.
  void Clear();
  // Until nothing runs and nothing waits.
  void WaitIdle();

private:
  void Run();

  const size_t FLimit;
  std::mutex FLock;
  std::condition_variable FIdle;
  std::deque<std::function<void()>> FJobs;
  bool FBusy = false;  // a worker runs (or is about to)
  std::thread FWorker;
};

}  // namespace tlm
