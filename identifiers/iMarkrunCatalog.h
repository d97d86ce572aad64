// iMarkrunCatalog<Id>: a collection of identifier strings (an
// iMarkrunCollection, `list`) with a catalog of it beside it, so that a
// search reads memory in order instead of following the list's links.
//
// `list` is the collection itself (the catalog's own, or one it was given),
// with its entry list, its index and its range, and the catalog changes it exactly as the
// collection's own Add() and Remove() do: the same entries in the same order, the same index
// entries, the same range. The catalog holds
//   - for each entry, in entry order, a record: the entry's node, its length
//     and run count, and the place of its runs in one block of (id, count)
//     pairs, each string's runs together;
//   - for each index entry, in index order, its numeric key and nodes.
// From these, Find() picks the same stretch of entries as
// iAssociatedList::Find() with the same window and decides each candidate in
// list order with MatchSimilar()'s test (SimilarityTest), so it finds the
// entry that
// list.Find(probe, &MatchSimilar<Id>, &threshold) finds: the first whose
// similarity to the probe is at least the threshold, as the plain test
// Similarity() >= threshold finds it. Add() and Remove() find the equal entry,
// and the place of a new one, in the same way.
//
// On success Find() leaves list.entries->current on the accepted entry, as
// the collection does; otherwise both cursors are working state.
//
// A program that changes `list` or its strings in any other way calls
// Rebuild() before the next use. A change of the number of entries or index
// entries is noticed and rebuilds the catalog; other changes are not.
//
// Copies copy the list as iAssociatedList copies it (the index made afresh)
// and catalogue the copy. Not thread-safe, not even for concurrent searches.

#ifndef IDENTIFIERS_IMARKRUNCATALOG_H_
#define IDENTIFIERS_IMARKRUNCATALOG_H_

#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "MatchSimilar.h"
#include "iMarkrun.h"

namespace placefinder {

template <typename Id>
class iMarkrunCatalog {
 private:
  iMarkrunCollection<Id> own_;  // the collection, unless the catalog is of an external one

 public:
  using Collection = iMarkrunCollection<Id>;
  using Entry = typename Collection::Entry;
  using IndexEntry = typename Collection::IndexEntry;
  using Node = iListNode<Entry>;
  using IndexNode = iListNode<IndexEntry>;
  using String = iMarkrun<Id>;

  Collection& list;  // the collection catalogued

  // A catalog of a collection of its own.
  iMarkrunCatalog() : list(own_) {}
  // A catalog of `external`, which must outlive it and which it changes as
  // its Add() and Remove() say.
  explicit iMarkrunCatalog(Collection& external) : list(external) { Rebuild(); }
  // A copy has a collection of its own, a copy of `other`'s.
  iMarkrunCatalog(const iMarkrunCatalog& other) : own_(other.list), list(own_) { Rebuild(); }
  // Copies `other`'s collection into the one this catalog catalogues.
  iMarkrunCatalog& operator=(const iMarkrunCatalog& other) {
    if (this != &other) {
      list = other.list;
      Rebuild();
    }
    return *this;
  }

  // list.Add(key, data): a string equal to a present one (the same run ids)
  // replaces its key and data in place, any other is inserted after every
  // entry of no more runs, and indexed when the entry count becomes 1 or a
  // multiple of 10. Returns the entry's node.
  const Node* Add(const String& key, uint32_t data) {
    Sync();
    const double k = Key(key);
    list.IncludeInRange(key);
    // The start is the last index entry passed before the first one whose
    // key is not less than the new key.
    size_t start = kNone;
    for (size_t i = 0; i < index_.size() && index_[i].key < k; ++i) start = i;
    const Stretch stretch = StretchOf(k, nullptr, start);
    const size_t equal = FindEqual(key, stretch);
    if (equal != kNone) {
      Node* node = records_[equal].node;
      node->value.key = key;
      node->value.data = data;
      garbage_ += static_cast<size_t>(records_[equal].runCount);
      records_[equal] = Catalogue(node);
      heads_[equal] = HeadOf(records_[equal]);
      ++garbageSums_;
      list.entries->SetCurrent(node);
      CompactIfWasteful();
      return node;
    }
    // Inserted before the first entry after the start whose run count is
    // greater, or at the tail.
    size_t at = start == kNone ? 0 : Locate(index_[start].element) + 1;
    while (at < records_.size() && !(key.RunCount() < records_[at].runCount)) ++at;
    Node* node =
        list.InsertNewBefore(key, data, at < records_.size() ? records_[at].node : nullptr);
    records_.insert(records_.begin() + static_cast<std::ptrdiff_t>(at), Catalogue(node));
    heads_.insert(heads_.begin() + static_cast<std::ptrdiff_t>(at), HeadOf(records_[at]));
    if (node->value.indexNode != nullptr) index_.push_back(Indexed{k, node->value.indexNode, node});
    return node;
  }

  // list.Remove(key): removes the entry equal to `key` that a search without
  // a threshold finds, with its index entry; absent keys are ignored.
  void Remove(const String& key) {
    Sync();
    if (records_.empty()) return;
    const size_t at = FindEqual(key, StretchOf(Key(key), nullptr, kNone));
    if (at == kNone) return;
    Node* node = records_[at].node;
    if (node->value.indexNode != nullptr) {
      for (size_t i = 0; i < index_.size(); ++i) {
        if (index_[i].node == node->value.indexNode) {
          index_.erase(index_.begin() + static_cast<std::ptrdiff_t>(i));
          break;
        }
      }
    }
    list.RemoveEntry(node);
    garbage_ += static_cast<size_t>(records_[at].runCount);
    records_.erase(records_.begin() + static_cast<std::ptrdiff_t>(at));
    heads_.erase(heads_.begin() + static_cast<std::ptrdiff_t>(at));
    ++garbageSums_;
    CompactIfWasteful();
  }

  // list.RemoveAll(): both lists empty, the range kept.
  void RemoveAll() {
    list.RemoveAll();
    Rebuild();
  }

  // list.Find(probe, &MatchSimilar<Id>, &threshold), decided from the
  // catalog: the data of the first entry of the stretch whose similarity to
  // the probe is at least `threshold`, or none.
  const uint32_t* Find(const String& probe, double threshold) {
    Sync();
    if (records_.empty()) return nullptr;
    const Probe p = TakeProbe(probe);
    const Stretch stretch = StretchOf(Key(probe), &threshold, kNone);
    const size_t at =
        Scan(stretch, p, threshold, [&](size_t at) { return Similar(records_[at], p, threshold); });
    DropProbe();
    if (at == kNone) return nullptr;
    list.entries->SetCurrent(records_[at].node);
    return &records_[at].node->value.data;
  }

  // The data of the entry of the stretch most similar to the probe, at a
  // similarity of at least `threshold`, or none; of equal similarities
  // (Similarity()'s value), the earlier entry in list order. That similarity
  // goes to `*similarity`. On success the cursor is left on the entry.
  const uint32_t* FindBest(const String& probe, double threshold, double* similarity) {
    Sync();
    if (records_.empty()) return nullptr;
    const Probe p = TakeProbe(probe);
    const Stretch stretch = StretchOf(Key(probe), &threshold, kNone);
    size_t best = kNone;
    double bestSimilarity = 0;
    Scan(stretch, p, threshold, [&](size_t at) {
      const double s = SimilarityAbove(records_[at], p, threshold, best != kNone, bestSimilarity);
      if (s < 0) return false;
      best = at;
      bestSimilarity = s;
      return s >= 1.0;  // nothing later can be more similar
    });
    DropProbe();
    if (best == kNone) return nullptr;
    *similarity = bestSimilarity;
    list.entries->SetCurrent(records_[best].node);
    return &records_[best].node->value.data;
  }

  // One entry of a ranking.
  struct Ranked {
    uint32_t data;
    double similarity;
  };
  // The `k` entries most similar to the probe, most similar first (of equal
  // similarities, the earlier in list order), whatever their similarity;
  // fewer when fewer are stored. Every entry is a candidate.
  void Rank(const String& probe, size_t k, std::vector<Ranked>* out) {
    Sync();
    out->clear();
    if (records_.empty() || k == 0) return;
    const Probe p = TakeProbe(probe);
    for (size_t at = 0; at < records_.size(); ++at) {
      // A candidate must beat the k-th so far: of equal similarities the
      // earlier, already ranked, stays.
      const bool full = out->size() == k;
      const double s =
          SimilarityAbove(records_[at], p, 0.0, full, full ? out->back().similarity : 0);
      if (s < 0) continue;
      size_t place = out->size();
      while (place > 0 && (*out)[place - 1].similarity < s) --place;
      if (full) out->pop_back();
      out->insert(out->begin() + static_cast<std::ptrdiff_t>(place),
                  Ranked{records_[at].node->value.data, s});
    }
    DropProbe();
  }

  // Catalogues `list` as it is: its entries in order, with their runs in
  // that order in the block, and its index.
  void Rebuild() {
    records_.clear();
    heads_.clear();
    runs_.clear();
    sums_.clear();
    index_.clear();
    garbage_ = 0;
    garbageSums_ = 0;
    if (!list.entries || !list.index) return;
    records_.reserve(static_cast<size_t>(list.entries->count));
    heads_.reserve(static_cast<size_t>(list.entries->count));
    for (Node* node = list.entries->head; node != nullptr; node = node->next) {
      records_.push_back(Catalogue(node));
      heads_.push_back(HeadOf(records_.back()));
    }
    for (IndexNode* node = list.index->head; node != nullptr; node = node->next) {
      index_.push_back(Indexed{Key(node->value.key), node, node->value.element});
    }
  }

  // The number of catalogued entries.
  size_t size() const { return records_.size(); }

 private:
  struct Run {
    Id id;
    int32_t count;
  };
  struct Record {
    Node* node;
    int32_t length;
    int32_t runCount;
    size_t first;  // the entry's runs are runs_[first .. first + runCount)
    size_t sums;   // its bucket sums are sums_[sums .. sums + kSumsSize)
  };
  // A record's length and the number of its block of sums, in one array in
  // record order that a search scans.
  struct Head {
    int32_t length;
    uint32_t block;
  };
  static Head HeadOf(const Record& r) {
    return Head{r.length, static_cast<uint32_t>(r.sums / kSumsSize)};
  }
  static size_t SumsOf(const Head& h) { return static_cast<size_t>(h.block) * kSumsSize; }

  struct Indexed {
    double key;  // the index entry's numeric key
    IndexNode* node;
    Node* element;
  };
  // The candidates of a search: records first .. end - 1.
  struct Stretch {
    size_t first;
    size_t end;
  };

  static constexpr size_t kNone = static_cast<size_t>(-1);

  // The lengths a stored string may have and still be at least t similar to
  // a probe of length L: the smaller length over the larger must reach t,
  // so a length below t L or above L / t never passes. The range is widened
  // by one on each side against rounding; it only spares the records outside
  // it the look at their record, and every candidate inside is still decided
  // exactly. A probe of length 0, or a threshold outside (0, 1] (or NaN),
  // gives every length.
  struct LengthRange {
    int32_t low = INT32_MIN;
    int32_t high = INT32_MAX;

    static LengthRange Of(int32_t probeLength, double t) {
      LengthRange range;
      if (probeLength <= 0 || !(t > 0) || !(t <= 1)) return range;
      const double l = static_cast<double>(probeLength);
      range.low = static_cast<int32_t>(std::floor(t * l)) - 1;
      const double high = std::ceil(l / t) + 1;
      if (high < static_cast<double>(INT32_MAX)) range.high = static_cast<int32_t>(high);
      return range;
    }
    bool Holds(int32_t length) const { return length >= low && length <= high; }
  };

  // The ids are spread over kBuckets buckets, and each string keeps the sum
  // of its counts in each. The similarity sum over the shared ids is at most
  // the sum over the buckets of the smaller of the two strings' bucket sums
  // (in a bucket, the smaller counts add up to no more than either string's
  // counts), so a candidate whose bucket bound falls below the sum needed is
  // refused without the walk. With 300 runs a string, 32 buckets let through
  // about 70% of the candidates of fitting length, 256 about 1.5%. Reading
  // 512 bytes for every candidate costs more than the walks saved, so the
  // bound is taken in two steps: first over kCoarse buckets (each the union
  // of four of the kBuckets, so the same bound, only looser), which lets
  // through about a sixth, then over all kBuckets. A string's sums are one
  // block of kSumsSize: the kCoarse sums, then the kBuckets sums.
  //
  // A sum is kept in 16 bits, as kSaturated when it is that or more: the
  // smaller of two sums is then still exact unless both are kSaturated, and
  // the bound gives up (lets the candidate through) in that case alone.
  static constexpr size_t kBuckets = 256;
  static constexpr size_t kCoarse = 64;
  static constexpr size_t kSumsSize = kCoarse + kBuckets;
  static constexpr uint16_t kSaturated = 0xFFFF;
  static size_t Bucket(Id id) { return (static_cast<uint32_t>(id) * 0x9E3779B1u) >> (32 - 8); }
  static size_t CoarseBucket(size_t bucket) { return bucket >> 2; }
  static_assert(kBuckets == 256 && kCoarse == kBuckets / 4, "Bucket() takes the top 8 bits");

  // Adds `count` to a string's sums (kSumsSize of them) for `id`.
  static void AddToSums(uint16_t* sums, Id id, int32_t count) {
    const size_t bucket = Bucket(id);
    AddToBucket(&sums[CoarseBucket(bucket)], count);
    AddToBucket(&sums[kCoarse + bucket], count);
  }

  // Adds `count` to a bucket sum, saturating.
  static void AddToBucket(uint16_t* sum, int32_t count) {
    const uint32_t total = static_cast<uint32_t>(*sum) + static_cast<uint32_t>(count);
    *sum = total >= kSaturated ? kSaturated : static_cast<uint16_t>(total);
  }

  static double Key(const String& s) { return iKeyTraits<String>::NumericKey(s); }

  // Lists or index entries added or removed behind the catalog's back.
  void Sync() {
    if (!list.entries || !list.index ||
        records_.size() != static_cast<size_t>(list.entries->count) ||
        index_.size() != static_cast<size_t>(list.index->count)) {
      if (!list.entries || !list.index) list = Collection();  // makes both lists
      Rebuild();
    }
  }

  // The stretch iAssociatedList::Find(probe, match, threshold, start) walks,
  // for a probe of numeric key k and a start given by its place in the index
  // (or kNone), with the same arithmetic: the walk begins after the start
  // entry (at the head without one) and ends before the stop entry (at the
  // tail without one, or when the stop entry is not after the start).
  // REQUIRES: the list is not empty.
  Stretch StretchOf(double k, const double* threshold, size_t start) const {
    const double minKey = list.minKey;
    typename Collection::Window window;
    if (!window.Place(k, minKey, list.maxKey, threshold)) return Stretch{0, records_.size()};
    const double reciprocal = window.reciprocal;
    const double lower = window.lower;
    const double upper = window.upper;
    const Node* startElement = start != kNone ? index_[start].element : nullptr;
    const Node* stop = nullptr;
    for (size_t i = start == kNone ? 0 : start + 1; i < index_.size(); ++i) {
      const double l = (index_[i].key - minKey) * reciprocal;
      if (upper < l) {
        stop = index_[i].element;
        break;
      }
      if (l < lower) startElement = index_[i].element;
    }
    const size_t first = startElement != nullptr ? Locate(startElement) + 1 : 0;
    size_t end = stop != nullptr ? Locate(stop) : records_.size();
    if (end < first) end = records_.size();  // never while the list ascends
    return Stretch{first, end};
  }

  // The first record of the stretch whose string has the run ids of `key`
  // (the collection's equality), or kNone.
  size_t FindEqual(const String& key, const Stretch& stretch) const {
    const int32_t runCount = key.RunCount();
    for (size_t at = stretch.first; at < stretch.end; ++at) {
      const Record& r = records_[at];
      if (r.runCount != runCount) continue;
      const Run* run = runs_.data() + r.first;
      const auto* other = key.runs.entries->head;
      while (other != nullptr && run->id == other->value.key) {
        ++run;
        other = other->next;
      }
      if (other == nullptr) return at;
    }
    return kNone;
  }

  // The place of `node`'s record. REQUIRES: the node is catalogued. The
  // records are in ascending run count, so the search starts at the first
  // record of the node's run count.
  size_t Locate(const Node* node) const {
    const int32_t runCount = node->value.key.RunCount();
    size_t low = 0;
    size_t high = records_.size();
    while (low < high) {
      const size_t middle = low + (high - low) / 2;
      if (records_[middle].runCount < runCount) {
        low = middle + 1;
      } else {
        high = middle;
      }
    }
    while (low < records_.size() && records_[low].node != node) ++low;
    return low;
  }

  // Appends the runs of `node`'s string to the block and returns its record.
  Record Catalogue(Node* node) {
    const String& s = node->value.key;
    Record record{node, s.length, s.RunCount(), runs_.size(), sums_.size()};
    sums_.resize(sums_.size() + kSumsSize, 0);
    uint16_t* sums = sums_.data() + record.sums;
    for (const auto* run = s.runs.entries->head; run != nullptr; run = run->next) {
      runs_.push_back(Run{run->value.key, run->value.data});
      AddToSums(sums, run->value.key, run->value.data);
    }
    return record;
  }

  // A probe as a search reads it: its length, its bucket sums and, in
  // `counts`, its count of every id (0 for the ids it does not have), so
  // that a candidate's sum is one pass over the candidate's runs.
  struct Probe {
    int32_t length;
    const uint16_t* sums;
    bool saturated;         // some bucket sum is kSaturated
    const int32_t* counts;  // indexed by Slot(id)
  };
  static size_t Slot(Id id) { return static_cast<uint16_t>(id); }
  static_assert(sizeof(Id) <= 2, "the probe's counts are indexed by 16-bit ids");

  // Sets the probe's counts and bucket sums; DropProbe() clears the counts
  // again, so that only the probe's own ids are ever written.
  Probe TakeProbe(const String& probe) {
    if (probeCounts_.empty()) probeCounts_.assign(size_t{1} << 16, 0);
    probeIds_.clear();
    for (size_t i = 0; i < kSumsSize; ++i) probeSums_[i] = 0;
    for (const auto* run = probe.runs.entries->head; run != nullptr; run = run->next) {
      probeIds_.push_back(run->value.key);
      probeCounts_[Slot(run->value.key)] = run->value.data;
      AddToSums(probeSums_, run->value.key, run->value.data);
    }
    bool saturated = false;
    for (size_t i = 0; i < kSumsSize; ++i) saturated = saturated || probeSums_[i] == kSaturated;
    return Probe{probe.length, probeSums_, saturated, probeCounts_.data()};
  }
  void DropProbe() {
    for (const Id id : probeIds_) probeCounts_[Slot(id)] = 0;
  }

  // The bucket bound over `n` sums of a record (from `sums`) and of the
  // probe (from `probeSums`): at least the similarity sum (UINT64_MAX when a
  // bucket is saturated in both).
  template <size_t n>
  static uint64_t Bound(const uint16_t* sums, const uint16_t* probeSums, bool saturated) {
    if (saturated) {
      for (size_t i = 0; i < n; ++i) {
        if (sums[i] == kSaturated && probeSums[i] == kSaturated) return UINT64_MAX;
      }
    }
    // At most n * kSaturated: 32 bits hold it.
    uint32_t bound = 0;
    for (size_t i = 0; i < n; ++i) bound += sums[i] < probeSums[i] ? sums[i] : probeSums[i];
    return bound;
  }
  // The coarse bound of record `r`, then the fine one.
  uint64_t CoarseBound(const Record& r, const Probe& p) const {
    return Bound<kCoarse>(sums_.data() + r.sums, p.sums, p.saturated);
  }
  uint64_t BucketBound(const Record& r, const Probe& p) const {
    return Bound<kBuckets>(sums_.data() + r.sums + kCoarse, p.sums + kCoarse, p.saturated);
  }
  // The bucket bounds in both steps reach `need`.
  bool BoundsReach(const Record& r, const Probe& p, int64_t need) const {
    return CoarseBound(r, p) >= static_cast<uint64_t>(need) &&
           BucketBound(r, p) >= static_cast<uint64_t>(need);
  }

  // Offers `decide` the records of the stretch whose length is in `range`
  // and that pass the coarse bound at `threshold` (which decide() checks
  // again: it is only a necessary condition), in order, until it returns
  // true; returns that record's place, or kNone. A candidate's sums are
  // rarely in the cache and the hardware cannot guess which records come
  // next, so the candidates are picked a block at a time and their records
  // and sums asked for ahead, all at once: the waits for memory overlap
  // instead of adding up.
  template <typename Decide>
  size_t Scan(const Stretch& stretch, const Probe& p, double threshold, Decide decide) const {
    constexpr size_t kBlock = 512;
    size_t picked[kBlock];
    const LengthRange range = LengthRange::Of(p.length, threshold);
    const Head* const heads = heads_.data();
    for (size_t block = stretch.first; block < stretch.end; block += kBlock) {
      const size_t end = stretch.end - block < kBlock ? stretch.end : block + kBlock;
      size_t n = 0;
      for (size_t at = block; at < end; ++at) {
        picked[n] = at;
        n += range.Holds(heads[at].length) ? 1 : 0;
      }
      for (size_t i = 0; i < n; ++i) Fetch(SumsOf(heads[picked[i]]), kCoarse);
      // The sum needed is more than t m - 1 for the larger length m (see
      // SimilarityNeed()): a coarse bound below t m - 2 (one more against
      // the rounding of t m) refuses the candidate.
      size_t kept = 0;
      for (size_t i = 0; i < n; ++i) {
        const Head& h = heads[picked[i]];
        const int32_t m = h.length > p.length ? h.length : p.length;
        const double needed = threshold * static_cast<double>(m) - 2;
        if (needed > 0 && static_cast<double>(Bound<kCoarse>(sums_.data() + SumsOf(h), p.sums,
                                                             p.saturated)) < needed) {
          continue;
        }
        picked[kept++] = picked[i];
      }
      for (size_t i = 0; i < kept; ++i) {
        __builtin_prefetch(&records_[picked[i]]);
        Fetch(SumsOf(heads[picked[i]]) + kCoarse, kBuckets);
      }
      for (size_t i = 0; i < kept; ++i) {
        if (decide(picked[i])) return picked[i];
      }
    }
    return kNone;
  }

  // Asks for the cache lines of sums_[first .. first + n).
  void Fetch(size_t first, size_t n) const {
    const char* begin = reinterpret_cast<const char*>(sums_.data() + first);
    const char* last = begin + n * sizeof(uint16_t) - 1;
    for (const char* line = begin; line <= last; line += 64) __builtin_prefetch(line);
    __builtin_prefetch(last);
  }

  // The similarity of record `r` to the probe, as Similarity() computes it,
  // when it is at least `threshold` and, with `above` set, greater than
  // `floor`; otherwise -1. The lengths and the bucket bound refuse most
  // candidates before any walk, and the walk gives up once the sum needed is
  // out of reach (the bounds of SimilarityTest); an accepted candidate is
  // walked to the end, for its exact sum.
  double SimilarityAbove(const Record& r, const Probe& p, double threshold, bool above,
                         double floor) const {
    const int32_t m = r.length > p.length ? r.length : p.length;
    if (m == 0) return 1.0 >= threshold && (!above || 1.0 > floor) ? 1.0 : -1.0;
    const double dm = static_cast<double>(m);
    int64_t need = SimilarityNeed(m, threshold);
    if (above) {
      // The smallest sum whose similarity exceeds `floor`.
      int64_t over = SimilarityNeed(m, floor);
      while (over <= m && !(static_cast<double>(over) / dm > floor)) ++over;
      if (over > need) need = over;
    }
    const int32_t shorter = r.length < p.length ? r.length : p.length;
    if (need > shorter) return -1.0;
    if (!BoundsReach(r, p, need)) return -1.0;
    const int64_t sum = SumIfReaching(r, p, need, false);
    return sum < 0 ? -1.0 : static_cast<double>(sum) / dm;
  }

  // The sum of the smaller counts over the ids record `r` shares with the
  // probe when it reaches `need`, otherwise -1; with `early`, any sum of at
  // least `need` once it is reached. The walk gives up once the record's
  // counts lost so far (what they exceed the probe's by) leave `need` out of
  // reach: the sum can gain at most the record's remaining counts, which add
  // up to at most its length minus the counts already passed.
  int64_t SumIfReaching(const Record& r, const Probe& p, int64_t need, bool early) const {
    int64_t slack = static_cast<int64_t>(r.length) - need;
    const Run* run = runs_.data() + r.first;
    const Run* const end = run + r.runCount;
    const int32_t* const counts = p.counts;
    int64_t sum = 0;
    for (; run != end; ++run) {
      const int32_t count = run->count;
      const int32_t other = counts[Slot(run->id)];
      const int32_t smaller = count < other ? count : other;
      sum += smaller;
      slack -= count - smaller;
      if (slack < 0) return -1;
      if (early && sum >= need) return sum;
    }
    return sum >= need ? sum : -1;
  }

  // Runs and sums that no record uses any more are reclaimed once they
  // outnumber those in use.
  void CompactIfWasteful() {
    if ((garbage_ > 4096 && garbage_ > runs_.size() - garbage_) ||
        (garbageSums_ > 4096 && garbageSums_ > records_.size())) {
      Rebuild();
    }
  }

  // MatchSimilar()'s test (SimilarityTest) of record `r` against the probe,
  // with the bucket bound before the walk: true exactly when the similarity
  // of the strings is at least t.
  bool Similar(const Record& r, const Probe& p, double t) const {
    const SimilarityTest test = SimilarityTest::Start(r.length, p.length, t);
    if (test.decided) return test.result;
    if (!BoundsReach(r, p, test.need)) return false;
    return SumIfReaching(r, p, test.need, true) >= 0;
  }

  std::vector<Record> records_;         // in entry order
  std::vector<Head> heads_;             // what a search reads first of each record
  std::vector<Run> runs_;               // the runs of the records, each string's together
  std::vector<uint16_t> sums_;          // the bucket sums of the records, kSumsSize each
  std::vector<Indexed> index_;          // in index order
  size_t garbage_ = 0;                  // runs in runs_ that no record uses
  size_t garbageSums_ = 0;              // blocks of sums_ that no record uses
  std::vector<Id> probeIds_;            // the probe's ids during a search
  std::vector<int32_t> probeCounts_;    // its count of every id, 0 outside a search
  uint16_t probeSums_[kSumsSize] = {};  // and its bucket sums
};

}  // namespace placefinder

#endif  // IDENTIFIERS_IMARKRUNCATALOG_H_
