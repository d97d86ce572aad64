#include "VideoSource.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <opencv2/imgproc.hpp>
#include <cstdlib>
#include <string>

#include "PlaybackPosition.h"
#include "PlayFile.h"

namespace placefinder {

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

TEST(PlayFileTest, TriesTheLowerCasedNameFirstAndKeepsTheFolderAsFound) {
  const std::string dir = testing::TempDir() + "PlayFile" + std::to_string(getpid());
  ASSERT_EQ(system(("mkdir -p '" + dir + "/Dir' '" + dir + "/low'").c_str()), 0);
  const std::string clip = WriteClip(2);
  ASSERT_EQ(std::rename(clip.c_str(), (dir + "/Dir/Clip.AVI").c_str()), 0);
  ASSERT_EQ(system(("cp '" + dir + "/Dir/Clip.AVI' '" + dir + "/low/both.avi'").c_str()), 0);
  struct Case {
    std::string given;
    bool opens;
    std::string outputBase;
  };
  const Case cases[] = {
      // Only the given spelling exists: the folder stays as found.
      {dir + "/Dir/Clip.AVI", true, dir + "/Dir/clip"},
      // The lower-cased name exists.
      {dir + "/low/both.avi", true, dir + "/low/both"},
      {dir + "/Dir/Missing.AVI", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.given);
    std::string lowered = c.given;
    for (char& ch : lowered) {
      if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    }
    VideoSource source;
    std::string base;
    EXPECT_EQ(OpenPlayFile(source, c.given, lowered, lowered.find(".avi"), &base), c.opens);
    if (c.opens) {
      EXPECT_EQ(base, c.outputBase);
      cv::Mat frame;
      EXPECT_TRUE(source.Read(frame));
      EXPECT_EQ(FrameNumber(frame), 0);
    }
  }
  ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
}

TEST(PlaybackPositionTest, FormatsHoursMinutesSecondsAndMilliseconds) {
  EXPECT_EQ(PositionLine(3723004), "==> film current position: 01:02:03.004\n");
  EXPECT_EQ(PositionLine(0), "==> film current position: 00:00:00.000\n");
  EXPECT_EQ(PositionMilliseconds(1234.9), 1234u);
  EXPECT_EQ(PositionMilliseconds(-1.0), 4294967295u);  // a negative position, taken as unsigned
  EXPECT_EQ(PositionMilliseconds(1e12), 0u);
}

}  // namespace

}  // namespace placefinder
