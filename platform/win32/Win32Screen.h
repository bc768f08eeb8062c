// The Windows screen through GDI: monitors from EnumDisplayMonitors/GetMonitorInfoW, pixels by
// BitBlt (with CAPTUREBLT, so layered windows are included) from the screen's device context
// into a top-down 32-bit DIB section that Grab lends without another copy, the cursor through
// GetCursorInfo and DrawIconEx. Calls are serialised by an internal lock (see IScreen).
#pragma once

#include <memory>
#include <mutex>

#include "platform/Screen.h"

namespace tlm {

class TWin32Screen : public IScreen {
public:
  TWin32Screen();
  ~TWin32Screen() override;
  TWin32Screen(const TWin32Screen&) = delete;
  TWin32Screen& operator=(const TWin32Screen&) = delete;

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
