// Times each stage of the per-frame work on real frames of the sample video
// data/Megamind.avi (720 x 528; tens of thousands of detections a frame), and
// the whole of it. Frames per second are reported as items per second.
//
//   build/bench/frame_bench [--benchmark_filter=...]

#include <benchmark/benchmark.h>

#include <cstdio>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>
#include <vector>

#include "FrameAnalyzer.h"
#include "FrameAnnotator.h"
#include "PlaceMap.h"

namespace {

using namespace placefinder;

constexpr int kWarmUpFrames = 100;  // frames processed before the timed ones
constexpr int kTimedFrames = 32;

struct Sample {
  std::vector<cv::Mat> warmUp;
  std::vector<cv::Mat> timed;
  bool ok = false;
};

const Sample& LoadSample() {
  static Sample sample = [] {
    Sample s;
    cv::VideoCapture capture(PF_DATA_DIR "/Megamind.avi", cv::CAP_FFMPEG);
    cv::Mat frame;
    while (capture.isOpened() && capture.read(frame)) {
      if (static_cast<int>(s.warmUp.size()) < kWarmUpFrames) {
        s.warmUp.push_back(frame.clone());
      } else if (static_cast<int>(s.timed.size()) < kTimedFrames) {
        s.timed.push_back(frame.clone());
      } else {
        break;
      }
    }
    s.ok = static_cast<int>(s.timed.size()) == kTimedFrames;
    if (!s.ok) std::fprintf(stderr, "frame_bench: data/Megamind.avi is missing or short\n");
    return s;
  }();
  return sample;
}

// The per-frame pieces of Placefinder, the place map having seen the warm-up
// frames, so that its collection of known strings is that of a real run at
// that point.
struct Pieces {
  FrameAnalyzer analyzer;
  PlaceMap places;
  FrameAnnotator annotator;
  cv::Mat image;
  Recognition found;
  int64_t frames = 0;

  void Prepare(const cv::Mat& frame) { analyzer.Prepare(frame, &image); }
  void Detect() { analyzer.Detect(own); }
  void Recognise() {
    analyzer.Describe(own);
    found = places.Recognise(own.frameString, "Megamind.avi", frames++);
  }
  void Label() { annotator.DrawLabels(image, own.detections); }
  void DrawInfo() {
    FrameAnnotator::DrawInfo(image, own.identifierLine, FrameAnnotator::LocationLine(found.location));
  }
  int32_t Whole(const cv::Mat& frame) {
    Prepare(frame);
    Detect();
    Recognise();
    annotator.Draw(image, own.detections, own.identifierLine, found.location);
    return own.detectionCount();
  }
  AnalyzedFrame own;
};

enum Stage { kPrepare, kDetect, kRecognise, kLabel, kDrawInfo, kWhole };

void BM_Stage(benchmark::State& state, Stage stage) {
  const Sample& sample = LoadSample();
  if (!sample.ok) {
    state.SkipWithError("no sample video");
    return;
  }
  Pieces pieces;
  for (const cv::Mat& frame : sample.warmUp) pieces.Whole(frame);
  size_t i = 0;
  int64_t detections = 0;
  for (auto _ : state) {
    const cv::Mat& frame = sample.timed[i++ % sample.timed.size()];
    if (stage == kWhole) {
      detections += pieces.Whole(frame);
      continue;
    }
    // The stages before the timed one run untimed.
    state.PauseTiming();
    pieces.Prepare(frame);
    if (stage > kDetect) pieces.Detect();
    if (stage > kRecognise) pieces.Recognise();
    if (stage > kLabel) pieces.Label();
    state.ResumeTiming();
    switch (stage) {
      case kPrepare:
        pieces.Prepare(frame);
        break;
      case kDetect:
        pieces.Detect();
        break;
      case kRecognise:
        pieces.Recognise();
        break;
      case kLabel:
        pieces.Label();
        break;
      case kDrawInfo:
        pieces.DrawInfo();
        break;
      case kWhole:
        break;
    }
    detections += pieces.own.detectionCount();
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["detections"] =
      benchmark::Counter(static_cast<double>(detections) / static_cast<double>(state.iterations()));
}

BENCHMARK_CAPTURE(BM_Stage, prepare, kPrepare)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Stage, detect, kDetect)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Stage, recognise, kRecognise)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Stage, label, kLabel)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Stage, band_and_lines, kDrawInfo)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Stage, whole, kWhole)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
