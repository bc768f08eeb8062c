// A file larger than 4 GiB up to the host and back down, through the real relay executable:
// sizes must survive 64 bits end to end, and bytes on both sides of the 2 GiB and 4 GiB marks
// must arrive where they belong. The source is sparse (holes read as zeros), with data
// written at the sampled ranges, so only the received copies take real disk space.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "protocol/Connection.h"
#include "protocol/Error.h"
#include "tests/support/TempFiles.h"
#include "tests/support/transfer/TransferRig.h"

extern char** environ;

namespace tlm::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint64_t GiB = uint64_t(1) << 30;
constexpr uint64_t BigSize = 4 * GiB + GiB / 2;
constexpr size_t Sample = 65536 + 7;  // not a whole number of chunks

// Where data sits in the sparse source: the start, across 2 GiB and 4 GiB, and the very end.
const uint64_t DataAt[] = {0, 2 * GiB - 1000, 4 * GiB - 3, 3 * GiB + 12345, BigSize - Sample};
// Ranges that stay holes and must come back as zeros.
const uint64_t HolesAt[] = {GiB, 4 * GiB + GiB / 4};

std::vector<uint8_t> SampleBytes(uint64_t AOffset) {
  std::mt19937_64 random(AOffset);
  std::vector<uint8_t> bytes(Sample);
  for (auto& b : bytes) b = uint8_t(random());
  return bytes;
}

std::vector<uint8_t> ReadRange(const std::string& APath, uint64_t AOffset, size_t ALen) {
  std::vector<uint8_t> bytes(ALen);
  const int fd = ::open(APath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || ::pread(fd, bytes.data(), ALen, off_t(AOffset)) != ssize_t(ALen)) bytes.clear();
  if (fd >= 0) ::close(fd);
  return bytes;
}

void ExpectSameSampledRanges(const std::string& APath) {
  ASSERT_EQ(fs::file_size(APath), BigSize) << APath;
  for (uint64_t at : DataAt) EXPECT_TRUE(ReadRange(APath, at, Sample) == SampleBytes(at)) << APath << " at " << at;
  for (uint64_t at : HolesAt)
    EXPECT_TRUE(ReadRange(APath, at, Sample) == std::vector<uint8_t>(Sample, 0)) << APath << " at " << at;
}

// The real relay executable on a free loopback port, ended when this goes.
class TRelayProcess {
public:
  TRelayProcess() {
    const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      throw TError("no free loopback port");
    FPort = ntohs(addr.sin_port);
    ::close(probe);
    const std::string listen = "127.0.0.1:" + std::to_string(FPort);
    std::vector<std::string> args = {TLM_RELAY_EXE, "--listen", listen, "--db", ":memory:"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&FPid, TLM_RELAY_EXE, nullptr, nullptr, argv.data(), environ) != 0)
      throw TError("cannot start " TLM_RELAY_EXE);
    for (int i = 0; i < 100; ++i) {
      try {
        TTcpConnection probeConn;
        probeConn.Connect("127.0.0.1", FPort, 1000);
        return;
      } catch (const TError&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    }
    throw TError("the relay does not listen");
  }
  ~TRelayProcess() {
    ::kill(FPid, SIGTERM);
    int status = 0;
    ::waitpid(FPid, &status, 0);
  }
  uint16_t Port() const { return FPort; }

private:
  pid_t FPid = -1;
  uint16_t FPort = 0;
};

TEST(BigFile, FourAndAHalfGiBUpAndDownThroughTheRelay) {
  TTempHome home;
  const std::string source = home.Sub("source.bin");
  {
    const int fd = ::open(source.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, off_t(BigSize)), 0);
    for (uint64_t at : DataAt) {
      const auto bytes = SampleBytes(at);
      ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), off_t(at)), ssize_t(bytes.size()));
    }
    ::close(fd);
  }
  ExpectSameSampledRanges(source);

  TRelayProcess relay;
  TTransferRig rig(relay.Port(), home.Sub("host-downloads"));

  auto start = Clock::now();
  const std::string uploaded = rig.Upload(source);
  const double upSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_EQ(fs::path(uploaded).parent_path(), fs::path(home.Sub("host-downloads")));
  ExpectSameSampledRanges(uploaded);
  fs::remove(uploaded);  // room on the disk for the way back

  start = Clock::now();
  const std::string downloaded = rig.Download(source, home.Sub("viewer-downloads"));
  const double downSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  ExpectSameSampledRanges(downloaded);
  fs::remove(downloaded);
  std::printf("4.5 GiB through the relay: up %.1f s (%.0f MB/s), down %.1f s (%.0f MB/s)\n", upSeconds,
              double(BigSize) / 1e6 / upSeconds, downSeconds, double(BigSize) / 1e6 / downSeconds);
}

}  // namespace
}  // namespace tlm::test
