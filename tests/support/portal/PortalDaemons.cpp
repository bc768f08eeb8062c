#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/support/portal/PortalTestBed.h"

namespace tlm::test {

namespace {

bool HasProgram(const std::string& AName) {
  return std::system(("command -v " + AName + " >/dev/null 2>&1").c_str()) == 0;
}

bool WaitForPath(const std::string& APath, int ATimeoutMs) {
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeoutMs);
  while (std::chrono::steady_clock::now() < Deadline) {
    if (std::filesystem::exists(APath)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

}  // namespace

TPortalDaemons::TPortalDaemons() {
  for (const char* P : {"dbus-daemon", "pipewire", "wireplumber"}) {
    if (!HasProgram(P)) {
      FError = std::string(P) + " is not installed (scripts/install-deps installs it)";
      return;
    }
  }
  char Template[] = "/tmp/tlm-portal-XXXXXX";
  if (!::mkdtemp(Template)) {
    FError = std::string("mkdtemp: ") + std::strerror(errno);
    return;
  }
  FDir = Template;
  ::chmod(FDir.c_str(), 0700);
  // A bus of our own without service activation, so no installed portal is ever started on it.
  const std::string Socket = FDir + "/bus";
  std::ofstream(FDir + "/bus.conf")
      << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
         " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
         "<busconfig><type>session</type><listen>unix:path="
      << Socket
      << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" "
         "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
  FBusAddress = "unix:path=" + Socket;
  Spawn({"dbus-daemon", "--nofork", "--config-file=" + FDir + "/bus.conf"}, FDir + "/dbus.log");
  if (!WaitForPath(Socket, 10000)) {
    FError = "dbus-daemon did not start (see " + FDir + "/dbus.log)";
    return;
  }
  Spawn({"pipewire"}, FDir + "/pipewire.log");
  if (!WaitForPath(FDir + "/pipewire-0", 10000)) {
    FError = "pipewire did not start (see " + FDir + "/pipewire.log)";
    return;
  }
  // The session manager links a consumer to the node it asks for, as on a desktop.
  Spawn({"wireplumber"}, FDir + "/wireplumber.log");
}

TPortalDaemons::~TPortalDaemons() {
  for (auto It = FPids.rbegin(); It != FPids.rend(); ++It) {
    ::kill(*It, SIGTERM);
    ::waitpid(*It, nullptr, 0);
  }
  if (!FDir.empty() && std::getenv("TLM_KEEP_PORTAL_LOGS") == nullptr) {
    std::error_code Ec;
    std::filesystem::remove_all(FDir, Ec);
  }
}

pid_t TPortalDaemons::Spawn(const std::vector<std::string>& AArgs, const std::string& ALog) {
  const pid_t Parent = ::getpid();
  const pid_t Pid = ::fork();
  if (Pid != 0) {
    if (Pid > 0) FPids.push_back(Pid);
    return Pid;
  }
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (::getppid() != Parent) ::_exit(1);
  ::setenv("XDG_RUNTIME_DIR", FDir.c_str(), 1);
  ::setenv("PIPEWIRE_RUNTIME_DIR", FDir.c_str(), 1);
  ::setenv("HOME", FDir.c_str(), 1);
  ::setenv("XDG_STATE_HOME", FDir.c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", FDir.c_str(), 1);
  ::setenv("DBUS_SESSION_BUS_ADDRESS", FBusAddress.c_str(), 1);
  ::unsetenv("PIPEWIRE_REMOTE");
  const int Out = ::open(ALog.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (Out >= 0) {
    ::dup2(Out, 1);
    ::dup2(Out, 2);
  }
  std::vector<char*> Argv;
  for (const auto& A : AArgs) Argv.push_back(const_cast<char*>(A.c_str()));
  Argv.push_back(nullptr);
  ::execvp(Argv[0], Argv.data());
  ::_exit(127);
}

int TPortalDaemons::ConnectPipeWire() const {
  const std::string Path = FDir + "/pipewire-0";
  sockaddr_un Addr{};
  Addr.sun_family = AF_UNIX;
  if (Path.size() >= sizeof Addr.sun_path) return -1;
  std::memcpy(Addr.sun_path, Path.c_str(), Path.size() + 1);
  const int Fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (Fd < 0) return -1;
  if (::connect(Fd, reinterpret_cast<sockaddr*>(&Addr), sizeof Addr) != 0) {
    ::close(Fd);
    return -1;
  }
  return Fd;
}

}  // namespace tlm::test
