// PlaceEvaluation: counts a run's recognitions against the ground truth.
//
// Frames are counted in the order they are recognised; a frame without a
// place is not counted. For a counted frame:
//   - recognised: a true positive when the frame whose string the found
//     entry holds (its origin: the frame that recorded the place or last
//     replaced it, or for a loaded map the stored origin) shows the same
//     place, a false positive when it shows another, and not counted when
//     the origin has no place;
//   - recorded as a new location: a false negative when an earlier counted
//     frame (or, for a loaded map, a stored origin) showed the same place,
//     else a true negative;
//   - neither recognised nor recorded (a frame with too few boxes, one held
//     for agreement, any unmatched frame of a map that is only searched):
//     counted as a recorded one is, but its place is not seen because of it,
//     since the map did not take it.

#ifndef EVAL_PLACEEVALUATION_H_
#define EVAL_PLACEEVALUATION_H_

#include <cstdint>
#include <string>
#include <vector>

namespace placefinder {

struct EvaluationCounts {
  int64_t tp = 0;
  int64_t fp = 0;
  int64_t fn = 0;
  int64_t tn = 0;

  // Each a ratio of counts; 0 / 0 gives NaN.
  double Precision() const;
  double Recall() const;
  // The harmonic mean of precision and recall, in counts 2 tp / (2 tp + fp +
  // fn): 0 when nothing was found right, NaN only when nothing was counted
  // but true negatives.
  double F1() const;

  // "tp=N fp=N fn=N tn=N precision=X recall=Y f1=Z", ratios with 4 decimals
  // and "nan" for 0 / 0.
  std::string Line() const;
};

// A ratio with 4 decimals, or "nan".
std::string FormatRatio(double ratio);

class PlaceEvaluation {
 public:
  // Marks `place` (>= 0) as already seen: a place a loaded map holds.
  void MarkSeen(int32_t place);

  // Counts a frame showing `place` (-1: no place, not counted) that was
  // recognised, the found entry's origin showing `originPlace` (-1: no place,
  // and the frame is not counted), or, when `recognised` is false, that was
  // recorded as a new location. A counted frame's place is seen from then on.
  void Count(int32_t place, bool recognised, int32_t originPlace);
  // Counts a frame showing `place` (-1: not counted) that the map neither
  // recognised nor recorded.
  void CountUnstored(int32_t place);

  const EvaluationCounts& counts() const { return counts_; }

 private:
  EvaluationCounts counts_;
  std::vector<bool> seen_;  // by place
};

}  // namespace placefinder

#endif  // EVAL_PLACEEVALUATION_H_
