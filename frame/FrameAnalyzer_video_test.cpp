#include <gtest/gtest.h>

#include <cstdio>
#include <string>
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

// The vector scan and the scalar one give the same lists on real frames of
// every sample video (every seventh frame, to keep the sanitizer build quick).
TEST(FrameAnalyzerTest, BothScansGiveTheSameListsOnTheSampleVideos) {
  if (!LocationDetector::VectorScanAvailable()) GTEST_SKIP() << "no vector scan on this processor";
  LocationDetector vector;
  LocationDetector scalar;
  scalar.SetScalarScan(true);
  FrameAnalyzer analyzer;  // for the flipped gray frame
  int compared = 0;
  for (const char* name : {"/tree.avi", "/Megamind.avi", "/vtest.avi"}) {
    cv::VideoCapture capture(std::string(PF_DATA_DIR) + name, cv::CAP_FFMPEG);
    ASSERT_TRUE(capture.isOpened()) << name << " is missing: run scripts/setup.sh";
    int i = 0;
    for (cv::Mat frame; capture.read(frame); ++i) {
      if (i % 7 != 0) continue;
      analyzer.Prepare(frame, nullptr);
      const iList<Detection> a = vector.DetectAllShapes(analyzer.gray());
      const iList<Detection> b = scalar.DetectAllShapes(analyzer.gray());
      ASSERT_EQ(a.count, b.count) << name << " frame " << i;
      for (auto *x = a.head, *y = b.head; x != nullptr; x = x->next, y = y->next) {
        ASSERT_TRUE(x->value.id == y->value.id && x->value.x == y->value.x &&
                    x->value.y == y->value.y && x->value.width == y->value.width &&
                    x->value.height == y->value.height)
            << name << " frame " << i;
      }
      ++compared;
    }
  }
  EXPECT_GT(compared, 150);
}

}  // namespace

}  // namespace placefinder
