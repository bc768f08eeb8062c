#include "tests/support/Loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "protocol/Error.h"

namespace tlm::test {

sockaddr_in LoopbackAddress(uint16_t APort) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(APort);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

namespace {

// A socket listening on 127.0.0.1 at an ephemeral port, with its address.
int ListenOnLoopback(int ABacklog, sockaddr_in& AAddr) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw TError(std::string("socket: ") + std::strerror(errno));
  AAddr = {};
  AAddr.sin_family = AF_INET;
  AAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&AAddr), sizeof AAddr) != 0 || ::listen(fd, ABacklog) != 0) {
    const std::string why = std::strerror(errno);
    ::close(fd);
    throw TError("bind/listen: " + why);
  }
  socklen_t len = sizeof AAddr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&AAddr), &len);
  return fd;
}

}  // namespace

TLoopbackListener::TLoopbackListener() {
  sockaddr_in addr;
  FFd = ListenOnLoopback(16, addr);
  FPort = ntohs(addr.sin_port);
}

TLoopbackListener::~TLoopbackListener() { Close(); }

TUnansweredListener::TUnansweredListener() {
  sockaddr_in addr;
  // A backlog of 0 holds one finished connection; the kernel drops SYNs while it is full.
  FFd = ListenOnLoopback(0, addr);
  FPort = ntohs(addr.sin_port);
  for (int i = 0; i < 4; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) break;
    ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);  // EINPROGRESS: finishes or hangs
    FFillers.push_back(fd);
  }
  // Let the first ones finish their handshake so that the queue is full before anyone else tries.
  ::usleep(50 * 1000);
}

TUnansweredListener::~TUnansweredListener() {
  for (int fd : FFillers) ::close(fd);
  if (FFd >= 0) ::close(FFd);
}

void TLoopbackListener::Close() {
  if (FFd >= 0) ::close(FFd);
  FFd = -1;
}

std::unique_ptr<TTcpConnection> TLoopbackListener::TryAccept(int AWaitMs) {
  if (FFd < 0) return nullptr;
  pollfd pfd{FFd, POLLIN, 0};
  if (::poll(&pfd, 1, AWaitMs) <= 0) return nullptr;
  return Accept();
}

std::unique_ptr<TTcpConnection> TLoopbackListener::Accept() {
  int fd = ::accept4(FFd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) throw TError(std::string("accept: ") + std::strerror(errno));
  auto conn = std::make_unique<TTcpConnection>();
  conn->Adopt(fd);
  return conn;
}

TLoopbackPair MakeLoopbackPair() {
  TLoopbackListener listener;
  TLoopbackPair pair;
  pair.Client = std::make_unique<TTcpConnection>();
  pair.Client->Connect("127.0.0.1", listener.Port(), 5000);
  pair.Server = listener.Accept();
  return pair;
}

}  // namespace tlm::test
