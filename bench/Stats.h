// Small statistics the benchmarks print.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace tlm::bench {

// The value at fraction AP (0..1) of sorted values; 0 for none.
inline double Percentile(const std::vector<double>& ASorted, double AP) {
  if (ASorted.empty()) return 0;
  return ASorted[std::min(ASorted.size() - 1, size_t(AP * double(ASorted.size())))];
}

inline double Median(std::vector<double> AValues) {
  std::sort(AValues.begin(), AValues.end());
  return Percentile(AValues, 0.5);
}

}  // namespace tlm::bench
