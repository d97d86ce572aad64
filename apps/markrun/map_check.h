// MapCheck: the randomised check of iAssociatedList against std::map.
//
// Each iteration adds random keys to both, deletes random keys, and then looks
// every key of the reference up in the list under test with Find(). The first
// key that is missing or carries other data is reported as "Loop[i]: ..." and
// ends the check. Keys the list under test holds beyond the reference's are not
// looked for. Both stay at or below 4000 keys.
//
// A key's high half is its position within its add phase and its low half
// A * 65536 + B, from two draws A then B; its data is A. So two adds of one
// key always carry the same data.
//
// The list type is a template parameter so that tests can run the check on a
// deliberately faulty list; it needs Add, Find and Remove.

#ifndef APPS_MARKRUN_MAP_CHECK_H_
#define APPS_MARKRUN_MAP_CHECK_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <map>

#include "check_rounds.h"
#include "markrun_random.h"

namespace placefinder {

using MapKey = uint64_t;
using MapData = int32_t;

template <typename TestMap>
class MapCheck : public CheckRounds<MapCheck<TestMap>> {
 public:
  static constexpr const char* kName = "iAssociatedList";
  static constexpr uint32_t kDotEvery = 23;
  static constexpr uint32_t kIterations = 700;
  using CheckRounds<MapCheck>::kMaxSize;

  MapCheck(TestMap& map, std::map<MapKey, MapData>& reference, MarkrunRandom& random, FILE* out)
      : CheckRounds<MapCheck>(random, out), map_(map), reference_(reference) {}

  // Adds r random keys to both. The reference keeps a pair already present;
  // the list under test replaces it with equal data.
  void Grow() {
    const uint32_t r = random_.Draw() % (kMaxSize + 1 - reference_.size());
    for (uint32_t k = 0; k < r; ++k) {
      const uint32_t a = random_.Draw();
      const uint32_t b = random_.Draw();
      const MapKey key = static_cast<MapKey>(k) << 32 | (a * 65536u + b);
      const MapData data = static_cast<MapData>(a);
      reference_.emplace(key, data);
      map_.Add(key, data, nullptr, nullptr);
    }
  }

  size_t ReferenceSize() const { return reference_.size(); }

  // Looks up the reference's keys 0 to `p` (counted from the smallest) in the
  // list under test, then removes key `p` from both. REQUIRES: p is below the
  // reference size.
  bool DeleteAt(uint32_t i, size_t p) {
    auto it = reference_.begin();
    for (size_t q = 0;; ++q, ++it) {
      const MapData* data = map_.Find(it->first, &MatchKey);
      if (data == nullptr) return Fail(i, "Unexpected end of test list (before deleting)");
      if (*data != it->second) return Fail(i, "Error in data of test list (before deleting)");
      if (q == p) break;
    }
    const MapKey key = it->first;
    reference_.erase(it);
    map_.Remove(key);
    return true;
  }

  // Looks every key of the reference up in the list under test.
  bool CheckAfterDeleting(uint32_t i) {
    for (const auto& [key, expected] : reference_) {
      const MapData* data = map_.Find(key, &MatchKey);
      if (data == nullptr) return Fail(i, "Unexpected end of test list (after deleting)");
      if (*data != expected) return Fail(i, "Error in data of test list (after deleting)");
    }
    return true;
  }

  // Accepts a candidate whose key is the probe, both 32-bit halves equal.
  static bool MatchKey(const typename TestMap::Entry* candidate, const MapKey& probe,
                       const double* /*threshold*/) {
    return static_cast<uint32_t>(candidate->key >> 32) == static_cast<uint32_t>(probe >> 32) &&
           static_cast<uint32_t>(candidate->key) == static_cast<uint32_t>(probe);
  }

 private:
  TestMap& map_;
  std::map<MapKey, MapData>& reference_;
  using CheckRounds<MapCheck>::random_;
  using CheckRounds<MapCheck>::Fail;
};

}  // namespace placefinder

#endif  // APPS_MARKRUN_MAP_CHECK_H_
