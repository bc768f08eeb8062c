// A private redis-server for one test fixture or benchmark.
//
// It listens on a free port of 127.0.0.1 (never the standard 6379) and keeps its data in a
// temporary folder with an append-only file, so Stop followed by Start brings back the same
// data on the same port, like a Redis restarted by its service manager. The constructor
// returns once the server answers PING; the destructor stops it and removes the folder. The
// child gets SIGTERM if the test process dies, so no server is left behind.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace tlm::test {

class TRedisServer {
public:
  // Whether redis-server is installed (tests skip when it is not).
  static bool Available();

  // APassword: clients must AUTH with it (empty: no password).
  explicit TRedisServer(std::string APassword = "");
  ~TRedisServer();
  TRedisServer(const TRedisServer&) = delete;
  TRedisServer& operator=(const TRedisServer&) = delete;

  uint16_t Port() const { return FPort; }
  // "127.0.0.1:<port>"
  std::string Address() const;
  bool Running() const { return FPid > 0; }
  pid_t Pid() const { return FPid; }
  // Why the last start failed (for GTEST_SKIP / failure messages).
  const std::string& Error() const { return FError; }

  // Starts the server again on the same port and folder (nothing when it runs); false (see
  // Error) when it did not answer PING within 10 s.
  bool Start();
  // Shuts it down gracefully (SIGTERM, so the append-only file is complete) and waits.
  void Stop();
  bool Restart();
  // SIGSTOP / SIGCONT: a Redis that accepts connections but never answers.
  void Pause();
  void Resume();

private:
  bool Launch();
  bool AnswersPing() const;

  std::string FPassword;
  std::string FDir;
  uint16_t FPort = 0;
  pid_t FPid = -1;
  bool FPaused = false;
  std::string FError;
};

}  // namespace tlm::test
