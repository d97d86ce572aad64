#include "FrameAnnotator.h"

#include <algorithm>
#include <cstdio>
#include <opencv2/imgproc.hpp>

namespace placefinder {

namespace {

const cv::Scalar kYellow(0, 255, 255, 0);
const cv::Point kIdentifierLineOrigin(0, 14);
const cv::Point kLocationLineOrigin(0, 30);

}  // namespace

std::string FrameAnnotator::LocationLine(std::optional<uint32_t> location) {
  if (!location) return std::string();
  char line[32];
  std::snprintf(line, sizeof line, "LctIdx[%u]", *location);
  return line;
}

void FrameAnnotator::Draw(cv::Mat& image, const iList<Detection>& detections,
                          const std::string& identifierLine, std::optional<uint32_t> location) {
  DrawLabels(image, detections);
  DrawInfo(image, identifierLine, LocationLine(location));
}

void FrameAnnotator::DrawLabels(cv::Mat& image, const iList<Detection>& detections) {
  labels_.Begin(image);
  for (const iListNode<Detection>* node = detections.head; node != nullptr; node = node->next) {
    const Detection& d = node->value;
    labels_.Add(static_cast<uint16_t>(d.id), d.x + 4, d.y + (d.height >> 1) + 8);
  }
  labels_.Finish();
}

void FrameAnnotator::DrawInfo(cv::Mat& image, const std::string& identifierLine,
                              const std::string& locationLine) {
  const int bandRows = std::min(kInfoBandRows, image.rows);
  if (bandRows > 0) {
    cv::Mat band = image.rowRange(0, bandRows);
    band.convertTo(band, -1, 0.5, 0.0);
  }
  cv::putText(image, identifierLine, kIdentifierLineOrigin, cv::FONT_HERSHEY_PLAIN, 1.0, kYellow, 1,
              cv::LINE_8);
  cv::putText(image, locationLine, kLocationLineOrigin, cv::FONT_HERSHEY_PLAIN, 1.0, kYellow, 1,
              cv::LINE_8);
}

}  // namespace placefinder
