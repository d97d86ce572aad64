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

#include "FrameProcessor.h"

namespace {

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

// A processor that has seen the warm-up frames, so that its collection of
// known strings is that of a real run at that point.
void WarmUp(FrameProcessor& processor, const Sample& sample) {
  for (const cv::Mat& frame : sample.warmUp) processor.Process(frame);
}

enum Stage { kPrepare, kDetect, kRecognise, kLabel, kDrawInfo, kWhole };

void BM_Stage(benchmark::State& state, Stage stage) {
  const Sample& sample = LoadSample();
  if (!sample.ok) {
    state.SkipWithError("no sample video");
    return;
  }
  FrameProcessor processor;
  WarmUp(processor, sample);
  size_t i = 0;
  int64_t detections = 0;
  for (auto _ : state) {
    const cv::Mat& frame = sample.timed[i++ % sample.timed.size()];
    if (stage == kWhole) {
      detections += processor.Process(frame).detections;
      continue;
    }
    // The stages before the timed one run untimed.
    state.PauseTiming();
    processor.Prepare(frame);
    if (stage > kDetect) processor.Detect();
    if (stage > kRecognise) processor.Recognise();
    if (stage > kLabel) processor.Label();
    state.ResumeTiming();
    switch (stage) {
      case kPrepare:
        processor.Prepare(frame);
        break;
      case kDetect:
        processor.Detect();
        break;
      case kRecognise:
        processor.Recognise();
        break;
      case kLabel:
        processor.Label();
        break;
      case kDrawInfo:
        processor.DrawInfo();
        break;
      case kWhole:
        break;
    }
    detections += processor.detections().count;
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
