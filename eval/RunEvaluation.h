// RunEvaluation: the evaluation of one collection's recognitions over a run:
// the collection's origins and counts, fed each frame's result in order.
//
// Sweep: the same frames recognised once per threshold 0.30, 0.31, ...,
// 0.99, each threshold with a collection (and origins, and counts) of its
// own, so that each frame is detected only once.

#ifndef EVAL_RUNEVALUATION_H_
#define EVAL_RUNEVALUATION_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FrameProcessor.h"
#include "GroundTruth.h"
#include "PlaceEvaluation.h"
#include "PlaceOrigins.h"

class RunEvaluation {
 public:
  explicit RunEvaluation(const GroundTruth& truth) : truth_(truth) {}

  // The places of a loaded map's stored origins count as seen.
  void MarkSeen(const PlaceOrigins& stored);

  // Counts a frame showing `place` (-1: none, not counted) from its
  // `result`, judged by `origins`, the origins of the collection that gave
  // the result as they were before this frame recorded anything.
  void Count(int32_t place, const FrameResult& result, const PlaceOrigins& origins);

  const EvaluationCounts& counts() const { return evaluation_.counts(); }

 private:
  const GroundTruth& truth_;
  PlaceEvaluation evaluation_;
};

class ThresholdSweep {
 public:
  // Thresholds 0.30, 0.31, ... 0.99, each the double nearest k / 100.
  static std::vector<double> Thresholds();

  explicit ThresholdSweep(const GroundTruth& truth);

  // Starts the collection of threshold i (in Thresholds() order) from a
  // loaded map's strings, counter and origins.
  void Restore(size_t i, std::unique_ptr<LocationDetector::KnownStrings> strings, uint32_t counter,
               PlaceOrigins origins);

  // Recognises frame `frame` of `video`, showing `place` (-1: none), that
  // `detected` prepared and detected (see FrameProcessor::RecogniseDetected)
  // at every threshold and counts it.
  void Count(const FrameProcessor& detected, const std::string& video, int64_t frame,
             int32_t place);

  size_t size() const { return lanes_.size(); }
  double threshold(size_t i) const { return lanes_[i]->processor.threshold(); }
  const EvaluationCounts& counts(size_t i) const { return lanes_[i]->evaluation.counts(); }

 private:
  struct Lane {
    Lane(double threshold, const GroundTruth& truth)
        : processor(/*annotate=*/false, threshold), evaluation(truth) {}
    FrameProcessor processor;
    PlaceOrigins origins;
    RunEvaluation evaluation;
  };
  std::vector<std::unique_ptr<Lane>> lanes_;
};

// The sweep's table: a header `threshold tp fp fn tn precision recall f1`
// (tab-separated) and a line per threshold.
std::string SweepTable(const ThresholdSweep& sweep);

// The highest recall of a threshold with 100 % precision (tp > 0, fp = 0) and
// the lowest threshold that has it; false when no threshold has such
// precision.
bool RecallAtFullPrecision(const ThresholdSweep& sweep, double* recall, double* threshold);

#endif  // EVAL_RUNEVALUATION_H_
