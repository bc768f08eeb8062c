// bench_e2e_stream: the whole picture path on a private Xvfb display, at each screen size asked
// for (default 1920x1080 and 3840x2160, summed up side by side at the end).
//
//   bench_e2e_stream [WIDTHxHEIGHT ...]
//
// An in-process relay, a THostAgent capturing the display while an X client repaints all of
// it (a server-side copy from a wider picture, so the painter's own uploads do not load the
// machine), and a headless viewer (a TTcpConnection speaking the packets) that decodes every tile
// and acknowledges each frame. For each quality preset it prints frames per second against the
// pacing cap (1000 / (pause + capture time), the capture time measured in this run with a
// capturer of its own on the same moving screen, and no more than the painter's repaints), bytes per frame and the latency from the
// host's screen copy to the viewer's decoded picture (p50/p95); then, with the screen still,
// frames and bytes per minute (measured over a shorter window and scaled).
//
// The screen carries a frame stamp (four grey blocks at the top-left encoding the painter's
// sequence number). The agent's screen is wrapped to note when each stamp was first copied;
// the viewer reads the stamp out of its decoded picture, which ties the two moments together.
//
// Figures only; nothing here passes or fails. BENCH_E2E_SECONDS scales the measuring windows.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sys/resource.h>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/Stats.h"
#include "capture/JpegEncoder.h"
#include "host/HostAgent.h"
#include "host/HostCapturer.h"
#include "platform/Screen.h"
#include "protocol/Connection.h"
#include "protocol/Credentials.h"
#include "protocol/Error.h"
#include "protocol/Frame.h"
#include "protocol/Marshal.h"
#include "protocol/Messages.h"
#include "protocol/Packet.h"
#include "protocol/SecureChannel.h"
#include "protocol/SecureHandshake.h"
#include "relay/RelayServer.h"
#include "tests/capture/TestPictures.h"
#include "tests/support/PacketWrites.h"
#include "tests/support/QuietRelay.h"
#include "tests/support/XvfbServer.h"
#include "viewer/RemoteScreen.h"

// Last: Xlib defines macros (Status, None) that clash with names in the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

using namespace tlm;
using bench::Percentile;
using Clock = std::chrono::steady_clock;

// The size being measured (one Xvfb per size, one size at a time).
int ScreenW = 1920;
int ScreenH = 1080;
constexpr int Slack = 512;  // the painter's source picture is this much wider, for scrolling
constexpr int StampBlock = 32;
constexpr int StampBlocks = 4;  // 3 bits each: grey levels 32 apart survive any JPEG quality
constexpr int PaintPeriodMs = 25;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// ---- the frame stamp -------------------------------------------------------------------------

uint32_t StampGrey(int ASeq, int ABlock) {
  const uint32_t level = uint32_t(((ASeq >> (3 * ABlock)) & 7) * 32 + 16);
  return (level << 16) | (level << 8) | level;
}

// Reads the stamp from 0x00RRGGBB pixels (AStride words per row): the mean green of the
// middle 8x8 pixels of each block.
int ReadStamp(const uint32_t* APixels, size_t AStride) {
  int seq = 0;
  for (int b = 0; b < StampBlocks; ++b) {
    int sum = 0;
    for (int y = StampBlock / 2 - 4; y < StampBlock / 2 + 4; ++y)
      for (int x = b * StampBlock + StampBlock / 2 - 4; x < b * StampBlock + StampBlock / 2 + 4; ++x)
        sum += int((APixels[size_t(y) * AStride + size_t(x)] >> 8) & 0xFF);
    seq |= std::clamp(sum / 64 / 32, 0, 7) << (3 * b);
  }
  return seq;
}

// ---- the X client that keeps the whole screen moving ---------------------------------------

class TPainter {
public:
  explicit TPainter(const std::string& ADisplay) : FPicture(test::MakeDesktopPicture(ScreenW + Slack, ScreenH, 7)) {
    FDpy = XOpenDisplay(ADisplay.c_str());
    if (!FDpy) throw TError("painter: cannot open " + ADisplay);
    FThread = std::thread([this] { Run(); });
  }
  ~TPainter() {
    FStop = true;
    FThread.join();
    XCloseDisplay(FDpy);
  }
  void SetMoving(bool AMoving) { FMoving = AMoving; }
  int Paints() const { return FSeq.load(); }

private:
  void Run() {
    const int scr = DefaultScreen(FDpy);
    const Window root = RootWindow(FDpy, scr);
    GC gc = XCreateGC(FDpy, root, 0, nullptr);
    XImage* image = XCreateImage(FDpy, DefaultVisual(FDpy, scr), 24, ZPixmap, 0,
                                 reinterpret_cast<char*>(FPicture.data()), ScreenW + Slack, ScreenH, 32,
                                 (ScreenW + Slack) * 4);
    // The picture goes to the server once; each repaint is a copy inside the server.
    const Pixmap source = XCreatePixmap(FDpy, root, unsigned(ScreenW + Slack), unsigned(ScreenH), 24);
    XPutImage(FDpy, source, gc, image, 0, 0, 0, 0, unsigned(ScreenW + Slack), unsigned(ScreenH));
    XSync(FDpy, False);
    auto next = Clock::now();
    while (!FStop) {
      if (FMoving) {
        const int seq = FSeq.load() + 1;
        XCopyArea(FDpy, source, root, gc, (seq * 8) % Slack, 0, unsigned(ScreenW), unsigned(ScreenH), 0, 0);
        for (int b = 0; b < StampBlocks; ++b) {
          XSetForeground(FDpy, gc, StampGrey(seq, b));
          XFillRectangle(FDpy, root, gc, b * StampBlock, 0, StampBlock, StampBlock);
        }
        XSync(FDpy, False);
        FSeq = seq;
      }
      next += std::chrono::milliseconds(PaintPeriodMs);
      std::this_thread::sleep_until(next);
      if (Clock::now() > next + std::chrono::milliseconds(200)) next = Clock::now();
    }
    XFreePixmap(FDpy, source);
    image->data = nullptr;  // the picture belongs to FPicture
    XDestroyImage(image);
    XFreeGC(FDpy, gc);
  }

  std::vector<uint32_t> FPicture;
  Display* FDpy = nullptr;
  std::atomic<bool> FStop{false};
  std::atomic<bool> FMoving{true};
  std::atomic<int> FSeq{0};
  std::thread FThread;
};

// ---- the agent's screen, noting when each stamp was first copied ----------------------------

class TStampedScreen final : public IScreen {
public:
  explicit TStampedScreen(std::shared_ptr<IScreen> AInner) : FInner(std::move(AInner)) {}
  std::vector<TMonitorInfoRec> EnumMonitors() override { return FInner->EnumMonitors(); }
  TPixelRect ScreenRect() override { return FInner->ScreenRect(); }
  bool GetCursor(TCursorImage& ACursor) override { return FInner->GetCursor(ACursor); }
  bool TakeLayoutChange() override { return FInner->TakeLayoutChange(); }
  bool CopyRect(const TPixelRect& ARect, uint32_t* ADst, size_t AStride) override {
    const auto when = Clock::now();
    const bool ok = FInner->CopyRect(ARect, ADst, AStride);
    if (ok) Note(ARect, ADst, AStride, when);
    return ok;
  }
  bool Grab(const TPixelRect& ARect, TPixelView& AView) override {
    const auto when = Clock::now();
    const bool ok = FInner->Grab(ARect, AView);
    if (ok) Note(ARect, AView.Pixels, AView.Stride, when);
    return ok;
  }
  bool CopiedAt(int ASeq, Clock::time_point& AWhen) {
    std::lock_guard hold(FLock);
    auto it = FFirstCopied.find(ASeq);
    if (it == FFirstCopied.end()) return false;
    AWhen = it->second;
    return true;
  }
  void Forget() {
    std::lock_guard hold(FLock);
    FFirstCopied.clear();
  }

private:
  void Note(const TPixelRect& ARect, const uint32_t* APixels, size_t AStride, Clock::time_point AWhen) {
    if (ARect.Left != 0 || ARect.Top != 0 || ARect.Width() < StampBlock * StampBlocks || ARect.Height() < StampBlock)
      return;
    const int seq = ReadStamp(APixels, AStride);
    std::lock_guard hold(FLock);
    FFirstCopied.emplace(seq, AWhen);  // keeps the first moment
  }

  std::shared_ptr<IScreen> FInner;
  std::mutex FLock;
  std::map<int, Clock::time_point> FFirstCopied;
};

// ---- the headless viewer ---------------------------------------------------------------------

struct TViewerStats {
  int Frames = 0;
  double OpenMs = 0;        // time the viewer spent opening sealed frames
  uint64_t FrameBytes = 0;  // frame payloads
  uint64_t AllBytes = 0;    // every packet, headers included
  int KeepAlives = 0;
  int Other = 0;
  std::vector<double> LatencyMs;
};

class THeadlessViewer {
public:
  // APasswordHash: offer the end-to-end handshake with this password (empty: the plain wire
  // with AProof).
  THeadlessViewer(uint16_t APort, const std::string& ATarget, const std::string& AProof, const std::string& APasswordHash,
                  int APreset, TStampedScreen& AStamps)
      : FStamps(AStamps), FPreset(APreset), FTarget(ATarget), FPasswordHash(APasswordHash) {
    FConn.Connect("127.0.0.1", APort, 5000);
    FConn.SetReadTimeout(60000);
    const bool secure = !FPasswordHash.empty();
    WriteTextPacket(FConn, MsgConnectRequest,
                    BuildConnectRequest(ATarget, "Bench", secure ? std::string(SecureOfferMarker) : AProof), &FWriteLock);
    FThread = std::thread([this] { Run(); });
  }
  ~THeadlessViewer() {
    FConn.Abort();
    FThread.join();
    FConn.Close();
  }
  bool InSession() const { return FInSession.load(); }
  int FramesSeen() const { return FFramesSeen.load(); }
  // Starts a new measuring window; Take ends it.
  void Reset() {
    std::lock_guard hold(FLock);
    FStats = {};
  }
  TViewerStats Take() {
    std::lock_guard hold(FLock);
    return FStats;
  }
  std::string Error() const {
    std::lock_guard hold(FLock);
    return FError;
  }

private:
  // Sealed once the handshake is done, else as it is.
  void Send(uint32_t AType, std::span<const uint8_t> APayload = {}) {
    if (FKeys)
      WritePacket(FConn, MsgSealed, FKeys->Out.Seal(AType, APayload), &FWriteLock);
    else
      WritePacket(FConn, AType, APayload, &FWriteLock);
  }

  void Run() {
    try {
      TRemoteScreen screen;  // the viewer's own back buffer: tiles decoded on its team
      const uint8_t preset = uint8_t(FPreset);
      for (;;) {
        TPacket packet = ReadPacket(FConn);
        const uint64_t wire = packet.Payload.size() + PacketHeaderSize;
        double openMs = 0;
        if (packet.Type == MsgSessionStart && !FPasswordHash.empty()) {
          FHandshake = std::make_unique<TViewerHandshake>(FTarget, "", "Bench", FPasswordHash);
          WritePacket(FConn, MsgSecureHello, FHandshake->Start(), &FWriteLock);
          continue;
        }
        if (FHandshake && packet.Type == MsgSecureReply) {
          WritePacket(FConn, MsgSecureConfirm, FHandshake->OnReply(packet.Payload), &FWriteLock);
          continue;
        }
        if (FHandshake && packet.Type == MsgSealed) {
          FHandshake->OnSealed(packet.Payload);
          FKeys.emplace(FHandshake->TakeChannel());
          FHandshake.reset();
          Send(MsgQuality, QualityPayload(preset));  // as this program's viewer announces it
          FInSession = true;
          continue;
        }
        if (FKeys && packet.Type == MsgSealed) {
          const auto t0 = Clock::now();
          TOpenedMessage opened = FKeys->In.Open(std::move(packet.Payload));
          openMs = Ms(Clock::now() - t0);
          packet = TPacket{opened.Type, std::move(opened.Payload)};
        }
        if (packet.Type == MsgSessionStart) {
          Send(MsgQuality, QualityPayload(preset));  // as this program's viewer announces it
          FInSession = true;
        } else if (packet.Type == MsgFrame) {
          if (screen.Apply(packet.Payload) != TRemoteScreen::EApply::Drawn) throw TError("bad frame payload");
          const auto decoded = Clock::now();
          Send(MsgFrameAck);
          // Latency counts the first frame that shows a new stamp only: a frame that shows
          // the same stamp again (the painter fell behind) carries no newer content.
          Clock::time_point copied;
          int stamp = -1;
          screen.Read([&](const TRemoteScreen::TView& AView) {
            if (AView.Width >= StampBlock * StampBlocks && AView.Height >= StampBlock)
              stamp = ReadStamp(reinterpret_cast<const uint32_t*>(AView.Bits), size_t(AView.Stride) / 4);
          });
          bool stamped = stamp != FLastStamp && FStamps.CopiedAt(stamp, copied);
          // A stamp first copied before the previous one was read wrongly: not counted.
          if (stamped && copied < FLastCopied) stamped = false;
          if (stamped) FLastCopied = copied;
          FLastStamp = stamp;
          std::lock_guard hold(FLock);
          ++FStats.Frames;
          FStats.OpenMs += openMs;
          FStats.FrameBytes += packet.Payload.size();
          FStats.AllBytes += wire;
          if (stamped) FStats.LatencyMs.push_back(Ms(decoded - copied));
          FFramesSeen.fetch_add(1);
        } else {
          std::lock_guard hold(FLock);
          FStats.AllBytes += wire;
          if (packet.Type == MsgKeepAlive)
            ++FStats.KeepAlives;
          else
            ++FStats.Other;
        }
      }
    } catch (const std::exception& e) {
      std::lock_guard hold(FLock);
      if (!FConn.Aborted()) FError = e.what();
    }
    FInSession = false;
  }

  TStampedScreen& FStamps;
  const int FPreset;
  const std::string FTarget, FPasswordHash;
  std::unique_ptr<TViewerHandshake> FHandshake;  // reader thread
  std::optional<TSecureChannel> FKeys;
  TTcpConnection FConn;
  std::mutex FWriteLock;
  std::thread FThread;
  std::atomic<bool> FInSession{false};
  std::atomic<int> FFramesSeen{0};
  int FLastStamp = -1;  // reader thread
  Clock::time_point FLastCopied{};
  mutable std::mutex FLock;
  TViewerStats FStats;
  std::string FError;
};

// ---- helpers -----------------------------------------------------------------------------------

// Smooth has no pause: its ceiling is the capture alone, at the quality it starts from.
int PauseFor(int APreset) { return QualityPresetFor(APreset).PauseMs; }
int JpegQualityFor(int APreset) { return QualityPresetFor(APreset).JpegQuality; }
const char* PresetName(int APreset) {
  return APreset == QualityFast ? "fast" : APreset == QualityHigh ? "high" : APreset == QualitySmooth ? "smooth" : "standard";
}

// Mean time of one capture (copy, compare, encode) of the moving screen at the preset's JPEG
// quality, by a capturer of our own: the baseline of the pacing cap.
double MeasureCaptureMs(int APreset, int ACount) {
  auto capturer = MakeScreenCapturer(std::shared_ptr<IScreen>(CreateSystemScreen()));
  capturer->RefreshMonitors();
  capturer->SetQuality(JpegQualityFor(APreset));
  std::vector<TEncodedRect> rects;
  int w = 0, h = 0;
  capturer->Capture(true, rects, w, h);
  double total = 0;
  int counted = 0;
  for (int i = 0; i < ACount; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(PaintPeriodMs + 5));  // let the screen move
    rects.clear();
    const auto t0 = Clock::now();
    const bool sent = capturer->Capture(false, rects, w, h);
    total += Ms(Clock::now() - t0);
    counted += sent ? 1 : 0;
  }
  if (counted < ACount / 2) std::printf("  (note: only %d of %d captures saw a change)\n", counted, ACount);
  return total / ACount;
}

// The painter's picture (as it stands at offset 0) compressed as one JPEG at the preset's quality:
// the baseline for the bytes of a frame in which every tile changed.
double OneJpegKB(int APreset) {
  const std::vector<uint32_t> picture = test::MakeDesktopPicture(ScreenW + Slack, ScreenH, 7);
  std::vector<uint8_t> rgb(size_t(ScreenW) * ScreenH * 3);
  for (int y = 0; y < ScreenH; ++y)
    for (int x = 0; x < ScreenW; ++x) {
      const uint32_t p = picture[size_t(y) * (ScreenW + Slack) + size_t(x)];
      uint8_t* d = &rgb[(size_t(y) * ScreenW + size_t(x)) * 3];
      d[0] = uint8_t(p >> 16);
      d[1] = uint8_t(p >> 8);
      d[2] = uint8_t(p);
    }
  TJpegEncoder encoder;
  TBytes out;
  encoder.Encode(rgb.data(), ScreenW, ScreenH, size_t(ScreenW) * 3, JpegQualityFor(APreset), out);
  return out.size() / 1024.0;
}

// Figures of one preset at one size, for the side-by-side summary.
struct TPresetFigures {
  int Preset = 0;
  bool Sealed = false;
  double CaptureMs = 0;
  double Ceiling = 0;
  double Fps = 0;
  double LatencyP50 = 0;
  double CpuMsPerFrame = 0;   // the whole process (relay, host, viewer) per frame
  double OpenMsPerFrame = 0;  // the viewer's opening, measured where it opens
  double SealMsPerFrame = 0;  // the host's sealing of a frame of the mean size, measured apart
  double WireBytesPerFrame = 0;
  double FrameBytes = 0;      // mean frame payload
};

double ProcessCpuMs() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

// The host writer's work per frame when the session is sealed: one seal of a payload of
// ABytes, timed over many seals.
double SealMs(size_t ABytes) {
  if (ABytes == 0) return 0;
  TSealKey key{};
  key[0] = 7;
  TSealer sealer(key);
  TBytes buffer(ABytes + SealOverhead, 0x5a);
  const int rounds = 50;
  const auto t0 = Clock::now();
  for (int i = 0; i < rounds; ++i) sealer.SealInPlace(MsgFrame, buffer.data(), ABytes);
  return Ms(Clock::now() - t0) / rounds;
}

// Streams one screen size under every preset asked for, printing its table; false when it could
// not run.
bool RunSize(double AScale, const std::vector<int>& APresets, std::vector<TPresetFigures>& AOut) {
  const int motionMs = int(8000 * AScale), stillMs = int(20000 * AScale);

  test::TXvfbServer xvfb(ScreenW, ScreenH);
  if (!xvfb.Running()) {
    std::fprintf(stderr, "bench_e2e_stream: no Xvfb: %s\n", xvfb.Error().c_str());
    return false;
  }
  xvfb.ExportDisplay();

  try {
    TRelayOptions options = test::QuietLoopbackRelay();
    TRelayServer relay(options);
    const uint16_t port = relay.Start();

    TPainter painter(xvfb.Display());
    auto stamped = std::make_shared<TStampedScreen>(std::shared_ptr<IScreen>(CreateSystemScreen()));

    std::printf("bench_e2e_stream: %dx%d Xvfb %s, whole screen repainted every %d ms; relay, host agent and a\n"
                "headless viewer (the viewer's back buffer decodes every tile, acknowledges every frame) in one process.\n\n",
                ScreenW, ScreenH, xvfb.Display().c_str(), PaintPeriodMs);

    double captureMs[4] = {};
    for (int p : APresets) captureMs[p] = MeasureCaptureMs(p, 20);

    TQueueDispatcher ui;
    const std::string password = "bench-password";
    THostServices services;
    services.MakeScreen = [stamped] { return stamped; };
    THostAgent agent(ui, "127.0.0.1", port, "DBENCH0000000000000000000000000000", HashPassword(password),
                     std::move(services));
    agent.SetSecurity(TIdentityKey::Generate(), false);
    agent.Start();
    if (!ui.RunUntil([&] { return !agent.ID().empty(); }, 20000)) throw TError("the agent got no ID");
    const std::string id = agent.ID();
    const std::string proof = MakeSessionProof(id, HashPassword(password));

    std::printf("%-9s %7s %7s %7s %7s %9s %9s %9s %9s %9s | %s\n", "preset", "pause", "capt ms", "cap fps", "fps",
                "of cap", "KB/frame", "1 JPEG KB", "lat p50", "lat p95", "still, per minute: frames, KB to the viewer, KB host->viewer via relay");
    for (int p : APresets)
    for (const bool sealed : {false, true}) {
      painter.SetMoving(true);
      stamped->Forget();
      // Each session needs the agent back at the relay: a sealed one is ended by re-registering.
      if (!ui.RunUntil([&] { return agent.Connected() && !agent.InSession() && !agent.ID().empty(); }, 20000))
        throw TError("the agent did not come back");
      THeadlessViewer viewer(port, id, proof, sealed ? HashPassword(password) : "", p, *stamped);
      if (!ui.RunUntil([&] { return viewer.InSession() && viewer.FramesSeen() >= 3; }, 20000))
        throw TError("no session or no frames for preset " + std::to_string(p) + ": " + viewer.Error());
      ui.RunUntil([] { return false; }, 1500);  // past the key frame and the quality change

      viewer.Reset();
      const auto t0 = Clock::now();
      const double cpu0 = ProcessCpuMs();
      ui.RunUntil([] { return false; }, motionMs);
      TViewerStats motion = viewer.Take();
      const double cpuMs = ProcessCpuMs() - cpu0;
      std::sort(motion.LatencyMs.begin(), motion.LatencyMs.end());
      const double motionS = Ms(Clock::now() - t0) / 1000.0;

      painter.SetMoving(false);
      ui.RunUntil([] { return false; }, 1500);  // the last changes drain
      viewer.Reset();
      const uint64_t relayedBefore = relay.Stats().BytesRelayed;
      const auto t1 = Clock::now();
      ui.RunUntil([] { return false; }, stillMs);
      const TViewerStats still = viewer.Take();
      const uint64_t relayedStill = relay.Stats().BytesRelayed - relayedBefore;
      const double perMinute = 60000.0 / Ms(Clock::now() - t1);

      const double fps = motion.Frames / motionS;
      // No preset sends more frames than the painter paints: without a pause that is the ceiling.
      const double cap = std::min(1000.0 / (PauseFor(p) + captureMs[p]), 1000.0 / PaintPeriodMs);
      std::printf("%-9s %5dms %7.1f %7.2f %7.2f %8.0f%% %9.1f %9.1f %7.1fms %7.1fms | %5.1f frames, %6.2f KB (%d keep-alives in the window), %6.2f KB\n",
                  (std::string(PresetName(p)) + (sealed ? "+e2e" : "")).c_str(), PauseFor(p), captureMs[p], cap, fps, 100.0 * fps / cap,
                  motion.Frames ? motion.FrameBytes / 1024.0 / motion.Frames : 0.0, OneJpegKB(p),
                  Percentile(motion.LatencyMs, 0.5), Percentile(motion.LatencyMs, 0.95),
                  still.Frames * perMinute, still.AllBytes / 1024.0 * perMinute, still.KeepAlives,
                  relayedStill / 1024.0 * perMinute);
      if (motion.LatencyMs.size() < size_t(motion.Frames) * 3 / 4)
        std::printf("          (latency from %zu of %d frames: the others showed no new stamp)\n",
                    motion.LatencyMs.size(), motion.Frames);
      if (!viewer.Error().empty()) std::printf("          viewer error: %s\n", viewer.Error().c_str());
      TPresetFigures figures;
      figures.Preset = p;
      figures.Sealed = sealed;
      figures.CaptureMs = captureMs[p];
      figures.Ceiling = cap;
      figures.Fps = fps;
      figures.LatencyP50 = Percentile(motion.LatencyMs, 0.5);
      if (motion.Frames > 0) {
        figures.CpuMsPerFrame = cpuMs / motion.Frames;
        figures.OpenMsPerFrame = motion.OpenMs / motion.Frames;
        figures.FrameBytes = double(motion.FrameBytes) / motion.Frames;
        // Every packet of the window over its frames: frames dominate, acknowledgements go the other way.
        figures.WireBytesPerFrame = double(motion.AllBytes) / motion.Frames;
        if (sealed) figures.SealMsPerFrame = SealMs(size_t(figures.FrameBytes));
      }
      AOut.push_back(figures);
    }
    std::printf("\ncap fps = 1000 / (pause + capture time), the capture time measured above with the screen moving, and at\n"
                "most the painter's %d repaints a second;\n"
                "1 JPEG KB = the same picture compressed as one image at the preset's quality;\n"
                "latency = host's screen copy -> viewer's picture decoded; still figures scaled from %.0f s (the relay\n"
                "sends the viewer a keep-alive after 15 s of silence; the host's own keep-alives end at the relay).\n",
                1000 / PaintPeriodMs, stillMs / 1000.0);
    agent.Stop();
    relay.Stop();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_e2e_stream: %s\n", e.what());
    return false;
  }
  return true;
}

bool ParseSize(const char* AText, int& AW, int& AH) {
  char x = 0;
  if (std::sscanf(AText, "%d%c%d", &AW, &x, &AH) != 3 || (x != 'x' && x != 'X')) return false;
  return AW >= 256 && AH >= 64 && AW <= 8192 && AH <= 8192;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::pair<int, int>> sizes;
  for (int i = 1; i < argc; ++i) {
    int w = 0, h = 0;
    if (!ParseSize(argv[i], w, h)) {
      std::fprintf(stderr, "usage: bench_e2e_stream [WIDTHxHEIGHT ...]   (default 1920x1080 3840x2160)\n"
                           "  BENCH_E2E_SECONDS scales the measuring windows (10 = as built);\n"
                           "  BENCH_E2E_PRESETS lists the presets to run (default 0123: fast, standard, high, smooth)\n");
      return 2;
    }
    sizes.emplace_back(w, h);
  }
  if (sizes.empty()) sizes = {{1920, 1080}, {3840, 2160}};
  const double scale = std::getenv("BENCH_E2E_SECONDS") ? std::atof(std::getenv("BENCH_E2E_SECONDS")) / 10.0 : 1.0;
  std::vector<int> presets;
  for (const char* c = std::getenv("BENCH_E2E_PRESETS") ? std::getenv("BENCH_E2E_PRESETS") : "0123"; *c; ++c)
    if (*c >= '0' && *c <= '3' && std::find(presets.begin(), presets.end(), *c - '0') == presets.end())
      presets.push_back(*c - '0');
  if (presets.empty()) presets = {0, 1, 2, 3};

  std::vector<std::vector<TPresetFigures>> results;
  for (const auto& [w, h] : sizes) {
    ScreenW = w;
    ScreenH = h;
    results.emplace_back();
    if (!RunSize(scale, presets, results.back())) return 1;
    std::printf("\n");
  }

  std::printf("End-to-end encryption, same run: sealed against plain, per frame of the moving screen\n");
  std::printf("%-11s %-9s %8s %8s %7s %10s %10s %10s %10s %11s\n", "size", "preset", "fps", "fps e2e", "ratio",
              "cpu ms", "cpu e2e", "host seal", "view open", "bytes added");
  for (size_t s = 0; s < sizes.size(); ++s)
    for (size_t i = 0; i + 1 < results[s].size(); i += 2) {
      const TPresetFigures& plain = results[s][i];
      const TPresetFigures& sealed = results[s][i + 1];
      const std::string size = std::to_string(sizes[s].first) + "x" + std::to_string(sizes[s].second);
      std::printf("%-11s %-9s %8.2f %8.2f %7.3f %10.2f %10.2f %10.3f %10.3f %11.1f\n", size.c_str(),
                  PresetName(plain.Preset), plain.Fps, sealed.Fps, plain.Fps > 0 ? sealed.Fps / plain.Fps : 0.0,
                  plain.CpuMsPerFrame, sealed.CpuMsPerFrame, sealed.SealMsPerFrame, sealed.OpenMsPerFrame,
                  sealed.WireBytesPerFrame - plain.WireBytesPerFrame - (sealed.FrameBytes - plain.FrameBytes));
    }
  std::printf("cpu ms = the whole process (relay, host, viewer) per frame; host seal = one seal of a frame of the\n"
              "mean size, timed apart; view open = the viewer's opening, timed where it opens; bytes added = wire\n"
              "bytes per frame (frames and acknowledgements) beyond plain, the frames' own size difference taken out.\n\n");

  std::printf("Side by side: frames per second of the moving screen against the pacing ceiling\n%-9s", "preset");
  for (const auto& [w, h] : sizes) {
    const std::string head = std::to_string(w) + "x" + std::to_string(h) + ": capt ms, fps / ceiling, %, lat p50";
    std::printf(" | %-44s", head.c_str());
  }
  std::printf("\n");
  for (size_t i = 0; i < presets.size(); ++i) {
    std::printf("%-9s", PresetName(presets[i]));
    for (const auto& r : results) {
      const TPresetFigures& f = r[2 * i];  // plain
      std::printf(" | %7.1f %6.2f / %6.2f %5.0f%% %7.1fms      ", f.CaptureMs, f.Fps, f.Ceiling, 100.0 * f.Fps / f.Ceiling,
                  f.LatencyP50);
    }
    std::printf("\n");
  }
  return 0;
}
