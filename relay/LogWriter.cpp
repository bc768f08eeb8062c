#include "relay/LogWriter.h"

#include <exception>

namespace tlm {

TLogWriter::TLogWriter(std::function<void(const std::string&)> ASink, size_t ACapacityBytes)
    : FSink(std::move(ASink)), FCapacity(ACapacityBytes), FThread([this] { Run(); }) {}

TLogWriter::~TLogWriter() {
  {
    std::lock_guard<std::mutex> hold(FLock);
    FStop = true;
  }
  FWake.notify_one();
  FThread.join();
}

void TLogWriter::Write(const std::string& ALine) {
  {
    std::lock_guard<std::mutex> hold(FLock);
    if (FBytes + ALine.size() > FCapacity) {
      ++FUnreported;
      ++FDropped;
    } else {
      FLines.push_back(ALine);
      FBytes += ALine.size();
      ++FAccepted;
    }
  }
  FWake.notify_one();
}

void TLogWriter::Flush() {
  std::unique_lock<std::mutex> hold(FLock);
  const uint64_t target = FAccepted;
  FWritten.wait(hold, [&] { return FDone >= target; });
}

void TLogWriter::Run() {
  std::unique_lock<std::mutex> hold(FLock);
  for (;;) {
    FWake.wait(hold, [&] { return FStop || !FLines.empty() || FUnreported > 0; });
    if (FLines.empty() && FUnreported == 0) return;  // stopping, and everything is written
    std::deque<std::string> batch;
    batch.swap(FLines);
    FBytes = 0;
    const uint64_t dropped = FUnreported;
    FUnreported = 0;
    hold.unlock();
    // A sink that fails loses its line, never the writer.
    const auto put = [this](const std::string& ALine) {
      try {
        FSink(ALine);
      } catch (const std::exception&) {
      }
    };
    for (const std::string& line : batch) put(line);
    if (dropped > 0)
      put("log: " + std::to_string(dropped) + " lines dropped because the log was not read fast enough");
    hold.lock();
    FDone += batch.size();
    FWritten.notify_all();
  }
}

}  // namespace tlm
