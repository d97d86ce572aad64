// VideoSource: a video file or a capture device read frame by frame, with a
// start-up seek and rewinds that work for files of any length.
//
// After a seek the video back end does not always deliver the frame it was
// sent to: for a file of one frame, the first grab after the start-up seek (to
// the end and back to the start) and after each rewind to 0 ms fails although
// the frame is readable. So, for a file, the first grab after a seek that
// fails reopens the file, which starts it at its first frame, and grabs once
// more. A file that decodes nothing still fails every read. Devices are never
// reopened.
//
// Not thread-safe.

#ifndef FRAME_VIDEOSOURCE_H_
#define FRAME_VIDEOSOURCE_H_

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>
#include <string>

namespace placefinder {

class VideoSource {
 public:
  // Opens the file `name` through the back end `api` (a cv::CAP_* value;
  // cv::CAP_ANY lets OpenCV choose). Returns false when it does not open; the
  // back end's exceptions count as not opening.
  bool OpenFile(const std::string& name, int api);
  // Opens capture device `index` through the back end `api`.
  bool OpenDevice(int index, int api);

  // Moves to the end and back to the start (position ratio 1, then 0), as the
  // programs do before their first frame.
  void StartupSeek();
  // Moves back to 0 ms, to play a file again from its start.
  void Rewind();

  // Grabs and decodes the next frame into `frame`. False at the end of a
  // file, or when no frame can be read.
  bool Read(cv::Mat& frame);

  // A property of the open source (cv::CAP_PROP_*), as the back end reports
  // it; the position of the last frame read is cv::CAP_PROP_POS_MSEC.
  double Get(int property) const { return capture_.get(property); }
  void Release() { capture_.release(); }

 private:
  bool ReadOnce(cv::Mat& frame);

  cv::VideoCapture capture_;
  std::string name_;  // the file, empty for a device
  int api_ = cv::CAP_ANY;
  bool afterSeek_ = false;  // no frame has been read since the last seek
};

}  // namespace placefinder

#endif  // FRAME_VIDEOSOURCE_H_
