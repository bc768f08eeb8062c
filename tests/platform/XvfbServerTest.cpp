#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include "tests/support/XvfbServer.h"

namespace tlm::test {
namespace {

bool SocketExists(const std::string& ADisplay) {
  struct stat st{};
  return ::stat(("/tmp/.X11-unix/X" + ADisplay.substr(1)).c_str(), &st) == 0;
}

TEST(XvfbServer, TwoServersGetTheirOwnDisplaysAndStop) {
  std::string first, second;
  pid_t pid = -1;
  {
    TXvfbServer a(640, 480);
    TXvfbServer b(320, 240);
    ASSERT_TRUE(a.Running()) << a.Error();
    ASSERT_TRUE(b.Running()) << b.Error();
    first = a.Display();
    second = b.Display();
    EXPECT_NE(first, second);
    EXPECT_TRUE(SocketExists(first));
    pid = a.Pid();
  }
  // Not the socket: a parallel test may take the freed display number at once.
  EXPECT_NE(::kill(pid, 0), 0) << "the server process is gone after the fixture";
}

}  // namespace
}  // namespace tlm::test
