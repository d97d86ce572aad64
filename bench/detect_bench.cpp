// Times LocationDetector::DetectAllShapes on whole frames, the integral image
// and the freeing of the detection list included, as the frame loop pays them;
// on Megamind frame 50 also through the scalar scan, and the two parts of the
// cost that are not the scan (the integral image, the detection list).
//
// Counters: fps (frames a second), ns_per_position (time per visited box
// position over the seven shapes, shown in seconds with an SI prefix),
// positions (visited per frame) and detections (per frame).
//
// The machine may be shared: --benchmark_repetitions=N with
// --benchmark_report_aggregates_only=true gives the median of N runs, and
// --benchmark_enable_random_interleaving=true interleaves the repetitions of
// the benchmarks, so that the vector and the scalar scan of one frame are
// compared under the same load.
//
// Real frames come from the sample videos in PF_DATA_DIR; when a file is
// absent a synthetic textured frame of the same size stands in for it.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <fstream>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <random>
#include <string>

#include "LocationDetector.h"

namespace {

using namespace placefinder;

// Rectangles of random gray on a mid-gray ground, smoothed, with fine noise:
// a frame with some thousands of detections.
cv::Mat SyntheticFrame(int32_t width, int32_t height, uint32_t seed) {
  std::mt19937 random(seed);
  cv::Mat gray(height, width, CV_8UC1, cv::Scalar(128));
  for (int32_t i = 0; i < 40; ++i) {
    const int32_t w = 8 + random() % 120;
    const int32_t h = 8 + random() % 120;
    const int32_t x = random() % (width - w);
    const int32_t y = random() % (height - h);
    gray(cv::Rect(x, y, w, h)).setTo(random() % 256);
  }
  cv::GaussianBlur(gray, gray, cv::Size(5, 5), 0);
  cv::Mat noise(height, width, CV_8UC1);
  cv::randu(noise, 0, 16);
  cv::add(gray, noise, gray);
  return gray;
}

// Frame `index` of a sample video, flipped and made gray as the frame loop
// does; empty when the video cannot be read.
cv::Mat VideoFrame(const std::string& name, int32_t index) {
  const std::string path = std::string(PF_DATA_DIR) + "/" + name;
  if (!std::ifstream(path).good()) return cv::Mat();  // spares OpenCV's warnings
  cv::VideoCapture capture(path);
  cv::Mat frame;
  for (int32_t i = 0; i <= index; ++i) {
    if (!capture.read(frame)) return cv::Mat();
  }
  cv::flip(frame, frame, 0);
  cv::Mat gray;
  cv::cvtColor(frame, gray, cv::COLOR_BGR2GRAY);
  return gray;
}

// Positions visited by the seven shapes: every one is reported at a negative
// threshold, so counting the detections counts them.
int64_t VisitedPositions(const cv::Mat& gray) {
  LocationDetector detector;
  int64_t positions = 0;
  for (const BoxShape& shape : LocationDetector::kShapes) {
    positions += detector.Detect(gray, shape.width, shape.height, shape.code, -1).count;
  }
  return positions;
}

void RunDetectAllShapes(benchmark::State& state, const cv::Mat& gray, bool scalar = false) {
  LocationDetector detector;
  detector.SetScalarScan(scalar);
  const int64_t positions = VisitedPositions(gray);
  int64_t detections = 0;
  for (auto _ : state) {
    iList<Detection> list = detector.DetectAllShapes(gray);
    detections = list.count;
    benchmark::DoNotOptimize(list.head);
  }
  using benchmark::Counter;
  state.counters["fps"] = Counter(1, Counter::kIsIterationInvariantRate);
  state.counters["ns_per_position"] = Counter(
      static_cast<double>(positions), Counter::kIsIterationInvariantRate | Counter::kInvert);
  state.counters["positions"] = Counter(static_cast<double>(positions));
  state.counters["detections"] = Counter(static_cast<double>(detections));
}

void BM_DetectAllShapes_Synthetic640x480(benchmark::State& state) {
  static const cv::Mat gray = SyntheticFrame(640, 480, 1);
  RunDetectAllShapes(state, gray);
}
BENCHMARK(BM_DetectAllShapes_Synthetic640x480)->Unit(benchmark::kMicrosecond);

// A 720 x 528 frame of Megamind.avi (tens of thousands of detections).
const cv::Mat& MegamindFrame(benchmark::State& state) {
  static const cv::Mat video = VideoFrame("Megamind.avi", 50);
  static const cv::Mat gray = video.empty() ? SyntheticFrame(720, 528, 2) : video;
  state.SetLabel(video.empty() ? "synthetic stand-in" : "Megamind.avi frame 50");
  return gray;
}

void BM_DetectAllShapes_Megamind720x528(benchmark::State& state) {
  RunDetectAllShapes(state, MegamindFrame(state));
}
BENCHMARK(BM_DetectAllShapes_Megamind720x528)->Unit(benchmark::kMicrosecond);

// The same frame through the scalar scan, the reference the vector scan
// matches.
void BM_DetectAllShapes_Megamind720x528_Scalar(benchmark::State& state) {
  RunDetectAllShapes(state, MegamindFrame(state), true);
}
BENCHMARK(BM_DetectAllShapes_Megamind720x528_Scalar)->Unit(benchmark::kMicrosecond);

// The integral image alone: at the threshold 32767 no box can be reported,
// so no pass is scanned.
void BM_IntegralImage_Megamind720x528(benchmark::State& state) {
  const cv::Mat& gray = MegamindFrame(state);
  LocationDetector detector;
  for (auto _ : state) {
    iList<Detection> list = detector.Detect(gray, 16, 16, 0, 32767);
    benchmark::DoNotOptimize(list.head);
  }
}
BENCHMARK(BM_IntegralImage_Megamind720x528)->Unit(benchmark::kMicrosecond);

// Building and freeing a list of as many detections as Megamind frame 50
// gives, one AddTail each, with the nodes recycled from list to list as in
// the frame loop.
void BM_DetectionList_48419(benchmark::State& state) {
  for (auto _ : state) {
    iList<Detection> list;
    for (int32_t i = 0; i < 48419; ++i) {
      list.AddTail(Detection{1, i % 720, i / 720, 16, 16});
    }
    benchmark::DoNotOptimize(list.head);
  }
}
BENCHMARK(BM_DetectionList_48419)->Unit(benchmark::kMicrosecond);

// A 768 x 576 frame of vtest.avi (a few thousand detections).
void BM_DetectAllShapes_Vtest768x576(benchmark::State& state) {
  static const cv::Mat video = VideoFrame("vtest.avi", 100);
  static const cv::Mat gray = video.empty() ? SyntheticFrame(768, 576, 3) : video;
  state.SetLabel(video.empty() ? "synthetic stand-in" : "vtest.avi frame 100");
  RunDetectAllShapes(state, gray);
}
BENCHMARK(BM_DetectAllShapes_Vtest768x576)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
