// Benchmarks that shape the loopback link with tc run in a network namespace of their own, where
// that touches nobody else's traffic: the program runs itself again under `unshare --net`.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace tlm::bench {

// True inside the private namespace: go on. False when none can be made here (it needs root):
// the benchmark says it skipped and ends without failing. Otherwise the program starts again
// inside one, and this call does not return.
inline bool InPrivateNetwork(const char* AName, int argc, char** argv) {
  if (std::getenv("TLM_BENCH_IN_NETNS")) return true;
  if (std::system("unshare --net true >/dev/null 2>&1") != 0) {
    std::printf("%s: skipped, a private network namespace needs root (unshare --net)\n", AName);
    return false;
  }
  ::setenv("TLM_BENCH_IN_NETNS", "1", 1);
  std::vector<char*> args = {const_cast<char*>("unshare"), const_cast<char*>("--net")};
  for (int i = 0; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);
  ::execvp("unshare", args.data());
  std::fprintf(stderr, "%s: unshare --net: %s\n", AName, std::strerror(errno));
  std::exit(1);
}

}  // namespace tlm::bench
