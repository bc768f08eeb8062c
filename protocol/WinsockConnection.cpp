#include "protocol/WinsockConnection.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <mutex>

#include "protocol/Error.h"
#include "protocol/WinText.h"

namespace tlm {

namespace {

std::string SocketErrorText(const char* AWhat, int AErr) { return std::string(AWhat) + ": " + SystemErrorText(uint32_t(AErr)); }

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Winsock is started once for the process and left running: connections come and go on many
// threads, and the process's end cleans up.
void StartWinsock() {
  static std::once_flag once;
  static int result = 0;
  std::call_once(once, [] {
    WSADATA data;
    result = ::WSAStartup(MAKEWORD(2, 2), &data);
  });
  if (result != 0) throw TConnectionError(SocketErrorText("WSAStartup", result));
}

void SetNonBlocking(SOCKET ASocket) {
  u_long on = 1;
  ::ioctlsocket(ASocket, FIONBIO, &on);
}

}  // namespace

TWinsockConnection::TWinsockConnection() : FSocket(uintptr_t(INVALID_SOCKET)), FWakeSocket(uintptr_t(INVALID_SOCKET)) {
  StartWinsock();
  SOCKET wake = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (wake == INVALID_SOCKET) throw TConnectionError(SocketErrorText("socket", ::WSAGetLastError()));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (::bind(wake, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    const int err = ::WSAGetLastError();
    ::closesocket(wake);
    throw TConnectionError(SocketErrorText("bind", err));
  }
  SetNonBlocking(wake);
  FWakeSocket = uintptr_t(wake);
}

TWinsockConnection::~TWinsockConnection() {
  Close();
  ::closesocket(SOCKET(FWakeSocket));
}

void TWinsockConnection::Abort() {
  if (FAborted.exchange(true)) return;
  // The datagram goes to our own wake socket and is never read, so it wakes every wait from
  // now on. Should it be lost, the waits still see FAborted within their next slice.
  sockaddr_in addr{};
  int len = sizeof addr;
  SOCKET wake = SOCKET(FWakeSocket);
  if (::getsockname(wake, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    const char one = 1;
    ::sendto(wake, &one, 1, 0, reinterpret_cast<sockaddr*>(&addr), len);
  }
}

void TWinsockConnection::Close() {
  const uintptr_t s = FSocket.exchange(uintptr_t(INVALID_SOCKET));
  if (SOCKET(s) != INVALID_SOCKET) ::closesocket(SOCKET(s));
}

bool TWinsockConnection::Connected() const { return SOCKET(FSocket.load()) != INVALID_SOCKET; }

bool TWinsockConnection::WaitFor(EWait AWait, int ATimeoutMs) {
  // A lost wake datagram must not leave a wait blind to Abort: no single select sleeps longer.
  constexpr int SliceMs = 500;
  const int64_t deadline = ATimeoutMs > 0 ? NowMs() + ATimeoutMs : 0;
  const SOCKET s = SOCKET(FSocket.load());
  const SOCKET wake = SOCKET(FWakeSocket);
  for (;;) {
    if (FAborted.load()) throw TConnectionError("Connection aborted");
    int wait = SliceMs;
    if (ATimeoutMs == 0) {
      wait = 0;
    } else if (ATimeoutMs > 0) {
      const int64_t left = deadline - NowMs();
      wait = int(std::clamp<int64_t>(left, 0, SliceMs));
    }
    fd_set readable, writable, failed;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(wake, &readable);
    if (AWait == EWait::Read) FD_SET(s, &readable);
    if (AWait != EWait::Read) FD_SET(s, &writable);
    if (AWait == EWait::Connect) FD_SET(s, &failed);  // a refused connect shows here
    timeval tv{wait / 1000, (wait % 1000) * 1000};
    const int r = ::select(0, &readable, &writable, &failed, &tv);
    if (r == SOCKET_ERROR) throw TConnectionError(SocketErrorText("select", ::WSAGetLastError()));
    if (FD_ISSET(wake, &readable) || FAborted.load()) throw TConnectionError("Connection aborted");
    if (FD_ISSET(s, &readable) || FD_ISSET(s, &writable) || FD_ISSET(s, &failed)) return true;
    if (ATimeoutMs == 0) return false;
    if (ATimeoutMs > 0 && NowMs() >= deadline) return false;
  }
}

void TWinsockConnection::Configure() {
  const SOCKET s = SOCKET(FSocket.load());
  BOOL one = TRUE;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  SetNonBlocking(s);
}

void TWinsockConnection::Adopt(uintptr_t ASocket) {
  Close();
  FSocket.store(ASocket);
  Configure();
}

void TWinsockConnection::Connect(const std::string& AHost, uint16_t APort, int ATimeoutMs) {
  Close();
  if (FAborted.load()) throw TConnectionError("Connection aborted");
  ADDRINFOW hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  ADDRINFOW* res = nullptr;
  const std::wstring host = WideFromUtf8(AHost);
  const std::wstring port = std::to_wstring(APort);
  const int gai = ::GetAddrInfoW(host.c_str(), port.c_str(), &hints, &res);
  if (gai != 0) throw TConnectionError("Cannot resolve " + AHost + ": " + SystemErrorText(uint32_t(gai)));
  struct TFree {
    ADDRINFOW* Res;
    ~TFree() { ::FreeAddrInfoW(Res); }
  } free{res};
  std::string lastError = "Connect failed";
  const int64_t deadline = NowMs() + ATimeoutMs;
  for (ADDRINFOW* ai = res; ai; ai = ai->ai_next) {
    SOCKET s = ::WSASocketW(ai->ai_family, ai->ai_socktype, ai->ai_protocol, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
      lastError = SocketErrorText("socket", ::WSAGetLastError());
      continue;
    }
    SetNonBlocking(s);
    FSocket.store(uintptr_t(s));
    if (::connect(s, ai->ai_addr, int(ai->ai_addrlen)) != 0) {
      const int err = ::WSAGetLastError();
      if (err != WSAEWOULDBLOCK && err != WSAEINPROGRESS) {
        lastError = SocketErrorText("connect", err);
        Close();
        continue;
      }
      const int64_t left = deadline - NowMs();
      bool ready = false;
      try {
        ready = left > 0 && WaitFor(EWait::Connect, int(left));
      } catch (...) {
        Close();
        throw;
      }
      if (!ready) {
        lastError = "Connection timed out";
        Close();
        continue;
      }
      int soErr = 0;
      int len = sizeof soErr;
      ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soErr), &len);
      if (soErr != 0) {
        lastError = SocketErrorText("connect", soErr);
        Close();
        continue;
      }
    }
    Configure();
    return;
  }
  throw TConnectionError(lastError);
}

void TWinsockConnection::WriteAll(const void* AData, size_t ALen) {
  const SOCKET s = SOCKET(FSocket.load());
  if (s == INVALID_SOCKET) throw TConnectionError("Not connected");
  auto p = static_cast<const char*>(AData);
  while (ALen > 0) {
    if (FAborted.load()) throw TConnectionError("Connection aborted");
    const int piece = int(std::min<size_t>(ALen, 1 << 30));
    const int n = ::send(s, p, piece, 0);
    if (n > 0) {
      p += n;
      ALen -= size_t(n);
      continue;
    }
    const int err = ::WSAGetLastError();
    if (n == SOCKET_ERROR && err == WSAEWOULDBLOCK) {
      // As on POSIX: the stall limit restarts after every piece that goes out.
      const int stall = FWriteStallMs.load();
      if (!WaitFor(EWait::Write, stall > 0 ? stall : -1)) throw TConnectionError("Write stalled");
      continue;
    }
    throw TConnectionError(SocketErrorText("send", err));
  }
}

void TWinsockConnection::ReadExact(void* AData, size_t ALen) {
  const SOCKET s = SOCKET(FSocket.load());
  if (s == INVALID_SOCKET) throw TConnectionError("Not connected");
  auto p = static_cast<char*>(AData);
  while (ALen > 0) {
    if (FAborted.load()) throw TConnectionError("Connection aborted");
    const int piece = int(std::min<size_t>(ALen, 1 << 30));
    const int n = ::recv(s, p, piece, 0);
    if (n > 0) {
      p += n;
      ALen -= size_t(n);
      continue;
    }
    if (n == 0) throw TConnectionError("Connection closed by peer");
    const int err = ::WSAGetLastError();
    if (err == WSAEWOULDBLOCK) {
      const int timeout = FReadTimeoutMs.load();
      if (!WaitFor(EWait::Read, timeout > 0 ? timeout : -1)) throw TConnectionError("Read timed out");
      continue;
    }
    throw TConnectionError(SocketErrorText("recv", err));
  }
}

bool TWinsockConnection::WaitReadable(int AMs) {
  if (!Connected()) throw TConnectionError("Not connected");
  return WaitFor(EWait::Read, AMs < 0 ? 0 : AMs);
}

}  // namespace tlm
