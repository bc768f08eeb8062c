#include <gtest/gtest.h>
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
  {
    TXvfbServer a(640, 480);
    TXvfbServer b(320, 240);
    ASSERT_TRUE(a.Running()) << a.Error();
    ASSERT_TRUE(b.Running()) << b.Error();
    first = a.Display();
    second = b.Display();
    EXPECT_NE(first, second);
    EXPECT_TRUE(SocketExists(first));
  }
  EXPECT_FALSE(SocketExists(first)) << "the server's socket is gone after the fixture";
}

}  // namespace
}  // namespace tlm::test
