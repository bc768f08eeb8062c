// A host screen for tests that run the real host agent: 640 x 480, and every capture is one
// real 16 x 16 JPEG tile, placed a step further along the top row each time so that frames
// keep coming.
#pragma once

#include <vector>

#include "host/HostCapturer.h"
#include "tests/viewer/TestJpeg.h"

namespace tlm::test {

class TTileCapturer final : public IHostCapturer {
public:
  void RefreshMonitors() override {}
  void Reset() override {}
  int MonitorCount() const override { return 1; }
  THostMonitor GetMonitor(int) const override { return {{0, 0, 640, 480}, true}; }
  int MonitorIndex() const override { return 0; }
  void SelectMonitor(int) override {}
  void SetQuality(int) override {}
  bool Capture(bool, std::vector<TEncodedRect>& ARects, int& AScreenW, int& AScreenH) override {
    AScreenW = 640;
    AScreenH = 480;
    TEncodedRect rect;
    rect.Data = FTile;
    rect.Rect = {uint16_t(FNext++ % 40 * 16), 0, 16, 16, uint32_t(FTile.size())};
    ARects.push_back(std::move(rect));
    return true;
  }
  // What every tile is, for a test that looks for it on the wire.
  static TBytes Tile() { return SolidRgbJpeg(16, 16, 40, 90, 160); }

private:
  const TBytes FTile = Tile();
  int FNext = 0;
};

}  // namespace tlm::test
