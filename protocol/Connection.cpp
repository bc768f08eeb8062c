#include "protocol/Connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "protocol/Error.h"

namespace tlm {

namespace {

std::string ErrnoText(const char* AWhat, int AErr) { return std::string(AWhat) + ": " + std::strerror(AErr); }

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

TTcpConnection::TTcpConnection() {
  FAbortFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (FAbortFd < 0) throw TConnectionError(ErrnoText("eventfd", errno));
}

TTcpConnection::~TTcpConnection() {
  Close();
  if (FAbortFd >= 0) ::close(FAbortFd);
}

void TTcpConnection::Abort() {
  if (FAborted.exchange(true)) return;
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(FAbortFd, &one, sizeof one);
}

void TTcpConnection::Close() {
  if (FFd >= 0) {
    ::close(FFd);
    FFd = -1;
  }
}

bool TTcpConnection::WaitFor(short AEvents, int ATimeoutMs) {
  const int64_t deadline = ATimeoutMs > 0 ? NowMs() + ATimeoutMs : 0;
  for (;;) {
    if (FAborted.load()) throw TConnectionError("Connection aborted");
    pollfd fds[2] = {{FFd, AEvents, 0}, {FAbortFd, POLLIN, 0}};
    int wait = -1;
    if (ATimeoutMs == 0) {
      wait = 0;
    } else if (ATimeoutMs > 0) {
      int64_t left = deadline - NowMs();
      wait = left > 0 ? int(left) : 0;
    }
    int r = ::poll(fds, 2, wait);
    if (r < 0) {
      if (errno == EINTR) continue;
      throw TConnectionError(ErrnoText("poll", errno));
    }
    if (fds[1].revents) throw TConnectionError("Connection aborted");
    if (fds[0].revents) return true;
    if (r == 0 && ATimeoutMs >= 0) return false;
  }
}

void TTcpConnection::Configure() {
  int one = 1;
  ::setsockopt(FFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  int flags = ::fcntl(FFd, F_GETFL, 0);
  ::fcntl(FFd, F_SETFL, flags | O_NONBLOCK);
}

void TTcpConnection::SetNotSentLowWater(int ABytes) {
  if (FFd >= 0) ::setsockopt(FFd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &ABytes, sizeof ABytes);
}

void TTcpConnection::Adopt(int AFd) {
  Close();
  FFd = AFd;
  Configure();
}

void TTcpConnection::Connect(const std::string& AHost, uint16_t APort, int ATimeoutMs) {
  Close();
  if (FAborted.load()) throw TConnectionError("Connection aborted");
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  const std::string port = std::to_string(APort);
  int gai = ::getaddrinfo(AHost.c_str(), port.c_str(), &hints, &res);
  if (gai != 0) throw TConnectionError("Cannot resolve " + AHost + ": " + ::gai_strerror(gai));
  std::string lastError = "Connect failed";
  const int64_t deadline = NowMs() + ATimeoutMs;
  for (addrinfo* ai = res; ai; ai = ai->ai_next) {
    int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
    if (fd < 0) {
      lastError = ErrnoText("socket", errno);
      continue;
    }
    FFd = fd;
    int r = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
    if (r != 0 && errno != EINPROGRESS) {
      lastError = ErrnoText("connect", errno);
      Close();
      continue;
    }
    if (r != 0) {
      int64_t left = deadline - NowMs();
      bool ready = false;
      try {
        ready = left > 0 && WaitFor(POLLOUT, int(left));
      } catch (...) {
        ::freeaddrinfo(res);
        Close();
        throw;
      }
      if (!ready) {
        lastError = "Connection timed out";
        Close();
        continue;
      }
      int err = 0;
      socklen_t len = sizeof err;
      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
      if (err != 0) {
        lastError = ErrnoText("connect", err);
        Close();
        continue;
      }
    }
    ::freeaddrinfo(res);
    Configure();
    return;
  }
  ::freeaddrinfo(res);
  throw TConnectionError(lastError);
}

void TTcpConnection::WriteAll(const void* AData, size_t ALen) {
  if (FFd < 0) throw TConnectionError("Not connected");
  auto p = static_cast<const uint8_t*>(AData);
  while (ALen > 0) {
    if (FAborted.load()) throw TConnectionError("Connection aborted");
    ssize_t n = ::send(FFd, p, ALen, MSG_NOSIGNAL);
    if (n > 0) {
      p += n;
      ALen -= size_t(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // The stall limit restarts after every piece that goes out: only a peer that takes
      // nothing at all for the whole time fails the write.
      const int stall = FWriteStallMs.load();
      if (!WaitFor(POLLOUT, stall > 0 ? stall : -1)) throw TConnectionError("Write stalled");
      continue;
    }
    throw TConnectionError(ErrnoText("send", errno));
  }
}

void TTcpConnection::ReadExact(void* AData, size_t ALen) {
  if (FFd < 0) throw TConnectionError("Not connected");
  auto p = static_cast<uint8_t*>(AData);
  while (ALen > 0) {
    if (FAborted.load()) throw TConnectionError("Connection aborted");
    ssize_t n = ::recv(FFd, p, ALen, 0);
    if (n > 0) {
      p += n;
      ALen -= size_t(n);
      continue;
    }
    if (n == 0) throw TConnectionError("Connection closed by peer");
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      int timeout = FReadTimeoutMs.load();
      if (!WaitFor(POLLIN, timeout > 0 ? timeout : -1)) throw TConnectionError("Read timed out");
      continue;
    }
    throw TConnectionError(ErrnoText("recv", errno));
  }
}

bool TTcpConnection::WaitReadable(int AMs) {
  if (FFd < 0) throw TConnectionError("Not connected");
  return WaitFor(POLLIN, AMs < 0 ? 0 : AMs);
}

}  // namespace tlm
