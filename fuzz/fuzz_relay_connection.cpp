// Drives one in-process relay through two loopback client connections with a script read from
// the input: raw bytes on either connection (partial, oversized and unknown packets), and the
// steps of the protocol (registration, repeated in bursts, connect request, admission answers,
// reconnecting). Checked on every run: the relay does not crash; each connection only ever
// receives whole, well-formed packets of codes the relay may send, and its ID at most twice (the
// answer to its registration and to one repeat); once both clients are gone, the relay has
// dropped their connections and holds no queued bytes; no queue ever passed its bound.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "protocol/Messages.h"
#include "protocol/Packet.h"
#include "relay/RelayConnection.h"
#include "relay/RelayServer.h"

namespace {

using namespace tlm;

constexpr size_t QueueLimit = 256 * 1024;

TRelayServer& Relay(uint16_t& APort) {
  static uint16_t port = 0;
  static std::unique_ptr<TRelayServer> relay = [] {
    TRelayOptions options;
    options.ListenAddress = "127.0.0.1";
    options.Port = 0;
    options.DbPath = ":memory:";
    options.MaxConnectionsPerIp = 1000;
    options.ConnectRequestsPerIpPerMinute = 1000000;
    options.ConnectRequestsPerHostPerMinute = 1000000;
    options.QueueLimitBytes = QueueLimit;
    options.MaxQueuedBytes = 2 * QueueLimit;
    // TLM_FUZZ_RELAY_LOG=1 shows the relay's log lines while reproducing a failure.
    if (!std::getenv("TLM_FUZZ_RELAY_LOG")) options.Log = [](const std::string&) {};
    auto server = std::make_unique<TRelayServer>(options);
    port = server->Start();
    return server;
  }();
  APort = port;
  return *relay;
}

[[noreturn]] void Fail(const char* AWhat) {
  std::fprintf(stderr, "relay invariant broken: %s\n", AWhat);
  std::abort();
}

// One client connection: writes without blocking for long, and checks what it receives.
class TClient {
public:
  explicit TClient(uint16_t APort) {
    FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // Reset on close: thousands of runs must not use up the ports in TIME_WAIT.
    const linger reset{1, 0};
    ::setsockopt(FFd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(APort);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(FFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) Fail("cannot connect");
    ::fcntl(FFd, F_SETFL, O_NONBLOCK);
  }
  ~TClient() { ::close(FFd); }

  void Write(const uint8_t* AData, size_t ALen) {
    // A relay that holds this client back (its partner is not reading) may stop reading:
    // give up on the rest after a short while instead of waiting for ever.
    for (int turns = 0; ALen > 0 && !FClosed && turns < 50; ++turns) {
      const ssize_t n = ::send(FFd, AData, ALen, MSG_NOSIGNAL);
      if (n > 0) {
        AData += n;
        ALen -= size_t(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN) return;
      pollfd p{FFd, POLLOUT, 0};
      ::poll(&p, 1, 1);
    }
  }
  void Send(uint32_t AType, std::string_view AText) {
    const TBytes packet = EncodePacket(AType, BytesOf(AText));
    Write(packet.data(), packet.size());
  }

  // Takes in what has arrived, checking every complete packet.
  void Pump() {
    uint8_t buffer[65536];
    for (;;) {
      const ssize_t n = ::recv(FFd, buffer, sizeof buffer, 0);
      if (n == 0 || (n < 0 && errno != EAGAIN)) FClosed = true;
      if (n <= 0) return;
      for (ssize_t i = 0; i < n; ++i) Take(buffer[i]);
    }
  }

  const std::string& HostId() const { return FHostId; }

private:
  void Take(uint8_t AByte) {
    if (FHeaderFill < 8) {
      FHeader[FHeaderFill++] = AByte;
      if (FHeaderFill < 8) return;
      FType = GetLE32(FHeader);
      FLeft = GetLE32(FHeader + 4);
      if (FLeft > MaxPacketPayload) Fail("announced payload above the packet limit");
      const bool relayCode = FType == MsgHostId || FType == MsgSessionStart || FType == MsgSessionEnd ||
                             FType == MsgKeepAlive || FType == MsgAdmitRequest || FType == MsgAdmitWithdrawn ||
                             FType == MsgRelayError;
      if (!relayCode && !IsSessionMsg(FType)) Fail("packet of a code the relay never sends");
      if (FType == MsgAdmitWithdrawn && FLeft != 0) Fail("withdrawal with a payload");
      FPayload.clear();
    } else {
      --FLeft;
      if (FType == MsgHostId && FPayload.size() < 64) FPayload.push_back(char(AByte));
    }
    if (FLeft == 0) {
      if (FType == MsgHostId) {
        if (FPayload.size() != 9) Fail("connection ID not of nine digits");
        if (++FIdsReceived > 2) Fail("a registration repeated on one connection answered more than once");
        FHostId = FPayload;
      }
      FHeaderFill = 0;
    }
  }

  int FFd = -1;
  bool FClosed = false;
  uint8_t FHeader[8];
  size_t FHeaderFill = 0;
  uint32_t FType = 0;
  uint32_t FLeft = 0;
  std::string FPayload;
  std::string FHostId;
  int FIdsReceived = 0;
};

void PumpBoth(TClient& A, TClient& B, int AMs) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMs);
  do {
    A.Pump();
    B.Pump();
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  } while (std::chrono::steady_clock::now() < until);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  uint16_t port = 0;
  TRelayServer& relay = Relay(port);
  {
    auto a = std::make_unique<TClient>(port);
    auto b = std::make_unique<TClient>(port);
    std::string hostId;
    size_t pos = 0;
    const auto next = [&]() -> uint8_t { return pos < ASize ? AData[pos++] : 0; };
    while (pos < ASize) {
      const uint8_t op = next();
      switch (op % 8) {
        case 0:
        case 1: {
          const size_t len = std::min(size_t(next()) * 4 + 1, ASize - std::min(pos, ASize));
          (op % 8 == 0 ? *a : *b).Write(AData + pos, len);
          pos += len;
          break;
        }
        case 2: {
          // Registrations in a burst, read only afterwards.
          const int times = 1 + next() % 16;
          for (int i = 0; i < times; ++i) a->Send(MsgHostRegister, "fuzz-host");
          PumpBoth(*a, *b, 2);
          if (!a->HostId().empty()) hostId = a->HostId();
          break;
        }
        case 3: {
          const size_t len = std::min(size_t(next() % 32), ASize - std::min(pos, ASize));
          const std::string name(reinterpret_cast<const char*>(AData + pos), len);
          pos += len;
          b->Send(MsgConnectRequest, BuildConnectRequest(hostId, name, ""));
          break;
        }
        case 4:
          a->Send(MsgAdmitAccept, "");
          break;
        case 5:
          a->Send(MsgAdmitReject, AdmitRejectReason);
          break;
        case 6:
          PumpBoth(*a, *b, 2);
          break;
        case 7:
          b = std::make_unique<TClient>(port);
          break;
      }
      a->Pump();
      b->Pump();
    }
    PumpBoth(*a, *b, 1);
  }
  // Both clients are gone: the relay lets go of their connections and of every queued byte.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (relay.Stats().Connections > 0 || relay.Stats().QueuedBytes > 0) {
    if (std::chrono::steady_clock::now() > deadline) Fail("connections or queued bytes left after the clients went");
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  // Forwarded bytes stop at the limit plus one piece; the relay's own unread packets add at most
  // the limit again.
  if (relay.Stats().PeakQueuedBytes > 2 * QueueLimit + MaxForwardPiece) Fail("a queue grew past its bound");
  return 0;
}
