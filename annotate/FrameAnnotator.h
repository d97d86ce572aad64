// FrameAnnotator: what the window shows on a frame: every detection's label
// at its box, the info band at the top darkened to half, and in it the
// identifier line and, when the frame was recognised, the location line
// "LctIdx[n]", both in yellow.
//
// Labels go through a LabelPainter, which gives cv::putText's pixels at a
// fraction of its cost. Not thread-safe.

#ifndef ANNOTATE_FRAMEANNOTATOR_H_
#define ANNOTATE_FRAMEANNOTATOR_H_

#include <cstdint>
#include <opencv2/core.hpp>
#include <optional>
#include <string>

#include "Detection.h"
#include "LabelPainter.h"
#include "iList.h"

namespace placefinder {

class FrameAnnotator {
 public:
  static constexpr int kInfoBandRows = 36;

  // "LctIdx[n]" for a recognised location, else empty.
  static std::string LocationLine(std::optional<uint32_t> location);

  // Draws on `image` (8-bit BGR, the flipped frame the detections were found
  // in) the label of every detection, then the band and its two lines.
  void Draw(cv::Mat& image, const iList<Detection>& detections, const std::string& identifierLine,
            std::optional<uint32_t> location);

  // The two steps of Draw(), for benchmarks.
  void DrawLabels(cv::Mat& image, const iList<Detection>& detections);
  static void DrawInfo(cv::Mat& image, const std::string& identifierLine,
                       const std::string& locationLine);

 private:
  LabelPainter labels_;
};

}  // namespace placefinder

#endif  // ANNOTATE_FRAMEANNOTATOR_H_
