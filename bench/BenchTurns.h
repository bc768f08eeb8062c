// Timing for the benchmarks: workloads measured in turns, so that a busy moment of this shared
// machine hits them alike, with the wall clock and the processor time of the whole process
// (which other processes' load disturbs far less). Figures only: nothing here passes or fails.
#pragma once

#include <algorithm>
#include <chrono>
#include <ctime>
#include <functional>
#include <vector>

namespace tlm::bench {

struct TFigure {
  double Median = 0;  // wall clock, ms
  double Min = 0;     // wall clock, ms
  double Cpu = 0;     // median processor time of this process, all its threads, ms
};

inline double ProcessCpuMs() {
  timespec T{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &T);
  return double(T.tv_sec) * 1e3 + double(T.tv_nsec) / 1e6;
}

// Runs the workloads in turns, ARuns times each after one warm-up turn.
inline std::vector<TFigure> MeasureInTurns(int ARuns, const std::vector<std::function<void()>>& AWork) {
  std::vector<std::vector<double>> Ms(AWork.size()), Cpu(AWork.size());
  for (int Turn = -1; Turn < ARuns; ++Turn)
    for (size_t I = 0; I < AWork.size(); ++I) {
      const double C0 = ProcessCpuMs();
      const auto T0 = std::chrono::steady_clock::now();
      AWork[I]();
      const double D = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - T0).count();
      if (Turn >= 0) {
        Ms[I].push_back(D);
        Cpu[I].push_back(ProcessCpuMs() - C0);
      }
    }
  std::vector<TFigure> Out;
  for (size_t I = 0; I < Ms.size(); ++I) {
    std::sort(Ms[I].begin(), Ms[I].end());
    std::sort(Cpu[I].begin(), Cpu[I].end());
    Out.push_back({Ms[I][Ms[I].size() / 2], Ms[I].front(), Cpu[I][Cpu[I].size() / 2]});
  }
  return Out;
}

}  // namespace tlm::bench
