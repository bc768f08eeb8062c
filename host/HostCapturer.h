// What the host's streamer (host/HostStreamer.h) needs of its screen capturer.
//
// Contract: RefreshMonitors, Reset, MonitorCount and GetMonitor are called on the agent's
// reader thread only while no capture thread runs (construction, session start); CheckLayout,
// Capture, SelectMonitor, SetQuality and SetPaletteTiles are called on the capture thread only,
// which also reads MonitorCount and GetMonitor after CheckLayout reported a change. So an implementation needs
// no lock.
#pragma once

#include <memory>
#include <vector>

#include "capture/TilePlan.h"
#include "host/InputMapping.h"
#include "protocol/Frame.h"

namespace tlm {

struct THostMonitor {
  TPixelRect Bounds;
  bool Primary = false;
};

class IHostCapturer {
public:
  virtual ~IHostCapturer() = default;
  virtual void RefreshMonitors() = 0;
  // Capture thread, before a capture: true when the screen's size or monitor list changed since
  // the monitors were last read (they are then read again, and MonitorIndex may fall back to 0).
  // A capturer that cannot tell never reports a change.
  virtual bool CheckLayout() { return false; }
  virtual void Reset() = 0;
  virtual int MonitorCount() const = 0;
  virtual THostMonitor GetMonitor(int AIndex) const = 0;
  virtual int MonitorIndex() const = 0;
  // Ignored unless 0 <= AIndex < MonitorCount and AIndex differs from MonitorIndex; a change
  // makes the next capture complete.
  virtual void SelectMonitor(int AIndex) = 0;
  virtual void SetQuality(int AJpegQuality) = 0;
  // Whether the next captures may send palette tiles (the viewer decodes them). A capturer that
  // has none (tests that script frames) ignores it.
  virtual void SetPaletteTiles(bool) {}
  // True when ARects holds something to send; AScreenW/AScreenH are the monitor's size.
  virtual bool Capture(bool AKeyframe, std::vector<TEncodedRect>& ARects, int& AScreenW, int& AScreenH) = 0;
  // The link-paced preset's capture: the qualities and the still tiles to send again come from
  // APlan, and AReport tells tile by tile what was sent. A capturer without tiles of its own
  // (tests that script frames) encodes at the changed tiles' quality and reports no tiles.
  virtual bool CapturePlanned(bool AKeyframe, const TTilePlan& APlan, std::vector<TEncodedRect>& ARects,
                              int& AScreenW, int& AScreenH, TTileReport& AReport) {
    AReport = TTileReport{};
    SetQuality(APlan.ChangedQuality);
    return Capture(AKeyframe, ARects, AScreenW, AScreenH);
  }
};

class IScreen;

// The capturer of the given screen (TScreenCapturer) behind the agent's interface.
std::unique_ptr<IHostCapturer> MakeScreenCapturer(std::shared_ptr<IScreen> AScreen);

}  // namespace tlm
