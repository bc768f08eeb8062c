// TFrameFlow: the frames on their way to the viewer. One count serves two rules:
// - the window: the capture thread sends a frame only while fewer than Window frames are
//   unacknowledged;
// - the congestion rule: a file send steps aside while frames take clearly longer to come back
//   than the quickest recent ones. Chunks queued anywhere on the way (the relay, socket
//   buffers, a slow link) delay the frames behind them, and the frame delay is the one measure
//   of that the host has.
// An acknowledgement with no frame outstanding is dropped, so the count never falls below zero
// and a viewer cannot widen the window by acknowledging frames it never got.
// Bound: at most Samples send times and Samples round trips. Any thread; one lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

namespace tlm {

class TFrameFlow {
public:
  static constexpr size_t Window = 2;
  // Frames waiting longer than this are not the line's doing: the viewer stopped acknowledging.
  static constexpr int64_t StalledMs = 2000;
  // Delay above the quickest recent frames that counts as a full line.
  static constexpr int64_t TargetMs = 80;

  void Reset();
  void FrameSent(int64_t ANowMs);
  void FrameAcked(int64_t ANowMs);
  // Frames sent and not yet acknowledged.
  size_t InFlight() const;
  bool WindowFull() const { return InFlight() >= Window; }
  // True while frames take clearly longer than the quickest recent ones.
  bool Congested(int64_t ANowMs) const;
  // Acknowledgements counted so far, and the round trip of the latest one (0 before any), for
  // a reader that notes the ones it has not seen yet.
  uint64_t Acks() const;
  int64_t LastRoundTripMs() const;

private:
  static constexpr size_t Samples = 64;
  mutable std::mutex FLock;
  std::deque<int64_t> FSent;    // send times of frames not yet acknowledged, oldest first
  std::deque<int64_t> FRecent;  // the latest round trips
  int64_t FLastAckMs = 0;
  uint64_t FAcks = 0;
};

}  // namespace tlm
