#include "FrameProcessor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <opencv2/imgproc.hpp>
#include <optional>
#include <random>
#include <vector>

#include "MatchSimilar.h"
#include "PlaybackPosition.h"

namespace {

// A BGR frame of the given gray level with a white 16 x 16 square whose top
// left corner, after the rows are flipped, is at (40, 40).
cv::Mat SquareFrame(cv::Size size, int ground) {
  cv::Mat frame(size, CV_8UC3, cv::Scalar::all(ground));
  frame(cv::Rect(40, size.height - 56, 16, 16)).setTo(cv::Scalar::all(255));
  return frame;
}

cv::Mat NoiseFrame(cv::Size size, unsigned seed) {
  cv::Mat small(size.height / 8, size.width / 8, CV_8UC3);
  cv::theRNG().state = seed;
  cv::randu(small, 0, 256);
  cv::Mat frame;
  cv::resize(small, frame, size, 0, 0, cv::INTER_NEAREST);
  return frame;
}

// The annotated image built step by step with plain OpenCV calls: flip, one
// cv::putText per label, the band halved, the two lines.
cv::Mat ReferenceImage(const cv::Mat& frame, const iList<Detection>& detections,
                       const FrameResult& result) {
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
  cv::putText(image, result.identifierLine, cv::Point(0, 14), cv::FONT_HERSHEY_PLAIN, 1.0, yellow,
              1, cv::LINE_8);
  cv::putText(image, result.locationLine, cv::Point(0, 30), cv::FONT_HERSHEY_PLAIN, 1.0, yellow, 1,
              cv::LINE_8);
  return image;
}

TEST(FrameProcessorTest, AnnotatesExactlyAsThePlainDrawingCallsDo) {
  FrameProcessor processor;
  for (const cv::Mat& frame : {NoiseFrame(cv::Size(320, 240), 1), NoiseFrame(cv::Size(320, 240), 2),
                               SquareFrame(cv::Size(96, 80), 0)}) {
    const FrameResult& result = processor.Process(frame);
    ASSERT_GT(result.detections, 20);
    cv::Mat diff;
    cv::absdiff(ReferenceImage(frame, processor.detections(), result), processor.image(), diff);
    EXPECT_EQ(cv::countNonZero(diff.reshape(1)), 0);
  }
}

TEST(FrameProcessorTest, WithoutDrawingGivesTheSameResults) {
  FrameProcessor drawing;
  FrameProcessor counting(false);
  for (const cv::Mat& frame :
       {NoiseFrame(cv::Size(320, 240), 4), SquareFrame(cv::Size(96, 80), 0),
        NoiseFrame(cv::Size(320, 240), 4), cv::Mat(80, 96, CV_8UC3, cv::Scalar::all(9)),
        NoiseFrame(cv::Size(200, 160), 5)}) {
    const FrameResult& a = drawing.Process(frame);
    const FrameResult& b = counting.Process(frame);
    EXPECT_EQ(a.detections, b.detections);
    EXPECT_EQ(a.runs, b.runs);
    EXPECT_EQ(a.location, b.location);
    EXPECT_EQ(a.newLocation, b.newLocation);
    EXPECT_EQ(a.identifierLine, b.identifierLine);
    EXPECT_EQ(a.locationLine, b.locationLine);
    EXPECT_EQ(cv::countNonZero(drawing.gray() != counting.gray()), 0);
    EXPECT_TRUE(counting.image().empty());
  }
}

TEST(FrameProcessorTest, RecognisesRepeatedFramesAndRecordsNewOnes) {
  FrameProcessor processor;
  const cv::Mat square = SquareFrame(cv::Size(96, 80), 0);
  const cv::Mat black(80, 96, CV_8UC3, cv::Scalar::all(0));
  struct Step {
    const cv::Mat* frame;
    std::optional<uint32_t> location;
    std::optional<uint32_t> recorded;
    const char* locationLine;
  };
  const Step steps[] = {
      {&square, std::nullopt, 0u, ""},  // the first frame is always new
      {&square, 0u, std::nullopt, "LctIdx[0]"},
      {&black, std::nullopt, 1u, ""},  // no detections: a new, empty string
      {&black, 1u, std::nullopt, "LctIdx[1]"},
      {&square, 0u, std::nullopt, "LctIdx[0]"},
      {&black, 1u, std::nullopt, "LctIdx[1]"},
  };
  for (size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
    SCOPED_TRACE(i);
    const FrameResult& result = processor.Process(*steps[i].frame);
    EXPECT_EQ(result.location, steps[i].location);
    EXPECT_EQ(result.newLocation, steps[i].recorded);
    EXPECT_EQ(result.locationLine, steps[i].locationLine);
  }
  EXPECT_EQ(processor.locationCounter(), 2u);
  EXPECT_EQ(processor.detector().knownStrings->entries->count, 2);
}

TEST(FrameProcessorTest, ReportsTheAcceptedStringsSimilarityAtItsThreshold) {
  // Two noise frames that share part of their strings: the similarity of the
  // second to the first decides, at each threshold, whether it is recognised.
  const cv::Mat first = NoiseFrame(cv::Size(320, 240), 6);
  cv::Mat second = first.clone();
  second(cv::Rect(0, 0, 160, 240)).setTo(cv::Scalar::all(90));
  FrameProcessor probe(false);
  probe.Process(second);
  iMarkrun<int16_t> secondString = probe.frameString();
  probe.Process(first);
  const double expected = Similarity(probe.frameString(), secondString);
  ASSERT_GT(expected, 0.0);
  ASSERT_LT(expected, 1.0);

  for (const double threshold : {0.0, expected, std::nextafter(expected, 2.0), 1.0}) {
    SCOPED_TRACE(threshold);
    FrameProcessor processor(false, threshold);
    EXPECT_EQ(processor.threshold(), threshold);
    EXPECT_FALSE(processor.Process(first).similarity);
    const FrameResult& result = processor.Process(second);
    if (expected >= threshold) {
      EXPECT_EQ(result.location, 0u);
      EXPECT_EQ(result.similarity, expected);
    } else {
      EXPECT_EQ(result.newLocation, 1u);
      EXPECT_FALSE(result.similarity);
    }
  }
  FrameProcessor processor;
  processor.Process(first);
  EXPECT_EQ(processor.Process(first).similarity, 1.0);
}

TEST(FrameProcessorTest, IdentifierLineHoldsTheFirstTwentyLabels) {
  FrameProcessor processor;
  const FrameResult& result = processor.Process(SquareFrame(cv::Size(96, 80), 0));
  EXPECT_EQ(result.detections, 947);
  std::string expected;
  const iListNode<Detection>* n = processor.detections().head;
  for (int i = 0; i < 20; ++i, n = n->next) {
    char text[8];
    std::snprintf(text, sizeof text, "%4.4X ", static_cast<unsigned>(n->value.id));
    expected += text;
  }
  EXPECT_EQ(result.identifierLine, expected);
  EXPECT_EQ(result.identifierLine.substr(0, 5), "0001 ");

  const FrameResult& empty = processor.Process(cv::Mat(80, 96, CV_8UC3, cv::Scalar::all(0)));
  EXPECT_EQ(empty.detections, 0);
  EXPECT_EQ(empty.identifierLine, "");
}

TEST(FrameProcessorTest, HalvesTheInfoBandOnly) {
  FrameProcessor processor;
  const cv::Mat frame(120, 160, CV_8UC3, cv::Scalar(200, 101, 7));  // uniform: no detections
  const FrameResult& result = processor.Process(frame);
  ASSERT_EQ(result.detections, 0);
  const cv::Mat& image = processor.image();
  // Right of the (empty) text lines the band holds the halved colour; below it
  // the frame is untouched. Halving rounds half to even, as OpenCV does.
  EXPECT_EQ(image.at<cv::Vec3b>(5, 150), cv::Vec3b(100, 50, 4));
  EXPECT_EQ(image.at<cv::Vec3b>(35, 0), cv::Vec3b(100, 50, 4));
  EXPECT_EQ(image.at<cv::Vec3b>(36, 0), cv::Vec3b(200, 101, 7));
}

TEST(FrameProcessorTest, FramesMayChangeSize) {
  FrameProcessor processor;
  const cv::Mat square = SquareFrame(cv::Size(96, 80), 0);
  const int square_detections = processor.Process(square).detections;
  for (const cv::Size size : {cv::Size(200, 40), cv::Size(20, 10), cv::Size(641, 123)}) {
    SCOPED_TRACE(size);
    processor.Process(NoiseFrame(size, 3));
    EXPECT_EQ(processor.image().size(), size);
    EXPECT_EQ(processor.Process(square).detections, square_detections);
  }
}

TEST(PlaybackPositionTest, FormatsHoursMinutesSecondsAndMilliseconds) {
  EXPECT_EQ(PositionLine(3723004), "==> film current position: 01:02:03.004\n");
  EXPECT_EQ(PositionLine(0), "==> film current position: 00:00:00.000\n");
  EXPECT_EQ(PositionMilliseconds(1234.9), 1234u);
  EXPECT_EQ(PositionMilliseconds(-1.0), 4294967295u);  // a negative position, taken as unsigned
  EXPECT_EQ(PositionMilliseconds(1e12), 0u);
}

}  // namespace
