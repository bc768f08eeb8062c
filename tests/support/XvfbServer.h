// A private Xvfb X server for one test fixture.
//
// Xvfb picks a free display number itself (-displayfd), so parallel test processes never
// collide; the constructor returns once the server accepts connections, the destructor
// stops it. The child gets SIGTERM if the test process dies, so no server is left behind.
#pragma once

#include <sys/types.h>

#include <string>

namespace tlm::test {

class TXvfbServer {
public:
  explicit TXvfbServer(int AWidth = 1920, int AHeight = 1080, int ADepth = 24);
  ~TXvfbServer();
  TXvfbServer(const TXvfbServer&) = delete;
  TXvfbServer& operator=(const TXvfbServer&) = delete;

  // ":N", for XOpenDisplay or the DISPLAY variable; empty when the server did not start.
  const std::string& Display() const { return FDisplay; }
  bool Running() const { return !FDisplay.empty(); }
  pid_t Pid() const { return FPid; }
  // Why the server did not start (for GTEST_SKIP / failure messages).
  const std::string& Error() const { return FError; }
  // Sets DISPLAY for this process (and children started afterwards).
  void ExportDisplay() const;

private:
  pid_t FPid = -1;
  std::string FDisplay;
  std::string FError;
};

}  // namespace tlm::test
