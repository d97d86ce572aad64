#include "VideoSource.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <opencv2/imgproc.hpp>
#include <string>

namespace {

// A Motion-JPEG file of `frames` frames whose frame i has the gray level
// 20 * (i + 1), so that a frame tells which one it is.
std::string WriteClip(int frames) {
  const std::string name = testing::TempDir() + "clip" + std::to_string(frames) + "_" +
                           std::to_string(getpid()) + ".avi";
  cv::VideoWriter writer(name, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25.0, cv::Size(64, 48),
                         true);
  EXPECT_TRUE(writer.isOpened());
  for (int i = 0; i < frames; ++i)
    writer.write(cv::Mat(48, 64, CV_8UC3, cv::Scalar::all(20 * (i + 1))));
  return name;
}

int FrameNumber(const cv::Mat& frame) {
  return static_cast<int>(cv::mean(frame)[0] / 20.0 + 0.5) - 1;
}

TEST(VideoSourceTest, ShortFilesPlayFromTheirFirstFrameAfterEverySeek) {
  for (const int frames : {1, 2, 3, 12}) {
    SCOPED_TRACE(frames);
    const std::string name = WriteClip(frames);
    VideoSource source;
    ASSERT_TRUE(source.OpenFile(name, cv::CAP_FFMPEG));
    source.StartupSeek();
    cv::Mat frame;
    for (int round = 0; round < 3; ++round) {
      SCOPED_TRACE(round);
      for (int i = 0; i < frames; ++i) {
        ASSERT_TRUE(source.Read(frame)) << "frame " << i;
        EXPECT_EQ(FrameNumber(frame), i);
      }
      EXPECT_FALSE(source.Read(frame)) << "the file ends after its last frame";
      source.Rewind();
    }
    std::remove(name.c_str());
  }
}

TEST(VideoSourceTest, AMissingFileDoesNotOpen) {
  VideoSource source;
  EXPECT_FALSE(source.OpenFile(testing::TempDir() + "no such video.avi", cv::CAP_FFMPEG));
  cv::Mat frame;
  EXPECT_FALSE(source.Read(frame));
  source.Rewind();
  EXPECT_FALSE(source.Read(frame));
}

}  // namespace
