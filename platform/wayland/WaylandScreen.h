// The screen of a wlroots compositor: monitors from wl_output and xdg-output (logical layout
// coordinates), pixels through zwlr_screencopy_manager_v1 into shared-memory buffers, the
// cursor drawn in by the compositor. After an output's first picture, copies wait for the
// compositor's damage for a short while: an output without damage lends its last picture
// again, without a copy.
//
// Keeps one connection of its own, made on first use and made again after it broke, and one
// buffer per output. Calls are serialised by an internal lock (see IScreen for the threading
// contract). Outputs the compositor scales are resampled to their logical size; rotated
// outputs are captured as the compositor hands them over.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/Screen.h"

namespace tlm {

class TWaylandScreen : public IScreen {
public:
  // ASocket as for wl_display_connect; empty means $WAYLAND_DISPLAY.
  explicit TWaylandScreen(std::string ASocket = {});
  ~TWaylandScreen() override;
  TWaylandScreen(const TWaylandScreen&) = delete;
  TWaylandScreen& operator=(const TWaylandScreen&) = delete;

  // Whether the compositor answers and offers screen copy; "" when it does, else why not.
  std::string Problem();

  std::vector<TMonitorInfoRec> EnumMonitors() override;
  TPixelRect ScreenRect() override;
  bool CopyRect(const TPixelRect& ARect, uint32_t* ADst, size_t AStride) override;
  bool GetCursor(TCursorImage& ACursor) override;
  bool Grab(const TPixelRect& ARect, TPixelView& AView) override;
  bool TakeLayoutChange() override;

  // For tests and figures: copies the compositor skipped because it reported no damage.
  uint64_t UndamagedCaptures();

private:
  struct TImpl;
  std::mutex FLock;
  std::unique_ptr<TImpl> FImpl;
};

}  // namespace tlm
