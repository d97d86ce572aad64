#include "RunEvaluation.h"

#include <cstdio>
#include <utility>

void RunEvaluation::MarkSeen(const PlaceOrigins& stored) {
  stored.ForEach([&](uint32_t, const PlaceOrigin& origin) {
    evaluation_.MarkSeen(truth_.PlaceOf(origin.video, origin.frame));
  });
}

void RunEvaluation::Count(int32_t place, const FrameResult& result, const PlaceOrigins& origins) {
  if (place < 0) return;
  int32_t originPlace = -1;
  if (result.location) {
    const PlaceOrigin* origin = origins.Find(*result.location);
    if (origin != nullptr) originPlace = truth_.PlaceOf(origin->video, origin->frame);
  }
  evaluation_.Count(place, result.location.has_value(), originPlace);
}

std::vector<double> ThresholdSweep::Thresholds() {
  std::vector<double> thresholds;
  for (int k = 30; k <= 99; ++k) thresholds.push_back(k / 100.0);
  return thresholds;
}

ThresholdSweep::ThresholdSweep(const GroundTruth& truth) {
  for (double threshold : Thresholds()) lanes_.push_back(std::make_unique<Lane>(threshold, truth));
}

void ThresholdSweep::Restore(size_t i, std::unique_ptr<LocationDetector::KnownStrings> strings,
                             uint32_t counter, PlaceOrigins origins) {
  Lane& lane = *lanes_[i];
  lane.processor.RestoreKnownStrings(std::move(strings), counter);
  lane.origins = std::move(origins);
  lane.evaluation.MarkSeen(lane.origins);
}

void ThresholdSweep::Count(const FrameProcessor& detected, const std::string& video, int64_t frame,
                           int32_t place) {
  for (const std::unique_ptr<Lane>& lane : lanes_) {
    const FrameResult& result = lane->processor.RecogniseDetected(detected);
    lane->evaluation.Count(place, result, lane->origins);
    if (result.newLocation) lane->origins.Record(*result.newLocation, video, frame);
  }
}

std::string SweepTable(const ThresholdSweep& sweep) {
  std::string table = "threshold\ttp\tfp\tfn\ttn\tprecision\trecall\tf1\n";
  for (size_t i = 0; i < sweep.size(); ++i) {
    const EvaluationCounts& c = sweep.counts(i);
    char head[128];
    std::snprintf(head, sizeof head, "%.2f\t%lld\t%lld\t%lld\t%lld\t", sweep.threshold(i),
                  static_cast<long long>(c.tp), static_cast<long long>(c.fp),
                  static_cast<long long>(c.fn), static_cast<long long>(c.tn));
    table += head;
    table += FormatRatio(c.Precision()) + '\t' + FormatRatio(c.Recall()) + '\t' +
             FormatRatio(c.F1()) + '\n';
  }
  return table;
}

bool RecallAtFullPrecision(const ThresholdSweep& sweep, double* recall, double* threshold) {
  bool found = false;
  for (size_t i = 0; i < sweep.size(); ++i) {
    const EvaluationCounts& c = sweep.counts(i);
    if (c.tp == 0 || c.fp != 0) continue;
    if (!found || c.Recall() > *recall) {
      *recall = c.Recall();
      *threshold = sweep.threshold(i);
      found = true;
    }
  }
  return found;
}
