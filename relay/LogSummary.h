// Keeps a flood of like events from becoming a flood of log lines.
//
// Contract: network thread only. Line writes a line of kind AKind unless ABurst lines of that
// kind were already written in the current interval; those beyond are only counted. Flush
// (called on the sweep timer) ends the intervals that are over and writes one summary line
// for each kind that had lines held back; FlushAll does so for every kind, at the end.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace tlm {

class TLogSummary {
public:
  using TClock = std::chrono::steady_clock;

  TLogSummary(std::function<void(const std::string&)> ALog, size_t ABurst, std::chrono::milliseconds AInterval);

  void Line(std::string_view AKind, const std::string& ALine, TClock::time_point ANow);
  void Flush(TClock::time_point ANow);
  // At the end: writes the summary of every kind with lines held back, its interval over or not.
  void FlushAll(TClock::time_point ANow);

private:
  struct TKind {
    TClock::time_point Start;
    size_t Written = 0;
    size_t HeldBack = 0;
  };
  void Summarise(const std::string& AKind, TKind& AState, TClock::time_point ANow);

  std::function<void(const std::string&)> FLog;
  size_t FBurst;
  std::chrono::milliseconds FInterval;
  std::map<std::string, TKind, std::less<>> FKinds;
};

}  // namespace tlm
