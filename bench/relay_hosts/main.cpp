// One relay node, many idle hosts: the relay runs in a child process of its own, and this
// process registers as many hosts as the descriptor limit allows (at most 15,000 by default,
// or the count given as the first argument), each on its own loopback connection. Prints:
//  - the time to register them all with new device keys, and again with the same keys
//    after they all reconnect;
//  - the relay's resident memory per idle registered host (growth over the empty relay);
//  - the relay's CPU use while they all sit idle;
//  - the relay's memory per idle host again with every host speaking TLS to it.
// Baseline, measured in the same run: the same clients against a bare server that accepts,
// reads the registration and answers a fixed ID, one blocking call after the other.
// It passes or fails nothing.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/RelayProcesses.h"
#include "protocol/Messages.h"
#include "protocol/Packet.h"
#include "relay/RelayServer.h"
#include "tests/support/TestCa.h"

namespace {

using namespace tlm::bench;

// The relay under test, with its IDs in the SQLite file ADb.
tlm::TRelayOptions RelayOptions(const std::string& ADb) {
  tlm::TRelayOptions options;
  options.ListenAddress = "127.0.0.1";
  options.Port = 0;
  options.DbPath = ADb;
  return options;
}

// The baseline server: as little as a single-threaded registrar can do per connection.
[[noreturn]] void RunBareServer(int AReady, int AStop) {
  RaiseDescriptorLimit();
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener, 4096) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    std::_Exit(1);
  const uint16_t port = ntohs(addr.sin_port);
  if (::write(AReady, &port, sizeof port) != sizeof port) std::_Exit(1);
  std::thread([AStop] {
    char byte;
    while (::read(AStop, &byte, 1) > 0) {
    }
    std::_Exit(0);
  }).detach();
  const tlm::TBytes answer = tlm::EncodePacket(tlm::MsgHostId, tlm::BytesOf("123456789"));
  std::vector<int> kept;
  for (;;) {
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    uint8_t buffer[512];
    if (::read(fd, buffer, sizeof buffer) <= 0 || ::write(fd, answer.data(), answer.size()) < 0) {
      ::close(fd);
      continue;
    }
    kept.push_back(fd);
  }
}

// Connects and registers AKeys.size() hosts over TLS (one handshake after the other); returns
// the seconds until the last ID arrived. The clients' TLS state stays in ASessions.
double RegisterAllTls(uint16_t APort, const std::vector<std::string>& AKeys, std::vector<int>& AFds,
                      std::vector<SSL*>& ASessions, SSL_CTX* AContext) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  for (size_t i = 0; i < AKeys.size(); ++i) {
    const int fd = ConnectTo(APort, i);
    SSL* ssl = SSL_new(AContext);
    SSL_set_fd(ssl, fd);
    const tlm::TBytes packet = tlm::EncodePacket(tlm::MsgHostRegister, tlm::BytesOf(AKeys[i]));
    if (SSL_connect(ssl) != 1 || SSL_write(ssl, packet.data(), int(packet.size())) != int(packet.size())) {
      std::printf("  TLS host %zu could not register\n", i);
      std::exit(1);
    }
    AFds.push_back(fd);
    ASessions.push_back(ssl);
  }
  size_t failed = 0;
  for (SSL* ssl : ASessions) {
    uint8_t reply[128];
    // The MsgHostId packet is small: one record.
    if (SSL_read(ssl, reply, sizeof reply) < 8 || tlm::GetLE32(reply) != tlm::MsgHostId) ++failed;
  }
  if (failed > 0) std::printf("  %zu TLS registrations got no ID\n", failed);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const rlim_t limit = RaiseDescriptorLimit();
  size_t hosts = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 15000;
  if (limit < hosts + 100) {
    hosts = limit > 200 ? size_t(limit) - 200 : 100;
    std::printf("descriptor limit %llu: registering %zu hosts\n", (unsigned long long)limit, hosts);
  }
  std::vector<std::string> keys;
  for (size_t i = 0; i < hosts; ++i) keys.push_back("bench-host-" + std::to_string(i) + "-0123456789abcdef");
  std::vector<int> fds;
  uint16_t port = 0;
  int stop = -1;

  pid_t child = StartChild(RunBareServer, port, stop);
  const double bare = RegisterAll({port}, keys, fds);
  CloseAll(fds);
  StopChild(child, stop);

  const std::string db = "/tmp/bench-relay-hosts-" + std::to_string(::getpid()) + ".db";
  child = StartChild([&db](int AReady, int AStop) { RunRelayChild(AReady, AStop, RelayOptions(db)); }, port, stop);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const long emptyKb = StatusKb(child, "VmRSS:");
  const double fresh = RegisterAll({port}, keys, fds);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const long fullKb = StatusKb(child, "VmRSS:");
  const double cpuBefore = CpuSeconds(child);
  std::this_thread::sleep_for(std::chrono::seconds(5));
  const double idleCpu = (CpuSeconds(child) - cpuBefore) / 5;

  CloseAll(fds);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const double known = RegisterAll({port}, keys, fds);
  const long againKb = StatusKb(child, "VmRSS:");
  CloseAll(fds);

  std::printf("relay with %zu idle registered hosts (one loopback connection each)\n", hosts);
  std::printf("  baseline, bare accept-read-answer server: %.2f s\n", bare);
  std::printf("  registration, new device keys:   %.2f s (%.2fx the baseline)\n", fresh, fresh / bare);
  std::printf("  registration, known device keys: %.2f s (%.2fx the baseline)\n", known, known / bare);
  std::printf("  relay memory: %ld KB empty, %ld KB with the hosts, %ld KB after they reconnected\n", emptyKb, fullKb,
              againKb);
  std::printf("  memory per idle host: %.1f KB (goal 8 KB)\n", double(fullKb - emptyKb) / double(hosts));
  std::printf("  relay CPU while they idle: %.4f CPU-seconds per second\n", idleCpu);

  StopChild(child, stop);
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((db + suffix).c_str());

  // The same hosts over TLS (the relay holds each one's TLS state besides the connection).
  tlm::test::TTestCa ca("bench CA");
  const auto files = ca.Issue({"127.0.0.1"});
  tlm::TRelayOptions tlsOptions = RelayOptions(db);
  tlsOptions.TlsCertFile = files.Cert;
  tlsOptions.TlsKeyFile = files.Key;
  child = StartChild([&tlsOptions](int AReady, int AStop) { RunRelayChild(AReady, AStop, tlsOptions); }, port, stop);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const long tlsEmptyKb = StatusKb(child, "VmRSS:");
  SSL_CTX* client = SSL_CTX_new(TLS_client_method());
  std::vector<SSL*> sessions;
  const double tlsTime = RegisterAllTls(port, keys, fds, sessions, client);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const long tlsFullKb = StatusKb(child, "VmRSS:");
  for (SSL* ssl : sessions) SSL_free(ssl);
  CloseAll(fds);
  SSL_CTX_free(client);
  std::printf("the same hosts over TLS (P-256 certificate)\n");
  std::printf("  registration, handshake each:    %.2f s\n", tlsTime);
  std::printf("  relay memory: %ld KB empty, %ld KB with the hosts\n", tlsEmptyKb, tlsFullKb);
  std::printf("  memory per idle host: plain %.1f KB, TLS %.1f KB (goal 16 KB)\n",
              double(fullKb - emptyKb) / double(hosts), double(tlsFullKb - tlsEmptyKb) / double(hosts));
  StopChild(child, stop);
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((db + suffix).c_str());
  return 0;
}
