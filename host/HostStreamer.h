// THostStreamer: the host's picture. It owns the capturer, the capture thread of a session, the
// quality preset, the monitor list and the viewer's choice among them, key-frame requests and
// the frame flow (host/FrameFlow.h): the window of unacknowledged frames, and the congestion
// measure that paces file chunks.
//
// Contract:
// - Begin and End belong to the agent's reader thread. Begin sends the monitor list and starts
//   the capture thread, which sends frames on the session's writer (waiting for room) while the
//   session lasts and fewer than TFrameFlow::Window frames are unacknowledged. End closes the
//   session and waits for the capture thread, so a capture blocked on a full writer must be
//   released by ending its connection first (the agent ends sessions after that).
// - SetQuality, Quality, SetViewerCodings, SelectMonitor, RequestKeyframe, FrameAcked, Flow and
//   Layout: any thread.
// - Layout is an immutable snapshot for the mapping of mouse positions; a new one is published
//   whenever the monitors or the choice change.
// One lock: the monitors, the choice and the published layout.
//
// Pacing. The fast, standard and high presets rest a fixed pause after every capture and encode
// at one JPEG quality (protocol/Messages.h). The smooth preset rests no fixed pause: the frame
// window alone holds it back as long as the line needs, with a rest of a few milliseconds while
// tiles change and a cheap look at the screen about sixty times a second while nothing does.
// Its changed tiles start at the fast preset's quality and step down while acknowledgements come
// back slower than frames are made, and back up when they come back quickly; a tile that then
// stays still for a few captures is sent once more at the high preset's quality, a row or so
// per frame, so the picture sharpens a moment after the motion stops; a still screen whose
// tiles are all sharp sends nothing. The rule, its figures and its inputs are TSmoothPacing's
// (host/SmoothPacing.h); the capture thread owns it.
//
// Tile codings. Every preset sends JPEG, and palette tiles (protocol/PaletteTile.h) where they
// are smaller, once the session's viewer has announced that it decodes them: each session
// starts without, so a viewer that never says so gets JPEG only.
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
  // What the session's viewer decodes besides JPEG (the bits of AnnouncedTileCodings).
  void SetViewerCodings(uint8_t ACodings) { FViewerCodings.store(ACodings); }
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
  std::atomic<uint8_t> FViewerCodings{0};
  std::atomic<bool> FKeyframeWanted{true};
  TFrameFlow FFlow;
  uint32_t FFrameNo = 0;  // capture thread (reset by Begin before it starts)

  mutable std::mutex FLock;
  std::vector<THostMonitor> FMonitors;  // as the viewer got them in the monitor list
  int FSelected = 0;
  TLayoutSnapshot FLayout;

  // Reader thread (Begin, End).
  THostSessionRef FSession;
  std::unique_ptr<TProcThread> FCapture;
};

}  // namespace tlm
