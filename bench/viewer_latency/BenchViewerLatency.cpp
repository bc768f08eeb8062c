// bench_viewer_latency: how long the user's keys take to reach the host, and how many frames
// per second the picture keeps, while the viewer uploads a large file.
//
// Runs itself inside a private network namespace (unshare --net, as root; skipped otherwise)
// whose loopback is shaped with tc to BENCH_RATE (default 40mbit, token bucket, 1500-byte
// packets), so the relay, the host agent and the viewer session in this one process meet a
// slow link. The host's screen is a capturer that sends one noisy 128 x 128 JPEG tile per
// frame. The viewer's user-interface thread sends a key press every 20 ms; the host's input
// injector notes when each arrives. Printed per phase: key latency p50 / p99 / max and frames per
// second, first without an upload (the baseline), then during one; the last column is the
// frame rate as a share of the baseline. Once with the relay's default per-connection queue,
// once with a 4 MiB one for comparison.
//
// Figures only; nothing here passes or fails. BENCH_SECONDS sets each measuring window.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/PrivateNetwork.h"
#include "bench/Stats.h"
#include "host/HostAgent.h"
#include "host/HostCapturer.h"
#include "platform/Input.h"
#include "protocol/Credentials.h"
#include "protocol/Marshal.h"
#include "relay/RelayServer.h"
#include "tests/support/QuietRelay.h"
#include "tests/viewer/TestJpeg.h"
#include "viewer/ViewerSession.h"

namespace {

using namespace tlm;
using bench::Percentile;
using Clock = std::chrono::steady_clock;

// One 128 x 128 tile of noise (about 30 KB at quality 95) per capture, moving over the screen.
class TNoiseCapturer final : public IHostCapturer {
public:
  TNoiseCapturer() {
    std::mt19937 random(7);
    for (int t = 0; t < 8; ++t) {
      std::vector<uint8_t> rgb(128 * 128 * 3);
      for (auto& b : rgb) b = uint8_t(random());
      FTiles.push_back(test::EncodeRgbJpeg(rgb.data(), 128, 128, 128 * 3, 95));
    }
  }
  void RefreshMonitors() override {}
  void Reset() override {}
  int MonitorCount() const override { return 1; }
  THostMonitor GetMonitor(int) const override { return {{0, 0, 1280, 768}, true}; }
  int MonitorIndex() const override { return 0; }
  void SelectMonitor(int) override {}
  void SetQuality(int) override {}
  bool Capture(bool, std::vector<TEncodedRect>& ARects, int& AW, int& AH) override {
    AW = 1280;
    AH = 768;
    const int n = Captures++;
    TEncodedRect rect;
    rect.Data = FTiles[size_t(n) % FTiles.size()];
    rect.Rect = {uint16_t(n % 10 * 128), uint16_t(n / 10 % 6 * 128), 128, 128, uint32_t(rect.Data.size())};
    ARects.push_back(std::move(rect));
    return true;
  }
  std::atomic<int> Captures{0};

private:
  std::vector<TBytes> FTiles;
};

// Notes the arrival of every key press.
class TArrivalInjector final : public IInputInjector {
public:
  TVirtualScreen VirtualScreen() override { return {0, 0, 1280, 768}; }
  void SendMouse(const TMouseInput&) override {}
  void SendKey(const TKeyInput& AInput) override {
    if (AInput.Flags & KEYEVENTF_KEYUP) return;
    std::lock_guard hold(Lock);
    Arrivals.push_back(Clock::now());
  }
  std::mutex Lock;
  std::vector<Clock::time_point> Arrivals;
};

struct TPhase {
  double P50 = 0, P99 = 0, Max = 0, Fps = 0;
  size_t Keys = 0, Lost = 0;
};

// Key presses every 20 ms for ASeconds on the UI thread (the caller), pumping AUi meanwhile.
TPhase Measure(TQueueDispatcher& AUi, TViewerSession& AViewer, TArrivalInjector& AInput, TNoiseCapturer& ACapturer,
               double ASeconds) {
  {
    std::lock_guard hold(AInput.Lock);
    AInput.Arrivals.clear();
  }
  std::vector<Clock::time_point> sent;
  const int capturesBefore = ACapturer.Captures.load();
  const auto start = Clock::now();
  auto next = start;
  while (Clock::now() - start < std::chrono::duration<double>(ASeconds)) {
    AUi.RunPending();
    if (Clock::now() >= next) {
      const uint16_t vk = uint16_t(0x41 + sent.size() % 26);
      if (AViewer.SendKey(vk, false, false)) sent.push_back(Clock::now());
      AViewer.SendKey(vk, true, false);
      next += std::chrono::milliseconds(20);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const int captures = ACapturer.Captures.load() - capturesBefore;
  // Late presses still arrive: wait for them (up to 10 s) before matching in order.
  const auto waitUntil = Clock::now() + std::chrono::seconds(10);
  for (;;) {
    AUi.RunPending();
    {
      std::lock_guard hold(AInput.Lock);
      if (AInput.Arrivals.size() >= sent.size() || Clock::now() > waitUntil) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  TPhase phase;
  std::vector<double> ms;
  {
    std::lock_guard hold(AInput.Lock);
    for (size_t i = 0; i < sent.size() && i < AInput.Arrivals.size(); ++i)
      ms.push_back(std::chrono::duration<double, std::milli>(AInput.Arrivals[i] - sent[i]).count());
    phase.Lost = sent.size() - ms.size();
  }
  phase.Keys = sent.size();
  std::sort(ms.begin(), ms.end());
  phase.P50 = Percentile(ms, 0.50);
  phase.P99 = Percentile(ms, 0.99);
  phase.Max = ms.empty() ? 0 : ms.back();
  phase.Fps = captures / elapsed;
  return phase;
}

void Print(const char* ALabel, const TPhase& APhase, double ABaselineFps) {
  std::printf("  %-22s keys %4zu (lost %zu)  latency p50 %7.1f ms  p99 %7.1f ms  max %7.1f ms  frames %5.1f/s  %3.0f%%\n",
              ALabel, APhase.Keys, APhase.Lost, APhase.P50, APhase.P99, APhase.Max, APhase.Fps,
              ABaselineFps > 0 ? 100.0 * APhase.Fps / ABaselineFps : 100.0);
  std::fflush(stdout);
}

// The host and the viewer store what they receive below ADir (emptied afterwards).
void RunScenario(const char* ATitle, size_t ARelayQueue, double ASeconds, const std::string& AUploadFile,
                 const std::string& ADir) {
  std::printf("%s\n", ATitle);
  TRelayOptions options = test::QuietLoopbackRelay();
  options.QueueLimitBytes = ARelayQueue;
  TRelayServer relay(options);
  const uint16_t port = relay.Start();

  TQueueDispatcher ui;
  TArrivalInjector input;
  TNoiseCapturer* capturer = nullptr;
  THostServices services;
  services.MakeCapturer = [&capturer] {
    auto made = std::make_unique<TNoiseCapturer>();
    capturer = made.get();
    return made;
  };
  services.Input = &input;
  services.DownloadDir = ADir + "/host";
  std::string id;
  {
    THostAgent host(ui, "127.0.0.1", port, "bench-latency-host", HashPassword("pw"), services);
    host.OnID = [&](const std::string& AId) { id = AId; };
    host.Start();
    ui.RunUntil([&] { return !id.empty(); }, 10000);

    TViewerParams params;
    params.Server = "127.0.0.1";
    params.Port = port;
    params.TargetID = id;
    params.MyName = "bench";
    params.Proof = MakeSessionProof(id, HashPassword("pw"));
    params.DownloadDir = ADir + "/viewer";
    TViewerSession viewer(ui, params);
    bool uploaded = false;
    viewer.OnUploadDone = [&](const std::string&, bool) { uploaded = true; };
    viewer.Start();
    if (!ui.RunUntil([&] { return viewer.InSession(); }, 10000)) {
      std::printf("  no session\n");
      return;
    }
    ui.RunUntil([] { return false; }, 1000);  // the stream settles
    const TPhase idle = Measure(ui, viewer, input, *capturer, ASeconds);
    Print("no upload", idle, 0);
    viewer.SendFile(AUploadFile);
    ui.RunUntil([] { return false; }, 500);
    const TPhase busy = Measure(ui, viewer, input, *capturer, ASeconds);
    Print("during the upload", busy, idle.Fps);
    if (uploaded) std::printf("  (the upload ended inside the window: make the file larger)\n");
    viewer.Stop();
    host.Stop();
  }
  relay.Stop();
  std::filesystem::remove_all(ADir + "/host");
  std::filesystem::remove_all(ADir + "/viewer");
}

bool Shell(const std::string& ACommand) { return std::system(ACommand.c_str()) == 0; }

}  // namespace

int main(int argc, char** argv) {
  const char* rateEnv = std::getenv("BENCH_RATE");
  const std::string rate = rateEnv && *rateEnv ? rateEnv : "40mbit";
  if (!bench::InPrivateNetwork("bench_viewer_latency", argc, argv)) return 0;
  // A token bucket: the rate, a 16 KiB burst, and at most 30 ms of queue before it drops.
  const bool shaped = Shell("ip link set lo up && ip link set lo mtu 1500 && tc qdisc add dev lo root tbf rate " +
                            rate + " burst 16kb latency 30ms");
  if (!Shell("ip link set lo up")) return 1;
  std::printf("bench_viewer_latency: loopback %s\n",
              shaped ? ("shaped to " + rate + " (tbf, 16 KiB burst, 30 ms queue), 1500-byte packets").c_str()
                     : "NOT shaped (tc failed)");

  const char* secondsEnv = std::getenv("BENCH_SECONDS");
  const double seconds = secondsEnv ? std::atof(secondsEnv) : 6.0;
  // Larger than what the link carries in the two windows, so the upload lasts throughout.
  // A folder of this run's own: runs at the same time on this machine do not meet.
  char base[] = "/tmp/tlm-bench-latency-XXXXXX";
  if (!::mkdtemp(base)) {
    std::perror("bench_viewer_latency: mkdtemp");
    return 1;
  }
  const std::string dir = base;
  const std::string file = dir + "/upload.bin";
  {
    std::ofstream out(file, std::ios::binary);
    std::vector<char> block(1 << 20, 'u');
    for (int i = 0; i < 96; ++i) out.write(block.data(), std::streamsize(block.size()));
  }
  const size_t defaultQueue = TRelayOptions{}.QueueLimitBytes;
  const std::string title = "relay queue " + std::to_string(defaultQueue >> 10) + " KiB (the relay's default)";
  RunScenario(title.c_str(), defaultQueue, seconds, file, dir);
  RunScenario("relay queue 4 MiB", size_t(4) << 20, seconds, file, dir);
  std::filesystem::remove_all(dir);
  return 0;
}
