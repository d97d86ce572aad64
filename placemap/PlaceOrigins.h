// PlaceOrigins: where each stored place came from, keyed by location index.
//
// The collection of known strings maps a string to its location index only;
// the video and frame that recorded a place are kept beside it, here. The
// place map records an origin whenever a frame records (or, through an equal
// string, replaces) a place under a fresh location index, and looks up the
// origin of a found place by the index the search returned. An origin whose
// index no stored string carries any more (its string was replaced) is left
// here until the map is saved, which writes only the origins of stored places.
//
// An origin may carry the place's picture (Thumbnail.h). Pictures are shared,
// not copied, when origins are copied: the maps of a threshold sweep each
// copy the origins of the map they start from.

#ifndef PLACEMAP_PLACEORIGINS_H_
#define PLACEMAP_PLACEORIGINS_H_

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>

namespace placefinder {

// The video (its name as given to the program) and the frame number in it,
// counted from 0, of the frame that recorded a place.
struct PlaceOrigin {
  std::string video;
  int64_t frame = 0;
  // The JPEG bytes of that frame's picture (Thumbnail.h), or null for none.
  std::shared_ptr<const std::string> thumbnail;
};

class PlaceOrigins {
 public:
  // Records (or overwrites) the origin of `location`, with its picture if
  // given.
  void Record(uint32_t location, std::string video, int64_t frame,
              std::shared_ptr<const std::string> thumbnail = nullptr) {
    PlaceOrigin& origin = byLocation_[location];
    origin.video = std::move(video);
    origin.frame = frame;
    origin.thumbnail = std::move(thumbnail);
  }

  // Gives the recorded origin of `location` its picture; false when
  // `location` has no origin.
  bool SetThumbnail(uint32_t location, std::shared_ptr<const std::string> thumbnail) {
    const auto it = byLocation_.find(location);
    if (it == byLocation_.end()) return false;
    it->second.thumbnail = std::move(thumbnail);
    return true;
  }

  // The origin of `location`, or none when it was never recorded.
  const PlaceOrigin* Find(uint32_t location) const {
    const auto it = byLocation_.find(location);
    return it == byLocation_.end() ? nullptr : &it->second;
  }

  // Calls f(location, origin) for every recorded origin, in no fixed order.
  template <typename F>
  void ForEach(F f) const {
    for (const auto& [location, origin] : byLocation_) f(location, origin);
  }

  size_t size() const { return byLocation_.size(); }

 private:
  std::unordered_map<uint32_t, PlaceOrigin> byLocation_;
};

}  // namespace placefinder

#endif  // PLACEMAP_PLACEORIGINS_H_
