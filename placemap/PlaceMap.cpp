#include "PlaceMap.h"

#include <sys/stat.h>

#include <cerrno>
#include <unordered_map>
#include <utility>

#include "PlaceMapFile.h"
#include "Thumbnail.h"

namespace placefinder {

namespace {

// What --precise chooses (README: "Recognition options"): on the revisit
// benchmark, frames 400 pixels wide with their boxes counted over a 6 x 6
// grid, the best match at 0.63 (the middle of the thresholds from 0.62 to 0.64
// that tie) and a frame that follows its place at 0.55
// gave the highest recall at full precision; a frame without a box carries no
// place.
constexpr double kPreciseThreshold = 0.63;
constexpr int32_t kPreciseMinDetections = 1;
constexpr int32_t kPreciseWidth = 400;
constexpr int32_t kPreciseCells = 6;
constexpr double kPreciseFollow = 0.55;

}  // namespace

RecognitionOptions RecognitionOptions::Precise() {
  RecognitionOptions options;
  options.threshold = kPreciseThreshold;
  options.best = true;
  options.minDetections = kPreciseMinDetections;
  options.width = kPreciseWidth;
  options.cells = kPreciseCells;
  options.follow = kPreciseFollow;
  return options;
}

PlaceMap::PlaceMap(double threshold) : PlaceMap(RecognitionOptions{threshold}) {}

PlaceMap::PlaceMap(const RecognitionOptions& options)
    : options_(options), strings_(std::make_unique<Strings>()), catalog_(*strings_) {}

PlaceMap::~PlaceMap() = default;

bool PlaceMap::created() const { return file_ != nullptr && file_->created(); }

Recognition PlaceMap::Recognise(const iMarkrun<int16_t>& frameString, const std::string& video,
                                int64_t frame) {
  Recognition result;
  const iListNode<Strings::Entry>* followed = followNode_;
  followNode_ = nullptr;  // set again below when this frame goes into a place
  if (frameString.length < options_.minDetections) {
    result.blank = true;
    EndStreak();
    return result;
  }
  const PlaceMap& places = shared_ != nullptr ? *shared_ : *this;
  const uint32_t* found;
  double similarity = 0;
  if (options_.best) {
    found = places.catalog_.FindBest(frameString, options_.threshold, &similarity);
  } else {
    // The catalog finds the entry the collection's own Find(frameString,
    // &MatchSimilar<int16_t>, &threshold) finds, and leaves the cursor on it.
    found = places.catalog_.Find(frameString, options_.threshold);
    if (found != nullptr) {
      similarity = Similarity(places.strings_->entries->current->value.key, frameString);
    }
  }
  const iListNode<Strings::Entry>* accepted =
      found != nullptr ? places.strings_->entries->current : nullptr;
  if (found == nullptr && options_.follow > 0 && followed != nullptr &&
      followed->value.data == followPlace_ && followFrame_ + 1 == frame && followVideo_ == video) {
    const double s = Similarity(followed->value.key, frameString);
    if (s >= options_.follow) {
      found = &followed->value.data;
      similarity = s;
      accepted = followed;
    }
  }
  if (found != nullptr) {
    if (options_.consistent > 1) {
      const bool goesOn = streak_ > 0 && streakPlace_ == *found && streakFrame_ + 1 == frame &&
                          streakVideo_ == video;
      streak_ = goesOn ? streak_ + 1 : 1;
      streakPlace_ = *found;
      streakFrame_ = frame;
      if (!goesOn && streakVideo_ != video) streakVideo_ = video;
      if (streak_ < options_.consistent) {
        result.held = true;
        return result;
      }
    }
    result.location = *found;
    result.similarity = similarity;
    result.origin = places.origins_.Find(*found);
    Follow(accepted, video, frame);
    return result;
  }
  EndStreak();
  if (options_.query) return result;
  if (counter_ > kLastLocation) {
    result.full = true;
    return result;
  }
  if (shared_ != nullptr) {
    // The first place of its own: from now on this map keeps its places.
    const PlaceMap& base = *shared_;
    shared_ = nullptr;
    CopyPlaces(base);
  }
  Follow(catalog_.Add(frameString, counter_), video, frame);
  origins_.Record(counter_, video, frame);
  result.newLocation = counter_;
  ++counter_;
  return result;
}

void PlaceMap::EndStreak() { streak_ = 0; }

void PlaceMap::Follow(const iListNode<Strings::Entry>* node, const std::string& video,
                      int64_t frame) {
  if (options_.follow <= 0) return;
  followNode_ = node;
  followPlace_ = node->value.data;
  followFrame_ = frame;
  if (followVideo_ != video) followVideo_ = video;
}

bool PlaceMap::SetThumbnail(uint32_t location, std::string jpeg, std::string* why) {
  if (!CheckThumbnail(jpeg.data(), jpeg.size(), why)) return false;
  // A map that still reads another's places has recorded nothing itself.
  if (shared_ != nullptr ||
      !origins_.SetThumbnail(location, std::make_shared<const std::string>(std::move(jpeg)))) {
    *why = "the location " + std::to_string(location) + " was not recorded by this map";
    return false;
  }
  return true;
}

void PlaceMap::Rank(const iMarkrun<int16_t>& frameString, size_t k, std::vector<RankedPlace>* out) {
  out->clear();
  if (frameString.length < options_.minDetections) return;
  const PlaceMap& places = shared_ != nullptr ? *shared_ : *this;
  places.catalog_.Rank(frameString, k, &ranked_);
  for (const auto& r : ranked_) {
    out->push_back(RankedPlace{r.data, r.similarity, places.origins_.Find(r.data)});
  }
}

std::unique_ptr<PlaceMap> PlaceMap::WithThreshold(double threshold) const {
  RecognitionOptions options = options_;
  options.threshold = threshold;
  auto map = std::make_unique<PlaceMap>(options);
  map->CopyPlaces(*this);
  map->loaded_ = loaded_;
  return map;
}

std::unique_ptr<PlaceMap> PlaceMap::Sharing(const PlaceMap& base, double threshold) {
  RecognitionOptions options = base.options_;
  options.threshold = threshold;
  auto map = std::make_unique<PlaceMap>(options);
  map->shared_ = base.shared_ != nullptr ? base.shared_ : &base;
  map->counter_ = base.counter_;
  map->loaded_ = base.loaded_;
  return map;
}

void PlaceMap::CopyPlaces(const PlaceMap& from) {
  followNode_ = nullptr;
  const Strings& strings = from.strings();
  auto copy = std::make_unique<Strings>();
  using Node = iListNode<Strings::Entry>;
  std::unordered_map<const Node*, Node*> copies;
  copies.reserve(static_cast<size_t>(strings.entries->count));
  for (const Node* node = strings.entries->head; node != nullptr; node = node->next) {
    copies[node] = copy->entries->AddTail(Strings::Entry{node->value.key, node->value.data, nullptr});
  }
  for (const auto* node = strings.index->head; node != nullptr; node = node->next) {
    Node* element = copies.at(node->value.element);
    element->value.indexNode = copy->index->AddTail(Strings::IndexEntry{node->value.key, element});
  }
  copy->minKey = strings.minKey;
  copy->maxKey = strings.maxKey;
  Restore(std::move(copy), from.counter_, from.origins());
}

void PlaceMap::Restore(std::unique_ptr<Strings> strings, uint32_t counter, PlaceOrigins origins) {
  // The map keeps its collection object, which the catalog refers to, and
  // takes the restored contents.
  strings_->Swap(*strings);
  catalog_.Rebuild();
  followNode_ = nullptr;
  counter_ = counter;
  origins_ = std::move(origins);
}

PlaceMap::OpenResult PlaceMap::Open(const std::string& path, bool requireThreshold, bool mayCreate,
                                    std::string* error, bool requireWidth, bool requireCells) {
  struct stat info;
  if (!mayCreate && lstat(path.c_str(), &info) != 0 && errno == ENOENT) {
    *error = "does not exist";
    return OpenResult::kFailed;
  }
  auto file = std::make_unique<PlaceMapFile>();
  PlaceMapContents contents;
  if (!file->Open(path, options_.threshold, error) || !file->Load(&contents, error)) {
    return OpenResult::kFailed;
  }
  if (requireThreshold && contents.threshold != options_.threshold) {
    fileThreshold_ = contents.threshold;
    return OpenResult::kOtherThreshold;
  }
  // A map this run created holds no string yet, so it takes the run's width.
  if (!file->created()) {
    if (requireWidth && contents.width != options_.width) {
      fileWidth_ = contents.width;
      return OpenResult::kOtherWidth;
    }
    options_.width = contents.width;
    if (requireCells && contents.cells != options_.cells) {
      fileCells_ = contents.cells;
      return OpenResult::kOtherCells;
    }
    options_.cells = contents.cells;
  }
  options_.threshold = contents.threshold;
  loaded_ = static_cast<size_t>(contents.strings->entries->count);
  Restore(std::move(contents.strings), contents.locationCounter, std::move(contents.origins));
  file_ = std::move(file);
  return OpenResult::kOpened;
}

void PlaceMap::Release() { file_.reset(); }

bool PlaceMap::Save(std::string* error) {
  if (file_ == nullptr) {
    *error = "is not open";
    return false;
  }
  file_->SetWidth(options_.width);
  file_->SetCells(options_.cells);
  const bool saved = file_->Save(*strings_, counter_, options_.threshold, origins_, error);
  file_.reset();
  return saved;
}

bool PlaceMap::SaveAs(const std::string& path, std::string* error) {
  PlaceMapFile file;
  if (!file.Open(path, options_.threshold, error)) return false;
  file.SetWidth(options_.width);
  file.SetCells(options_.cells);
  return file.Save(strings(), counter_, options_.threshold, origins(), error);
}

}  // namespace placefinder
