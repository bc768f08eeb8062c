#include "tests/support/RedisServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/support/Loopback.h"

namespace tlm::test {

namespace {

constexpr auto StartWait = std::chrono::seconds(10);
constexpr auto StopWait = std::chrono::seconds(10);

// A port nobody listens on right now: the kernel's pick for a socket bound to port 0.
uint16_t FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in addr = LoopbackAddress(0);
  socklen_t len = sizeof(addr);
  uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  ::close(fd);
  return port;
}

// Waits up to AWait for the child to end; true when it has (and was reaped).
bool WaitForExit(pid_t APid, std::chrono::milliseconds AWait) {
  const auto deadline = std::chrono::steady_clock::now() + AWait;
  for (;;) {
    const pid_t r = ::waitpid(APid, nullptr, WNOHANG);
    if (r == APid || (r < 0 && errno != EINTR)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

bool TRedisServer::Available() {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "/usr/local/bin:/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':'))
    if (!dir.empty() && ::access((dir + "/redis-server").c_str(), X_OK) == 0) return true;
  return false;
}

TRedisServer::TRedisServer(std::string APassword) : FPassword(std::move(APassword)) {
  std::string templ = (std::filesystem::temp_directory_path() / "tlmredisXXXXXX").string();
  if (!::mkdtemp(templ.data())) {
    FError = std::string("mkdtemp: ") + std::strerror(errno);
    return;
  }
  FDir = templ;
  // Another process may take the port between our look and the server's bind: try a few.
  for (int attempt = 0; attempt < 3 && FPid <= 0; ++attempt) {
    FPort = FreeLoopbackPort();
    if (FPort != 0) Start();
  }
}

TRedisServer::~TRedisServer() {
  Stop();
  if (!FDir.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(FDir, ec);
  }
}

std::string TRedisServer::Address() const { return "127.0.0.1:" + std::to_string(FPort); }

bool TRedisServer::Start() {
  if (FPid > 0) return true;
  FError.clear();
  if (FDir.empty() || FPort == 0) {
    if (FError.empty()) FError = "no folder or port for redis-server";
    return false;
  }
  if (!Launch()) return false;
  const auto deadline = std::chrono::steady_clock::now() + StartWait;
  while (std::chrono::steady_clock::now() < deadline) {
    if (::waitpid(FPid, nullptr, WNOHANG) == FPid) {
      FPid = -1;
      FError = "redis-server exited at start (port " + std::to_string(FPort) + " taken?)";
      return false;
    }
    if (AnswersPing()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  FError = "redis-server did not answer PING within 10 s";
  Stop();
  return false;
}

bool TRedisServer::Launch() {
  const std::string port = std::to_string(FPort);
  // No snapshots (the append-only file keeps the data across a restart), no log file, no
  // banner; the append-only file is flushed by the OS, which is enough for a graceful stop.
  // Built before fork: the child only calls what is safe there.
  std::vector<const char*> argv{"redis-server", "--port", port.c_str(), "--bind", "127.0.0.1", "--save", "",
                                "--appendonly", "yes", "--appendfsync", "no", "--dir", FDir.c_str(),
                                "--daemonize", "no", "--logfile", "", "--loglevel", "warning",
                                "--always-show-logo", "no", "--databases", "1"};
  if (!FPassword.empty()) {
    argv.push_back("--requirepass");
    argv.push_back(FPassword.c_str());
  }
  argv.push_back(nullptr);
  const pid_t parent = ::getpid();
  FPid = ::fork();
  if (FPid < 0) {
    FError = std::string("fork: ") + std::strerror(errno);
    FPid = -1;
    return false;
  }
  if (FPid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(1);
    const int devnull = ::open("/dev/null", O_RDWR);
    if (devnull >= 0) {
      ::dup2(devnull, 0);
      ::dup2(devnull, 1);
      ::dup2(devnull, 2);
    }
    // The test's own sockets (a relay's listening port, connections) must not live on in the
    // server: a port it kept would stay taken after the test closed it.
    if (::close_range(3, ~0u, 0) != 0)
      for (long fd = 3, last = ::sysconf(_SC_OPEN_MAX); fd < last; ++fd) ::close(int(fd));
    ::execvp("redis-server", const_cast<char* const*>(argv.data()));
    ::_exit(127);
  }
  FPaused = false;
  return true;
}

bool TRedisServer::AnswersPing() const {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr = LoopbackAddress(FPort);
  bool pong = false;
  // The password goes as one inline-command word: fixtures choose passwords without spaces.
  const std::string request = (FPassword.empty() ? "" : "AUTH " + FPassword + "\r\n") + "PING\r\n";
  const size_t lines = FPassword.empty() ? 1 : 2;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
    // A server still loading its append-only file answers "-LOADING ..." instead.
    std::string answer;
    pollfd p{fd, POLLIN, 0};
    while (size_t(std::count(answer.begin(), answer.end(), '\n')) < lines && ::poll(&p, 1, 1000) == 1) {
      char buf[64];
      const ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
      if (n <= 0) break;
      answer.append(buf, size_t(n));
    }
    pong = answer.ends_with("+PONG\r\n");
  }
  ::close(fd);
  return pong;
}

void TRedisServer::Stop() {
  if (FPid <= 0) return;
  Resume();
  ::kill(FPid, SIGTERM);
  if (!WaitForExit(FPid, StopWait)) {
    ::kill(FPid, SIGKILL);
    WaitForExit(FPid, StopWait);
  }
  FPid = -1;
}

bool TRedisServer::Restart() {
  Stop();
  return Start();
}

void TRedisServer::Pause() {
  if (FPid <= 0 || FPaused || ::kill(FPid, SIGSTOP) != 0) return;
  FPaused = true;
  // Returns once the server has really stopped, so the caller's next request meets silence.
  int status = 0;
  while (::waitpid(FPid, &status, WUNTRACED) < 0 && errno == EINTR) {
  }
}

void TRedisServer::Resume() {
  if (FPid > 0 && FPaused && ::kill(FPid, SIGCONT) == 0) FPaused = false;
}

}  // namespace tlm::test
