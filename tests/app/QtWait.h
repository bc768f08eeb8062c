// Waiting in Qt tests: the test thread is the user-interface thread, so every wait runs its
// events meanwhile.
#pragma once

#include <QCoreApplication>
#include <chrono>
#include <functional>
#include <thread>

namespace tlm {

// Runs events until APred() is true (true) or AMs passed (false).
inline bool WaitFor(const std::function<bool()>& APred, int AMs = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMs);
  while (!APred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace tlm
