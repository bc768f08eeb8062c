// A private headless sway (wlroots) compositor for one test fixture, with its outputs set by
// the fixture's configuration lines.
//
// sway refuses to run as root: under root the compositor runs as "nobody" with a runtime folder
// of its own (0700), whose Wayland socket root's processes can still use. The constructor
// returns once the compositor accepts clients, the destructor stops it and every client started
// through it. The children get SIGTERM if the test process dies.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tlm::test {

class TSwayServer {
public:
  // AConfig: lines of sway's configuration (outputs, backgrounds); AOutputs: headless outputs
  // made at start.
  explicit TSwayServer(const std::string& AConfig, int AOutputs = 2);
  ~TSwayServer();
  TSwayServer(const TSwayServer&) = delete;
  TSwayServer& operator=(const TSwayServer&) = delete;

  bool Running() const { return !FSocket.empty(); }
  // Why the compositor did not start (for GTEST_SKIP messages).
  const std::string& Error() const { return FError; }
  // The absolute path of the Wayland socket, for wl_display_connect.
  const std::string& Socket() const { return FSocket; }
  // A folder the compositor can read, for files the configuration names.
  const std::string& Folder() const { return FDir; }

  // Runs AShellCommand with the compositor's environment (WAYLAND_DISPLAY, SWAYSOCK,
  // XDG_RUNTIME_DIR); its standard output, and its exit status in AStatus.
  std::string Run(const std::string& AShellCommand, int* AStatus = nullptr) const;
  // Starts AShellCommand in the background with that environment, its output going to AOutFile;
  // stopped with the compositor (or by Stop).
  pid_t Start(const std::string& AShellCommand, const std::string& AOutFile);
  void Stop(pid_t APid);
  // Ends the compositor now (its clients keep running until the destructor).
  void Kill();

  // Whether a program is on PATH (for skip messages).
  static bool HasProgram(const std::string& AName);

private:
  std::string Environment() const;

  pid_t FPid = -1;
  std::string FDir;  // the runtime folder, which also holds the configuration
  std::string FSocket;
  std::string FIpcSocket;
  std::string FError;
  std::vector<pid_t> FClients;
};

}  // namespace tlm::test
