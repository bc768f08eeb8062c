// THostStreamer: the host's picture. It owns the capturer, the capture thread of a session, the
// quality preset, the monitor list and the viewer's choice among them, key-frame requests and
// the frame flow (host/FrameFlow.h): the window of unacknowledged frames, and the congestion
// measure that paces file chunks.
//
// Contract:
// - Begin and End belong to the agent's reader thread. Begin sends the monitor list and starts
//   the capture thread, which sends frames on the session's writer (waiting for room) while the
//   session lasts and fewer than TFrameFlow::Window frames are unacknowledged. End waits for the
//   capture thread; close the session (or end its connection) first, so that End never waits for
//   the network.
// - SetQuality, Quality, SelectMonitor, RequestKeyframe, FrameAcked, Flow and Layout: any thread.
// - Layout is an immutable snapshot for the mapping of mouse positions; a new one is published
//   whenever the monitors or the choice change.
// One lock: the monitors, the choice and the published layout.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "host/FrameFlow.h"
#include "host/HostCapturer.h"
#include "host/HostSession.h"
#include "host/InputMapping.h"
#include "host/ProcThread.h"

namespace tlm {

class THostStreamer {
public:
  // ACapturer may be empty: sessions then get an empty monitor list and no frames.
  explicit THostStreamer(std::unique_ptr<IHostCapturer> ACapturer);
  ~THostStreamer();
  THostStreamer(const THostStreamer&) = delete;
  THostStreamer& operator=(const THostStreamer&) = delete;

  void Begin(THostSessionRef ASession);
  void End();

  // A quality preset (protocol/Messages.h); anything unknown streams as standard.
  void SetQuality(int APreset);
  int Quality() const { return FPreset.load(); }
  // The viewer's choice; ignored for a monitor that does not exist. Makes the next frame a key frame.
  void SelectMonitor(int AIndex);
  void RequestKeyframe() { FKeyframeWanted.store(true); }
  void FrameAcked();
  const TFrameFlow& Flow() const { return FFlow; }
  TLayoutSnapshot Layout() const;

private:
  void CaptureLoop(const THostSessionRef& ASession);
  void LayoutChanged(THostSession& ASession);
  void SendMonitorList(THostSession& ASession);
  std::vector<THostMonitor> CapturerMonitors() const;
  // FLock held; ANewLayout: the monitors themselves may have changed.
  void PublishLayout(bool ANewLayout);

  const std::unique_ptr<IHostCapturer> FCapturer;
  std::atomic<int> FPreset;
  std::atomic<bool> FKeyframeWanted{true};
  TFrameFlow FFlow;
  uint32_t FFrameNo = 0;  // capture thread (reset by Begin before it starts)

  mutable std::mutex FLock;
  std::vector<THostMonitor> FMonitors;  // as the viewer got them in the monitor list
  int FSelected = 0;
  TLayoutSnapshot FLayout;

  std::unique_ptr<TProcThread> FCapture;  // reader thread (Begin, End)
};

}  // namespace tlm
