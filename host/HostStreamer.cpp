#include "host/HostStreamer.h"

#include <chrono>
#include <string>
#include <thread>

#include "protocol/Frame.h"
#include "protocol/Messages.h"

namespace tlm {

namespace {

constexpr int WindowFullWaitMs = 10;
constexpr int CaptureErrorWaitMs = 200;

// Steady milliseconds for measuring frame delays.
int64_t SteadyMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void SleepMs(int AMs) { std::this_thread::sleep_for(std::chrono::milliseconds(AMs)); }

}  // namespace

THostStreamer::THostStreamer(std::unique_ptr<IHostCapturer> ACapturer)
    : FCapturer(std::move(ACapturer)), FPreset(QualityStandard) {
  if (!FCapturer) return;
  FCapturer->SetQuality(QualityPresetFor(FPreset.load()).JpegQuality);
  FMonitors = CapturerMonitors();
  FSelected = FCapturer->MonitorIndex();
  PublishLayout(true);
}

THostStreamer::~THostStreamer() { End(); }

void THostStreamer::Begin(THostSessionRef ASession) {
  End();  // never two capture threads
  FFlow.Reset();
  FFrameNo = 0;
  FKeyframeWanted.store(true);
  if (FCapturer) {
    FCapturer->RefreshMonitors();
    FCapturer->Reset();
  }
  {
    std::lock_guard hold(FLock);
    FMonitors.clear();
    if (FCapturer) {
      FMonitors = CapturerMonitors();
      FSelected = FCapturer->MonitorIndex();
    }
    PublishLayout(true);
  }
  SendMonitorList(*ASession);
  if (FCapturer) FCapture = std::make_unique<TProcThread>([this, ASession] { CaptureLoop(ASession); });
}

void THostStreamer::End() {
  if (!FCapture) return;
  FCapture->Wait();
  FCapture.reset();
}

void THostStreamer::SetQuality(int APreset) {
  FPreset.store(APreset);
  FKeyframeWanted.store(true);
}

void THostStreamer::SelectMonitor(int AIndex) {
  {
    std::lock_guard hold(FLock);
    if (AIndex >= 0 && AIndex < int(FMonitors.size()) && AIndex != FSelected) {
      FSelected = AIndex;
      PublishLayout(false);
    }
  }
  FKeyframeWanted.store(true);
}

void THostStreamer::FrameAcked() { FFlow.FrameAcked(SteadyMs()); }

TLayoutSnapshot THostStreamer::Layout() const {
  std::lock_guard hold(FLock);
  return FLayout;
}

void THostStreamer::PublishLayout(bool ANewLayout) {
  // Without a known monitor the positions are taken from the desktop's origin.
  FLayout.Monitor = FSelected >= 0 && FSelected < int(FMonitors.size()) ? FMonitors[size_t(FSelected)].Bounds : TPixelRect{};
  if (ANewLayout) ++FLayout.Generation;
}

void THostStreamer::SendMonitorList(THostSession& ASession) {
  std::vector<TMonitorLine> lines;
  {
    std::lock_guard hold(FLock);
    for (size_t i = 0; i < FMonitors.size(); ++i) {
      const TPixelRect& b = FMonitors[i].Bounds;
      lines.push_back({int(i), b.Right - b.Left, b.Bottom - b.Top, FMonitors[i].Primary});
    }
  }
  const std::string list = BuildMonitorList(lines);
  ASession.Writer().PostWait(MsgMonitorList, BytesOf(list));
}

std::vector<THostMonitor> THostStreamer::CapturerMonitors() const {
  std::vector<THostMonitor> monitors;
  for (int i = 0; i < FCapturer->MonitorCount(); ++i) monitors.push_back(FCapturer->GetMonitor(i));
  return monitors;
}

// The screen changed size or its monitors changed: the viewer gets the new list before the
// first frame of the new layout, and mouse positions are mapped against it from now on.
void THostStreamer::LayoutChanged(THostSession& ASession) {
  std::vector<THostMonitor> monitors = CapturerMonitors();
  {
    std::lock_guard hold(FLock);
    FMonitors = std::move(monitors);
    // A choice the viewer made meanwhile stands while its monitor exists.
    if (FSelected >= int(FMonitors.size())) FSelected = FCapturer->MonitorIndex();
    PublishLayout(true);
  }
  SendMonitorList(ASession);
}

void THostStreamer::CaptureLoop(const THostSessionRef& ASession) {
  while (ASession->Lasts()) {
    if (FFlow.WindowFull()) {
      SleepMs(WindowFullWaitMs);
      continue;
    }
    bool keyframe = FKeyframeWanted.exchange(false);
    const TQualityPreset preset = QualityPresetFor(FPreset.load());
    try {
      if (FCapturer->CheckLayout()) {
        LayoutChanged(*ASession);
        keyframe = true;
      }
      // Monitor and quality changes arrive on other threads; the capturer sees them here only.
      int monitor = 0;
      {
        std::lock_guard hold(FLock);
        monitor = FSelected;
      }
      if (monitor != FCapturer->MonitorIndex()) FCapturer->SelectMonitor(monitor);
      FCapturer->SetQuality(preset.JpegQuality);
      std::vector<TEncodedRect> rects;
      int width = 0, height = 0;
      if (FCapturer->Capture(keyframe, rects, width, height)) {
        const TBytes payload = BuildFramePayload(++FFrameNo, width, height, keyframe, rects);
        FFlow.FrameSent(SteadyMs());
        ASession->Writer().PostWait(MsgFrame, payload);
      }
    } catch (const std::exception&) {
      if (ASession->Lasts()) SleepMs(CaptureErrorWaitMs);
    }
    SleepMs(preset.PauseMs);
  }
}

}  // namespace tlm
