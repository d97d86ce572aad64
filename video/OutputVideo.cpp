#include "OutputVideo.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <opencv2/imgproc.hpp>

#include "Quietly.h"

namespace placefinder {

namespace {

// Whether a run may write at `name` (see the header); `absent` tells whether
// nothing stands there.
bool MayWriteAt(const std::string& name, bool& absent) {
  struct stat st;
  absent = false;
  if (lstat(name.c_str(), &st) != 0) {
    absent = errno == ENOENT;
    return absent;
  }
  if (stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0 && access(name.c_str(), W_OK) == 0;
}

// Opens the writer at `name` with one codec; the back end's messages and
// exceptions are kept off the console.
bool TryWriter(cv::VideoWriter& writer, const std::string& name, int codec, double fps,
               cv::Size size) {
  return Quietly([&] {
    try {
      return writer.open(name, codec, fps, size, true);
    } catch (const cv::Exception&) {
      return false;
    }
  });
}

// The frames a video file holds: as its header tells when that agrees with
// `expected`, otherwise as many as can be read from it.
int64_t FramesIn(const std::string& name, int64_t expected) {
  return Quietly([&]() -> int64_t {
    try {
      cv::VideoCapture capture(name, cv::CAP_FFMPEG);
      if (!capture.isOpened()) return 0;
      const double reported = capture.get(cv::CAP_PROP_FRAME_COUNT);
      if (reported == static_cast<double>(expected)) return expected;
      int64_t frames = 0;
      while (capture.grab()) ++frames;
      return frames;
    } catch (const cv::Exception&) {
      return 0;
    }
  });
}

}  // namespace

bool OutputVideo::Open(const std::string& name, double fps, cv::Size size, std::string* warning) {
  warning->clear();
  name_ = name;
  size_ = size;
  framesWritten_ = 0;
  bool absent = false;
  bool opened = false;
  if (MayWriteAt(name_, absent)) {
    for (const int codec : {cv::VideoWriter::fourcc('c', 'v', 'i', 'd'), -1}) {
      opened = TryWriter(writer_, name_, codec, fps, size);
      if (opened) break;
    }
    if (!opened &&
        TryWriter(writer_, name_, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), fps, size)) {
      opened = true;
      *warning = "Warning: codec cvid is not available, writing " + name_ + " with codec MJPG.";
    }
  }
  // Only what this run put at the name may be taken away again.
  struct stat st;
  created_ = absent && lstat(name_.c_str(), &st) == 0;
  if (!opened) {
    *warning = "Warning: cannot write " + name_ + "; frames are shown but not written.";
  }
  open_ = opened;
  return opened;
}

void OutputVideo::Write(const cv::Mat& image) {
  if (image.size() == size_) {
    writer_.write(image);
  } else {
    cv::resize(image, resized_, size_);
    writer_.write(resized_);
  }
  ++framesWritten_;
}

bool OutputVideo::Close(std::string* problem) {
  if (!open_) {
    // A writer that never opened may still have left a file it created.
    struct stat st;
    if (created_ && lstat(name_.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      std::remove(name_.c_str());
    }
    created_ = false;
    return true;
  }
  open_ = false;
  writer_.release();
  const bool created = created_;
  created_ = false;  // closed: nothing more is ever taken away
  struct stat st;
  if (framesWritten_ == 0) {
    if (created && lstat(name_.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      std::remove(name_.c_str());
    }
    return true;
  }
  // The writer reports no failed write, so what reached the file is counted.
  const int64_t held = FramesIn(name_, framesWritten_);
  if (held == framesWritten_) return true;
  if (problem != nullptr) {
    *problem = "Warning: " + name_ + " could not be written completely: it holds " +
               std::to_string(held) + " of the " + std::to_string(framesWritten_) +
               " frames written (is the disk full?).";
  }
  return false;
}

}  // namespace placefinder
