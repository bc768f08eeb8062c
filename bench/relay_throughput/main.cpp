// Relay cost against a direct loopback connection, measured in the same run:
//  - throughput of 1 MiB packets, host to viewer through the relay and over one direct
//    loopback TCP connection; and through a relay whose clients both speak TLS to it;
//  - one-way latency (p50, p99) of 12-byte packets (the size of a mouse event) sent one at a
//    time, through the relay (plain and TLS) and directly.
// Prints the figures; it passes or fails nothing.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "bench/Stats.h"
#include "protocol/Bytes.h"
#include "protocol/Connection.h"
#include "protocol/Error.h"
#include "protocol/Messages.h"
#include "protocol/Packet.h"
#include "protocol/TlsConnection.h"
#include "relay/RelayServer.h"
#include "tests/support/QuietRelay.h"
#include "tests/support/TestCa.h"

namespace {

using namespace tlm;
using bench::Median;
using bench::Percentile;
using Clock = std::chrono::steady_clock;

struct TLink {
  std::unique_ptr<IClientConnection> From;
  std::unique_ptr<IClientConnection> To;
};

// Makes the client connections of a relay link (plain TCP by default).
using TConnFactory = std::function<std::unique_ptr<IClientConnection>()>;
std::unique_ptr<IClientConnection> PlainConn() { return std::make_unique<TTcpConnection>(); }

// Two ends of one loopback TCP connection.
TLink DirectLink() {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener, 1) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    throw TError("cannot listen on loopback");
  TLink link;
  link.From = std::make_unique<TTcpConnection>();
  link.From->Connect("127.0.0.1", ntohs(addr.sin_port), 5000);
  const int accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  ::close(listener);
  if (accepted < 0) throw TError("accept failed");
  auto to = std::make_unique<TTcpConnection>();
  to->Adopt(accepted);
  link.To = std::move(to);
  return link;
}

// A host and a viewer in a relay session: From is the host, To the viewer.
TLink RelayLink(uint16_t APort, int AIndex, const TConnFactory& AMake = PlainConn) {
  TLink link;
  link.From = AMake();
  link.From->Connect("127.0.0.1", APort, 5000);
  WriteTextPacket(*link.From, MsgHostRegister, "bench-host-" + std::to_string(AIndex), nullptr);
  const std::string id = TextOf(ReadPacket(*link.From).Payload);
  link.To = AMake();
  link.To->Connect("127.0.0.1", APort, 5000);
  WriteTextPacket(*link.To, MsgConnectRequest, BuildConnectRequest(id, "bench", ""), nullptr);
  if (ReadPacket(*link.From).Type != MsgAdmitRequest) throw TError("no admission request");
  WriteEmptyPacket(*link.From, MsgAdmitAccept, nullptr);
  if (ReadPacket(*link.From).Type != MsgSessionStart || ReadPacket(*link.To).Type != MsgSessionStart)
    throw TError("no session");
  return link;
}

// CPU seconds this process has used so far (all threads: sender, receiver and relay alike).
double CpuSeconds() {
  rusage use{};
  ::getrusage(RUSAGE_SELF, &use);
  return double(use.ru_utime.tv_sec + use.ru_stime.tv_sec) + double(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}

// Bytes per second of ACount packets of APayload bytes from From to To; ACpuPerMiB, when
// given, gets the process's CPU milliseconds per MiB moved (steadier than the rate when
// other work shares the machine).
double Throughput(TLink& ALink, size_t APayload, int ACount, std::vector<double>* ACpuPerMiB = nullptr) {
  const double cpuStart = CpuSeconds();
  const TBytes payload(APayload, 0x5A);
  const auto start = Clock::now();
  std::thread sender([&] {
    for (int i = 0; i < ACount; ++i) WritePacket(*ALink.From, MsgFileChunk, payload, nullptr);
  });
  for (int i = 0; i < ACount; ++i) {
    TPacket packet = ReadPacket(*ALink.To);
    if (packet.Payload.size() != APayload) throw TError("short packet");
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  sender.join();
  if (ACpuPerMiB)
    ACpuPerMiB->push_back((CpuSeconds() - cpuStart) * 1000.0 / (double(APayload) * ACount / (1 << 20)));
  return double(APayload) * ACount / seconds;
}

// One-way latencies in microseconds of ACount 12-byte MsgMouse packets from AFrom to ATo,
// each sent after the one before has arrived; the payload carries the send time.
std::vector<double> Latencies(IConnection& AFrom, IConnection& ATo, int ACount) {
  std::vector<double> result;
  result.reserve(ACount);
  std::atomic<int> arrived{0};
  std::thread sender([&] {
    TBytes payload(12);
    for (int i = 0; i < ACount; ++i) {
      const uint64_t sentNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  Clock::now().time_since_epoch()).count();
      std::memcpy(payload.data(), &sentNs, sizeof sentNs);
      WritePacket(AFrom, MsgMouse, payload, nullptr);
      while (arrived.load(std::memory_order_acquire) <= i) std::this_thread::yield();
    }
  });
  for (int i = 0; i < ACount; ++i) {
    TPacket packet = ReadPacket(ATo);
    if (packet.Type == MsgKeepAlive) {
      --i;
      continue;
    }
    if (packet.Payload.size() != 12)
      throw TError("unexpected packet " + std::to_string(packet.Type) + " of " + std::to_string(packet.Payload.size()) +
                   " bytes");
    const uint64_t nowNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                               Clock::now().time_since_epoch()).count();
    uint64_t sentNs = 0;
    std::memcpy(&sentNs, packet.Payload.data(), sizeof sentNs);
    result.push_back(double(nowNs - sentNs) / 1000.0);
    arrived.store(i + 1, std::memory_order_release);
  }
  sender.join();
  std::sort(result.begin(), result.end());
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  constexpr size_t MiB = 1 << 20;
  constexpr int PacketsPerRound = 256;
  constexpr int LatencySamples = 5000;
  try {
    TRelayOptions options = test::QuietLoopbackRelay();
    TRelayServer relay(options);
    const uint16_t port = relay.Start();
    options.SpliceLargePayloads = false;
    TRelayServer copyingRelay(options);
    const uint16_t copyingPort = copyingRelay.Start();
    // The TLS relay: defaults otherwise (splicing on, though TLS streams never splice).
    test::TTestCa ca("bench CA");
    const auto files = ca.Issue({"127.0.0.1"});
    options.SpliceLargePayloads = true;
    options.TlsCertFile = files.Cert;
    options.TlsKeyFile = files.Key;
    TRelayServer tlsRelay(options);
    const uint16_t tlsPort = tlsRelay.Start();
    const std::string caFile = ca.CertFile();
    const TConnFactory tlsConn = [&caFile] { return std::make_unique<TTlsConnection>(caFile); };

    TLink direct = DirectLink();
    TLink relayed = RelayLink(port, 0);
    TLink copied = RelayLink(copyingPort, 1);
    TLink encrypted = RelayLink(tlsPort, 2, tlsConn);
    // Warm every path up (socket buffers, allocations).
    Throughput(direct, MiB, 16);
    Throughput(relayed, MiB, 16);
    Throughput(copied, MiB, 16);
    Throughput(encrypted, MiB, 16);

    // Rounds alternate between the paths so that a busy moment on this shared machine hits
    // all of them alike; the median of each is printed.
    std::vector<double> directRates, relayRates, copyRates, tlsRates;
    std::vector<double> directCpu, relayCpu, copyCpu, tlsCpu;
    for (int r = 0; r < rounds; ++r) {
      directRates.push_back(Throughput(direct, MiB, PacketsPerRound, &directCpu));
      relayRates.push_back(Throughput(relayed, MiB, PacketsPerRound, &relayCpu));
      copyRates.push_back(Throughput(copied, MiB, PacketsPerRound, &copyCpu));
      tlsRates.push_back(Throughput(encrypted, MiB, PacketsPerRound, &tlsCpu));
    }
    const double directRate = Median(directRates), relayRate = Median(relayRates), copyRate = Median(copyRates);
    const double tlsRate = Median(tlsRates);
    std::printf("throughput, 1 MiB packets (median of %d rounds of %d):\n", rounds, PacketsPerRound);
    std::printf("  direct loopback          %8.1f MiB/s\n", directRate / MiB);
    std::printf("  through relay (splice)   %8.1f MiB/s   relay / direct %5.2f   (target >= 0.50)\n",
                relayRate / MiB, relayRate / directRate);
    std::printf("  through relay (copying)  %8.1f MiB/s   relay / direct %5.2f\n", copyRate / MiB,
                copyRate / directRate);
    std::printf("  through relay, TLS ends  %8.1f MiB/s   TLS / plain relay %5.2f   (target >= 0.80)\n",
                tlsRate / MiB, tlsRate / relayRate);
    std::printf("CPU time per MiB moved, all threads (median):\n");
    std::printf("  direct %.2f ms   relay (splice) %.2f ms   relay (copying) %.2f ms   relay, TLS ends %.2f ms\n",
                Median(directCpu), Median(relayCpu), Median(copyCpu), Median(tlsCpu));

    // Mouse events travel from the viewer to the host.
    Latencies(*direct.From, *direct.To, 500);
    Latencies(*relayed.To, *relayed.From, 500);
    Latencies(*encrypted.To, *encrypted.From, 500);
    const auto directLat = Latencies(*direct.From, *direct.To, LatencySamples);
    const auto relayLat = Latencies(*relayed.To, *relayed.From, LatencySamples);
    const auto tlsLat = Latencies(*encrypted.To, *encrypted.From, LatencySamples);
    std::printf("one-way latency, 12-byte packets (%d samples):\n", LatencySamples);
    std::printf("  direct loopback  p50 %7.1f us   p99 %7.1f us\n", Percentile(directLat, 0.5),
                Percentile(directLat, 0.99));
    std::printf("  through relay    p50 %7.1f us   p99 %7.1f us\n", Percentile(relayLat, 0.5),
                Percentile(relayLat, 0.99));
    std::printf("  added by relay   p50 %7.1f us   p99 %7.1f us   (target p99 < 200 us)\n",
                Percentile(relayLat, 0.5) - Percentile(directLat, 0.5),
                Percentile(relayLat, 0.99) - Percentile(directLat, 0.99));
    std::printf("  relay, TLS ends  p50 %7.1f us   p99 %7.1f us\n", Percentile(tlsLat, 0.5),
                Percentile(tlsLat, 0.99));
    std::printf("  added by TLS     p50 %7.1f us   p99 %7.1f us   (target p50 < 50 us)\n",
                Percentile(tlsLat, 0.5) - Percentile(relayLat, 0.5),
                Percentile(tlsLat, 0.99) - Percentile(relayLat, 0.99));
    relay.Stop();
    copyingRelay.Stop();
    tlsRelay.Stop();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_relay_throughput: %s\n", e.what());
    return 1;
  }
  return 0;
}
