#include "tests/support/XvfbServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tlm::test {

TXvfbServer::TXvfbServer(int AWidth, int AHeight, int ADepth) {
  int fds[2];
  if (::pipe(fds) != 0) {
    FError = std::string("pipe: ") + std::strerror(errno);
    return;
  }
  const std::string screen = std::to_string(AWidth) + "x" + std::to_string(AHeight) + "x" + std::to_string(ADepth);
  const pid_t parent = ::getpid();
  FPid = ::fork();
  if (FPid < 0) {
    FError = std::string("fork: ") + std::strerror(errno);
    ::close(fds[0]);
    ::close(fds[1]);
    return;
  }
  if (FPid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(1);
    ::close(fds[0]);
    if (fds[1] != 3) {
      ::dup2(fds[1], 3);
      ::close(fds[1]);
    }
    // Quiet: Xvfb's start-up chatter (xkbcomp warnings) is noise in test logs.
    int devnull = ::open("/dev/null", O_WRONLY);
    if (devnull >= 0) {
      ::dup2(devnull, 1);
      ::dup2(devnull, 2);
    }
    ::execlp("Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", screen.c_str(), "-nolisten", "tcp", "-noreset",
             static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  // Xvfb writes the display number and a newline once it is ready for clients.
  std::string number;
  for (;;) {
    pollfd p{fds[0], POLLIN, 0};
    int r = ::poll(&p, 1, 30000);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      FError = "Xvfb did not report a display within 30 s";
      break;
    }
    char c;
    ssize_t n = ::read(fds[0], &c, 1);
    if (n <= 0) {
      FError = "Xvfb exited before reporting a display (is it installed?)";
      break;
    }
    if (c == '\n') break;
    number += c;
  }
  ::close(fds[0]);
  if (FError.empty() && !number.empty()) {
    FDisplay = ":" + number;
  } else {
    if (FError.empty()) FError = "Xvfb reported no display";
    ::kill(FPid, SIGTERM);
    ::waitpid(FPid, nullptr, 0);
    FPid = -1;
  }
}

TXvfbServer::~TXvfbServer() {
  if (FPid > 0) {
    ::kill(FPid, SIGTERM);
    int status = 0;
    ::waitpid(FPid, &status, 0);
  }
}

void TXvfbServer::ExportDisplay() const { ::setenv("DISPLAY", FDisplay.c_str(), 1); }

}  // namespace tlm::test
