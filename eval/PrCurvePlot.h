// PrCurvePlot: draws a threshold sweep's precision-recall curve: recall on
// the horizontal axis, precision on the vertical one, both from 0 to 1 with a
// tick and a label every 0.1, one dot per threshold that has both ratios,
// joined in threshold order, and the marked threshold (the program's own) as
// a ring with its value written beside it.

#ifndef EVAL_PRCURVEPLOT_H_
#define EVAL_PRCURVEPLOT_H_

#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace placefinder {

struct PrPoint {
  double threshold;
  double precision;  // NaN: no positive answer at this threshold
  double recall;     // NaN: nothing to recall
};

class PrCurvePlot {
 public:
  static constexpr int kWidth = 640;
  static constexpr int kHeight = 520;
  static constexpr int kLeft =
      80;  // plot area: [kLeft, kWidth - kRight] x [kTop, kHeight - kBottom]
  static constexpr int kRight = 30;
  static constexpr int kTop = 50;
  static constexpr int kBottom = 70;

  // The pixel of (recall, precision) in the image.
  static cv::Point ToPixel(double recall, double precision);

  // A BGR image of the curve with `title` above it.
  static cv::Mat Draw(const std::vector<PrPoint>& points, double marked, const std::string& title);
};

}  // namespace placefinder

#endif  // EVAL_PRCURVEPLOT_H_
