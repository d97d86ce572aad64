// FramePipeline: decodes, prepares and detects the frames of a video on
// worker threads while the caller recognises them, one at a time and in frame
// order, so that the result is the one a single loop gives.
//
// With n > 1 threads, n threads prepare and detect frames
// (FrameProcessor::Prepare, Detect and BuildFrameString, each frame on a
// processor of its own) while one more thread reads (decodes) them, and the
// caller's thread consumes them. A frame is read at most 2 n + 2 frames ahead
// of the one consumed. With n = 1 everything runs on the caller's thread.
//
// `read` fills in the next frame and its position and returns false at the
// end; it is only ever called from one thread at a time. `consume` gets each
// detected frame, in order, on the caller's thread; it typically hands it to
// FrameProcessor::RecogniseDetected.
//
// An exception from `read`, from detection or from `consume` stops the
// pipeline: the frames before the one that failed are consumed, every thread
// is joined, and the exception propagates from Run().

#ifndef FRAME_FRAMEPIPELINE_H_
#define FRAME_FRAMEPIPELINE_H_

#include <functional>
#include <opencv2/core.hpp>

#include "FrameProcessor.h"

class FramePipeline {
 public:
  using Reader = std::function<bool(cv::Mat& frame, double& positionMs)>;
  using Consumer = std::function<void(const FrameProcessor& detected, double positionMs)>;

  // Precondition: threads >= 1.
  static void Run(int threads, const Reader& read, const Consumer& consume);
};

#endif  // FRAME_FRAMEPIPELINE_H_
