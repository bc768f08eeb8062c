#include "host/HostStreamer.h"

#include <chrono>
#include <string>
#include <thread>

#include "host/SmoothPacing.h"
#include "protocol/Frame.h"
#include "protocol/Messages.h"

namespace tlm {

namespace {

constexpr int WindowFullWaitMs = 10;
// The link-paced preset looks for room in the window more often: on a quick line an
// acknowledgement is back within a millisecond or two.
constexpr int SmoothWindowWaitMs = 1;
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
  FViewerCodings.store(0);  // until this session's viewer announces more
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
  FSession = ASession;
  SendMonitorList(*ASession);
  if (FCapturer) FCapture = std::make_unique<TProcThread>([this, ASession] { CaptureLoop(ASession); });
}

void THostStreamer::End() {
  if (FSession) FSession->Close();
  FSession.reset();
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
  // The link-paced preset's rule (host/SmoothPacing.h), this thread's alone; it starts afresh
  // whenever the preset changes.
  TSmoothPacing smooth;
  int chosen = -1;
  uint64_t acksSeen = 0;
  while (ASession->Lasts()) {
    if (const int asked = FPreset.load(); asked != chosen) {
      chosen = asked;
      smooth.Reset();
    }
    const bool paced = chosen == QualitySmooth;
    if (paced) {
      if (const uint64_t acks = FFlow.Acks(); acks != acksSeen) {
        acksSeen = acks;
        smooth.AckCame(SteadyMs(), FFlow.LastRoundTripMs());
      }
    }
    if (FFlow.WindowFull()) {
      SleepMs(paced ? SmoothWindowWaitMs : WindowFullWaitMs);
      continue;
    }
    bool keyframe = FKeyframeWanted.exchange(false);
    const TQualityPreset preset = QualityPresetFor(chosen);
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
      FCapturer->SetPaletteTiles((FViewerCodings.load() & DecodesPaletteTiles) != 0);
      std::vector<TEncodedRect> rects;
      int width = 0, height = 0;
      bool any = false;
      if (paced) {
        TTileReport report;
        any = FCapturer->CapturePlanned(keyframe, smooth.NextPlan(), rects, width, height, report);
        smooth.Captured(report);
      } else {
        FCapturer->SetQuality(preset.JpegQuality);
        any = FCapturer->Capture(keyframe, rects, width, height);
      }
      if (any) {
        const TBytes payload = BuildFramePayload(++FFrameNo, width, height, keyframe, rects);
        const int64_t nowMs = SteadyMs();
        FFlow.FrameSent(nowMs);
        if (paced) smooth.FrameMade(nowMs);
        ASession->Writer().PostWait(MsgFrame, payload);
      }
    } catch (const std::exception&) {
      if (ASession->Lasts()) SleepMs(CaptureErrorWaitMs);
    }
    SleepMs(paced ? smooth.PauseMs() : preset.PauseMs);
  }
}

}  // namespace tlm
