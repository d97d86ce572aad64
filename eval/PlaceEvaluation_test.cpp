#include "PlaceEvaluation.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "GroundTruth.h"
#include "PrCurvePlot.h"
#include "FrameAnalyzer.h"
#include "PlaceMap.h"
#include "RunEvaluation.h"
#include "SceneFrames.h"

namespace placefinder {

namespace {

// A file in the temporary folder holding `text`, removed at the end.
class TempFile {
 public:
  explicit TempFile(const std::string& text) {
    char name[] = "/tmp/truthXXXXXX";
    const int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    close(fd);
    path_ = name;
    std::ofstream(path_, std::ios::binary) << text;
  }
  ~TempFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(GroundTruthTest, ReadsPlacesAndRefusesBadFilesWithTheLineAtFault) {
  {
    const TempFile file(
        "video\tframe\tplace\r\na.avi\t0\thall\na.avi\t7\tstairs\nb.avi\t0\thall\n");
    GroundTruth truth;
    std::string error;
    ASSERT_TRUE(truth.Load(file.path(), &error)) << error;
    EXPECT_EQ(truth.PlaceCount(), 2u);
    EXPECT_EQ(truth.PlaceOf("a.avi", 0), truth.PlaceOf("b.avi", 0));
    EXPECT_EQ(truth.PlaceName(truth.PlaceOf("a.avi", 7)), "stairs");
    EXPECT_EQ(truth.PlaceOf("a.avi", 1), -1);
    EXPECT_EQ(truth.PlaceOf("c.avi", 0), -1);
  }
  // What editors leave: a byte-order mark, a blank last line, a longest line.
  const std::string longest = "a.avi\t0\t" + std::string(GroundTruth::kMaxLineBytes - 8, 'x');
  for (const std::string& text : {std::string("\xEF\xBB\xBFvideo\tframe\tplace\na.avi\t0\thall\n"),
                                  std::string("\xEF\xBB\xBF"
                                              "a.avi\t0\thall\n"),
                                  std::string("a.avi\t0\thall\n\n"),
                                  std::string("a.avi\t0\thall\r\n\r\n"), longest + "\n", longest}) {
    SCOPED_TRACE(text.substr(0, 40));
    const TempFile file(text);
    GroundTruth truth;
    std::string error;
    ASSERT_TRUE(truth.Load(file.path(), &error)) << error;
    EXPECT_EQ(truth.PlaceCount(), 1u);
    EXPECT_EQ(truth.PlaceOf("a.avi", 0), 0);
  }
  const struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"a.avi 0 hall\n",
       "is refused at line 1: not three tab-separated fields (video, frame, place)"},
      {"a.avi\t0\n", "is refused at line 1: not three tab-separated fields (video, frame, place)"},
      {"a.avi\t0\thall\tx\n",
       "is refused at line 1: not three tab-separated fields (video, frame, place)"},
      {"a.avi\t0\thall\n\na.avi\t1\thall\n",
       "is refused at line 2: a blank line (only the last line may be blank)"},
      {"a.avi\t0\thall\n\n\n",
       "is refused at line 2: a blank line (only the last line may be blank)"},
      {"\na.avi\t0\thall\n",
       "is refused at line 1: a blank line (only the last line may be blank)"},
      {"a.avi\tx\thall\n", "is refused at line 1: the frame 'x' is not a whole number from 0"},
      {"a.avi\t-1\thall\n", "is refused at line 1: the frame '-1' is not a whole number from 0"},
      {"a.avi\t1.5\thall\n", "is refused at line 1: the frame '1.5' is not a whole number from 0"},
      {"a.avi\t\thall\n", "is refused at line 1: the frame '' is not a whole number from 0"},
      {"a.avi\t99999999999999999999\thall\n",
       "is refused at line 1: the frame '99999999999999999999' is not a whole number from 0"},
      {"\t0\thall\n", "is refused at line 1: the video is empty"},
      {"a.avi\t0\t\n", "is refused at line 1: the place is empty"},
      {"a.avi\t0\thall\na.avi\t0\thall\n",
       "is refused at line 2: frame 0 of a.avi has a line already"},
      {"a.avi\t3\thall\na.avi\t3\tstairs\n",
       "is refused at line 2: frame 3 of a.avi has a line already"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const TempFile file(c.text);
    GroundTruth truth;
    std::string error;
    EXPECT_FALSE(truth.Load(file.path(), &error));
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(truth.PlaceOf("a.avi", 0), -1) << "a refused file leaves no places";
  }
  GroundTruth truth;
  std::string error;
  EXPECT_FALSE(truth.Load("/nonexistent/truth.tsv", &error));
  EXPECT_EQ(error, "cannot be read: No such file or directory");
  EXPECT_FALSE(truth.Load("/tmp", &error));
  EXPECT_EQ(error, "is a directory, not a file");
  // /tmp/x\0/y must not read /tmp/x.
  const TempFile real("a.avi\t0\thall\n");
  EXPECT_FALSE(truth.Load(real.path() + std::string("\0/y", 3), &error));
  EXPECT_EQ(error, "cannot be read: the name contains a NUL byte");
  // A line without end is refused once it is too long, not read to the end.
  const TempFile tooLong("a.avi\t0\thall\n" + std::string(GroundTruth::kMaxLineBytes + 1, 'x'));
  EXPECT_FALSE(truth.Load(tooLong.path(), &error));
  EXPECT_EQ(error, "is refused at line 2: the line is longer than 65536 bytes");
  EXPECT_FALSE(truth.Load("/dev/zero", &error));
  EXPECT_EQ(error, "is refused at line 1: the line is longer than 65536 bytes");
}

// Frames in order: the frame's place (-1: none), whether it was recognised,
// and the place of the found entry's origin (-1: none).
struct Step {
  int32_t place;
  bool recognised;
  int32_t origin;
};

TEST(PlaceEvaluationTest, CountsEachFrameByTheRules) {
  const int32_t A = 0, B = 1, none = -1;
  const struct {
    const char* what;
    std::vector<Step> steps;
    EvaluationCounts expected;
  } cases[] = {
      {"a first visit is a true negative", {{A, false, none}}, {0, 0, 0, 1}},
      {"a place seen again and recorded anew is a false negative",
       {{A, false, none}, {A, false, none}},
       {0, 0, 1, 1}},
      {"a recognised frame whose origin shows its place is a true positive",
       {{A, false, none}, {A, true, A}},
       {1, 0, 0, 1}},
      {"one whose origin shows another place is a false positive",
       {{A, false, none}, {B, true, A}},
       {0, 1, 0, 1}},
      {"frames without a place are not counted, and are not seen",
       {{none, false, none}, {none, true, A}, {A, false, none}},
       {0, 0, 0, 1}},
      {"a recognition by an origin without a place is not counted, and not seen",
       {{A, true, none}, {A, false, none}},
       {0, 0, 0, 1}},
      {"a place seen through a false positive counts as seen",
       {{A, false, none}, {B, true, A}, {B, false, none}},
       {0, 1, 1, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PlaceEvaluation evaluation;
    for (const Step& s : c.steps) evaluation.Count(s.place, s.recognised, s.origin);
    const EvaluationCounts& got = evaluation.counts();
    EXPECT_EQ(got.tp, c.expected.tp);
    EXPECT_EQ(got.fp, c.expected.fp);
    EXPECT_EQ(got.fn, c.expected.fn);
    EXPECT_EQ(got.tn, c.expected.tn);
  }
}

TEST(PlaceEvaluationTest, RatiosAndTheirLine) {
  EXPECT_EQ((EvaluationCounts{3, 1, 2, 5}).Line(),
            "tp=3 fp=1 fn=2 tn=5 precision=0.7500 recall=0.6000 f1=0.6667");
  EXPECT_EQ((EvaluationCounts{0, 0, 0, 4}).Line(),
            "tp=0 fp=0 fn=0 tn=4 precision=nan recall=nan f1=nan");
  EXPECT_EQ((EvaluationCounts{0, 2, 1, 0}).Line(),
            "tp=0 fp=2 fn=1 tn=0 precision=0.0000 recall=0.0000 f1=0.0000");
}

Recognition Recognised(uint32_t location) {
  Recognition r;
  r.location = location;
  return r;
}
Recognition Recorded(uint32_t location) {
  Recognition r;
  r.newLocation = location;
  return r;
}

// A place map's protocol: the found place's origin as it was before the
// frame, then the frame's own origin recorded when it recorded a location.
void Feed(RunEvaluation& evaluation, PlaceOrigins& origins, const GroundTruth& truth,
          const std::string& video, int64_t frame, Recognition result) {
  if (result.location) result.origin = origins.Find(*result.location);
  evaluation.Count(truth.PlaceOf(video, frame), result);
  if (result.newLocation) origins.Record(*result.newLocation, video, frame);
}

TEST(RunEvaluationTest, JudgesByTheFrameThatLastRecordedTheFoundEntry) {
  const TempFile file("v\t0\thall\nv\t1\tstairs\nv\t2\tstairs\nv\t3\thall\n");
  GroundTruth truth;
  std::string error;
  ASSERT_TRUE(truth.Load(file.path(), &error)) << error;
  RunEvaluation evaluation(truth);
  PlaceOrigins origins;
  Feed(evaluation, origins, truth, "v", 0, Recorded(0));  // hall: true negative
  // Frame 1 replaces frame 0's string under location 1: from now on that
  // entry's frame is frame 1.
  Feed(evaluation, origins, truth, "v", 1, Recorded(1));    // stairs: true negative
  Feed(evaluation, origins, truth, "v", 2, Recognised(1));  // stairs by frame 1: true positive
  Feed(evaluation, origins, truth, "v", 3, Recognised(1));  // hall by frame 1: false positive
  Feed(evaluation, origins, truth, "w", 0, Recognised(0));  // no place: not counted
  const EvaluationCounts& c = evaluation.counts();
  EXPECT_EQ(c.Line(), "tp=1 fp=1 fn=0 tn=2 precision=0.5000 recall=1.0000 f1=0.6667");
}

TEST(RunEvaluationTest, JudgesALoadedMapByItsStoredOrigins) {
  const TempFile file(
      "map.avi\t10\thall\nmap.avi\t20\tstairs\nq.avi\t0\thall\nq.avi\t1\tstairs\n"
      "q.avi\t2\tstairs\n");
  GroundTruth truth;
  std::string error;
  ASSERT_TRUE(truth.Load(file.path(), &error)) << error;
  PlaceOrigins stored;  // as a map file gives them back
  stored.Record(4, "map.avi", 10);
  stored.Record(7, "map.avi", 20);
  RunEvaluation evaluation(truth);
  evaluation.MarkSeen(stored);
  Feed(evaluation, stored, truth, "q.avi", 0, Recognised(4));  // hall by map frame 10: tp
  Feed(evaluation, stored, truth, "q.avi", 1, Recognised(4));  // stairs by map frame 10: fp
  Feed(evaluation, stored, truth, "q.avi", 2, Recorded(8));    // stairs is in the map: fn
  EXPECT_EQ(evaluation.counts().Line(),
            "tp=1 fp=1 fn=1 tn=0 precision=0.5000 recall=0.5000 f1=0.5000");
}

// Frames the map neither recognised nor recorded (no boxes, held, a map only
// searched) count as missed revisits of seen places, but do not make their
// place seen; recall@N counts the frames whose place the map holds by the
// rank of the first stored place that shows it.
TEST(RunEvaluationTest, UnstoredFramesAndRankedRecall) {
  const TempFile file(
      "map.avi\t10\thall\nmap.avi\t20\tstairs\nq.avi\t0\thall\nq.avi\t1\tstairs\n"
      "q.avi\t2\tyard\nq.avi\t3\tyard\nq.avi\t4\thall\n");
  GroundTruth truth;
  std::string error;
  ASSERT_TRUE(truth.Load(file.path(), &error)) << error;
  PlaceOrigins stored;
  stored.Record(4, "map.avi", 10);
  stored.Record(7, "map.avi", 20);
  RunEvaluation evaluation(truth);
  evaluation.MarkSeen(stored);
  Feed(evaluation, stored, truth, "q.avi", 0, Recognition());  // hall is stored: fn
  Feed(evaluation, stored, truth, "q.avi", 2, Recognition());  // yard unseen: tn
  Feed(evaluation, stored, truth, "q.avi", 3, Recognition());  // still unseen: tn
  EXPECT_EQ(evaluation.counts().Line(),
            "tp=0 fp=0 fn=1 tn=2 precision=nan recall=0.0000 f1=0.0000");

  RankedRecall recall(truth, stored);
  const PlaceOrigin* hall = stored.Find(4);
  const PlaceOrigin* stairs = stored.Find(7);
  recall.Count(truth.PlaceOf("q.avi", 0), {{4, 0.9, hall}, {7, 0.5, stairs}});  // at 1
  recall.Count(truth.PlaceOf("q.avi", 1), {{4, 0.9, hall}, {7, 0.5, stairs}});  // at 2
  recall.Count(truth.PlaceOf("q.avi", 4), {});                                  // not found
  recall.Count(truth.PlaceOf("q.avi", 2), {{4, 0.9, hall}});  // yard is not held: not counted
  EXPECT_EQ(recall.counted(), 3);
  EXPECT_EQ(recall.Line(10), "recall@1: 0.3333 recall@5: 0.6667 recall@10: 0.6667");
  EXPECT_EQ(recall.Line(1), "recall@1: 0.3333");
}

cv::Mat SweepFrame(int i) { return SceneFrame(i, 5, cv::Size(160, 120), 40); }

TEST(ThresholdSweepTest, EachThresholdCountsAsARunAtThatThresholdAlone) {
  const std::vector<double> thresholds = ThresholdSweep::Thresholds();
  ASSERT_EQ(thresholds.size(), 70u);
  EXPECT_EQ(thresholds.front(), 0.30);
  EXPECT_EQ(thresholds[37], 0.67);
  EXPECT_EQ(thresholds.back(), 0.99);

  std::string text;
  for (int i = 0; i < 30; ++i) {
    text += "v\t" + std::to_string(i) + "\tscene" + std::to_string((i * 7) % 5) + "\n";
  }
  const TempFile file(text);
  GroundTruth truth;
  std::string error;
  ASSERT_TRUE(truth.Load(file.path(), &error)) << error;

  ThresholdSweep sweep(truth, nullptr);
  FrameAnalyzer analyzer;
  for (int i = 0; i < 30; ++i) {
    sweep.Count(analyzer.Analyze(SweepFrame(i)).frameString, "v", i, truth.PlaceOf("v", i));
  }
  bool differ = false;
  for (size_t t : {size_t{0}, size_t{20}, size_t{37}, size_t{69}}) {
    SCOPED_TRACE(thresholds[t]);
    PlaceMap alone(thresholds[t]);
    RunEvaluation evaluation(truth);
    for (int i = 0; i < 30; ++i) {
      evaluation.Count(truth.PlaceOf("v", i),
                       alone.Recognise(analyzer.Analyze(SweepFrame(i)).frameString, "v", i));
    }
    EXPECT_EQ(sweep.counts(t).Line(), evaluation.counts().Line());
    differ = differ || sweep.counts(t).Line() != sweep.counts(0).Line();
  }
  EXPECT_TRUE(differ) << "the thresholds should not all count alike on these frames";

  const std::string table = SweepTable(sweep);
  EXPECT_EQ(table.substr(0, table.find('\n')), "threshold\ttp\tfp\tfn\ttn\tprecision\trecall\tf1");
  EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 71);
  EXPECT_NE(table.find("\n0.67\t" + std::to_string(sweep.counts(37).tp) + "\t"), std::string::npos);
}

TEST(PrCurvePlotTest, DrawsTheCurveAndRingsTheMarkedThreshold) {
  const std::vector<PrPoint> points = {
      {0.5, 0.5, 0.9}, {0.67, 0.8, 0.6}, {0.9, 1.0, 0.2}, {0.95, NAN, NAN}};
  const cv::Mat image = PrCurvePlot::Draw(points, 0.67, "test");
  ASSERT_EQ(image.size(), cv::Size(PrCurvePlot::kWidth, PrCurvePlot::kHeight));
  // A dot at each point with both ratios, in the curve's colour (blue
  // dominant), and the ring around the marked one (red dominant) 8 pixels out.
  for (const PrPoint& p : {points[0], points[1], points[2]}) {
    const cv::Vec3b dot = image.at<cv::Vec3b>(PrCurvePlot::ToPixel(p.recall, p.precision));
    EXPECT_GT(dot[0], dot[2]) << p.threshold;
  }
  const cv::Point ring = PrCurvePlot::ToPixel(0.6, 0.8) + cv::Point(8, 0);
  const cv::Vec3b red = image.at<cv::Vec3b>(ring);
  EXPECT_GT(red[2], 150);
  EXPECT_LT(red[0], 120);
}

}  // namespace

}  // namespace placefinder
