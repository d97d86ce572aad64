// PlaceMap: what the system remembers of the places it has seen, and the one
// object that changes it.
//
// It holds the collection of known identifier strings (each with its
// location index) with the catalog its searches read, the location counter,
// the similarity threshold and where each stored place came from. One call,
// Recognise(), takes a frame's string: the first stored string (in the
// collection's order, ascending run count) whose similarity to it is at least
// the threshold names the place the frame shows; when there is none, the
// string is recorded as a new place under the next location index. A string
// with the same ids as a stored one replaces it there, under its new index.
// RecognitionOptions change these rules (the most similar string instead of
// the first, frames with too few boxes, agreement over consecutive frames, a
// map that is only searched); by default they are the rules above.
//
// A map may live in a file (PlaceMapFile): Open() reads it whole before the
// first frame and keeps it locked, Save() writes it back. A map keeps the
// threshold it was made with, so that its places never depend on how runs
// over it were split.
//
// Not thread-safe: a search moves the collection's cursors.

#ifndef PLACEMAP_PLACEMAP_H_
#define PLACEMAP_PLACEMAP_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "MatchSimilar.h"
#include "PlaceOrigins.h"
#include "iMarkrun.h"
#include "iMarkrunCatalog.h"

namespace placefinder {

class PlaceMapFile;

// How a map recognises frames. The defaults are the plain rules.
struct RecognitionOptions {
  static constexpr double kDefaultThreshold = 0.67;

  // The similarity a stored string needs. REQUIRES: 0 <= threshold <= 1.
  double threshold = kDefaultThreshold;
  // The most similar stored string at or over the threshold wins (of equal
  // similarities, the earlier in the collection's order), not the first.
  bool best = false;
  // A frame of fewer detections (its string's length) shows no place: it is
  // neither searched nor recorded.
  int32_t minDetections = 0;
  // A match is accepted only when the same place was the candidate of this
  // frame and of the consistent - 1 frames right before it in the same
  // video; otherwise the frame is held, neither recognised nor recorded.
  // 1 accepts every match. REQUIRES: consistent >= 1.
  int32_t consistent = 1;
  // The width every frame is resized to before detection (0: as it comes).
  // The map does not resize anything itself: it keeps the width with its
  // places, since strings found at another scale do not compare with them.
  int32_t width = 0;
  // The map is searched and never changed: a frame that matches nothing is
  // not recorded.
  bool query = false;
  // The grid of cells x cells each frame's boxes are counted over
  // (CellString; 1: the whole frame). Like the width, the map does not count
  // anything itself: it keeps the grid with its places, since strings of
  // another grid do not compare with them. REQUIRES: 1 <= cells <= 6.
  int32_t cells = 1;
  // A frame that matches nothing at the threshold, right after a frame of the
  // same video that was recognised as or recorded as a place, is recognised
  // as that place when its similarity to the place's string is at least
  // `follow`: a place seen a moment ago needs less to be seen again, while
  // the camera drifts across it. 0: off. REQUIRES: 0 <= follow <= 1.
  double follow = 0;

  // The settings the revisit benchmark finds best for recall at full
  // precision (README: "Recognition options").
  static RecognitionOptions Precise();
};

// What recognising one frame's string gave.
struct Recognition {
  std::optional<uint32_t> location;     // the recognised place, if any
  std::optional<uint32_t> newLocation;  // the place recorded for the frame, if any
  std::optional<double> similarity;     // of the accepted stored string, when recognised
  // Where the accepted string came from (the frame that recorded the place or
  // last replaced it), when recognised and known. Valid until the next call.
  const PlaceOrigin* origin = nullptr;
  // True when the frame would have been recorded but every location index is
  // used up; it is then neither recognised nor recorded.
  bool full = false;
  // True when the frame has fewer detections than the options' minimum: it
  // shows no place and was neither searched nor recorded.
  bool blank = false;
  // True when a match was found but not yet confirmed by enough consecutive
  // frames (RecognitionOptions::consistent): neither recognised nor recorded.
  bool held = false;

  // Whether the frame went into the map (recognised or recorded).
  bool stored() const { return location.has_value() || newLocation.has_value(); }
};

// One of the stored places most similar to a frame's string.
struct RankedPlace {
  uint32_t location;
  double similarity;
  const PlaceOrigin* origin;  // where its string came from, when known
};

class PlaceMap {
 public:
  using Strings = iMarkrunCollection<int16_t>;

  static constexpr double kDefaultThreshold = RecognitionOptions::kDefaultThreshold;
  // Location indices run from 0 to kLastLocation; a counter past it has none
  // left to hand out.
  static constexpr uint32_t kLastLocation = 0xFFFFFFFEu;

  // An empty map. REQUIRES: 0 <= threshold <= 1.
  explicit PlaceMap(double threshold = kDefaultThreshold);
  // An empty map that recognises by `options`.
  explicit PlaceMap(const RecognitionOptions& options);
  ~PlaceMap();
  PlaceMap(const PlaceMap&) = delete;
  PlaceMap& operator=(const PlaceMap&) = delete;

  // Recognises `frameString`, shown by frame `frame` (from 0) of `video`, or
  // records it as a new place with that origin.
  Recognition Recognise(const iMarkrun<int16_t>& frameString, const std::string& video,
                        int64_t frame);

  // Gives the place `location`, which the last Recognise() recorded (its
  // newLocation), its picture: the JPEG bytes of the frame Recognise() was
  // given, as Thumbnail.h describes them. Returns false with the reason,
  // keeping no picture, when the bytes are not such a picture or `location`
  // was not recorded by this map.
  bool SetThumbnail(uint32_t location, std::string jpeg, std::string* why);

  // The `k` stored places most similar to `frameString`, most similar first
  // (of equal similarities, the earlier in the collection's order), whatever
  // the threshold; none for a frame with too few detections. The origins are
  // valid until the map changes. Changes nothing the map shows.
  void Rank(const iMarkrun<int16_t>& frameString, size_t k, std::vector<RankedPlace>* out);

  // A map with the same places in exactly the same layout (entries in order,
  // index entries at the same entries, range, counter, origins) that searches
  // with `threshold` (and otherwise this map's options): the same map as if
  // it had been loaded from this one's file with that threshold. It has no
  // file.
  std::unique_ptr<PlaceMap> WithThreshold(double threshold) const;

  // The same map as WithThreshold(threshold) gives, but one that reads
  // `base`'s places instead of copying them, until it records a place of its
  // own (it copies them then). Many maps over one loaded map, each searching
  // with another threshold, so cost little more than one until they record.
  // REQUIRES: `base` outlives the new map and does not change while the new
  // map reads it (give it a copy of its own that nothing else changes).
  static std::unique_ptr<PlaceMap> Sharing(const PlaceMap& base, double threshold);

  enum class OpenResult { kOpened, kFailed, kOtherThreshold, kOtherWidth, kOtherCells };
  // Opens the place map file `path`, creating an empty one (made with this
  // map's threshold and width) when nothing is there and `mayCreate` is set
  // (otherwise a missing file fails), locks it and reads it whole,
  // replacing what this map holds. An existing file's threshold becomes this
  // map's unless `requireThreshold` is set and the file was made with
  // another (kOtherThreshold; fileThreshold() tells it), and so does its
  // width, unless `requireWidth` is set and it differs (kOtherWidth;
  // fileWidth()), and its grid, unless `requireCells` is set and it differs
  // (kOtherCells; fileCells()). On kFailed `error` says what is wrong, to be read after the
  // file's name. A file that is refused is left as it was.
  OpenResult Open(const std::string& path, bool requireThreshold, bool mayCreate,
                  std::string* error, bool requireWidth = false, bool requireCells = false);
  // Lets go of the file Open() opened without writing it, for a program that
  // only reads maps.
  void Release();
  // Writes the map back to the file Open() opened and releases it.
  // REQUIRES: a successful Open().
  bool Save(std::string* error);
  // Writes the map to `path` (created when missing, replaced otherwise) and
  // releases it again.
  bool SaveAs(const std::string& path, std::string* error);

  double threshold() const { return options_.threshold; }
  const RecognitionOptions& options() const { return options_; }
  // The frame width the map's strings were found at (0: as the frames came).
  int32_t width() const { return options_.width; }
  // The grid the map's strings were counted over (1: the whole frame).
  int32_t cells() const { return options_.cells; }
  // The threshold of the file that Open() found made with another.
  double fileThreshold() const { return fileThreshold_; }
  // The width of the file that Open() found made with another.
  int32_t fileWidth() const { return fileWidth_; }
  // The grid of the file that Open() found made with another.
  int32_t fileCells() const { return fileCells_; }
  // The next location index to hand out.
  uint32_t locationCounter() const { return counter_; }
  // The number of stored places, and of those Open() read.
  size_t size() const { return static_cast<size_t>(strings().entries->count); }
  size_t loadedPlaces() const { return loaded_; }
  bool created() const;
  const Strings& strings() const { return shared_ != nullptr ? *shared_->strings_ : *strings_; }
  const PlaceOrigins& origins() const { return shared_ != nullptr ? shared_->origins_ : origins_; }

 private:
  // Takes over a collection read from a file or copied, with its counter.
  void Restore(std::unique_ptr<Strings> strings, uint32_t counter, PlaceOrigins origins);
  // Makes this map's places a copy of `from`'s, in the same layout.
  void CopyPlaces(const PlaceMap& from);

  // Forgets the run of candidates that RecognitionOptions::consistent counts.
  void EndStreak();
  // Remembers that frame `frame` of `video` went into the place of `node`
  // (RecognitionOptions::follow).
  void Follow(const iListNode<Strings::Entry>* node, const std::string& video, int64_t frame);

  RecognitionOptions options_;
  double fileThreshold_ = 0;
  int32_t fileWidth_ = 0;
  int32_t fileCells_ = 1;
  // The place that was the candidate of the last `streak_` frames of
  // `streakVideo_`, the last of them `streakFrame_`.
  uint32_t streakPlace_ = 0;
  int32_t streak_ = 0;
  std::string streakVideo_;
  int64_t streakFrame_ = -1;
  // The entry of the place the last frame was recognised as or recorded as
  // (RecognitionOptions::follow), frame `followFrame_` of `followVideo_`;
  // none when that frame went into no place. An entry whose place was since
  // replaced holds another place, which `followPlace_` tells apart.
  const iListNode<Strings::Entry>* followNode_ = nullptr;
  uint32_t followPlace_ = 0;
  std::string followVideo_;
  int64_t followFrame_ = -1;
  std::vector<iMarkrunCatalog<int16_t>::Ranked> ranked_;  // Rank()'s scratch
  // The collection lives on the heap so that the catalog's reference to it
  // stays valid when its contents are exchanged.
  std::unique_ptr<Strings> strings_;
  // A search moves the collection's cursors, also in a map that other maps
  // read (Sharing()); that changes nothing they can see.
  mutable iMarkrunCatalog<int16_t> catalog_;
  const PlaceMap* shared_ = nullptr;  // the map whose places this one reads, if any
  uint32_t counter_ = 0;
  PlaceOrigins origins_;
  size_t loaded_ = 0;
  std::unique_ptr<PlaceMapFile> file_;
};

}  // namespace placefinder

#endif  // PLACEMAP_PLACEMAP_H_
