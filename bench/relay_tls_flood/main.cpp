// An honest TLS session through the relay while one address floods the relay with TLS
// handshakes: it replays a canned ClientHello on 64 connections at a time, which makes the
// relay sign a ServerHello for each (RSA 2048 certificate, the expensive kind), and
// reconnects as soon as an answer (or a close) comes.
// Measured in the same run, on a relay with the default per-address handshake rate and on
// one with that rate lifted (so only the worker threads keep the signing off the network
// thread): one-way latency (p50, p99) of 12-byte packets through the honest session idle
// and under the flood (rounds alternate the two), and the handshakes the flood got answered
// per second.
// Prints the figures; it passes or fails nothing.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/RelayLinks.h"
#include "bench/Stats.h"
#include "protocol/TlsConnection.h"
#include "relay/RelayServer.h"
#include "tests/support/CannedClientHello.h"
#include "tests/support/QuietRelay.h"
#include "tests/support/TestCa.h"

using namespace tlm;
using namespace tlm::bench;

namespace {

constexpr int FloodConnections = 64;
constexpr int LatencySamples = 5000;
constexpr int Rounds = 5;

// While AActive, keeps FloodConnections handshakes open from 127.0.0.2 and counts the
// answered ones; otherwise holds none. Runs until AStop.
void Flood(uint16_t APort, const std::vector<uint8_t>& AHello, const std::atomic<bool>& AActive,
           const std::atomic<bool>& AStop, std::atomic<uint64_t>& AAnswered) {
  std::vector<pollfd> fds;
  while (!AStop.load()) {
    if (!AActive.load()) {
      for (const auto& p : fds) ::close(p.fd);
      fds.clear();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    while (fds.size() < size_t(FloodConnections)) {
      const int fd = test::ConnectFrom("127.0.0.2", APort);
      if (fd < 0) break;
      if (::send(fd, AHello.data(), AHello.size(), MSG_NOSIGNAL) != ssize_t(AHello.size())) {
        ::close(fd);
        break;
      }
      fds.push_back({fd, POLLIN, 0});
    }
    if (fds.empty()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    ::poll(fds.data(), fds.size(), 10);
    for (size_t i = 0; i < fds.size();) {
      if (fds[i].revents == 0) {
        ++i;
        continue;
      }
      uint8_t sink[4096];
      if (::recv(fds[i].fd, sink, sizeof sink, MSG_DONTWAIT) > 0) ++AAnswered;
      ::close(fds[i].fd);
      fds[i] = fds.back();
      fds.pop_back();
    }
  }
  for (const auto& p : fds) ::close(p.fd);
}

struct TFigures {
  double IdleP50, IdleP99, FloodP50, FloodP99, AnsweredPerSecond;
};

// Rounds alternate idle and flooded measurements, so that a busy moment on this shared
// machine hits both alike; the medians over the rounds are returned.
TFigures Measure(uint16_t APort, int AIndex, const TConnFactory& ATls, const std::vector<uint8_t>& AHello) {
  TLink link = RelayLink(APort, AIndex, ATls);
  Latencies(*link.To, *link.From, 500);
  std::atomic<bool> active{false}, stop{false};
  std::atomic<uint64_t> answered{0};
  std::thread flood([&] { Flood(APort, AHello, active, stop, answered); });
  std::vector<double> idleP50, idleP99, floodP50, floodP99, rates;
  for (int round = 0; round < Rounds; ++round) {
    active = false;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto idle = Latencies(*link.To, *link.From, LatencySamples);
    active = true;
    // Let the flood reach its steady state first.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const uint64_t answeredBefore = answered.load();
    const auto start = Clock::now();
    const auto loaded = Latencies(*link.To, *link.From, LatencySamples);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    rates.push_back(double(answered.load() - answeredBefore) / seconds);
    idleP50.push_back(Percentile(idle, 0.5));
    idleP99.push_back(Percentile(idle, 0.99));
    floodP50.push_back(Percentile(loaded, 0.5));
    floodP99.push_back(Percentile(loaded, 0.99));
  }
  stop = true;
  flood.join();
  return {Median(idleP50), Median(idleP99), Median(floodP50), Median(floodP99), Median(rates)};
}

void Print(const char* AWhat, const TFigures& AF) {
  std::printf("%s\n", AWhat);
  std::printf("  idle          p50 %7.1f us   p99 %7.1f us\n", AF.IdleP50, AF.IdleP99);
  std::printf("  under flood   p50 %7.1f us   p99 %7.1f us   flood / idle: p50 %.2fx, p99 %.2fx (target p99 <= 2x)\n",
              AF.FloodP50, AF.FloodP99, AF.FloodP50 / AF.IdleP50, AF.FloodP99 / AF.IdleP99);
  std::printf("  handshakes answered to the flood: %.0f per second\n", AF.AnsweredPerSecond);
}

}  // namespace

int main() {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  try {
    test::TTestCa ca("bench CA");
    const auto files = ca.Issue({"127.0.0.1"}, test::TTestCa::TKeyKind::Rsa);
    const std::string caFile = ca.CertFile();
    const TConnFactory tlsConn = [&caFile] { return std::make_unique<TTlsConnection>(caFile); };
    const std::vector<uint8_t> hello = test::CannedClientHello();

    TRelayOptions options = test::QuietLoopbackRelay();
    options.TlsCertFile = files.Cert;
    options.TlsKeyFile = files.Key;
    TRelayServer limited(options);
    const uint16_t limitedPort = limited.Start();
    const size_t defaultRate = options.TlsHandshakesPerIpPerSecond;
    options.TlsHandshakesPerIpPerSecond = 1000000;
    TRelayServer unlimited(options);
    const uint16_t unlimitedPort = unlimited.Start();

    std::printf("honest TLS session, one-way latency of 12-byte packets, while 127.0.0.2 replays a ClientHello on\n"
                "%d connections at a time (RSA 2048 certificate); medians of %d rounds of %d samples each\n",
                FloodConnections, Rounds, LatencySamples);
    const TFigures withLimit = Measure(limitedPort, 0, tlsConn, hello);
    char title[128];
    std::snprintf(title, sizeof title, "relay with the default handshake rate (%zu per address per second):",
                  defaultRate);
    Print(title, withLimit);
    const TFigures withoutLimit = Measure(unlimitedPort, 1, tlsConn, hello);
    Print("relay without a per-address handshake rate (signing on the worker threads only):", withoutLimit);
    limited.Stop();
    unlimited.Stop();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_relay_tls_flood: %s\n", e.what());
    return 1;
  }
  return 0;
}
