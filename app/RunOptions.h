// What the environment asks of one run of the program, read once at start-up.
#pragma once

#include <cstdlib>
#include <string>

namespace tlm {

struct TRunOptions {
  // Partner ID to connect to right after start-up, and the password for that connection.
  std::string AutoConnect;
  std::string AutoPassword;
  // Unattended viewer runs: the first frame's size goes to this file, then the viewer closes.
  std::string ResultFile;

  static TRunOptions FromEnvironment() {
    auto env = [](const char* AName) {
      const char* v = std::getenv(AName);
      return v ? std::string(v) : std::string();
    };
    TRunOptions options;
    options.AutoConnect = env("TLMREMOTE_AUTOCONNECT");
    options.AutoPassword = env("TLMREMOTE_AUTOPW");
    options.ResultFile = env("TLMREMOTE_RESULTFILE");
    return options;
  }
};

}  // namespace tlm
