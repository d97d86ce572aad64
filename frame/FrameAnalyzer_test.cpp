#include "FrameAnalyzer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>
#include "SceneFrames.h"

namespace placefinder {

namespace {

// A BGR frame of the given gray level with a white 16 x 16 square whose top
// left corner, after the rows are flipped, is at (40, 40).
cv::Mat SquareFrame(cv::Size size, int ground) {
  cv::Mat frame(size, CV_8UC3, cv::Scalar::all(ground));
  frame(cv::Rect(40, size.height - 56, 16, 16)).setTo(cv::Scalar::all(255));
  return frame;
}

std::string LineOf(const iList<Detection>& detections) {
  std::string line;
  int n = 0;
  for (const iListNode<Detection>* d = detections.head; d != nullptr && n < 20; d = d->next, ++n) {
    char text[8];
    std::snprintf(text, sizeof text, "%4.4X ", static_cast<unsigned>(d->value.id));
    line += text;
  }
  return line;
}

// The analysis is that of the flipped gray frame, whichever way the frame
// comes (BGR, gray, BGRA) and whether or not the flipped colour frame is kept.
TEST(FrameAnalyzerTest, AnalyzesTheFlippedGrayFrameOfAnyChannelCount) {
  const cv::Mat bgr = NoiseFrame(cv::Size(320, 240), 4);
  cv::Mat gray, bgra;
  cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
  cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
  cv::Mat flippedGray;
  cv::flip(gray, flippedGray, 0);
  LocationDetector reference;
  const iList<Detection> expected = reference.DetectAllShapes(flippedGray);
  ASSERT_GT(expected.count, 100);
  iMarkrun<int16_t> expectedString;
  expectedString.SetIds(expected, false);

  FrameAnalyzer analyzer;
  for (const cv::Mat* frame : std::vector<const cv::Mat*>{&bgr, &gray, &bgra}) {
    for (const bool keepColour : {false, true}) {
      SCOPED_TRACE(std::to_string(frame->channels()) + " channels, colour kept " +
                   std::to_string(keepColour));
      cv::Mat flipped;
      const AnalyzedFrame& a = analyzer.Analyze(*frame, keepColour ? &flipped : nullptr);
      EXPECT_EQ(cv::countNonZero(analyzer.gray() != flippedGray), 0);
      EXPECT_EQ(a.detectionCount(), expected.count);
      EXPECT_TRUE(a.frameString == expectedString);
      EXPECT_EQ(a.frameString.length, expectedString.length);
      EXPECT_EQ(a.identifierLine, LineOf(expected));
      if (keepColour) {
        cv::Mat back;
        cv::flip(flipped, back, 0);
        ASSERT_EQ(back.type(), CV_8UC3);
        cv::Mat expectedColour;
        if (frame->channels() == 1) {
          cv::cvtColor(gray, expectedColour, cv::COLOR_GRAY2BGR);
        } else {
          expectedColour = bgr;
        }
        EXPECT_EQ(cv::norm(back, expectedColour, cv::NORM_INF), 0.0);
      }
    }
  }
}

TEST(FrameAnalyzerTest, IdentifierLineHoldsTheFirstTwentyLabels) {
  FrameAnalyzer analyzer;
  const AnalyzedFrame& a = analyzer.Analyze(SquareFrame(cv::Size(96, 80), 0));
  EXPECT_EQ(a.detectionCount(), 947);
  EXPECT_EQ(a.identifierLine.size(), 100u);
  EXPECT_EQ(a.identifierLine.substr(0, 5), "0001 ");
  EXPECT_EQ(a.identifierLine, LineOf(a.detections));
  const AnalyzedFrame& empty = analyzer.Analyze(cv::Mat(80, 96, CV_8UC3, cv::Scalar::all(0)));
  EXPECT_EQ(empty.detectionCount(), 0);
  EXPECT_EQ(empty.frameString.RunCount(), 0);
  EXPECT_EQ(empty.identifierLine, "");
}

TEST(FrameAnalyzerTest, FramesMayChangeSizeAndAnalyzeIntoOtherResults) {
  FrameAnalyzer analyzer;
  const cv::Mat square = SquareFrame(cv::Size(96, 80), 0);
  const int squareDetections = analyzer.Analyze(square).detectionCount();
  AnalyzedFrame elsewhere;
  for (const cv::Size size : {cv::Size(200, 40), cv::Size(20, 10), cv::Size(641, 123)}) {
    SCOPED_TRACE(size);
    analyzer.Analyze(NoiseFrame(size, 3), elsewhere);
    EXPECT_EQ(analyzer.gray().size(), size);
    EXPECT_EQ(analyzer.Analyze(square).detectionCount(), squareDetections);
  }
  analyzer.Analyze(square, elsewhere);
  EXPECT_TRUE(elsewhere.frameString == analyzer.result().frameString);
}

TEST(FrameAnalyzerTest, RefusesFramesItCannotRead) {
  FrameAnalyzer analyzer;
  EXPECT_THROW(analyzer.Analyze(cv::Mat()), cv::Exception);
  EXPECT_THROW(analyzer.Analyze(cv::Mat(8, 8, CV_16UC1, cv::Scalar(0))), cv::Exception);
  EXPECT_THROW(analyzer.Analyze(cv::Mat(8, 8, CV_8UC2, cv::Scalar(0))), cv::Exception);
}

}  // namespace

}  // namespace placefinder
