// FramePipeline: decodes, prepares and detects the frames of a video on
// worker threads while the caller recognises them, one at a time and in frame
// order, so that the result is the one a single loop gives.
//
// With n > 1 threads, n threads analyze frames (FrameAnalyzer, one for each
// thread) while one more thread reads (decodes) them, and the caller's
// thread consumes them. A frame is read at most 2 n + 2 frames ahead of the
// one consumed; each of those frames has its own AnalyzedFrame. With n = 1
// everything runs on the caller's thread.
//
// `read` fills in the next frame and its position and returns false at the
// end; it is only ever called from one thread at a time. `consume` gets each
// analyzed frame, in order, on the caller's thread; it typically hands its
// string to PlaceMap::Recognise.
//
// An exception from `read`, from detection or from `consume` stops the
// pipeline: the frames before the one that failed are consumed, every thread
// is joined, and the exception propagates from Run().

#ifndef FRAME_FRAMEPIPELINE_H_
#define FRAME_FRAMEPIPELINE_H_

#include <functional>
#include <opencv2/core.hpp>

#include "FrameAnalyzer.h"

namespace placefinder {

class FramePipeline {
 public:
  using Reader = std::function<bool(cv::Mat& frame, double& positionMs)>;
  using Consumer = std::function<void(const AnalyzedFrame& analyzed, double positionMs)>;
  // A consumer that also sees the frame as `read` delivered it (not flipped,
  // not resized), for a program that keeps a picture of some frames. The
  // frame is the pipeline's own, valid during the call: nothing is copied.
  using FrameConsumer =
      std::function<void(const AnalyzedFrame& analyzed, double positionMs, const cv::Mat& frame)>;

  // Every analyzer resizes frames to `width` (FrameAnalyzer::SetWidth) and
  // counts boxes over a grid of `cells` x `cells` (FrameAnalyzer::SetCells).
  // REQUIRES: threads >= 1, width >= 0, 1 <= cells <= CellString::kMaxCells.
  static void Run(int threads, const Reader& read, const Consumer& consume, int width = 0,
                  int cells = 1);
  static void RunWithFrames(int threads, const Reader& read, const FrameConsumer& consume,
                            int width = 0, int cells = 1);

  // The cores this process may run on (its affinity mask), at least 1.
  static int UsableCores();
};

}  // namespace placefinder

#endif  // FRAME_FRAMEPIPELINE_H_
