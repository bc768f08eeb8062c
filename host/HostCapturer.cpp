#include "host/HostCapturer.h"

#include "capture/ScreenCapturer.h"

namespace tlm {

namespace {

class TScreenCapturerAdapter final : public IHostCapturer {
public:
  explicit TScreenCapturerAdapter(std::shared_ptr<IScreen> AScreen) : FCapturer(std::move(AScreen)) {}
  void RefreshMonitors() override { FCapturer.RefreshMonitors(); }
  bool CheckLayout() override { return FCapturer.CheckLayout(); }
  void Reset() override { FCapturer.Reset(); }
  int MonitorCount() const override { return FCapturer.MonitorCount(); }
  THostMonitor GetMonitor(int AIndex) const override {
    const TMonitorInfoRec m = FCapturer.GetMonitor(AIndex);
    return THostMonitor{m.Bounds, m.Primary};
  }
  int MonitorIndex() const override { return FCapturer.MonitorIndex(); }
  void SelectMonitor(int AIndex) override { FCapturer.SelectMonitor(AIndex); }
  void SetQuality(int AJpegQuality) override { FCapturer.SetQuality(AJpegQuality); }
  void SetPaletteTiles(bool AOn) override { FCapturer.SetPaletteTiles(AOn); }
  bool Capture(bool AKeyframe, std::vector<TEncodedRect>& ARects, int& AScreenW, int& AScreenH) override {
    return FCapturer.Capture(AKeyframe, ARects, AScreenW, AScreenH);
  }
  bool CapturePlanned(bool AKeyframe, const TTilePlan& APlan, std::vector<TEncodedRect>& ARects, int& AScreenW,
                      int& AScreenH, TTileReport& AReport) override {
    const bool any = FCapturer.Capture(AKeyframe, APlan, ARects, AScreenW, AScreenH);
    AReport = FCapturer.LastTiles();
    return any;
  }

private:
  TScreenCapturer FCapturer;
};

}  // namespace

std::unique_ptr<IHostCapturer> MakeScreenCapturer(std::shared_ptr<IScreen> AScreen) {
  return std::make_unique<TScreenCapturerAdapter>(std::move(AScreen));
}

}  // namespace tlm
