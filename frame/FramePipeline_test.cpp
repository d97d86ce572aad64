#include "FramePipeline.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "PlaceMap.h"
#include "SceneFrames.h"

namespace placefinder {

namespace {

// What a program keeps of one frame's result.
struct Row {
  double positionMs;
  int32_t detections;
  int32_t runs;
  std::optional<uint32_t> location;
  std::optional<uint32_t> newLocation;
  std::optional<double> similarity;
  std::string identifierLine;
  bool operator==(const Row& o) const {
    return positionMs == o.positionMs && detections == o.detections && runs == o.runs &&
           location == o.location && newLocation == o.newLocation && similarity == o.similarity &&
           identifierLine == o.identifierLine;
  }
};

// Recognises an analyzed frame in `places` and keeps what a program prints.
Row RowOf(const AnalyzedFrame& a, PlaceMap& places, double positionMs) {
  const Recognition r = places.Recognise(a.frameString, "scenes", 0);
  return Row{positionMs,    a.detectionCount(), a.frameString.RunCount(), r.location,
             r.newLocation, r.similarity,       a.identifierLine};
}

// Frames of 11 scenes that come back.
std::vector<cv::Mat> Frames(int count) {
  std::vector<cv::Mat> frames;
  for (int i = 0; i < count; ++i) frames.push_back(SceneFrame(i, 11, cv::Size(320, 240), 6));
  return frames;
}

std::vector<Row> SingleLoop(const std::vector<cv::Mat>& frames) {
  FrameAnalyzer analyzer;
  PlaceMap places;
  std::vector<Row> rows;
  for (size_t i = 0; i < frames.size(); ++i)
    rows.push_back(RowOf(analyzer.Analyze(frames[i]), places, 40.0 * i));
  return rows;
}

// Runs the pipeline over `frames` and returns the rows consumed. `failAt`
// makes reading (0), detecting (1) or consuming (2) frame `failFrame` fail;
// `threw` then tells whether Run() threw.
std::vector<Row> Piped(int threads, const std::vector<cv::Mat>& frames, int failAt = -1,
                       size_t failFrame = 0, bool* threw = nullptr) {
  PlaceMap places;
  std::vector<Row> rows;
  size_t next = 0;
  try {
    FramePipeline::Run(
        threads,
        [&](cv::Mat& frame, double& positionMs) {
          if (next == frames.size()) return false;
          if (failAt == 0 && next == failFrame) throw std::runtime_error("read failed");
          // A frame of the wrong depth makes preparation fail.
          if (failAt == 1 && next == failFrame) {
            frame = cv::Mat(8, 8, CV_16UC1, cv::Scalar(0));
          } else {
            frames[next].copyTo(frame);
          }
          positionMs = 40.0 * next++;
          return true;
        },
        [&](const AnalyzedFrame& analyzed, double positionMs) {
          if (failAt == 2 && rows.size() == failFrame) throw std::runtime_error("consume failed");
          rows.push_back(RowOf(analyzed, places, positionMs));
        });
  } catch (const std::exception&) {
    if (threw == nullptr) throw;
    *threw = true;
  }
  return rows;
}

TEST(FramePipelineTest, GivesTheSingleLoopsResultsInOrderForAnyNumberOfThreads) {
  const std::vector<cv::Mat> frames = Frames(40);
  const std::vector<Row> expected = SingleLoop(frames);
  int recognised = 0;
  for (const Row& row : expected) recognised += row.location.has_value();
  ASSERT_GT(recognised, 0);
  ASSERT_LT(recognised, 40);
  for (int threads : {1, 2, 3, 5}) {
    SCOPED_TRACE(threads);
    EXPECT_TRUE(Piped(threads, frames) == expected);
  }
  EXPECT_TRUE(Piped(3, {}).empty());
}

TEST(FramePipelineTest, AFailureStopsItAfterTheFramesBeforeItAndPropagates) {
  const std::vector<cv::Mat> frames = Frames(30);
  const std::vector<Row> expected = SingleLoop(frames);
  for (int threads : {1, 2, 4}) {
    for (int failAt : {0, 1, 2}) {
      SCOPED_TRACE(std::to_string(threads) + " threads, failing step " + std::to_string(failAt));
      bool threw = false;
      const std::vector<Row> rows = Piped(threads, frames, failAt, 17, &threw);
      EXPECT_TRUE(threw);
      EXPECT_TRUE(rows == std::vector<Row>(expected.begin(), expected.begin() + 17));
    }
  }
}

// The consumer that sees frames gets each one as it was read, beside its
// own analysis, whichever thread analyzed it.
TEST(FramePipelineTest, HandsEachFrameAsReadBesideItsAnalysis) {
  const std::vector<cv::Mat> frames = Frames(24);
  const std::vector<Row> expected = SingleLoop(frames);
  for (int threads : {1, 2, 4}) {
    SCOPED_TRACE(threads);
    PlaceMap places;
    std::vector<Row> rows;
    size_t next = 0;
    int same = 0;
    FramePipeline::RunWithFrames(
        threads,
        [&](cv::Mat& frame, double& positionMs) {
          if (next == frames.size()) return false;
          frames[next].copyTo(frame);
          positionMs = 40.0 * next++;
          return true;
        },
        [&](const AnalyzedFrame& analyzed, double positionMs, const cv::Mat& frame) {
          const cv::Mat& read = frames[rows.size()];
          same += frame.size() == read.size() && cv::norm(frame, read, cv::NORM_INF) == 0;
          rows.push_back(RowOf(analyzed, places, positionMs));
        });
    EXPECT_EQ(same, 24);
    EXPECT_TRUE(rows == expected);
  }
}

}  // namespace

}  // namespace placefinder
