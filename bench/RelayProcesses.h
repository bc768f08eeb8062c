// Relay nodes in child processes and many registering hosts for the benchmarks: start and
// stop a child, read its memory and CPU time, connect from many loopback addresses and
// register hosts.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "protocol/Messages.h"
#include "protocol/Packet.h"
#include "relay/RelayServer.h"

namespace tlm::bench {

inline rlim_t RaiseDescriptorLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  getrlimit(RLIMIT_NOFILE, &limit);
  return limit.rlim_cur;
}

// Runs a relay with AOptions, opened up for many hosts from loopback, in this child process
// until the stop pipe AStop closes; writes its port to AReady.
[[noreturn]] inline void RunRelayChild(int AReady, int AStop, TRelayOptions AOptions) {
  RaiseDescriptorLimit();
  AOptions.MaxConnections = 1000000;
  AOptions.MaxConnectionsPerIp = 1000000;
  // Every host comes from loopback here: the new-key budgets would refuse nearly all.
  AOptions.NewKeysPerIpPerMinute = 1000000;
  AOptions.NewKeysPerSecond = 1000000;
  AOptions.TlsHandshakesPerIpPerSecond = 1000000;
  AOptions.Log = [](const std::string&) {};
  TRelayServer server(AOptions);
  const uint16_t port = server.Start();
  if (::write(AReady, &port, sizeof port) != sizeof port) std::_Exit(1);
  char byte;
  while (::read(AStop, &byte, 1) > 0) {
  }
  server.Stop();
  std::_Exit(0);
}

// Starts ARun(ready, stop) in a child; returns its pid and port and the stop pipe's end.
template <typename F>
pid_t StartChild(F ARun, uint16_t& APort, int& AStop) {
  int ready[2], stop[2];
  if (::pipe(ready) != 0 || ::pipe(stop) != 0) std::exit(1);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(ready[0]);
    ::close(stop[1]);
    ARun(ready[1], stop[0]);
  }
  ::close(ready[1]);
  ::close(stop[0]);
  if (::read(ready[0], &APort, sizeof APort) != sizeof APort) std::exit(1);
  ::close(ready[0]);
  AStop = stop[1];
  return child;
}

inline void StopChild(pid_t AChild, int AStop) {
  ::close(AStop);
  int status = 0;
  ::waitpid(AChild, &status, 0);
}

inline long StatusKb(pid_t APid, const char* AField) {
  std::ifstream in("/proc/" + std::to_string(APid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(AField, 0) == 0) return std::atol(line.c_str() + std::strlen(AField));
  return -1;
}

inline double CpuSeconds(pid_t APid) {
  std::ifstream in("/proc/" + std::to_string(APid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  // Fields after the name: state is field 3, utime 14, stime 15.
  std::vector<std::string> fields;
  size_t pos = close + 2;
  while (pos < text.size()) {
    const auto space = text.find(' ', pos);
    fields.push_back(text.substr(pos, space - pos));
    if (space == std::string::npos) break;
    pos = space + 1;
  }
  if (fields.size() < 13) return 0;
  return double(std::stoll(fields[11]) + std::stoll(fields[12])) / double(sysconf(_SC_CLK_TCK));
}

// Clients come from many loopback addresses: with all of them on 127.0.0.1 the kernel's
// search for a free source port (linear in the ports taken) would dominate the figures.
inline int ConnectTo(uint16_t APort, size_t AIndex) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  ::setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl((127u << 24) | (77u << 16) | uint32_t(AIndex / 200 + 1) << 8 | 1u);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(APort);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::perror("connect");
    std::exit(1);
  }
  return fd;
}

inline bool ReadAll(int AFd, uint8_t* AOut, size_t ALen) {
  while (ALen > 0) {
    const ssize_t n = ::read(AFd, AOut, ALen);
    if (n <= 0) return false;
    AOut += n;
    ALen -= size_t(n);
  }
  return true;
}

// Connects and registers AKeys.size() hosts, taking the ports in turn; returns the seconds
// until the last ID arrived.
inline double RegisterAll(const std::vector<uint16_t>& APorts, const std::vector<std::string>& AKeys,
                          std::vector<int>& AFds) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  for (size_t i = 0; i < AKeys.size(); ++i) {
    const std::string& key = AKeys[i];
    const int fd = ConnectTo(APorts[i % APorts.size()], i);
    const tlm::TBytes packet = tlm::EncodePacket(tlm::MsgHostRegister, tlm::BytesOf(key));
    if (::write(fd, packet.data(), packet.size()) != ssize_t(packet.size())) std::exit(1);
    AFds.push_back(fd);
  }
  const double connected = std::chrono::duration<double>(Clock::now() - start).count();
  size_t failed = 0;
  for (int fd : AFds) {
    uint8_t header[8];
    uint8_t id[64];
    if (!ReadAll(fd, header, 8) || tlm::GetLE32(header) != tlm::MsgHostId || tlm::GetLE32(header + 4) > sizeof id ||
        !ReadAll(fd, id, tlm::GetLE32(header + 4)))
      ++failed;
  }
  if (failed > 0) std::printf("  %zu registrations got no ID\n", failed);
  const double all = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("  (connected and sent in %.2f s, all IDs in %.2f s)\n", connected, all);
  return all;
}

inline void CloseAll(std::vector<int>& AFds) {
  for (int fd : AFds) ::close(fd);
  AFds.clear();
}

}  // namespace tlm::bench
