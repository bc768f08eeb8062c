#include "tests/support/SwayServer.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

namespace tlm::test {

namespace {

std::string Quote(const std::string& A) {
  std::string Q = "'";
  for (char C : A) Q += C == '\'' ? std::string("'\\''") : std::string(1, C);
  return Q + "'";
}

// Child side of a fork: dies with the test process, then runs the shell command with its
// output to AOut (nothing when empty).
[[noreturn]] void ExecShell(const std::string& ACommand, const std::string& AOut) {
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  const int Out = ::open(AOut.empty() ? "/dev/null" : AOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (Out >= 0) {
    ::dup2(Out, 1);
    ::dup2(Out, 2);
  }
  ::execl("/bin/sh", "sh", "-c", ACommand.c_str(), static_cast<char*>(nullptr));
  ::_exit(127);
}

}  // namespace

bool TSwayServer::HasProgram(const std::string& AName) {
  return std::system(("command -v " + Quote(AName) + " >/dev/null 2>&1").c_str()) == 0;
}

TSwayServer::TSwayServer(const std::string& AConfig, int AOutputs) {
  if (!HasProgram("sway")) {
    FError = "sway is not installed (scripts/install-deps installs it)";
    return;
  }
  char Template[] = "/tmp/tlm-sway-XXXXXX";
  if (!::mkdtemp(Template)) {
    FError = std::string("mkdtemp: ") + std::strerror(errno);
    return;
  }
  FDir = Template;
  const std::string Config = FDir + "/config";
  std::ofstream(Config) << AConfig << "\n";

  uid_t Uid = ::getuid();
  gid_t Gid = ::getgid();
  if (::geteuid() == 0) {
    const passwd* Nobody = ::getpwnam("nobody");
    if (!Nobody) {
      FError = "running as root, and there is no user \"nobody\" to run sway as";
      return;
    }
    Uid = Nobody->pw_uid;
    Gid = Nobody->pw_gid;
    if (::chown(FDir.c_str(), Uid, Gid) != 0 || ::chown(Config.c_str(), Uid, Gid) != 0) {
      FError = std::string("chown: ") + std::strerror(errno);
      return;
    }
  }
  ::chmod(FDir.c_str(), 0700);

  const pid_t Parent = ::getpid();
  FPid = ::fork();
  if (FPid < 0) {
    FError = std::string("fork: ") + std::strerror(errno);
    return;
  }
  if (FPid == 0) {
    // The credentials first: changing them clears the parent-death signal.
    if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setresgid(Gid, Gid, Gid) != 0 || ::setresuid(Uid, Uid, Uid) != 0))
      ::_exit(126);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != Parent) ::_exit(1);
    ::clearenv();
    ::setenv("PATH", "/usr/local/bin:/usr/bin:/bin", 1);
    ::setenv("XDG_RUNTIME_DIR", FDir.c_str(), 1);
    ::setenv("WLR_BACKENDS", "headless", 1);
    ::setenv("WLR_LIBINPUT_NO_DEVICES", "1", 1);
    ::setenv("WLR_RENDERER", "pixman", 1);
    ::setenv("WLR_HEADLESS_OUTPUTS", std::to_string(AOutputs).c_str(), 1);
    const std::string Log = FDir + "/sway.log";
    const int Out = ::open(Log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (Out >= 0) {
      ::dup2(Out, 1);
      ::dup2(Out, 2);
    }
    ::execlp("sway", "sway", "-c", Config.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }

  // Ready once both the Wayland socket and the IPC socket exist and swaymsg gets an answer.
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < Deadline) {
    int Status = 0;
    if (::waitpid(FPid, &Status, WNOHANG) == FPid) {
      FPid = -1;
      FError = "sway exited at start (see its log in " + FDir + "/sway.log)";
      return;
    }
    std::string Wayland, Ipc;
    std::error_code Ec;
    for (const auto& E : std::filesystem::directory_iterator(FDir, Ec)) {
      const std::string Name = E.path().filename().string();
      if (Name.rfind("wayland-", 0) == 0 && Name.find(".lock") == std::string::npos) Wayland = E.path().string();
      if (Name.rfind("sway-ipc.", 0) == 0) Ipc = E.path().string();
    }
    if (!Wayland.empty() && !Ipc.empty()) {
      FIpcSocket = Ipc;
      FSocket = Wayland;
      int Rc = -1;
      Run("swaymsg -t get_version", &Rc);
      if (Rc == 0) return;
      FSocket.clear();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  FError = "sway did not open its sockets within 20 s";
}

TSwayServer::~TSwayServer() {
  for (pid_t P : FClients) {
    ::kill(P, SIGTERM);
    ::waitpid(P, nullptr, 0);
  }
  if (FPid > 0) {
    ::kill(FPid, SIGTERM);
    ::waitpid(FPid, nullptr, 0);
  }
  if (!FDir.empty()) {
    std::error_code Ec;
    std::filesystem::remove_all(FDir, Ec);
  }
}

std::string TSwayServer::Environment() const {
  const std::string Name = std::filesystem::path(FSocket).filename().string();
  return "XDG_RUNTIME_DIR=" + Quote(FDir) + " WAYLAND_DISPLAY=" + Quote(Name) + " SWAYSOCK=" + Quote(FIpcSocket);
}

std::string TSwayServer::Run(const std::string& AShellCommand, int* AStatus) const {
  std::string Out;
  FILE* P = ::popen(("env " + Environment() + " sh -c " + Quote(AShellCommand)).c_str(), "r");
  if (!P) {
    if (AStatus) *AStatus = -1;
    return Out;
  }
  std::array<char, 4096> Buf;
  size_t N;
  while ((N = std::fread(Buf.data(), 1, Buf.size(), P)) > 0) Out.append(Buf.data(), N);
  const int Status = ::pclose(P);
  if (AStatus) *AStatus = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
  return Out;
}

pid_t TSwayServer::Start(const std::string& AShellCommand, const std::string& AOutFile) {
  const std::string Command = "exec env " + Environment() + " sh -c " + Quote("exec " + AShellCommand);
  const pid_t Pid = ::fork();
  if (Pid == 0) ExecShell(Command, AOutFile);
  if (Pid > 0) FClients.push_back(Pid);
  return Pid;
}

void TSwayServer::Kill() {
  if (FPid <= 0) return;
  ::kill(FPid, SIGKILL);
  ::waitpid(FPid, nullptr, 0);
  FPid = -1;
}

void TSwayServer::Stop(pid_t APid) {
  for (auto It = FClients.begin(); It != FClients.end(); ++It) {
    if (*It != APid) continue;
    ::kill(APid, SIGTERM);
    ::waitpid(APid, nullptr, 0);
    FClients.erase(It);
    return;
  }
}

}  // namespace tlm::test
