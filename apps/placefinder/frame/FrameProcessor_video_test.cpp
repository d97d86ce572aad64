#include <gtest/gtest.h>

#include <cstdio>
#include <opencv2/videoio.hpp>
#include <vector>

#include "FrameProcessor.h"

namespace {

// Three rounds of a real video, as Placefinder plays it with two rewinds: the
// later rounds find the strings of the first and record few new locations.
TEST(FrameProcessorTest, LaterRoundsOfARealVideoAreRecognised) {
  cv::VideoCapture capture(PF_DATA_DIR "/tree.avi", cv::CAP_FFMPEG);
  ASSERT_TRUE(capture.isOpened()) << "data/tree.avi is missing: run scripts/setup.sh";
  std::vector<cv::Mat> frames;
  for (cv::Mat frame; capture.read(frame);) frames.push_back(frame.clone());
  ASSERT_GT(frames.size(), 50u);
  FrameProcessor processor;
  uint32_t recorded[3];
  for (uint32_t& round : recorded) {
    const uint32_t before = processor.locationCounter();
    for (const cv::Mat& frame : frames) processor.Process(frame);
    round = processor.locationCounter() - before;
  }
  std::printf("locations recorded per round of %zu frames: %u, %u, %u\n", frames.size(),
              recorded[0], recorded[1], recorded[2]);
  EXPECT_GE(recorded[0], 1u);
  EXPECT_LE(recorded[1], recorded[0]);
  EXPECT_EQ(recorded[2], 0u) << "the third round meets only strings seen before";
}

}  // namespace
