// FrameAnalyzer: what one video frame tells about the place it shows.
//
// Analyze() flips the frame's rows (frames are shown and searched upside
// down from how the capture delivers them), makes the gray copy, finds the
// frame's boxes on its integral image (LocationDetector::DetectAllShapes),
// and turns them into the frame's identifier string and identifier line: an
// AnalyzedFrame. What the frame is recognised as is the place map's business
// (PlaceMap::Recognise); what is drawn on it the annotation's
// (FrameAnnotator).
//
// The stages are public so that benchmarks can time them one by one. Not
// thread-safe; separate analyzers may run on separate threads.

#ifndef FRAME_FRAMEANALYZER_H_
#define FRAME_FRAMEANALYZER_H_

#include <cstdint>
#include <opencv2/core.hpp>
#include <string>

#include "CellString.h"
#include "Detection.h"
#include "LocationDetector.h"
#include "iList.h"
#include "iMarkrun.h"

namespace placefinder {

// What the analysis of one frame gives.
struct AnalyzedFrame {
  // Labels that go into the identifier line.
  static constexpr int kLineLabels = 20;

  iList<Detection> detections;     // in the detector's order
  iMarkrun<int16_t> frameString;   // for each id, how many boxes carried it
  std::string identifierLine;      // the first kLineLabels labels, "%4.4X " each

  int32_t detectionCount() const { return detections.count; }
};

class FrameAnalyzer {
 public:
  FrameAnalyzer() = default;
  FrameAnalyzer(const FrameAnalyzer&) = delete;
  FrameAnalyzer& operator=(const FrameAnalyzer&) = delete;

  // Analyzes `frame`, an 8-bit BGR image as a capture delivers it (gray and
  // BGRA frames are taken too), into `out`, whose earlier contents are
  // replaced. `frame` is not changed. With `flipped` given, the flipped frame
  // is also left there as a BGR image, for drawing on.
  // REQUIRES: frame is 8-bit, not empty, with 1, 3 or 4 channels.
  void Analyze(const cv::Mat& frame, AnalyzedFrame& out, cv::Mat* flipped = nullptr);

  // The same into the analyzer's own result, valid until the next call.
  const AnalyzedFrame& Analyze(const cv::Mat& frame, cv::Mat* flipped = nullptr) {
    Analyze(frame, own_, flipped);
    return own_;
  }

  // Every later frame's gray copy is resized to `width` pixels wide (its
  // height by the frame's aspect ratio) before detection, so that recordings
  // of different cameras meet at one scale; 0, the default, keeps frames as
  // they come. A flipped frame left for drawing keeps its own size.
  // REQUIRES: width >= 0.
  void SetWidth(int width) { width_ = width; }
  int width() const { return width_; }
  // Every later frame's string counts its boxes per cell of a grid of
  // `cells` x `cells` (CellString); 1, the default, gives the plain string.
  // REQUIRES: 1 <= cells <= CellString::kMaxCells.
  void SetCells(int cells) { cells_ = cells; }
  int cells() const { return cells_; }

  // The stages, in the order Analyze() runs them.
  void Prepare(const cv::Mat& frame, cv::Mat* flipped);  // the flipped gray frame
  void Detect(AnalyzedFrame& out);                       // its detection list
  void Describe(AnalyzedFrame& out);  // the identifier string and line of the list

  // The flipped gray frame of the last Prepare().
  const cv::Mat& gray() const { return gray_; }
  const AnalyzedFrame& result() const { return own_; }

 private:
  // The flipped gray frame at the frame's own size.
  void PrepareGray(const cv::Mat& frame, cv::Mat* flipped);

  LocationDetector detector_;
  int width_ = 0;
  int cells_ = 1;
  CellString cellString_;
  cv::Mat gray_;
  cv::Mat resized_;    // scratch: the gray frame at width_
  cv::Mat unflipped_;  // scratch: the gray frame before flipping
  cv::Mat colour_;     // scratch for 4-channel frames
  AnalyzedFrame own_;
};

}  // namespace placefinder

#endif  // FRAME_FRAMEANALYZER_H_
