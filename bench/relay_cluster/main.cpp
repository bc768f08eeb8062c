// Relay cluster figures against one node, measured in the same run on one private Redis:
//  - a session's throughput (1 MiB packets, host to viewer) and the one-way latency of 12-byte
//    packets, with host and viewer on the same node and on two nodes (the viewer's packets
//    then cross a node link);
//  - registrations of new device keys per second with one node and with three (the clients
//    taking the nodes in turn), each node in a child process of its own;
//  - each node's resident memory per idle registered host.
// Skips with a message when redis-server is not installed. It passes or fails nothing.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/RelayLinks.h"
#include "bench/RelayProcesses.h"
#include "bench/Stats.h"
#include "relay/RelayServer.h"
#include "tests/support/QuietRelay.h"
#include "tests/support/RedisServer.h"

using namespace tlm;
using namespace tlm::bench;

namespace {

constexpr const char* Secret = "bench-cluster-secret-0123456789";

TRelayOptions NodeOptions(const std::string& ARedis, const std::string& AName) {
  TRelayOptions options = test::QuietLoopbackRelay();
  options.Cluster.RedisAddress = ARedis;
  options.Cluster.NodeName = AName;
  options.Cluster.NodeAddress = "127.0.0.1:0";
  options.Cluster.Secret = Secret;
  return options;
}

struct TRegistrationRun {
  double Seconds = 0;
  std::vector<double> KbPerHost;  // per node
};

// Registers AHosts new keys (named after ALabel) over ANodes fresh nodes, then stops them.
TRegistrationRun RegisterOver(size_t ANodes, size_t AHosts, const std::string& ARedis, const std::string& ALabel) {
  std::vector<pid_t> children;
  std::vector<int> stops;
  std::vector<uint16_t> ports;
  for (size_t i = 0; i < ANodes; ++i) {
    uint16_t port = 0;
    int stop = -1;
    const std::string name = ALabel + "-node" + std::to_string(i + 1);
    children.push_back(StartChild(
        [&](int AReady, int AStop) { RunRelayChild(AReady, AStop, NodeOptions(ARedis, name)); }, port, stop));
    ports.push_back(port);
    stops.push_back(stop);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::vector<long> emptyKb;
  for (pid_t child : children) emptyKb.push_back(StatusKb(child, "VmRSS:"));
  std::vector<std::string> keys;
  for (size_t i = 0; i < AHosts; ++i) keys.push_back(ALabel + "-host-" + std::to_string(i) + "-0123456789abcdef");
  std::vector<int> fds;
  TRegistrationRun run;
  run.Seconds = RegisterAll(ports, keys, fds);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  for (size_t i = 0; i < children.size(); ++i) {
    const size_t hostsHere = AHosts / ANodes + (i < AHosts % ANodes ? 1 : 0);
    run.KbPerHost.push_back(double(StatusKb(children[i], "VmRSS:") - emptyKb[i]) / double(hostsHere));
  }
  CloseAll(fds);
  // Each node holds the stop pipes of the nodes forked before it: all are closed before any is
  // waited for, so that the last node ends first and lets go of the others'.
  for (int stop : stops) ::close(stop);
  for (pid_t child : children) StopChild(child, -1);
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const size_t hosts = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 6000;
  if (!test::TRedisServer::Available()) {
    std::printf("bench_relay_cluster: skipped, redis-server is not installed\n");
    return 0;
  }
  constexpr size_t MiB = 1 << 20;
  constexpr int PacketsPerRound = 256;
  constexpr int LatencySamples = 5000;
  try {
    test::TRedisServer redis;
    if (!redis.Running()) throw TError("private redis-server did not start: " + redis.Error());
    {
      TRelayServer node1(NodeOptions(redis.Address(), "node1"));
      TRelayServer node2(NodeOptions(redis.Address(), "node2"));
      const uint16_t port1 = node1.Start();
      const uint16_t port2 = node2.Start();
      TLink sameNode = RelayLink(port1, 0);
      TLink crossNode = RelayLink(port1, 1, PlainConn, port2);
      Throughput(sameNode, MiB, 16);
      Throughput(crossNode, MiB, 16);
      // Rounds alternate so that a busy moment of this shared machine hits both alike.
      std::vector<double> sameRates, crossRates;
      for (int r = 0; r < rounds; ++r) {
        sameRates.push_back(Throughput(sameNode, MiB, PacketsPerRound));
        crossRates.push_back(Throughput(crossNode, MiB, PacketsPerRound));
      }
      const double same = Median(sameRates), cross = Median(crossRates);
      std::printf("session throughput, 1 MiB packets host to viewer (median of %d rounds of %d):\n", rounds,
                  PacketsPerRound);
      std::printf("  same node   %8.1f MiB/s\n", same / MiB);
      std::printf("  two nodes   %8.1f MiB/s   two / same %5.2f   (goal >= 0.80)\n", cross / MiB, cross / same);

      // Mouse events travel from the viewer to the host: across the link on two nodes.
      Latencies(*sameNode.To, *sameNode.From, 500);
      Latencies(*crossNode.To, *crossNode.From, 500);
      const auto sameLat = Latencies(*sameNode.To, *sameNode.From, LatencySamples);
      const auto crossLat = Latencies(*crossNode.To, *crossNode.From, LatencySamples);
      std::printf("one-way latency, 12-byte packets viewer to host (%d samples):\n", LatencySamples);
      std::printf("  same node   p50 %7.1f us   p99 %7.1f us\n", Percentile(sameLat, 0.5), Percentile(sameLat, 0.99));
      std::printf("  two nodes   p50 %7.1f us   p99 %7.1f us\n", Percentile(crossLat, 0.5),
                  Percentile(crossLat, 0.99));
      std::printf("  added       p50 %7.1f us   p99 %7.1f us   (goal p50 < 100 us)\n",
                  Percentile(crossLat, 0.5) - Percentile(sameLat, 0.5),
                  Percentile(crossLat, 0.99) - Percentile(sameLat, 0.99));
      node1.Stop();
      node2.Stop();
    }

    const rlim_t limit = RaiseDescriptorLimit();
    size_t count = hosts;
    if (limit < count + 100) count = limit > 200 ? size_t(limit) - 200 : 100;
    const TRegistrationRun one = RegisterOver(1, count, redis.Address(), "one");
    const TRegistrationRun three = RegisterOver(3, count, redis.Address(), "three");
    std::printf("registrations of %zu new device keys (one loopback connection each, one Redis):\n", count);
    std::printf("  one node     %.2f s   %8.0f per second\n", one.Seconds, double(count) / one.Seconds);
    std::printf("  three nodes  %.2f s   %8.0f per second   three / one %5.2f\n", three.Seconds,
                double(count) / three.Seconds, one.Seconds / three.Seconds);
    std::printf("memory per idle host:\n  one node     %.1f KB\n  three nodes ", one.KbPerHost[0]);
    for (double kb : three.KbPerHost) std::printf(" %.1f KB", kb);
    std::printf("   (per node)\n");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_relay_cluster: %s\n", e.what());
    return 1;
  }
  return 0;
}
