#include "FrameAnnotator.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <opencv2/imgproc.hpp>
#include <optional>
#include <vector>

#include "FrameAnalyzer.h"
#include "PlaceMap.h"
#include "SceneFrames.h"

namespace placefinder {

namespace {

// The annotated image built step by step with plain OpenCV calls: flip, one
// cv::putText per label, the band halved, the two lines.
cv::Mat ReferenceImage(const cv::Mat& frame, const iList<Detection>& detections,
                       const std::string& identifierLine, const std::string& locationLine) {
  cv::Mat image;
  cv::flip(frame, image, 0);
  for (const iListNode<Detection>* n = detections.head; n != nullptr; n = n->next) {
    char text[8];
    std::snprintf(text, sizeof text, "%4.4X ", static_cast<unsigned>(n->value.id));
    cv::putText(image, text, cv::Point(n->value.x + 4, n->value.y + (n->value.height >> 1) + 8),
                cv::FONT_HERSHEY_PLAIN, 1.0, cv::Scalar(128, 128, 255, 0), 1, cv::LINE_8);
  }
  cv::Mat band = image(cv::Rect(0, 0, image.cols, std::min(36, image.rows)));
  band.convertTo(band, -1, 0.5, 0.0);
  const cv::Scalar yellow(0, 255, 255, 0);
  cv::putText(image, identifierLine, cv::Point(0, 14), cv::FONT_HERSHEY_PLAIN, 1.0, yellow, 1,
              cv::LINE_8);
  cv::putText(image, locationLine, cv::Point(0, 30), cv::FONT_HERSHEY_PLAIN, 1.0, yellow, 1,
              cv::LINE_8);
  return image;
}

// Frames recorded and then recognised, so that both location lines are drawn.
TEST(FrameAnnotatorTest, DrawsExactlyAsThePlainDrawingCallsDo) {
  FrameAnalyzer analyzer;
  PlaceMap places;
  FrameAnnotator annotator;
  const cv::Mat a = NoiseFrame(cv::Size(320, 240), 1);
  const cv::Mat b = NoiseFrame(cv::Size(320, 240), 2);
  int recognised = 0;
  int64_t n = 0;
  for (const cv::Mat* frame : std::vector<const cv::Mat*>{&a, &b, &a, &b}) {
    cv::Mat image;
    const AnalyzedFrame& analyzed = analyzer.Analyze(*frame, &image);
    ASSERT_GT(analyzed.detectionCount(), 20);
    const Recognition found = places.Recognise(analyzed.frameString, "noise", n++);
    recognised += found.location.has_value();
    annotator.Draw(image, analyzed.detections, analyzed.identifierLine, found.location);
    const cv::Mat expected = ReferenceImage(*frame, analyzed.detections, analyzed.identifierLine,
                                            FrameAnnotator::LocationLine(found.location));
    EXPECT_EQ(cv::norm(expected, image, cv::NORM_INF), 0.0);
  }
  EXPECT_GE(recognised, 2);
  EXPECT_LT(recognised, 4) << "the first frame is recorded, not recognised";
}

TEST(FrameAnnotatorTest, LocationLineNamesTheRecognisedLocation) {
  EXPECT_EQ(FrameAnnotator::LocationLine(std::nullopt), "");
  EXPECT_EQ(FrameAnnotator::LocationLine(0u), "LctIdx[0]");
  EXPECT_EQ(FrameAnnotator::LocationLine(4294967295u), "LctIdx[4294967295]");
}

TEST(FrameAnnotatorTest, HalvesTheInfoBandOnly) {
  cv::Mat image(120, 160, CV_8UC3, cv::Scalar(200, 101, 7));
  FrameAnnotator::DrawInfo(image, "", "");
  // Right of the (empty) text lines the band holds the halved colour; below it
  // the frame is untouched. Halving rounds half to even, as OpenCV does.
  EXPECT_EQ(image.at<cv::Vec3b>(5, 150), cv::Vec3b(100, 50, 4));
  EXPECT_EQ(image.at<cv::Vec3b>(35, 0), cv::Vec3b(100, 50, 4));
  EXPECT_EQ(image.at<cv::Vec3b>(36, 0), cv::Vec3b(200, 101, 7));
  cv::Mat low(20, 30, CV_8UC3, cv::Scalar::all(9));  // lower than the band
  FrameAnnotator::DrawInfo(low, "", "");
  EXPECT_EQ(low.at<cv::Vec3b>(19, 29), cv::Vec3b(4, 4, 4));
}

}  // namespace

}  // namespace placefinder
