#include "PlaceEvaluation.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace placefinder {

namespace {

double Ratio(int64_t part, int64_t whole) {
  return whole == 0 ? std::numeric_limits<double>::quiet_NaN()
                    : static_cast<double>(part) / static_cast<double>(whole);
}

}  // namespace

double EvaluationCounts::Precision() const { return Ratio(tp, tp + fp); }
double EvaluationCounts::Recall() const { return Ratio(tp, tp + fn); }
double EvaluationCounts::F1() const {
  // 2 tp / (2 tp + fp + fn) is the harmonic mean of precision and recall,
  // in counts.
  return Ratio(2 * tp, 2 * tp + fp + fn);
}

std::string FormatRatio(double ratio) {
  if (std::isnan(ratio)) return "nan";
  char text[32];
  std::snprintf(text, sizeof text, "%.4f", ratio);
  return text;
}

std::string EvaluationCounts::Line() const {
  return "tp=" + std::to_string(tp) + " fp=" + std::to_string(fp) + " fn=" + std::to_string(fn) +
         " tn=" + std::to_string(tn) + " precision=" + FormatRatio(Precision()) +
         " recall=" + FormatRatio(Recall()) + " f1=" + FormatRatio(F1());
}

void PlaceEvaluation::MarkSeen(int32_t place) {
  if (place < 0) return;
  if (static_cast<size_t>(place) >= seen_.size()) seen_.resize(place + 1, false);
  seen_[place] = true;
}

void PlaceEvaluation::Count(int32_t place, bool recognised, int32_t originPlace) {
  if (place < 0) return;
  if (recognised) {
    if (originPlace < 0) return;  // nothing to judge it by: the frame is not counted
    ++(originPlace == place ? counts_.tp : counts_.fp);
  } else {
    const bool seen = static_cast<size_t>(place) < seen_.size() && seen_[place];
    ++(seen ? counts_.fn : counts_.tn);
  }
  MarkSeen(place);
}

void PlaceEvaluation::CountUnstored(int32_t place) {
  if (place < 0) return;
  const bool seen = static_cast<size_t>(place) < seen_.size() && seen_[place];
  ++(seen ? counts_.fn : counts_.tn);
}

}  // namespace placefinder
