// Hands the relay's log lines to their sink on a thread of its own, so that a slow reader of the
// log (a full pipe to journald, a stopped terminal) never holds up the network thread.
//
// Contract: Write may be called from any thread and never waits for the sink; the sink gets the
// lines in order, one at a time, on the writer's thread. While ACapacityBytes of lines wait, new
// ones are dropped and counted; once the sink has caught up, one line says how many were lost.
// Flush waits until every line written before it has reached the sink (never call it from the
// sink). The destructor flushes and ends the thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace tlm {

class TLogWriter {
public:
  TLogWriter(std::function<void(const std::string&)> ASink, size_t ACapacityBytes);
  ~TLogWriter();
  TLogWriter(const TLogWriter&) = delete;
  TLogWriter& operator=(const TLogWriter&) = delete;

  void Write(const std::string& ALine);
  void Flush();
  // Lines dropped so far because the sink was behind.
  uint64_t Dropped() const { return FDropped.load(); }

private:
  void Run();

  std::function<void(const std::string&)> FSink;
  const size_t FCapacity;
  std::mutex FLock;
  std::condition_variable FWake;     // lines waiting, or stopping
  std::condition_variable FWritten;  // a batch has reached the sink
  std::deque<std::string> FLines;
  size_t FBytes = 0;
  uint64_t FUnreported = 0;  // dropped since the last report line
  uint64_t FAccepted = 0;    // lines taken by Write, and of those handed to the sink
  uint64_t FDone = 0;
  bool FStop = false;
  std::atomic<uint64_t> FDropped{0};
  std::thread FThread;
};

}  // namespace tlm
