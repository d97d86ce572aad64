#include "FrameProcessor.h"

#include <algorithm>
#include <cstdio>
#include <opencv2/imgproc.hpp>
#include <utility>

#include "MatchSimilar.h"

namespace {

const cv::Scalar kYellow(0, 255, 255, 0);
const cv::Point kIdentifierLineOrigin(0, 14);
const cv::Point kLocationLineOrigin(0, 30);

}  // namespace

FrameProcessor::FrameProcessor(bool annotate, double threshold)
    : annotate_(annotate), threshold_(threshold) {
  result_.identifierLine.reserve(kLineLabels * 5);
  result_.locationLine.reserve(32);
}

void FrameProcessor::RestoreKnownStrings(std::unique_ptr<LocationDetector::KnownStrings> strings,
                                         uint32_t counter) {
  // The detector keeps its collection object, which the catalog refers to,
  // and takes the restored contents.
  detector_.knownStrings->Swap(*strings);
  known_.Rebuild();
  locationCounter_ = counter;
}

const FrameResult& FrameProcessor::Process(const cv::Mat& frame) {
  Prepare(frame);
  Detect();
  Recognise();
  Label();
  DrawInfo();
  return result_;
}

void FrameProcessor::Prepare(const cv::Mat& frame) {
  CV_Assert(frame.depth() == CV_8U && !frame.empty());
  if (!annotate_ && frame.channels() == 3) {
    // Graying is per pixel, so graying first and flipping the gray image gives
    // the same gray frame with a third of the copying.
    cv::cvtColor(frame, unflipped_, cv::COLOR_BGR2GRAY);
    cv::flip(unflipped_, gray_, 0);
    ResetResult();
    return;
  }
  // Flipping straight into the colour image gives the same pixels as flipping
  // the frame in place and copying it, in one pass, and leaves the caller's
  // frame alone.
  switch (frame.channels()) {
    case 3:
      cv::flip(frame, colour_, 0);
      break;
    case 1:
      cv::flip(frame, gray_, 0);
      cv::cvtColor(gray_, colour_, cv::COLOR_GRAY2BGR);
      break;
    case 4:
      cv::cvtColor(frame, colour_, cv::COLOR_BGRA2BGR);
      cv::flip(colour_, colour_, 0);
      break;
    default:
      CV_Error(cv::Error::StsBadArg, "frames must have 1, 3 or 4 channels");
  }
  cv::cvtColor(colour_, gray_, cv::COLOR_BGR2GRAY);
  ResetResult();
}

void FrameProcessor::ResetResult() {
  // Field by field, so that the lines keep their buffers.
  result_.detections = 0;
  result_.runs = 0;
  result_.location.reset();
  result_.newLocation.reset();
  result_.similarity.reset();
  result_.identifierLine.clear();
  result_.locationLine.clear();
}

void FrameProcessor::Detect() {
  // The last frame's list is freed before the new one is built, so that the
  // new one reuses its nodes in the same memory order; building it while the
  // old one is alive would interleave the two and, frame after frame, scatter
  // the list in memory, and walking it would miss the cache at every node.
  detections_.RemoveAll();
  detections_ = detector_.DetectAllShapes(gray_);
  result_.detections = detections_.count;
}

void FrameProcessor::Recognise() {
  BuildFrameString();
  Search();
}

void FrameProcessor::BuildFrameString() { frameString_.SetIds(detections_, false); }

void FrameProcessor::Search() { SearchString(frameString_); }

void FrameProcessor::SearchString(const iMarkrun<int16_t>& frameString) {
  result_.runs = frameString.RunCount();
  // The catalog finds the entry the collection's own Find(frameString,
  // &MatchSimilar<int16_t>, &threshold_) finds, and leaves the cursor on it.
  const uint32_t* found = known_.Find(frameString, threshold_);
  if (found != nullptr) {
    result_.location = *found;
    result_.similarity = Similarity(known_.list.entries->current->value.key, frameString);
    char line[32];
    std::snprintf(line, sizeof line, "LctIdx[%u]", *found);
    result_.locationLine = line;
  } else {
    known_.Add(frameString, locationCounter_);
    result_.newLocation = locationCounter_;
    ++locationCounter_;
  }
}

const FrameResult& FrameProcessor::RecogniseDetected(const FrameProcessor& detected) {
  CV_Assert(!annotate_);
  ResetResult();
  result_.detections = detected.detections_.count;
  SearchString(detected.frameString_);
  AppendIdentifierLine(detected.detections_);
  return result_;
}

void FrameProcessor::AppendIdentifierLine(const iList<Detection>& detections) {
  int appended = 0;
  for (const iListNode<Detection>* node = detections.head;
       node != nullptr && appended < kLineLabels; node = node->next, ++appended) {
    char text[6];
    LabelPainter::FormatLabel(static_cast<uint16_t>(node->value.id), text);
    result_.identifierLine.append(text, 5);
  }
}

void FrameProcessor::Label() {
  AppendIdentifierLine(detections_);
  if (!annotate_) return;
  labels_.Begin(colour_);
  for (const iListNode<Detection>* node = detections_.head; node != nullptr; node = node->next) {
    const Detection& d = node->value;
    labels_.Add(static_cast<uint16_t>(d.id), d.x + 4, d.y + (d.height >> 1) + 8);
  }
  labels_.Finish();
}

void FrameProcessor::DrawInfo() {
  if (!annotate_) return;
  const int bandRows = std::min(kInfoBandRows, colour_.rows);
  if (bandRows > 0) {
    cv::Mat band = colour_.rowRange(0, bandRows);
    band.convertTo(band, -1, 0.5, 0.0);
  }
  cv::putText(colour_, result_.identifierLine, kIdentifierLineOrigin, cv::FONT_HERSHEY_PLAIN, 1.0,
              kYellow, 1, cv::LINE_8);
  cv::putText(colour_, result_.locationLine, kLocationLineOrigin, cv::FONT_HERSHEY_PLAIN, 1.0,
              kYellow, 1, cv::LINE_8);
}
