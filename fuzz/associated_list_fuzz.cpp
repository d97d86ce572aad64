// Differential fuzzer for iAssociatedList<uint64_t, int32_t>.
//
// The input is read as a sequence of operations on two keyed lists, each
// mirrored on a std::map, on the list of keys its index should hold (in index
// order) and on the key range it should report. Keys come from a small space
// (many duplicates and removals of present keys), from the whole 64-bit space
// (where distinct keys can share one NumericKey), or from the keys present.
// After every operation both lists are checked: entries ascend and match the
// map, each index entry points at a live entry whose indexNode points back,
// the counts match, minKey/maxKey are those of the keys added since the list
// was last empty and bound every key, and Find() with MatchEqual finds every
// key of the map with its data. A mismatch aborts.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <list>
#include <map>
#include <unordered_set>

#include "iAssociatedList.h"

namespace {

using namespace placefinder;

using Map = iAssociatedList<uint64_t, int32_t>;
using Entry = Map::Entry;
using IndexEntry = Map::IndexEntry;
using EntryNode = iListNode<Entry>;
using IndexNode = iListNode<IndexEntry>;
using Traits = iKeyTraits<uint64_t>;

[[noreturn]] void Fail(const char* what, int line) {
  std::fprintf(stderr, "associated_list_fuzz: check failed at line %d: %s\n", line, what);
  std::abort();
}

#define CHECK(condition)                          \
  do {                                            \
    if (!(condition)) Fail(#condition, __LINE__); \
  } while (0)

// What a list should hold. The range is meaningful while `entries` is not
// empty.
struct Model {
  std::map<uint64_t, int32_t> entries;
  std::list<uint64_t> indexed;  // keys of the index entries, in index order
  double minKey = 0.0;
  double maxKey = 0.0;

  // The model of a list assigned from one that holds `source`: the same
  // entries, indexed at positions 0, 10, 20, ..., and the range of the keys.
  void AssignFrom(const Model& source) {
    if (this == &source) return;
    entries = source.entries;
    indexed.clear();
    size_t position = 0;
    for (const auto& [key, data] : entries) {
      const double k = Traits::NumericKey(key);
      if (position == 0) {
        minKey = maxKey = k;
      } else {
        if (k < minKey) minKey = k;
        if (k > maxKey) maxKey = k;
      }
      if (position % 10 == 0) indexed.push_back(key);
      ++position;
    }
  }
};

struct Subject {
  Map map;
  Model model;
};

// Past this many entries Add() of a new key is skipped, which keeps the check
// after every operation (a Find() per key) cheap.
constexpr size_t kMaxEntries = 160;

int32_t WrappingAdd(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

// Everything Add() promises its merge callback, checked on each call.
struct MergeContext {
  Map* map;
  uint64_t key;
  int32_t data;
  int calls;
};

// A merge that adds the new data to the existing entry's data.
void AddData(Map::EntryList* entries, const Entry* newEntry, void* userData) {
  MergeContext* context = static_cast<MergeContext*>(userData);
  CHECK(entries == context->map->entries.get());
  CHECK(entries->current != nullptr);
  CHECK(Traits::Equal(entries->current->value.key, context->key));
  CHECK(newEntry->key == context->key && newEntry->data == context->data);
  CHECK(newEntry->indexNode == nullptr);
  ++context->calls;
  entries->current->value.data = WrappingAdd(entries->current->value.data, newEntry->data);
}

void Check(Map& map, const Model& model) {
  const size_t n = model.entries.size();
  if (!map.entries || !map.index) {
    // Released lists hold nothing; both go together.
    CHECK(!map.entries && !map.index && n == 0);
    CHECK(map.Find(0, &Map::MatchEqual) == nullptr);
    return;
  }
  const Map::EntryList& entries = *map.entries;
  const Map::IndexList& index = *map.index;
  CHECK(entries.count >= 0 && static_cast<size_t>(entries.count) == n);
  CHECK(index.count >= 0 && static_cast<size_t>(index.count) == model.indexed.size());

  // Entries: the map's pairs in ascending key order, with sound links, and
  // every NumericKey inside the range.
  std::unordered_set<const EntryNode*> live;
  size_t indexedEntries = 0;
  const EntryNode* previous = nullptr;
  const EntryNode* node = entries.head;
  for (const auto& [key, data] : model.entries) {
    CHECK(node != nullptr);
    CHECK(node->prev == previous);
    CHECK(node->value.key == key);
    CHECK(node->value.data == data);
    if (previous != nullptr) CHECK(Traits::Less(previous->value.key, node->value.key));
    const double k = Traits::NumericKey(key);
    CHECK(map.minKey <= k && k <= map.maxKey);
    if (node->value.indexNode != nullptr) ++indexedEntries;
    live.insert(node);
    previous = node;
    node = node->next;
  }
  CHECK(node == nullptr);
  CHECK(entries.tail == previous);
  if (n > 0) {
    CHECK(map.minKey == model.minKey);
    CHECK(map.maxKey == model.maxKey);
  }

  // Index: the expected keys in creation order, each pointing at a live entry
  // that points back. Together with the count of entries that carry an index
  // node this makes the two lists' pointers a one-to-one match.
  const IndexNode* previousIndex = nullptr;
  const IndexNode* indexNode = index.head;
  for (uint64_t key : model.indexed) {
    CHECK(indexNode != nullptr);
    CHECK(indexNode->prev == previousIndex);
    CHECK(indexNode->value.key == key);
    const EntryNode* element = indexNode->value.element;
    CHECK(live.count(element) == 1);
    CHECK(element->value.indexNode == indexNode);
    CHECK(element->value.key == key);
    previousIndex = indexNode;
    indexNode = indexNode->next;
  }
  CHECK(indexNode == nullptr);
  CHECK(index.tail == previousIndex);
  CHECK(indexedEntries == model.indexed.size());

  // Every key is found with its data, and the cursor is left on its entry.
  for (const auto& [key, data] : model.entries) {
    int32_t* found = map.Find(key, &Map::MatchEqual);
    CHECK(found != nullptr);
    CHECK(*found == data);
    CHECK(entries.current != nullptr && &entries.current->value.data == found);
  }
}

// Picks a key: from a small space, from the whole 64-bit space, from the keys
// present, or near the top of the range (where neighbours share a double).
uint64_t ChooseKey(FuzzedDataProvider& input, const Model& model) {
  switch (input.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      return input.ConsumeIntegralInRange<uint64_t>(0, 31);
    case 1:
      return input.ConsumeIntegral<uint64_t>();
    case 2:
      if (!model.entries.empty()) {
        const size_t i = input.ConsumeIntegralInRange<size_t>(0, model.entries.size() - 1);
        return std::next(model.entries.begin(), static_cast<std::ptrdiff_t>(i))->first;
      }
      return input.ConsumeIntegralInRange<uint64_t>(0, 31);
    default:
      return UINT64_MAX - input.ConsumeIntegral<uint8_t>();
  }
}

// The model side of Add(): the range first, then insertion or merge.
// Returns whether the key was present.
bool ModelAdd(Model& model, uint64_t key, int32_t data, bool merge) {
  const double k = Traits::NumericKey(key);
  if (model.entries.empty()) {
    model.minKey = model.maxKey = k;
  } else {
    if (k < model.minKey) model.minKey = k;
    if (k > model.maxKey) model.maxKey = k;
  }
  auto it = model.entries.find(key);
  if (it != model.entries.end()) {
    it->second = merge ? WrappingAdd(it->second, data) : data;
    return true;
  }
  model.entries.emplace(key, data);
  const size_t n = model.entries.size();
  if (n == 1 || n % 10 == 0) model.indexed.push_back(key);
  return false;
}

void ModelRemove(Model& model, uint64_t key) {
  if (model.entries.erase(key) == 0) return;
  model.indexed.remove(key);
}

enum Op : uint8_t {
  kAdd,
  kAddMerge,
  kRemove,
  kFind,
  kFindWithThreshold,
  kRemoveAll,
  kAssign,
  kCopyConstruct,
  kReleaseLists,
  kOpCount
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  Subject subjects[2];

  while (input.remaining_bytes() > 0) {
    const uint8_t selector = input.ConsumeIntegral<uint8_t>();
    Subject& s = subjects[selector >> 7];
    // The source of a copy: the other list, or this one when bit 6 is set.
    Subject& other = (selector & 0x40) ? s : subjects[1 - (selector >> 7)];

    switch ((selector & 0x3F) % kOpCount) {
      case kAdd:
      case kAddMerge: {
        const bool merge = (selector & 0x3F) % kOpCount == kAddMerge;
        const uint64_t key = ChooseKey(input, s.model);
        const int32_t value = input.ConsumeIntegral<int32_t>();
        if (s.model.entries.size() >= kMaxEntries && s.model.entries.count(key) == 0) break;
        MergeContext context{&s.map, key, value, 0};
        if (merge) {
          s.map.Add(key, value, &AddData, &context);
        } else {
          s.map.Add(key, value);
        }
        const bool present = ModelAdd(s.model, key, value, merge);
        CHECK(context.calls == (merge && present ? 1 : 0));
        break;
      }
      case kRemove: {
        const uint64_t key = ChooseKey(input, s.model);
        s.map.Remove(key);
        ModelRemove(s.model, key);
        break;
      }
      case kFind: {
        // Keys that are absent are not found; present ones are (also checked
        // for every key after each operation).
        const uint64_t key = ChooseKey(input, s.model);
        const int32_t* found = s.map.Find(key, &Map::MatchEqual);
        const auto it = s.model.entries.find(key);
        CHECK((found == nullptr) == (it == s.model.entries.end()));
        if (found != nullptr) CHECK(*found == it->second);
        break;
      }
      case kFindWithThreshold: {
        // A threshold only widens the stretch searched around the probe, so
        // the exact match is still found, and an absent key still is not.
        // The threshold 1 (a window of no width) once lost the probe's own
        // indexed entry to rounding: see regressions_test.cpp.
        static const double kThresholds[] = {1.0, 0.9, 0.7, 0.67, 0.5, 0.0};
        const double threshold = input.PickValueInArray(kThresholds);
        const uint64_t key = ChooseKey(input, s.model);
        const int32_t* found = s.map.Find(key, &Map::MatchEqual, &threshold);
        const auto it = s.model.entries.find(key);
        CHECK((found == nullptr) == (it == s.model.entries.end()));
        if (found != nullptr) CHECK(*found == it->second);
        break;
      }
      case kRemoveAll:
        // The range is kept, but with no entries it is not looked at again.
        s.map.RemoveAll();
        s.model.entries.clear();
        s.model.indexed.clear();
        break;
      case kAssign:
        s.map = other.map;
        s.model.AssignFrom(other.model);
        break;
      case kCopyConstruct: {
        // A copy is independent of its source: changing it leaves the source
        // as it was (checked below).
        Map copy(other.map);
        Model copyModel;
        copyModel.AssignFrom(other.model);
        Check(copy, copyModel);
        const uint64_t key = ChooseKey(input, other.model);
        copy.Remove(key);
        ModelRemove(copyModel, key);
        if (copyModel.entries.size() < kMaxEntries) {
          copy.Add(key + 1, 7);
          ModelAdd(copyModel, key + 1, 7, false);
        }
        Check(copy, copyModel);
        break;
      }
      case kReleaseLists:
        // A list whose inner lists were released acts as an empty one and
        // allocates them again when needed.
        s.map.entries.reset();
        s.map.index.reset();
        s.model.entries.clear();
        s.model.indexed.clear();
        break;
    }
    Check(subjects[0].map, subjects[0].model);
    Check(subjects[1].map, subjects[1].model);
  }
  return 0;
}
