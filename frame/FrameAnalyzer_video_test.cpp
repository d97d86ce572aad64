#include <gtest/gtest.h>

#include <cstdio>
#include <opencv2/videoio.hpp>
#include <vector>

#include "FrameAnalyzer.h"
#include "PlaceMap.h"

namespace placefinder {

namespace {

// Three rounds of a real video, as Placefinder plays it with two rewinds: the
// later rounds find the strings of the first and record few new locations.
TEST(FrameAnalyzerTest, LaterRoundsOfARealVideoAreRecognised) {
  cv::VideoCapture capture(PF_DATA_DIR "/tree.avi", cv::CAP_FFMPEG);
  ASSERT_TRUE(capture.isOpened()) << "data/tree.avi is missing: run scripts/setup.sh";
  std::vector<cv::Mat> frames;
  for (cv::Mat frame; capture.read(frame);) frames.push_back(frame.clone());
  ASSERT_GT(frames.size(), 50u);
  FrameAnalyzer analyzer;
  PlaceMap places;
  uint32_t recorded[3];
  int64_t shown = 0;
  for (uint32_t& round : recorded) {
    const uint32_t before = places.locationCounter();
    for (const cv::Mat& frame : frames) {
      places.Recognise(analyzer.Analyze(frame).frameString, "tree.avi", shown++);
    }
    round = places.locationCounter() - before;
  }
  std::printf("locations recorded per round of %zu frames: %u, %u, %u\n", frames.size(),
              recorded[0], recorded[1], recorded[2]);
  EXPECT_GE(recorded[0], 1u);
  EXPECT_LE(recorded[1], recorded[0]);
  EXPECT_EQ(recorded[2], 0u) << "the third round meets only strings seen before";
}

}  // namespace

}  // namespace placefinder
