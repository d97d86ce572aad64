#include "FrameAnalyzer.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "DetectionLabel.h"

namespace placefinder {

void FrameAnalyzer::Analyze(const cv::Mat& frame, AnalyzedFrame& out, cv::Mat* flipped) {
  Prepare(frame, flipped);
  Detect(out);
  Describe(out);
}

void FrameAnalyzer::Prepare(const cv::Mat& frame, cv::Mat* flipped) {
  PrepareGray(frame, flipped);
  if (width_ > 0 && gray_.cols != width_) {
    const int height = std::max(
        1, static_cast<int>(std::lround(static_cast<double>(gray_.rows) * width_ / gray_.cols)));
    // Area averaging when shrinking keeps the boxes' mean brightness, which
    // the contrast test compares; enlarging interpolates.
    cv::resize(gray_, resized_, cv::Size(width_, height), 0, 0,
               width_ < gray_.cols ? cv::INTER_AREA : cv::INTER_LINEAR);
    cv::swap(gray_, resized_);
  }
}

void FrameAnalyzer::PrepareGray(const cv::Mat& frame, cv::Mat* flipped) {
  CV_Assert(frame.depth() == CV_8U && !frame.empty());
  if (flipped == nullptr && frame.channels() == 3) {
    // Graying is per pixel, so graying first and flipping the gray image gives
    // the same gray frame with a third of the copying.
    cv::cvtColor(frame, unflipped_, cv::COLOR_BGR2GRAY);
    cv::flip(unflipped_, gray_, 0);
    return;
  }
  cv::Mat& colour = flipped != nullptr ? *flipped : colour_;
  switch (frame.channels()) {
    case 3:
      // Flipping straight into the colour image leaves the caller's frame
      // alone and copies it once.
      cv::flip(frame, colour, 0);
      break;
    case 1:
      cv::flip(frame, gray_, 0);
      if (flipped != nullptr) cv::cvtColor(gray_, colour, cv::COLOR_GRAY2BGR);
      return;
    case 4:
      cv::cvtColor(frame, colour, cv::COLOR_BGRA2BGR);
      cv::flip(colour, colour, 0);
      break;
    default:
      CV_Error(cv::Error::StsBadArg, "frames must have 1, 3 or 4 channels");
  }
  cv::cvtColor(colour, gray_, cv::COLOR_BGR2GRAY);
}

void FrameAnalyzer::Detect(AnalyzedFrame& out) {
  // The last frame's list is freed before the new one is built, so that the
  // new one reuses its nodes in the same memory order; building it while the
  // old one is alive would interleave the two and, frame after frame, scatter
  // the list in memory, and walking it would miss the cache at every node.
  out.detections.RemoveAll();
  out.detections = detector_.DetectAllShapes(gray_);
}

void FrameAnalyzer::Describe(AnalyzedFrame& out) {
  if (cells_ > 1) {
    cellString_.Build(out.detections, gray_.cols, gray_.rows, cells_, out.frameString);
  } else {
    out.frameString.SetIds(out.detections, false);
  }
  out.identifierLine.clear();
  int appended = 0;
  for (const iListNode<Detection>* node = out.detections.head;
       node != nullptr && appended < AnalyzedFrame::kLineLabels; node = node->next, ++appended) {
    char text[6];
    FormatLabel(static_cast<uint16_t>(node->value.id), text);
    out.identifierLine.append(text, 5);
  }
}


}  // namespace placefinder
