// TLinkMeter: the frame rate and a round-trip figure of one session, from the frames alone.
//
// The round trip: the host keeps at most HostWindow frames unacknowledged, so frame n cannot
// leave it before the acknowledgement of frame n - HostWindow has arrived there. The time from
// sending that acknowledgement to frame n's arrival is therefore never shorter than the way to
// the host and back through the relay, plus the host's turn to capture and encode. The
// shortest such time of the last RoundTripSpanMs is the figure: the true round trip while the
// host waits on its window (a busy screen, a slow line) and the viewer keeps up, an upper bound
// otherwise; with a still screen no frames come and there is no figure.
//
// Contract: the reader thread reports arrivals and acknowledgements, any thread reads the
// figures; one lock. Bound: at most MaxSamples arrival times and MaxSamples round trips.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

namespace tlm {

class TLinkMeter {
public:
  static constexpr size_t HostWindow = 2;
  static constexpr int64_t RateSpanMs = 2000;
  static constexpr int64_t RoundTripSpanMs = 5000;
  static constexpr size_t MaxSamples = 1024;

  struct TFigures {
    double FramesPerSecond = 0;
    std::optional<int64_t> RoundTripMs;
  };

  // A new session: the host's count of unacknowledged frames starts at zero too.
  void Reset(int64_t ANowMs);
  void FrameArrived(int64_t ANowMs);
  void AckSent(int64_t ANowMs);
  TFigures Figures(int64_t ANowMs) const;

private:
  void DropOld(int64_t ANowMs) const;  // FLock held

  mutable std::mutex FLock;
  int64_t FStartMs = 0;
  uint64_t FFrames = 0;  // arrived since Reset
  uint64_t FAcks = 0;    // sent since Reset
  std::deque<int64_t> FAckTimes;  // the last HostWindow acknowledgements, oldest first
  mutable std::deque<int64_t> FArrivals;                      // within RateSpanMs
  mutable std::deque<std::pair<int64_t, int64_t>> FRoundTrips;  // (when, milliseconds)
};

}  // namespace tlm
