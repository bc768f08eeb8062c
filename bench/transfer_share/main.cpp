// How the picture fares while a file downloads on a slow line. Inside a private network
// namespace (root: `unshare --net`, re-run automatically) the loopback link is shaped with
// `tc`; a real host agent streams frames of a fixed size through the in-process relay to a
// scripted viewer that acknowledges each frame at once. Measured twice in the same run: the
// picture alone, then the picture while the viewer downloads a large file from the host.
// Frame latency is the time from the capture to the frame's arrival at the viewer.
// Prints frames/s and latency p50/p95; passes or fails nothing.
// Usage: bench_transfer_share [line Mbit/s, default 40] [seconds per phase, default 8]
// TLM_BENCH_RELAY_QUEUE=BYTES sets the relay's per-connection queue (default: the relay's own).
//
// Both hops (host to relay, relay to viewer) cross the one shaped loopback device, so it is
// shaped to twice the line rate: each hop then gets about the line rate.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "host/HostCapturer.h"
#include "protocol/Error.h"
#include "protocol/Frame.h"
#include "protocol/Messages.h"
#include "protocol/Packet.h"
#include "relay/RelayServer.h"
#include "bench/PrivateNetwork.h"
#include "bench/Stats.h"
#include "tests/support/PacketWrites.h"
#include "tests/support/transfer/TransferRig.h"

namespace {

using namespace tlm;
using bench::Percentile;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr size_t FrameBytes = 30000;  // a typical update of a few changed tiles
constexpr uint64_t FileBytes = uint64_t(2) << 30;

int64_t NowNs() { return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count(); }

// One rectangle per capture, stamped with the capture time.
class TStampedCapturer final : public IHostCapturer {
public:
  void RefreshMonitors() override {}
  void Reset() override {}
  int MonitorCount() const override { return 1; }
  THostMonitor GetMonitor(int) const override { return {{0, 0, 1920, 1080}, true}; }
  int MonitorIndex() const override { return 0; }
  void SelectMonitor(int) override {}
  void SetQuality(int) override {}
  bool Capture(bool, std::vector<TEncodedRect>& ARects, int& AScreenW, int& AScreenH) override {
    TEncodedRect rect;
    rect.Rect = {0, 0, 160, 160, uint32_t(FrameBytes)};
    rect.Data.assign(FrameBytes, 0x55);
    const int64_t now = NowNs();
    std::memcpy(rect.Data.data(), &now, sizeof now);
    ARects.push_back(std::move(rect));
    AScreenW = 1920;
    AScreenH = 1080;
    return true;
  }
};

struct TPhase {
  int Frames = 0;
  std::vector<double> LatencyMs;
  uint64_t FileBytesIn = 0;
};

// Reads the viewer's connection for ASeconds: acknowledges frames, counts file bytes.
TPhase Watch(test::TTransferRig& ARig, double ASeconds) {
  TPhase phase;
  TTcpConnection& viewer = ARig.Viewer();
  const auto end = Clock::now() + std::chrono::duration<double>(ASeconds);
  while (Clock::now() < end) {
    ARig.RunUiCalls();
    if (!viewer.WaitReadable(50)) continue;
    const TPacket packet = ReadPacket(viewer);
    if (packet.Type == MsgFrame) {
      TParsedFrame frame;
      if (ParseFramePayload(packet.Payload, frame) && !frame.Rects.empty() && frame.Rects[0].Jpeg.size() >= 8) {
        int64_t stamp = 0;
        std::memcpy(&stamp, frame.Rects[0].Jpeg.data(), sizeof stamp);
        phase.LatencyMs.push_back(double(NowNs() - stamp) / 1e6);
        ++phase.Frames;
      }
      WriteEmptyPacket(viewer, MsgFrameAck, nullptr);
    } else if (packet.Type == MsgFileChunk) {
      phase.FileBytesIn += packet.Payload.size();
    } else if (packet.Type == MsgFileError) {
      throw TError("download refused: " + TextOf(packet.Payload));
    }
  }
  std::sort(phase.LatencyMs.begin(), phase.LatencyMs.end());
  return phase;
}

void Print(const char* AName, const TPhase& APhase, double ASeconds) {
  std::printf("  %-22s %6.1f frames/s   latency p50 %7.1f ms   p95 %7.1f ms   file %6.2f MB/s\n", AName,
              APhase.Frames / ASeconds, Percentile(APhase.LatencyMs, 0.5), Percentile(APhase.LatencyMs, 0.95),
              double(APhase.FileBytesIn) / 1e6 / ASeconds);
}

void Run(const char* ACommand) {
  if (std::system(ACommand) != 0) throw TError(std::string("failed: ") + ACommand);
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const int mbit = argc > 1 ? std::max(1, std::atoi(argv[1])) : 40;
  const double seconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 8;
  // Everything below runs in a network namespace of our own: its loopback is ours to shape.
  if (!bench::InPrivateNetwork("bench_transfer_share", argc, argv)) return 0;
  char base[] = "/tmp/tlm-bench-share-XXXXXX";
  if (!::mkdtemp(base)) return 1;
  const std::string dir = base;
  int status = 0;
  try {
    Run("ip link set lo up && ip link set lo mtu 1500");
    const std::string shape = "tc qdisc add dev lo root tbf rate " + std::to_string(2 * mbit) +
                              "mbit burst 16kb latency 100ms";
    Run(shape.c_str());

    TRelayOptions options = test::QuietLoopbackRelay();
    if (const char* q = std::getenv("TLM_BENCH_RELAY_QUEUE")) options.QueueLimitBytes = size_t(std::atoll(q));
    TRelayServer relay(options);
    const uint16_t port = relay.Start();

    const std::string file = dir + "/big.bin";  // sparse: the host reads it without a disk
    {
      const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (fd < 0 || ::ftruncate(fd, off_t(FileBytes)) != 0) throw TError("cannot make " + file);
      ::close(fd);
    }
    test::TTransferRig rig(port, dir + "/host", [] { return std::make_unique<TStampedCapturer>(); });
    const uint8_t fast = 0;
    WritePacket(rig.Viewer(), MsgQuality, std::span<const uint8_t>(&fast, 1), nullptr);
    Watch(rig, 1.0);  // settle
    const TPhase alone = Watch(rig, seconds);
    WriteTextPacket(rig.Viewer(), MsgFileGet, file, nullptr);
    const TPhase during = Watch(rig, seconds);

    std::printf("picture on a %d Mbit/s line (loopback shaped in a private namespace), %zu-byte frames, %.0f s each:\n",
                mbit, FrameBytes, seconds);
    Print("picture alone", alone, seconds);
    Print("during a download", during, seconds);
    std::printf("  frame rate kept: %.2f of the rate alone (goal >= 0.50); p95 latency goal < 500 ms\n",
                alone.Frames ? double(during.Frames) / alone.Frames : 0.0);
    rig.Viewer().Abort();
    relay.Stop();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_transfer_share: %s\n", e.what());
    status = 1;
  }
  fs::remove_all(dir);
  return status;
}
