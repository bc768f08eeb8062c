#include "host/FrameFlow.h"

#include <algorithm>

namespace tlm {

void TFrameFlow::Reset() {
  std::lock_guard<std::mutex> hold(FLock);
  FSent.clear();
  FRecent.clear();
  FLastAckMs = 0;
  FAcks = 0;
}

void TFrameFlow::FrameSent(int64_t ANowMs) {
  std::lock_guard<std::mutex> hold(FLock);
  FSent.push_back(ANowMs);
  if (FSent.size() > Samples) FSent.pop_front();  // never with the window; a bound all the same
}

void TFrameFlow::FrameAcked(int64_t ANowMs) {
  std::lock_guard<std::mutex> hold(FLock);
  if (FSent.empty()) return;  // an acknowledgement nobody asked for
  FRecent.push_back(ANowMs - FSent.front());
  FSent.pop_front();
  if (FRecent.size() > Samples) FRecent.pop_front();
  FLastAckMs = ANowMs;
  ++FAcks;
}

size_t TFrameFlow::InFlight() const {
  std::lock_guard<std::mutex> hold(FLock);
  return FSent.size();
}

uint64_t TFrameFlow::Acks() const {
  std::lock_guard<std::mutex> hold(FLock);
  return FAcks;
}

int64_t TFrameFlow::LastRoundTripMs() const {
  std::lock_guard<std::mutex> hold(FLock);
  return FRecent.empty() ? 0 : FRecent.back();
}

bool TFrameFlow::Congested(int64_t ANowMs) const {
  std::lock_guard<std::mutex> hold(FLock);
  if (FRecent.empty()) return false;
  const int64_t base = *std::min_element(FRecent.begin(), FRecent.end());
  int64_t delay = 0;
  if (!FSent.empty()) {
    const int64_t waiting = ANowMs - FSent.front();
    if (waiting > StalledMs) return false;
    delay = waiting;
  }
  // The last round trip counts while it is fresh; an idle picture sends nothing to measure.
  if (ANowMs - FLastAckMs < 500) delay = std::max(delay, FRecent.back());
  return delay > base + TargetMs;
}

}  // namespace tlm
