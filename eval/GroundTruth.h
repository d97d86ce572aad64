// GroundTruth: which place each frame of a run shows, read from a
// tab-separated file of lines `video<TAB>frame<TAB>place`.
//
// `video` is the video's name as the program is given it, `frame` counts
// from 0 in each video, and `place` is any label without a tab. A first line
// that reads exactly `video<TAB>frame<TAB>place` is taken as a header. Lines
// end in '\n' or "\r\n"; a UTF-8 byte-order mark at the start and one blank
// last line are allowed, a blank line elsewhere is not, and no line may be
// longer than kMaxLineBytes. Frames without a line have no place: they are
// not counted. Places are numbered
// from 0 in order of first appearance, so that counting compares numbers.

#ifndef EVAL_GROUNDTRUTH_H_
#define EVAL_GROUNDTRUTH_H_

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace placefinder {

class GroundTruth {
 public:
  // The places of one video's frames, by frame number.
  using VideoPlaces = std::unordered_map<int64_t, int32_t>;

  static constexpr size_t kMaxLineBytes = 64 * 1024;

  // Reads `path`. On a problem (a missing or unreadable file, a line without
  // exactly three tab-separated fields, a blank line, a line too long, an
  // empty video or place, a frame that is not a whole number from 0, the same
  // video and frame twice, a name with a NUL byte) returns
  // false with a message that reads after the file's name, such as
  // "is refused at line 3: the frame 'x' is not a whole number from 0".
  bool Load(const std::string& path, std::string* error);

  // The places of `video`'s frames, or none when the file names no frame of it.
  const VideoPlaces* PlacesOf(const std::string& video) const;
  // The place of frame `frame` of `video`, or -1 when it has none.
  int32_t PlaceOf(const std::string& video, int64_t frame) const;
  static int32_t PlaceIn(const VideoPlaces* places, int64_t frame);

  size_t PlaceCount() const { return names_.size(); }
  const std::string& PlaceName(int32_t place) const { return names_[place]; }

 private:
  std::unordered_map<std::string, VideoPlaces> videos_;
  std::vector<std::string> names_;
};

}  // namespace placefinder

#endif  // EVAL_GROUNDTRUTH_H_
