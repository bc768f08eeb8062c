// The X11 screen: monitors from RandR 1.5, pixels through MIT-SHM (plain XGetImage when the
// extension is missing or refuses; Grab lends the shared-memory image itself), the cursor from
// XFixes, layout changes from RandR notifications. It keeps one private display
// connection and one shared-memory image, opened on first use and reused; a lost or missing
// display is retried on later calls. Calls are serialised by an internal lock (see IScreen for
// the threading contract). X errors never end the program: they are trapped and reported as
// failed calls.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/Screen.h"

namespace tlm {

class TX11Screen : public IScreen {
public:
  // ADisplayName as for XOpenDisplay; empty means $DISPLAY. AUseSharedMemory false forces the
  // plain XGetImage path (for comparing the two).
  explicit TX11Screen(std::string ADisplayName = {}, bool AUseSharedMemory = true);
  ~TX11Screen() override;
  TX11Screen(const TX11Screen&) = delete;
  TX11Screen& operator=(const TX11Screen&) = delete;

  // For tests and figures: whether the display is open and copies go through shared memory.
  bool Connected();
  bool UsingSharedMemory();

  std::vector<TMonitorInfoRec> EnumMonitors() override;
  TPixelRect ScreenRect() override;
  bool CopyRect(const TPixelRect& ARect, uint32_t* ADst, size_t AStride) override;
  bool GetCursor(TCursorImage& ACursor) override;
  bool Grab(const TPixelRect& ARect, TPixelView& AView) override;
  bool TakeLayoutChange() override;

private:
  struct TImpl;
  std::mutex FLock;
  std::unique_ptr<TImpl> FImpl;
};

}  // namespace tlm
