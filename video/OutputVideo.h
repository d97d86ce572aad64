// OutputVideo: the annotated video a player writes beside what it plays.
//
// Open() takes a name and writes there only where that harms nobody: where
// nothing stands, or over a regular file the user may write that has a write
// permission bit (root may write any file, but a read-only one is somebody's
// to keep). A directory, a symlink that leads nowhere or to no regular file,
// or anything else at the name is left alone, and so is everything when the
// video cannot be written at all. The codecs are tried in order: "cvid",
// the back end's own choice (-1), then Motion-JPEG, which OpenCV's own AVI
// writer always has. What the back end prints while it probes codecs is kept
// off the console.
//
// Close() releases the writer and then checks what was written: a file that
// holds fewer frames than were written (a full disk, say) is reported. A run
// that wrote no frame takes away the file, but only when it created it.
//
// Not thread-safe.

#ifndef VIDEO_OUTPUTVIDEO_H_
#define VIDEO_OUTPUTVIDEO_H_

#include <cstdint>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>
#include <string>

namespace placefinder {

class OutputVideo {
 public:
  OutputVideo() = default;
  OutputVideo(const OutputVideo&) = delete;
  OutputVideo& operator=(const OutputVideo&) = delete;
  ~OutputVideo() { Close(nullptr); }

  // Opens `name` for frames of `size` at `fps`. Returns false when nothing
  // will be written. `warning` gets a line for the user (without a newline)
  // when the video is written with the fallback codec or not at all, and is
  // left empty otherwise.
  bool Open(const std::string& name, double fps, cv::Size size, std::string* warning);
  bool isOpened() const { return writer_.isOpened(); }

  // Writes `image`, scaled to the video's size when it has another.
  // REQUIRES: isOpened().
  void Write(const cv::Mat& image);

  // Releases the writer (and removes an empty file this run created). Returns
  // false, with a line for the user in `problem` when given, when the file
  // holds fewer frames than were written.
  bool Close(std::string* problem);

 private:
  cv::VideoWriter writer_;
  std::string name_;
  cv::Size size_;
  cv::Mat resized_;
  bool created_ = false;  // nothing stood at name_ before this run
  bool open_ = false;
  int64_t framesWritten_ = 0;
};

}  // namespace placefinder

#endif  // VIDEO_OUTPUTVIDEO_H_
