#include "PlaceMap.h"

#include <sys/stat.h>

#include <cerrno>
#include <unordered_map>
#include <utility>

#include "PlaceMapFile.h"

namespace placefinder {

PlaceMap::PlaceMap(double threshold)
    : threshold_(threshold), strings_(std::make_unique<Strings>()), catalog_(*strings_) {}

PlaceMap::~PlaceMap() = default;

bool PlaceMap::created() const { return file_ != nullptr && file_->created(); }

Recognition PlaceMap::Recognise(const iMarkrun<int16_t>& frameString, const std::string& video,
                                int64_t frame) {
  Recognition result;
  // The catalog finds the entry the collection's own Find(frameString,
  // &MatchSimilar<int16_t>, &threshold_) finds, and leaves the cursor on it.
  const PlaceMap& places = shared_ != nullptr ? *shared_ : *this;
  const uint32_t* found = places.catalog_.Find(frameString, threshold_);
  if (found != nullptr) {
    result.location = *found;
    result.similarity = Similarity(places.strings_->entries->current->value.key, frameString);
    result.origin = places.origins_.Find(*found);
    return result;
  }
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
  catalog_.Add(frameString, counter_);
  origins_.Record(counter_, video, frame);
  result.newLocation = counter_;
  ++counter_;
  return result;
}

std::unique_ptr<PlaceMap> PlaceMap::WithThreshold(double threshold) const {
  auto map = std::make_unique<PlaceMap>(threshold);
  map->CopyPlaces(*this);
  map->loaded_ = loaded_;
  return map;
}

std::unique_ptr<PlaceMap> PlaceMap::Sharing(const PlaceMap& base, double threshold) {
  auto map = std::make_unique<PlaceMap>(threshold);
  map->shared_ = base.shared_ != nullptr ? base.shared_ : &base;
  map->counter_ = base.counter_;
  map->loaded_ = base.loaded_;
  return map;
}

void PlaceMap::CopyPlaces(const PlaceMap& from) {
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
  counter_ = counter;
  origins_ = std::move(origins);
}

PlaceMap::OpenResult PlaceMap::Open(const std::string& path, bool requireThreshold,
                                    bool mayCreate, std::string* error) {
  struct stat info;
  if (!mayCreate && lstat(path.c_str(), &info) != 0 && errno == ENOENT) {
    *error = "does not exist";
    return OpenResult::kFailed;
  }
  auto file = std::make_unique<PlaceMapFile>();
  PlaceMapContents contents;
  if (!file->Open(path, threshold_, error) || !file->Load(&contents, error)) {
    return OpenResult::kFailed;
  }
  if (requireThreshold && contents.threshold != threshold_) {
    fileThreshold_ = contents.threshold;
    return OpenResult::kOtherThreshold;
  }
  threshold_ = contents.threshold;
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
  const bool saved = file_->Save(*strings_, counter_, threshold_, origins_, error);
  file_.reset();
  return saved;
}

bool PlaceMap::SaveAs(const std::string& path, std::string* error) {
  PlaceMapFile file;
  return file.Open(path, threshold_, error) &&
         file.Save(strings(), counter_, threshold_, origins(), error);
}

}  // namespace placefinder
