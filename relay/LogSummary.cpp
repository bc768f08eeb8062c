#include "relay/LogSummary.h"

#include <cstdio>

namespace tlm {

TLogSummary::TLogSummary(std::function<void(const std::string&)> ALog, size_t ABurst,
                         std::chrono::milliseconds AInterval)
    : FLog(std::move(ALog)), FBurst(ABurst), FInterval(AInterval) {}

void TLogSummary::Summarise(const std::string& AKind, TKind& AState, TClock::time_point ANow) {
  if (AState.HeldBack > 0) {
    const auto seconds = std::chrono::duration_cast<std::chrono::milliseconds>(ANow - AState.Start).count() / 1000.0;
    char span[32];
    std::snprintf(span, sizeof span, "%.0f", seconds < 1 ? 1.0 : seconds);
    FLog(AKind + ": " + std::to_string(AState.HeldBack) + " more like this in the last " + span +
         " s, not logged one by one");
  }
  AState = TKind{ANow};
}

void TLogSummary::Line(std::string_view AKind, const std::string& ALine, TClock::time_point ANow) {
  auto it = FKinds.find(AKind);
  if (it == FKinds.end()) it = FKinds.emplace(std::string(AKind), TKind{ANow}).first;
  TKind& state = it->second;
  if (ANow - state.Start >= FInterval) Summarise(it->first, state, ANow);
  if (state.Written < FBurst) {
    ++state.Written;
    FLog(ALine);
  } else {
    ++state.HeldBack;
  }
}

void TLogSummary::Flush(TClock::time_point ANow) {
  for (auto it = FKinds.begin(); it != FKinds.end();) {
    if (ANow - it->second.Start < FInterval) {
      ++it;
      continue;
    }
    const bool quiet = it->second.Written == 0 && it->second.HeldBack == 0;
    Summarise(it->first, it->second, ANow);
    // A kind with nothing in a whole interval is forgotten until it shows up again.
    it = quiet ? FKinds.erase(it) : std::next(it);
  }
}

void TLogSummary::FlushAll(TClock::time_point ANow) {
  for (auto& [kind, state] : FKinds)
    if (state.HeldBack > 0) Summarise(kind, state, ANow);
}

}  // namespace tlm
