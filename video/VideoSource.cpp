#include "VideoSource.h"

namespace placefinder {

bool VideoSource::OpenFile(const std::string& name, int api) {
  name_ = name;
  api_ = api;
  afterSeek_ = false;
  try {
    return capture_.open(name_, api_);
  } catch (const cv::Exception&) {
    return false;
  }
}

bool VideoSource::OpenDevice(int index, int api) {
  name_.clear();
  api_ = api;
  afterSeek_ = false;
  try {
    return capture_.open(index, api_);
  } catch (const cv::Exception&) {
    return false;
  }
}

void VideoSource::StartupSeek() {
  capture_.set(cv::CAP_PROP_POS_AVI_RATIO, 1.0);
  capture_.set(cv::CAP_PROP_POS_AVI_RATIO, 0.0);
  afterSeek_ = true;
}

void VideoSource::Rewind() {
  capture_.set(cv::CAP_PROP_POS_MSEC, 0.0);
  afterSeek_ = true;
}

bool VideoSource::ReadOnce(cv::Mat& frame) {
  try {
    return capture_.grab() && capture_.retrieve(frame) && !frame.empty();
  } catch (const cv::Exception&) {
    return false;
  }
}

bool VideoSource::Read(cv::Mat& frame) {
  const bool afterSeek = afterSeek_;
  afterSeek_ = false;
  if (ReadOnce(frame)) return true;
  if (!afterSeek || name_.empty()) return false;
  // Reopened, the file starts at its first frame: where the seek meant to go.
  // When it does not reopen, every later read fails, and the caller gives up
  // as for any source that delivers nothing.
  capture_.release();
  const std::string name = name_;
  if (!OpenFile(name, api_)) return false;
  return ReadOnce(frame);
}

}  // namespace placefinder
