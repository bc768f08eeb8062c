// File transfer through the relay against a plain socket copy of the same bytes, measured in
// the same run on loopback:
//  - plain copy: read the file in 64 KiB blocks, write them to one direct TCP connection, write
//    what arrives to a new file and flush it to disk;
//  - upload: a viewer sends the file with the shared transfer layer through the in-process
//    relay to a real host agent, which stores it (flushed to disk) in its downloads folder;
//  - download: the viewer asks the host for the file and stores it the same way.
// Prints MB/s (10^6 bytes per second) and the ratio to the plain copy; passes or fails nothing.
// Usage: bench_file_transfer [MiB, default 1024] [rounds, default 1]
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include "protocol/Error.h"
#include "relay/RelayServer.h"
#include "bench/Stats.h"
#include "tests/support/Loopback.h"
#include "tests/support/transfer/TransferRig.h"

namespace {

using namespace tlm;
using bench::Median;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr size_t Block = 65536;

void WriteSource(const std::string& APath, uint64_t ASize) {
  const int fd = ::open(APath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw TError(APath + ": " + std::strerror(errno));
  std::mt19937_64 random(42);
  std::vector<uint64_t> block(1 << 17);  // 1 MiB
  for (uint64_t done = 0; done < ASize;) {
    for (auto& word : block) word = random();
    const size_t n = size_t(std::min<uint64_t>(block.size() * 8, ASize - done));
    if (::write(fd, block.data(), n) != ssize_t(n)) throw TError(APath + ": short write");
    done += n;
  }
  ::fsync(fd);
  ::close(fd);
}

// The plain copy over one direct loopback connection; answers seconds.
double PlainCopy(const std::string& ASource, const std::string& ATarget) {
  test::TLoopbackPair pair = test::MakeLoopbackPair();
  TTcpConnection& from = *pair.Client;
  TTcpConnection& to = *pair.Server;
  const auto start = Clock::now();
  std::thread sender([&] {
    const int fd = ::open(ASource.c_str(), O_RDONLY | O_CLOEXEC);
    std::vector<uint8_t> block(Block);
    for (;;) {
      const ssize_t n = ::read(fd, block.data(), block.size());
      if (n <= 0) break;
      from.WriteAll(block.data(), size_t(n));
    }
    ::close(fd);
  });
  const uint64_t size = fs::file_size(ASource);
  const int out = ::open(ATarget.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  std::vector<uint8_t> block(Block);
  for (uint64_t got = 0; got < size;) {
    const size_t n = size_t(std::min<uint64_t>(Block, size - got));
    to.ReadExact(block.data(), n);
    if (::write(out, block.data(), n) != ssize_t(n)) throw TError(ATarget + ": short write");
    got += n;
  }
  ::fsync(out);
  ::close(out);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  sender.join();
  return seconds;
}

template <class F>
double Seconds(F AWork) {
  const auto start = Clock::now();
  AWork();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const uint64_t mib = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1024;
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1;
  const uint64_t size = mib << 20;
  char base[] = "/tmp/tlm-bench-transfer-XXXXXX";
  if (!::mkdtemp(base)) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string dir = base;
  int status = 0;
  try {
    TRelayOptions options = test::QuietLoopbackRelay();
    TRelayServer relay(options);
    const uint16_t port = relay.Start();

    const std::string source = dir + "/source.bin";
    WriteSource(source, size);
    fs::create_directories(dir + "/host");
    fs::create_directories(dir + "/viewer");
    test::TTransferRig rig(port, dir + "/host");

    std::vector<double> plain, up, down;
    for (int r = 0; r < rounds; ++r) {
      plain.push_back(PlainCopy(source, dir + "/plain.bin"));
      fs::remove(dir + "/plain.bin");
      std::string stored;
      up.push_back(Seconds([&] { stored = rig.Upload(source); }));
      if (fs::file_size(stored) != size) throw TError("upload arrived with the wrong size");
      fs::remove(stored);
      down.push_back(Seconds([&] { stored = rig.Download(source, dir + "/viewer"); }));
      if (fs::file_size(stored) != size) throw TError("download arrived with the wrong size");
      fs::remove(stored);
    }
    const double mb = double(size) / 1e6;
    const double base = mb / Median(plain);
    std::printf("file transfer of %llu MiB on loopback, median of %d round(s), written and flushed to disk:\n",
                (unsigned long long)mib, rounds);
    std::printf("  plain socket copy          %8.1f MB/s\n", base);
    std::printf("  upload through relay       %8.1f MB/s   %5.2f x plain   (goal >= 0.50)\n", mb / Median(up),
                mb / Median(up) / base);
    std::printf("  download through relay     %8.1f MB/s   %5.2f x plain   (goal >= 0.50)\n", mb / Median(down),
                mb / Median(down) / base);
    relay.Stop();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_file_transfer: %s\n", e.what());
    status = 1;
  }
  fs::remove_all(dir);
  return status;
}
