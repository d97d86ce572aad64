// FramePicture: the small picture of a frame that a place map keeps of each
// place and that Placetrace's report shows beside it.
//
// The picture is of the frame as the capture delivered it (the right way up,
// as a video player shows it, not flipped as the analysis reads it), at its
// own size whatever width the analysis resizes to, shrunk by area averaging
// so that its longest side is kMaxThumbnailSide pixels (a smaller frame is
// kept as it is). Placetrace makes one only for the frames that need it (a
// frame that records a place, one that enters the report's sample), never
// for every frame.

#ifndef REPORT_FRAMEPICTURE_H_
#define REPORT_FRAMEPICTURE_H_

#include <opencv2/core.hpp>
#include <string>

#include "Thumbnail.h"

namespace placefinder {

// The small BGR picture of `frame`, a frame as FrameAnalyzer takes it (8-bit,
// 1, 3 or 4 channels). REQUIRES: frame is not empty.
cv::Mat SmallPicture(const cv::Mat& frame);

// The JPEG bytes of a small picture, as a place map keeps them (Thumbnail.h).
// REQUIRES: picture is 8-bit BGR (or gray), neither side above
// kMaxThumbnailSide.
std::string EncodePicture(const cv::Mat& picture);

}  // namespace placefinder

#endif  // REPORT_FRAMEPICTURE_H_
