#include "BowProtocol.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>

namespace placefinder {

BowRecogniser::Result BowRecogniser::Process(const BowVector& vector, int32_t place) {
  const BowDatabase::Match best = database_.Best(vector);
  Result result;
  result.score = best.score;
  if (best.entry >= 0 && best.score >= threshold_) {
    result.recognised = true;
    result.entry = static_cast<uint32_t>(best.entry);
    evaluation_.Count(place, true, originPlaces_[best.entry]);
    return result;
  }
  evaluation_.Count(place, false, -1);
  result.entry = database_.Add(vector);
  originPlaces_.push_back(place);
  return result;
}

std::vector<double> BowSweep::Thresholds() {
  std::vector<double> thresholds;
  for (int k = 1; k <= 99; ++k) thresholds.push_back(k / 100.0);
  return thresholds;
}

BowSweep::BowSweep(int words, std::vector<double> thresholds) : all_(words) {
  for (double threshold : thresholds) lanes_.push_back({threshold, {}, {}});
}

void BowSweep::Process(const BowVector& vector, int32_t place) {
  all_.ScoreAll(vector, &scores_);
  storing_.clear();
  for (size_t i = 0; i < lanes_.size(); ++i) {
    Lane& lane = lanes_[i];
    int64_t best = -1;
    double bestScore = 0;
    // Stored in ascending entry order, so a strict comparison keeps the
    // place stored first of equal scores, and a score of 0 is never a match.
    for (uint32_t entry : lane.stored) {
      if (scores_[entry] > bestScore) {
        bestScore = scores_[entry];
        best = entry;
      }
    }
    if (best >= 0 && bestScore >= lane.threshold) {
      lane.evaluation.Count(place, true, originPlaces_[best]);
    } else {
      lane.evaluation.Count(place, false, -1);
      storing_.push_back(i);
    }
  }
  if (storing_.empty()) return;
  const uint32_t entry = all_.Add(vector);
  originPlaces_.push_back(place);
  for (size_t i : storing_) lanes_[i].stored.push_back(entry);
}


bool BestF1(const BowSweep& sweep, size_t* best) {
  bool found = false;
  for (size_t i = 0; i < sweep.size(); ++i) {
    const double f1 = sweep.counts(i).F1();
    if (std::isnan(f1)) continue;
    if (!found || f1 > sweep.counts(*best).F1()) {
      *best = i;
      found = true;
    }
  }
  return found;
}


constexpr size_t QueryRecall::kRanks[];

void QueryRecall::Store(const BowVector& vector, int32_t place) {
  database_.Add(vector);
  places_.push_back(place);
  if (place < 0) return;
  if (static_cast<size_t>(place) >= held_.size()) held_.resize(place + 1, false);
  held_[place] = true;
}

void QueryRecall::Search(const BowVector& vector, int32_t place) {
  if (place < 0 || static_cast<size_t>(place) >= held_.size() || !held_[place]) return;
  ++counted_;
  database_.Ranked(vector, kRanks[kRankCount - 1], &best_);
  for (size_t r = 0; r < kRankCount; ++r) {
    for (size_t i = 0; i < best_.size() && i < kRanks[r]; ++i) {
      if (places_[best_[i].entry] == place) {
        ++found_[r];
        break;
      }
    }
  }
}

double QueryRecall::Recall(size_t rank) const {
  return counted_ == 0 ? std::numeric_limits<double>::quiet_NaN()
                       : static_cast<double>(found_[rank]) / static_cast<double>(counted_);
}

}  // namespace placefinder
