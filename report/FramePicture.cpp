#include "FramePicture.h"

#include <algorithm>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

namespace placefinder {

namespace {

// Pictures of 160 pixels at this quality take 4 to 8 KiB and show a place
// well enough to tell it from another.
constexpr int kJpegQuality = 80;

}  // namespace

cv::Mat SmallPicture(const cv::Mat& frame) {
  CV_Assert(!frame.empty() && frame.depth() == CV_8U);
  cv::Mat colour;
  if (frame.channels() == 1) {
    cv::cvtColor(frame, colour, cv::COLOR_GRAY2BGR);
  } else if (frame.channels() == 4) {
    cv::cvtColor(frame, colour, cv::COLOR_BGRA2BGR);
  } else {
    colour = frame;
  }
  const int longest = std::max(colour.cols, colour.rows);
  if (longest <= kMaxThumbnailSide) return colour.clone();
  const double scale = static_cast<double>(kMaxThumbnailSide) / longest;
  const cv::Size size(
      std::clamp(static_cast<int>(std::lround(colour.cols * scale)), 1, kMaxThumbnailSide),
      std::clamp(static_cast<int>(std::lround(colour.rows * scale)), 1, kMaxThumbnailSide));
  cv::Mat small;
  cv::resize(colour, small, size, 0, 0, cv::INTER_AREA);
  return small;
}

std::string EncodePicture(const cv::Mat& picture) {
  CV_Assert(picture.cols <= kMaxThumbnailSide && picture.rows <= kMaxThumbnailSide);
  std::vector<uchar> jpeg;
  cv::imencode(".jpg", picture, jpeg, {cv::IMWRITE_JPEG_QUALITY, kJpegQuality});
  return std::string(jpeg.begin(), jpeg.end());
}

}  // namespace placefinder
