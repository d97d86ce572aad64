// RunEvaluation: the evaluation of one place map's recognitions over a run,
// fed each frame's recognition in order.
//
// ThresholdSweep: the same frames recognised once per threshold 0.30, 0.31,
// ..., 0.99, each threshold with a place map (and counts) of its own, so that
// each frame is analyzed only once.
//
// RankedRecall: recall@N of a map that is only searched: the share of the
// counted frames whose place the map holds that have it among their N most
// similar stored places.

#ifndef EVAL_RUNEVALUATION_H_
#define EVAL_RUNEVALUATION_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "GroundTruth.h"
#include "PlaceEvaluation.h"
#include "PlaceMap.h"
#include "PlaceOrigins.h"
#include "PrCurvePlot.h"
#include "iMarkrun.h"

namespace placefinder {

class RunEvaluation {
 public:
  explicit RunEvaluation(const GroundTruth& truth) : truth_(truth) {}

  // The places of a loaded map's stored origins count as seen.
  void MarkSeen(const PlaceOrigins& stored);

  // Counts a frame showing `place` (-1: none, not counted) by what its
  // recognition gave (PlaceEvaluation's rules).
  void Count(int32_t place, const Recognition& recognition);

  const EvaluationCounts& counts() const { return evaluation_.counts(); }

 private:
  const GroundTruth& truth_;
  PlaceEvaluation evaluation_;
};

class ThresholdSweep {
 public:
  // Thresholds 0.30, 0.31, ... 0.99, each the double nearest k / 100.
  static std::vector<double> Thresholds();

  // Every threshold starts from `start` (a loaded map, with its options; its
  // places count as seen) or, without one, from an empty map that
  // recognises by `options`. The thresholds share one copy of `start` until
  // each records a place of its own.
  ThresholdSweep(const GroundTruth& truth, const PlaceMap* start,
                 const RecognitionOptions& options = RecognitionOptions());

  // Recognises `frameString`, frame `frame` of `video`, showing `place` (-1:
  // none), at every threshold and counts it.
  void Count(const iMarkrun<int16_t>& frameString, const std::string& video, int64_t frame,
             int32_t place);

  size_t size() const { return lanes_.size(); }
  double threshold(size_t i) const { return lanes_[i]->map->threshold(); }
  const EvaluationCounts& counts(size_t i) const { return lanes_[i]->evaluation.counts(); }
  // The precision-recall point of every threshold, in threshold order.
  std::vector<PrPoint> Points() const;

 private:
  struct Lane {
    Lane(std::unique_ptr<PlaceMap> m, const GroundTruth& truth)
        : map(std::move(m)), evaluation(truth) {}
    std::unique_ptr<PlaceMap> map;
    RunEvaluation evaluation;
  };
  std::unique_ptr<PlaceMap> start_;  // the map every lane starts from, if any
  std::vector<std::unique_ptr<Lane>> lanes_;
};

// One line of a sweep's table: the threshold (two decimals), the four counts
// and the three ratios, tab-separated.
std::string SweepRow(double threshold, const EvaluationCounts& counts);

class RankedRecall {
 public:
  // The ranks at which recall is reported.
  static constexpr size_t kRanks[] = {1, 5, 10};
  static constexpr size_t kRankCount = 3;

  // The places of `stored`'s origins are the ones the map holds.
  RankedRecall(const GroundTruth& truth, const PlaceOrigins& stored);

  // Counts a frame showing `place` (-1: none) whose most similar stored
  // places, best first, are `ranked`; not counted unless the map holds its
  // place.
  void Count(int32_t place, const std::vector<RankedPlace>& ranked);

  int64_t counted() const { return counted_; }
  // By index into kRanks; NaN when nothing was counted.
  double Recall(size_t rank) const;
  // "recall@1: X recall@5: Y recall@10: Z" for the ranks up to `k` (at
  // least rank 1).
  std::string Line(size_t k) const;

 private:
  const GroundTruth& truth_;
  std::vector<bool> held_;  // by place
  int64_t counted_ = 0;
  int64_t found_[kRankCount] = {0, 0, 0};
};

// The sweep's table: a header `threshold tp fp fn tn precision recall f1`
// (tab-separated) and a line per threshold. `Sweep` as below.
template <typename Sweep>
std::string SweepTable(const Sweep& sweep) {
  std::string table = "threshold\ttp\tfp\tfn\ttn\tprecision\trecall\tf1\n";
  for (size_t i = 0; i < sweep.size(); ++i) table += SweepRow(sweep.threshold(i), sweep.counts(i));
  return table;
}

// The highest recall of a threshold with 100 % precision (tp > 0, fp = 0) and
// the lowest threshold that has it; false when no threshold has such
// precision. `Sweep` is ThresholdSweep or any sweep with size(),
// threshold(i) and counts(i), thresholds ascending.
template <typename Sweep>
bool RecallAtFullPrecision(const Sweep& sweep, double* recall, double* threshold) {
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

}  // namespace placefinder

#endif  // EVAL_RUNEVALUATION_H_
