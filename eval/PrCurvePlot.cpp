#include "PrCurvePlot.h"

#include <cmath>
#include <cstdio>
#include <opencv2/imgproc.hpp>

namespace placefinder {

namespace {

const cv::Scalar kInk(40, 40, 40);
const cv::Scalar kGrid(225, 225, 225);
const cv::Scalar kCurve(180, 90, 20);
const cv::Scalar kMark(30, 30, 220);
constexpr int kFont = cv::FONT_HERSHEY_SIMPLEX;

void Centred(cv::Mat& image, const std::string& text, cv::Point centre, double scale) {
  int baseline = 0;
  const cv::Size size = cv::getTextSize(text, kFont, scale, 1, &baseline);
  cv::putText(image, text, cv::Point(centre.x - size.width / 2, centre.y + size.height / 2), kFont,
              scale, kInk, 1, cv::LINE_AA);
}

}  // namespace

cv::Point PrCurvePlot::ToPixel(double recall, double precision) {
  const double w = kWidth - kLeft - kRight;
  const double h = kHeight - kTop - kBottom;
  return cv::Point(kLeft + static_cast<int>(std::lround(recall * w)),
                   kHeight - kBottom - static_cast<int>(std::lround(precision * h)));
}

cv::Mat PrCurvePlot::Draw(const std::vector<PrPoint>& points, double marked,
                          const std::string& title) {
  cv::Mat image(kHeight, kWidth, CV_8UC3, cv::Scalar::all(255));
  for (int i = 0; i <= 10; ++i) {
    const double v = i / 10.0;
    char label[8];
    std::snprintf(label, sizeof label, "%.1f", v);
    // Grid lines, ticks and tick labels of both axes.
    cv::line(image, ToPixel(v, 0), ToPixel(v, 1), kGrid, 1);
    cv::line(image, ToPixel(0, v), ToPixel(1, v), kGrid, 1);
    cv::line(image, ToPixel(v, 0), ToPixel(v, 0) + cv::Point(0, 6), kInk, 1);
    cv::line(image, ToPixel(0, v), ToPixel(0, v) - cv::Point(6, 0), kInk, 1);
    Centred(image, label, ToPixel(v, 0) + cv::Point(0, 20), 0.45);
    Centred(image, label, ToPixel(0, v) - cv::Point(28, 0), 0.45);
  }
  cv::rectangle(image, ToPixel(0, 1), ToPixel(1, 0), kInk, 1);
  Centred(image, "recall", cv::Point((kLeft + kWidth - kRight) / 2, kHeight - 22), 0.6);
  Centred(image, title, cv::Point(kWidth / 2, 22), 0.6);
  // The vertical axis label, written sideways.
  cv::Mat label(30, 120, CV_8UC3, cv::Scalar::all(255));
  Centred(label, "precision", cv::Point(60, 15), 0.6);
  cv::rotate(label, label, cv::ROTATE_90_COUNTERCLOCKWISE);
  label.copyTo(image(cv::Rect(8, (kTop + kHeight - kBottom) / 2 - 60, 30, 120)));

  bool havePrevious = false;
  cv::Point previous;
  for (const PrPoint& p : points) {
    if (std::isnan(p.precision) || std::isnan(p.recall)) {
      havePrevious = false;
      continue;
    }
    const cv::Point at = ToPixel(p.recall, p.precision);
    if (havePrevious) cv::line(image, previous, at, kCurve, 2, cv::LINE_AA);
    cv::circle(image, at, 3, kCurve, cv::FILLED, cv::LINE_AA);
    previous = at;
    havePrevious = true;
  }
  for (const PrPoint& p : points) {
    if (std::abs(p.threshold - marked) > 1e-9 || std::isnan(p.precision) || std::isnan(p.recall)) {
      continue;
    }
    const cv::Point at = ToPixel(p.recall, p.precision);
    cv::circle(image, at, 8, kMark, 2, cv::LINE_AA);
    char text[48];
    std::snprintf(text, sizeof text, "threshold %.2f", marked);
    const cv::Point place(at.x + 12 < kWidth - 130 ? at.x + 12 : at.x - 140, at.y - 10);
    cv::putText(image, text, place, kFont, 0.5, kMark, 1, cv::LINE_AA);
  }
  return image;
}

}  // namespace placefinder
