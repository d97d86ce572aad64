// FrameProcessor: everything Placefinder does to one video frame.
//
// For each frame it flips the rows, keeps a colour and a gray working copy,
// finds the frame's boxes (LocationDetector::DetectAllShapes), turns them into
// the frame's identifier string, looks that string up among the strings of
// earlier frames (similarity threshold 0.67) and records it as a new location
// when nothing matches, draws every detection's id at its box, darkens the
// info band at the top and draws the identifier line and the location line in
// it. The programs around it only read frames, show, write and print.
//
// The known strings and the location counter persist from frame to frame; the
// detection list and the frame string live until the next frame.
//
// The stages are public so that benchmarks can time them one by one; Process()
// runs them in order. Not thread-safe; separate processors may be used on
// separate threads.

#ifndef FRAME_FRAMEPROCESSOR_H_
#define FRAME_FRAMEPROCESSOR_H_

#include <cstdint>
#include <memory>
#include <opencv2/core.hpp>
#include <optional>
#include <string>

#include "Detection.h"
#include "LabelPainter.h"
#include "LocationDetector.h"
#include "iList.h"
#include "iMarkrun.h"
#include "iMarkrunCatalog.h"

// What one processed frame gave.
struct FrameResult {
  int32_t detections = 0;               // boxes in the frame's detection list
  int32_t runs = 0;                     // runs of the frame's identifier string
  std::optional<uint32_t> location;     // the recognised location, if any
  std::optional<uint32_t> newLocation;  // the location recorded for this frame, if any
  std::optional<double> similarity;     // of the accepted stored string, when recognised
  std::string identifierLine;           // the first 20 labels, "%4.4X " each
  std::string locationLine;             // "LctIdx[%u]" when recognised, else empty
};

class FrameProcessor {
 public:
  static constexpr double kMatchThreshold = 0.67;
  static constexpr int kInfoBandRows = 36;
  static constexpr int kLineLabels = 20;  // labels that go into the identifier line

  // With `annotate` false nothing is drawn: there is no colour image, and the
  // result (including the identifier line) is the same as with drawing. For
  // programs that show no picture. A stored string is accepted when its
  // similarity to the frame's string is at least `threshold`.
  explicit FrameProcessor(bool annotate = true, double threshold = kMatchThreshold);
  FrameProcessor(const FrameProcessor&) = delete;
  FrameProcessor& operator=(const FrameProcessor&) = delete;

  // Runs every stage on `frame`, an 8-bit BGR image as a capture delivers it
  // (gray and BGRA frames are converted). `frame` itself is not changed. The
  // result and image() stay valid until the next call.
  const FrameResult& Process(const cv::Mat& frame);

  // The annotated colour image of the last frame (empty when not annotating).
  const cv::Mat& image() const { return colour_; }
  // The flipped gray frame that detection ran on.
  const cv::Mat& gray() const { return gray_; }
  const iList<Detection>& detections() const { return detections_; }
  const iMarkrun<int16_t>& frameString() const { return frameString_; }
  const LocationDetector& detector() const { return detector_; }
  // The next location index to hand out.
  uint32_t locationCounter() const { return locationCounter_; }
  // The strings of the locations seen so far, each with its location index.
  const LocationDetector::KnownStrings& knownStrings() const { return *detector_.knownStrings; }
  // Replaces the known strings and the location counter by a collection kept
  // from earlier runs, before the first frame. Requires `counter` to be above
  // every location index in `strings`, which must not be null.
  void RestoreKnownStrings(std::unique_ptr<LocationDetector::KnownStrings> strings,
                           uint32_t counter);
  double threshold() const { return threshold_; }

  // The stages, in the order Process() runs them.
  void Prepare(const cv::Mat& frame);  // flip into the colour image, gray copy
  void Detect();                       // the frame's detection list
  void Recognise();                    // identifier string, search, record
  void Label();                        // identifier line; labels on the image
  void DrawInfo();                     // darkened band and the two text lines

  // Recognise() in two halves, so that the first can run elsewhere.
  void BuildFrameString();  // the identifier string of the detection list
  void Search();            // search the known strings, record a new location

  // The result Process() gives on a processor that does not annotate, for a
  // frame that `detected`, another processor, has taken through Prepare(),
  // Detect() and BuildFrameString(): its string is searched among, and
  // recorded into, this processor's known strings. `detected` is not
  // changed, and only read until this returns.
  const FrameResult& RecogniseDetected(const FrameProcessor& detected);

 private:
  void ResetResult();
  // Searches `frameString` among the known strings, records it when nothing
  // matches, and appends the first labels of `detections` to the identifier
  // line.
  void SearchString(const iMarkrun<int16_t>& frameString);
  void AppendIdentifierLine(const iList<Detection>& detections);

  const bool annotate_;
  const double threshold_;
  LocationDetector detector_;
  // The catalog of detector_.knownStrings, which the search reads in memory
  // order; every change of the known strings goes through it.
  iMarkrunCatalog<int16_t> known_{*detector_.knownStrings};
  uint32_t locationCounter_ = 0;
  cv::Mat colour_;
  cv::Mat gray_;
  cv::Mat unflipped_;  // scratch: the gray frame before flipping
  iList<Detection> detections_;
  iMarkrun<int16_t> frameString_;
  LabelPainter labels_;
  FrameResult result_;
};

#endif  // FRAME_FRAMEPROCESSOR_H_
