// What the environment asks of one run of the program, read once at start-up.
#pragma once

#include <cstdlib>
#include <string>

namespace tlm {

struct TRunOptions {
  // Unattended viewer runs: the first frame's size goes to this file, then the viewer closes.
  std::string ResultFile;

  static TRunOptions FromEnvironment() {
    TRunOptions options;
    if (const char* v = std::getenv("TLMREMOTE_RESULTFILE")) options.ResultFile = v;
    return options;
  }
};

}  // namespace tlm
