#include "tests/support/TcpProxy.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/support/Loopback.h"

namespace tlm::test {

namespace {

bool SendAll(int AFd, const char* AData, size_t ALen) {
  while (ALen > 0) {
    const ssize_t n = ::send(AFd, AData, ALen, MSG_NOSIGNAL);
    if (n <= 0) return false;
    AData += n;
    ALen -= size_t(n);
  }
  return true;
}

// What Swallow looks at of each client's first bytes.
constexpr size_t HeadBytes = 1024;

}  // namespace

struct TTcpProxy::TImpl {
  struct TPair {
    int Client = -1;
    int Server = -1;  // -1 once swallowed
    std::string Head;
  };

  uint16_t Target = 0;
  uint16_t Port = 0;
  int Listener = -1;
  int Wake[2] = {-1, -1};
  std::vector<TPair> Pairs;
  std::thread Thread;

  // Asked by other threads, carried out by the proxy's thread.
  std::mutex Lock;
  std::condition_variable Done;
  bool CutAsked = false;
  bool MendAsked = false;
  bool StopAsked = false;
  std::string Pattern;
  uint64_t Asked = 0, Served = 0;
  bool Recording = false;
  std::string Tape[2];  // to the clients, from the clients

  void Note(bool AFromClient, const char* AData, size_t ALen) {
    std::lock_guard<std::mutex> hold(Lock);
    std::string& tape = Tape[AFromClient ? 1 : 0];
    if (Recording && tape.size() + ALen <= (size_t(512) << 20)) tape.append(AData, ALen);
  }

  void Ask(const std::function<void()>& AChange) {
    std::unique_lock<std::mutex> hold(Lock);
    AChange();
    const uint64_t mine = ++Asked;
    const char byte = 1;
    if (::write(Wake[1], &byte, 1) != 1) throw std::runtime_error("proxy wake-up failed");
    Done.wait(hold, [&] { return Served >= mine; });
  }

  // A listening socket on APort of 127.0.0.1 (0: any free port); -1 when that fails.
  static int OpenListener(uint16_t APort) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    const sockaddr_in at = LoopbackAddress(APort);
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 || ::listen(fd, 64) != 0) {
      if (fd >= 0) ::close(fd);
      return -1;
    }
    return fd;
  }

  static void Close(TPair& APair) {
    if (APair.Client >= 0) ::close(APair.Client);
    if (APair.Server >= 0) ::close(APair.Server);
    APair.Client = APair.Server = -1;
  }

  void SwallowIfMatched(TPair& APair, const std::string& APattern) {
    if (APattern.empty() || APair.Server < 0 || APair.Head.find(APattern) == std::string::npos) return;
    ::close(APair.Server);
    APair.Server = -1;
  }

  // Carries out what was asked; true when it was Stop.
  bool Serve() {
    char drain[64];
    [[maybe_unused]] const ssize_t ignored = ::read(Wake[0], drain, sizeof drain);
    std::lock_guard<std::mutex> hold(Lock);
    if (CutAsked || StopAsked) {
      for (auto& pair : Pairs) Close(pair);
      Pairs.clear();
      if (Listener >= 0) ::close(Listener);
      Listener = -1;
      CutAsked = false;
    }
    if (MendAsked && Listener < 0 && !StopAsked) Listener = OpenListener(Port);
    MendAsked = false;
    for (auto& pair : Pairs) SwallowIfMatched(pair, Pattern);
    Served = Asked;
    Done.notify_all();
    return StopAsked;
  }

  void Accept() {
    const int client = ::accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return;
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in to = LoopbackAddress(Target);
    if (server < 0 || ::connect(server, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
      if (server >= 0) ::close(server);
      ::close(client);
      return;
    }
    Pairs.push_back({client, server, {}});
  }

  // Passes what came from AFrom on; false when the pair is done.
  bool Pass(TPair& APair, bool AFromClient) {
    char buffer[65536];
    const ssize_t n = ::recv(AFromClient ? APair.Client : APair.Server, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    Note(AFromClient, buffer, size_t(n));
    if (!AFromClient) return SendAll(APair.Client, buffer, size_t(n));
    if (APair.Head.size() < HeadBytes) {
      APair.Head.append(buffer, std::min(size_t(n), HeadBytes - APair.Head.size()));
      std::lock_guard<std::mutex> hold(Lock);
      SwallowIfMatched(APair, Pattern);
    }
    return APair.Server < 0 || SendAll(APair.Server, buffer, size_t(n));
  }

  void Run() {
    for (;;) {
      std::vector<pollfd> fds{{Wake[0], POLLIN, 0}};
      if (Listener >= 0) fds.push_back({Listener, POLLIN, 0});
      for (const auto& pair : Pairs) {
        fds.push_back({pair.Client, POLLIN, 0});
        fds.push_back({pair.Server, short(pair.Server >= 0 ? POLLIN : 0), 0});
      }
      if (::poll(fds.data(), fds.size(), -1) < 0) continue;
      if (fds[0].revents) {
        if (Serve()) return;
        continue;  // the sockets polled may be gone
      }
      const bool incoming = Listener >= 0 && fds[1].revents;
      size_t next = Listener >= 0 ? 2 : 1;
      std::vector<TPair> kept;
      for (auto& pair : Pairs) {
        bool alive = true;
        if (fds[next].revents) alive = Pass(pair, true);
        if (alive && pair.Server >= 0 && fds[next + 1].revents) alive = Pass(pair, false);
        next += 2;
        if (alive)
          kept.push_back(std::move(pair));
        else
          Close(pair);
      }
      Pairs.swap(kept);
      if (incoming) Accept();
    }
  }
};

TTcpProxy::TTcpProxy(uint16_t ATargetPort) : F(std::make_unique<TImpl>()) {
  F->Target = ATargetPort;
  if (::pipe2(F->Wake, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  F->Listener = TImpl::OpenListener(0);
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  if (F->Listener < 0 || ::getsockname(F->Listener, reinterpret_cast<sockaddr*>(&bound), &length) != 0)
    throw std::runtime_error("proxy cannot listen");
  F->Port = ntohs(bound.sin_port);
  F->Thread = std::thread([impl = F.get()] { impl->Run(); });
}

TTcpProxy::~TTcpProxy() {
  F->Ask([&] { F->StopAsked = true; });
  F->Thread.join();
  ::close(F->Wake[0]);
  ::close(F->Wake[1]);
}

std::string TTcpProxy::Address() const { return "127.0.0.1:" + std::to_string(F->Port); }

void TTcpProxy::Cut() {
  F->Ask([&] { F->CutAsked = true; });
}

void TTcpProxy::Mend() {
  F->Ask([&] { F->MendAsked = true; });
}

void TTcpProxy::Swallow(const std::string& APattern) {
  F->Ask([&] { F->Pattern = APattern; });
}

void TTcpProxy::StartRecording() {
  std::lock_guard<std::mutex> hold(F->Lock);
  F->Recording = true;
}

std::string TTcpProxy::Recorded(bool AFromClients) const {
  std::lock_guard<std::mutex> hold(F->Lock);
  return F->Tape[AFromClients ? 1 : 0];
}

}  // namespace tlm::test
