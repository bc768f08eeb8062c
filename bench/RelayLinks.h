// Relay sessions for the benchmarks: a host and a viewer connected through a relay (or one
// direct loopback connection for comparison), and what a benchmark measures on them.
#pragma once

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "protocol/Bytes.h"
#include "protocol/Connection.h"
#include "protocol/Error.h"
#include "protocol/Messages.h"
#include "protocol/Packet.h"
#include "tests/support/Loopback.h"
#include "tests/support/PacketWrites.h"

namespace tlm::bench {

using Clock = std::chrono::steady_clock;

struct TLink {
  std::unique_ptr<IClientConnection> From;
  std::unique_ptr<IClientConnection> To;
};

// Makes the client connections of a relay link (plain TCP by default).
using TConnFactory = std::function<std::unique_ptr<IClientConnection>()>;
inline std::unique_ptr<IClientConnection> PlainConn() { return std::make_unique<TTcpConnection>(); }

// Two ends of one loopback TCP connection.
inline TLink DirectLink() {
  test::TLoopbackPair pair = test::MakeLoopbackPair();
  return {std::move(pair.Client), std::move(pair.Server)};
}

// A host and a viewer in a relay session: From is the host, To the viewer. The viewer
// connects to AViewerPort (another node of a cluster, say), or to APort as the host does.
inline TLink RelayLink(uint16_t APort, int AIndex, const TConnFactory& AMake = PlainConn, uint16_t AViewerPort = 0) {
  TLink link;
  link.From = AMake();
  link.From->Connect("127.0.0.1", APort, 5000);
  WriteTextPacket(*link.From, MsgHostRegister, "bench-host-" + std::to_string(AIndex), nullptr);
  const std::string id = TextOf(ReadPacket(*link.From).Payload);
  link.To = AMake();
  link.To->Connect("127.0.0.1", AViewerPort != 0 ? AViewerPort : APort, 5000);
  WriteTextPacket(*link.To, MsgConnectRequest, BuildConnectRequest(id, "bench", ""), nullptr);
  if (ReadPacket(*link.From).Type != MsgAdmitRequest) throw TError("no admission request");
  WriteEmptyPacket(*link.From, MsgAdmitAccept, nullptr);
  if (ReadPacket(*link.From).Type != MsgSessionStart || ReadPacket(*link.To).Type != MsgSessionStart)
    throw TError("no session");
  return link;
}

// CPU seconds this process has used so far (all threads: sender, receiver and relay alike).
inline double CpuSeconds() {
  rusage use{};
  ::getrusage(RUSAGE_SELF, &use);
  return double(use.ru_utime.tv_sec + use.ru_stime.tv_sec) + double(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}

// Bytes per second of ACount packets of APayload bytes from From to To; ACpuPerMiB, when
// given, gets the process's CPU milliseconds per MiB moved (steadier than the rate when
// other work shares the machine).
inline double Throughput(TLink& ALink, size_t APayload, int ACount, std::vector<double>* ACpuPerMiB = nullptr) {
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
inline std::vector<double> Latencies(IConnection& AFrom, IConnection& ATo, int ACount) {
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

}  // namespace tlm::bench
