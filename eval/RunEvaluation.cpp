#include "RunEvaluation.h"

#include <cstdio>
#include <utility>

namespace placefinder {

void RunEvaluation::MarkSeen(const PlaceOrigins& stored) {
  stored.ForEach([&](uint32_t, const PlaceOrigin& origin) {
    evaluation_.MarkSeen(truth_.PlaceOf(origin.video, origin.frame));
  });
}

void RunEvaluation::Count(int32_t place, const Recognition& recognition) {
  if (place < 0) return;
  int32_t originPlace = -1;
  if (recognition.origin != nullptr) {
    originPlace = truth_.PlaceOf(recognition.origin->video, recognition.origin->frame);
  }
  evaluation_.Count(place, recognition.location.has_value(), originPlace);
}

std::vector<double> ThresholdSweep::Thresholds() {
  std::vector<double> thresholds;
  for (int k = 30; k <= 99; ++k) thresholds.push_back(k / 100.0);
  return thresholds;
}

ThresholdSweep::ThresholdSweep(const GroundTruth& truth, const PlaceMap* start) {
  // The lanes read one copy of the loaded map, which nothing changes, until
  // each records a place of its own.
  if (start != nullptr) start_ = start->WithThreshold(start->threshold());
  for (double threshold : Thresholds()) {
    auto map = start_ != nullptr ? PlaceMap::Sharing(*start_, threshold)
                                 : std::make_unique<PlaceMap>(threshold);
    lanes_.push_back(std::make_unique<Lane>(std::move(map), truth));
    if (start != nullptr) lanes_.back()->evaluation.MarkSeen(start->origins());
  }
}

void ThresholdSweep::Count(const iMarkrun<int16_t>& frameString, const std::string& video,
                           int64_t frame, int32_t place) {
  for (const std::unique_ptr<Lane>& lane : lanes_) {
    lane->evaluation.Count(place, lane->map->Recognise(frameString, video, frame));
  }
}

std::vector<PrPoint> ThresholdSweep::Points() const {
  std::vector<PrPoint> points;
  for (size_t i = 0; i < size(); ++i) {
    const EvaluationCounts& c = counts(i);
    points.push_back({threshold(i), c.Precision(), c.Recall()});
  }
  return points;
}

std::string SweepRow(double threshold, const EvaluationCounts& c) {
  char head[128];
  std::snprintf(head, sizeof head, "%.2f\t%lld\t%lld\t%lld\t%lld\t", threshold,
                static_cast<long long>(c.tp), static_cast<long long>(c.fp),
                static_cast<long long>(c.fn), static_cast<long long>(c.tn));
  return head + FormatRatio(c.Precision()) + '\t' + FormatRatio(c.Recall()) + '\t' +
         FormatRatio(c.F1()) + '\n';
}


}  // namespace placefinder
