// Model identifier strings for the benchmarks, shaped like the frames of the
// sample videos (see collection_bench.cpp for the figures they follow): 150
// to 450 runs over the seven shapes with a few passes missing, a length drawn
// log-uniformly up to 70,000, and counts that fall off geometrically with the
// pass, with random noise.

#ifndef BENCH_MODELSTRINGS_H_
#define BENCH_MODELSTRINGS_H_

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "iMarkrun.h"

namespace placefinder {

namespace model {

using String = iMarkrun<int16_t>;

// Passes per shape in a frame of Megamind.avi (294 runs), as weights.
constexpr int16_t kShapeCodes[7] = {0, 1, 2, 4, 8, 16, 32};
constexpr double kShapePasses[7] = {90, 67, 48, 35, 25, 17, 12};

// Fills `s` with the given runs (ascending ids) and length. Adding the runs
// in id order gives the same runs and index entries that SetIds() gives for a
// detection list ordered by id, without a list of up to 70,000 detections.
inline void Fill(String& s, const std::vector<std::pair<int16_t, int32_t>>& runs) {
  s.runs.RemoveAll();
  s.length = 0;
  for (const auto& run : runs) {
    s.runs.Add(run.first, run.second);
    s.length += run.second;
  }
}

inline std::vector<std::pair<int16_t, int32_t>> ModelRuns(std::mt19937& rng) {
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  const int32_t runCount = 150 + static_cast<int32_t>(rng() % 301);
  const double length = std::exp(uniform(rng) * std::log(70000.0 / runCount)) * runCount;
  const double falloff = 0.90 + 0.09 * uniform(rng);
  std::lognormal_distribution<double> noise(0.0, 0.3 + 0.6 * uniform(rng));

  std::vector<std::pair<int16_t, double>> weights;
  double total = 0;
  for (int shape = 0; shape < 7; ++shape) {
    const int32_t passes =
        std::max<int32_t>(1, static_cast<int32_t>(runCount * kShapePasses[shape] / 294.0 + 0.5));
    for (int32_t pass = 1, made = 0; made < passes && pass < 256; ++pass) {
      if (uniform(rng) < 0.1) continue;  // a pass without boxes
      const double w = std::pow(falloff, pass) * noise(rng) * kShapePasses[shape];
      weights.emplace_back(static_cast<int16_t>(kShapeCodes[shape] << 8 | pass), w);
      total += w;
      ++made;
    }
  }
  std::vector<std::pair<int16_t, int32_t>> runs;
  const double spread = std::max(0.0, length - static_cast<double>(weights.size()));
  for (const auto& w : weights) {
    runs.emplace_back(w.first, 1 + static_cast<int32_t>(spread * w.second / total));
  }
  return runs;
}

}  // namespace model

}  // namespace placefinder

#endif  // BENCH_MODELSTRINGS_H_
