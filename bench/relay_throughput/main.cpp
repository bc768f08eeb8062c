// Relay cost against a direct loopback connection, measured in the same run:
//  - throughput of 1 MiB packets, host to viewer through the relay and over one direct
//    loopback TCP connection; and through a relay whose clients both speak TLS to it;
//  - one-way latency (p50, p99) of 12-byte packets (the size of a mouse event) sent one at a
//    time, through the relay (plain and TLS) and directly.
// Prints the figures; it passes or fails nothing.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/RelayLinks.h"
#include "bench/Stats.h"
#include "protocol/TlsConnection.h"
#include "relay/RelayServer.h"
#include "tests/support/QuietRelay.h"
#include "tests/support/TestCa.h"

using namespace tlm;
using namespace tlm::bench;

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
