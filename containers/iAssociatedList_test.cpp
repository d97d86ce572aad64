#include "iAssociatedList.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <new>
#include <random>
#include <vector>

namespace placefinder {

namespace {

using Map = iAssociatedList<uint64_t, int32_t>;

// Keys of every entry in list order.
template <typename List>
std::vector<decltype(List::Entry::key)> EntryKeys(const List& list) {
  std::vector<decltype(List::Entry::key)> keys;
  for (auto* n = list.entries->head; n != nullptr; n = n->next) keys.push_back(n->value.key);
  return keys;
}

// Keys of every index entry in index order.
template <typename List>
std::vector<decltype(List::Entry::key)> IndexKeys(const List& list) {
  std::vector<decltype(List::Entry::key)> keys;
  for (auto* n = list.index->head; n != nullptr; n = n->next) keys.push_back(n->value.key);
  return keys;
}

// Checks that the entries ascend, that index and entries point at each other,
// and that every numeric key lies in [minKey, maxKey].
template <typename List, typename Traits = iKeyTraits<decltype(List::Entry::key)>>
void ExpectConsistent(const List& list) {
  int32_t entries = 0;
  int32_t indexed = 0;
  for (auto* n = list.entries->head; n != nullptr; n = n->next, ++entries) {
    if (n->next != nullptr) {
      EXPECT_FALSE(Traits::Less(n->next->value.key, n->value.key));
    }
    const double k = Traits::NumericKey(n->value.key);
    EXPECT_LE(list.minKey, k);
    EXPECT_GE(list.maxKey, k);
    if (n->value.indexNode != nullptr) {
      ++indexed;
      EXPECT_EQ(n->value.indexNode->value.element, n);
    }
  }
  EXPECT_EQ(entries, list.entries->count);
  EXPECT_EQ(indexed, list.index->count);
  for (auto* n = list.index->head; n != nullptr; n = n->next) {
    EXPECT_EQ(n->value.element->value.indexNode, n);
    EXPECT_TRUE(Traits::Equal(n->value.key, n->value.element->value.key));
  }
}

// Records the keys offered to it and accepts every candidate whose key is
// the probe.
std::vector<uint64_t> offered;
bool RecordEqual(const Map::Entry* candidate, const uint64_t& probe, const double*) {
  offered.push_back(candidate->key);
  return candidate->key == probe;
}
bool RecordAll(const Map::Entry* candidate, const uint64_t&, const double*) {
  offered.push_back(candidate->key);
  return true;
}

TEST(iAssociatedListTest, FirstAddSetsTheRangeAndIsIndexed) {
  Map map;
  map.Add(42, 1);
  EXPECT_EQ(map.minKey, 42.0);
  EXPECT_EQ(map.maxKey, 42.0);
  EXPECT_EQ(IndexKeys(map), std::vector<uint64_t>({42}));
  ExpectConsistent(map);
}

TEST(iAssociatedListTest, TenDescendingAddsIndexTheFirstAndTheTenthInThatOrder) {
  Map map;
  for (uint64_t k = 10; k >= 1; --k) map.Add(k * 100, static_cast<int32_t>(k));
  EXPECT_EQ(IndexKeys(map), std::vector<uint64_t>({1000, 100}));
  EXPECT_EQ(EntryKeys(map).front(), 100u);
  EXPECT_EQ(EntryKeys(map).back(), 1000u);
  ExpectConsistent(map);
  for (uint64_t k = 1; k <= 10; ++k) {
    int32_t* data = map.Find(k * 100, &Map::MatchEqual);
    ASSERT_NE(data, nullptr) << k;
    EXPECT_EQ(*data, static_cast<int32_t>(k));
    EXPECT_EQ(map.entries->current->value.key, k * 100) << "the cursor is left on the result";
  }
}

TEST(iAssociatedListTest, DuplicateAddReplacesInPlaceAndKeepsTheIndexEntry) {
  Map map;
  map.Add(5, 1);
  map.Add(7, 2);
  map.Add(5, 9);
  ASSERT_EQ(map.entries->count, 2);
  EXPECT_EQ(*map.Find(5, &Map::MatchEqual), 9);
  ASSERT_EQ(map.index->count, 1);
  EXPECT_EQ(map.entries->head->value.indexNode, map.index->head);
  map.Remove(5);
  EXPECT_EQ(map.index->count, 0) << "removing an indexed entry removes its index entry";
  EXPECT_EQ(EntryKeys(map), std::vector<uint64_t>({7}));
  map.Remove(5);  // absent: nothing happens
  EXPECT_EQ(map.entries->count, 1);
  ExpectConsistent(map);
}

int merges = 0;
void AddData(Map::EntryList* entries, const Map::Entry* added, void* userData) {
  ++merges;
  EXPECT_EQ(entries->current->value.key, added->key) << "the cursor is on the duplicate";
  EXPECT_EQ(userData, &merges);
  entries->current->value.data += added->data;
}

TEST(iAssociatedListTest, DuplicateAddWithMergeCallsItOnceAndInsertsNothing) {
  Map map;
  for (uint64_t k : {3, 1, 2}) map.Add(k, 10, &AddData, &merges);
  merges = 0;
  map.Add(2, 5, &AddData, &merges);
  map.Add(3, 5, &AddData, &merges);  // 3 carries the index entry
  EXPECT_EQ(merges, 2);
  EXPECT_EQ(map.entries->count, 3);
  EXPECT_EQ(*map.Find(2, &Map::MatchEqual), 15);
  EXPECT_EQ(*map.Find(3, &Map::MatchEqual), 15);
}

// A key whose order sees only `rank`, so keys of one rank rank equal without
// being equal.
struct Ranked {
  int rank;
  int id;
};
struct RankedTraits {
  static double NumericKey(const Ranked& k) { return k.rank; }
  static bool Less(const Ranked& a, const Ranked& b) { return a.rank < b.rank; }
  static bool Equal(const Ranked& a, const Ranked& b) { return a.rank == b.rank && a.id == b.id; }
};
using RankedMap = iAssociatedList<Ranked, int, RankedTraits>;

TEST(iAssociatedListTest, KeysOfEqualRankStayInOrderOfAdding) {
  RankedMap map;
  map.Add({2, 1}, 0);
  map.Add({1, 1}, 1);
  map.Add({2, 2}, 2);
  map.Add({1, 2}, 3);
  map.Add({2, 1}, 4);  // equal to the first: replaced in place
  std::vector<int> data;
  for (auto* n = map.entries->head; n != nullptr; n = n->next) data.push_back(n->value.data);
  EXPECT_EQ(data, std::vector<int>({1, 3, 4, 2}));
  ExpectConsistent<RankedMap, RankedTraits>(map);
}

// Which entries Find offers, and so which of several acceptable entries it
// returns, follows from the index layout and the window.
TEST(iAssociatedListTest, FindWalksTheStretchTheIndexChooses) {
  Map map;  // keys 0, 10, ..., 240 added in ascending order
  for (uint64_t k = 0; k <= 240; k += 10) map.Add(k, static_cast<int32_t>(k));
  // Entries reaching counts 1, 10 and 20 are indexed: keys 0, 90 and 190.
  ASSERT_EQ(IndexKeys(map), std::vector<uint64_t>({0, 90, 190}));

  struct Case {
    const char* name;
    uint64_t probe;
    bool with_threshold;
    double threshold;
    std::vector<uint64_t> expected_offered;  // with RecordEqual
  };
  const Case cases[] = {
      // f = 0.5; the index entries 0 and 90 lie below it, 190 above.
      {"exact probe walks after the last lower index entry", 120, false, 0, {100, 110, 120}},
      {"threshold 1 walks the same stretch", 120, true, 1.0, {100, 110, 120}},
      // Window 0.5 +- 0.3 = [0.2, 0.8]: 0 (0.0) is below, 90 (0.375) inside, 190 (0.79) inside.
      {"threshold 0.7 widens the stretch", 125, true, 0.7, {10,  20,  30,  40,  50,  60,
                                                            70,  80,  90,  100, 110, 120,
                                                            130, 140, 150, 160, 170, 180,
                                                            190, 200, 210, 220, 230, 240}},
      {"probe at minKey walks from the head", 0, false, 0, {0}},
      {"probe above maxKey walks from the last index entry to the end",
       999,
       false,
       0,
       {200, 210, 220, 230, 240}},
      // 65 normalises to 0.27; the start is 0, the stop is 90 (0.375).
      {"stop entry is never offered", 65, false, 0, {10, 20, 30, 40, 50, 60, 70, 80}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    offered.clear();
    map.Find(c.probe, &RecordEqual, c.with_threshold ? &c.threshold : nullptr);
    EXPECT_EQ(offered, c.expected_offered);
  }

  // A lenient callback gets the first entry after the start element.
  offered.clear();
  const double t = 0.9;  // window [0.4, 0.6] around 0.5: start element 90
  int32_t* found = map.Find(120, &RecordAll, &t);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(*found, 100);
  EXPECT_EQ(offered, std::vector<uint64_t>({100}));
}

TEST(iAssociatedListTest, FindAtOrBelowMinKeyOrOnAFlatRangeWalksFromTheHead) {
  RankedMap flat;
  for (int id = 0; id < 12; ++id) flat.Add({3, id}, id);
  ASSERT_EQ(flat.minKey, flat.maxKey);
  for (int id = 0; id < 12; ++id) {
    int* data = flat.Find({3, id}, &RankedMap::MatchEqual);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(*data, id);
  }

  Map map;
  for (uint64_t k = 10; k <= 50; k += 10) map.Add(k, 0);
  offered.clear();
  EXPECT_EQ(map.Find(5, &RecordEqual), nullptr);
  EXPECT_EQ(offered, std::vector<uint64_t>({10, 20, 30, 40, 50}));
  EXPECT_EQ(Map().Find(5, &RecordEqual), nullptr);
}

TEST(iAssociatedListTest, RemovingTheOnlyEntryEmptiesBothListsAndTheNextAddResetsTheRange) {
  Map map;
  map.Add(100, 1);
  map.Add(300, 2);
  map.Remove(300);
  EXPECT_EQ(map.maxKey, 300.0) << "removal never narrows the range";
  map.Remove(100);
  EXPECT_EQ(map.entries->count, 0);
  EXPECT_EQ(map.index->count, 0);
  map.Add(7, 3);
  EXPECT_EQ(map.minKey, 7.0);
  EXPECT_EQ(map.maxKey, 7.0);
  EXPECT_EQ(IndexKeys(map), std::vector<uint64_t>({7}));
  map.RemoveAll();
  EXPECT_EQ(map.entries->count + map.index->count, 0);
  EXPECT_EQ(map.minKey, 7.0) << "RemoveAll keeps the range";
}

TEST(iAssociatedListTest, CopyRebuildsTheIndexAtEveryTenthPositionFromZero) {
  Map source;
  for (uint64_t k = 25; k >= 1; --k) source.Add(k * 2, static_cast<int32_t>(k));
  source.Add(1000, 0);
  source.Remove(1000);  // leaves the source's range wider than its keys
  Map copy(source);
  EXPECT_EQ(EntryKeys(copy), EntryKeys(source));
  EXPECT_EQ(IndexKeys(copy), std::vector<uint64_t>({2, 22, 42}));
  EXPECT_EQ(copy.minKey, 2.0);
  EXPECT_EQ(copy.maxKey, 50.0);
  ExpectConsistent(copy);

  Map assigned;
  assigned.Add(9, 9);
  assigned = source;
  EXPECT_EQ(EntryKeys(assigned), EntryKeys(source));
  EXPECT_EQ(IndexKeys(assigned), IndexKeys(copy));

  const auto before = EntryKeys(copy);
  const auto before_index = IndexKeys(copy);
  Map& self = copy;
  copy = self;
  EXPECT_EQ(EntryKeys(copy), before);
  EXPECT_EQ(IndexKeys(copy), before_index);
  ExpectConsistent(copy);
}

// A key whose copy fails after a set number of copies.
int copies_left = -1;
struct Brittle {
  int v;
  explicit Brittle(int value) : v(value) {}
  Brittle(const Brittle& other) : v(other.v) {
    if (copies_left == 0) throw std::bad_alloc();
    if (copies_left > 0) --copies_left;
  }
  Brittle& operator=(const Brittle& other) = default;
};
struct BrittleTraits {
  static double NumericKey(const Brittle& k) { return k.v; }
  static bool Less(const Brittle& a, const Brittle& b) { return a.v < b.v; }
  static bool Equal(const Brittle& a, const Brittle& b) { return a.v == b.v; }
};

TEST(iAssociatedListTest, AllocationFailurePropagatesAndLeavesTheListConsistent) {
  using BrittleMap = iAssociatedList<Brittle, int, BrittleTraits>;
  for (int budget = 0; budget < 6; ++budget) {
    SCOPED_TRACE(budget);
    BrittleMap map;
    for (int k = 1; k <= 18; ++k) map.Add(Brittle(k * 3), k);
    copies_left = budget;
    bool threw = false;
    try {
      map.Add(Brittle(32), 0);  // the 19th entry; the 20th below gets indexed
      map.Add(Brittle(31), 0);
      BrittleMap copy(map);
    } catch (const std::bad_alloc&) {
      threw = true;
    }
    copies_left = -1;
    EXPECT_TRUE(threw);
    ExpectConsistent<BrittleMap, BrittleTraits>(map);
  }
}

// Everything Add() and Append() decide: the entries in order with their data,
// which of them carry index entries, the index in its own order (as entry
// positions) and the range.
struct Layout {
  std::vector<uint64_t> keys;
  std::vector<int32_t> data;
  std::vector<bool> indexed;
  std::vector<int32_t> indexPositions;
  double minKey, maxKey;
  bool operator==(const Layout& o) const {
    return keys == o.keys && data == o.data && indexed == o.indexed &&
           indexPositions == o.indexPositions && minKey == o.minKey && maxKey == o.maxKey;
  }
};

Layout LayoutOf(const Map& map) {
  Layout layout{{}, {}, {}, {}, map.minKey, map.maxKey};
  for (auto* n = map.entries->head; n != nullptr; n = n->next) {
    layout.keys.push_back(n->value.key);
    layout.data.push_back(n->value.data);
    layout.indexed.push_back(n->value.indexNode != nullptr);
  }
  for (auto* i = map.index->head; i != nullptr; i = i->next) {
    int32_t position = 0;
    for (auto* n = map.entries->head; n != i->value.element; n = n->next) ++position;
    layout.indexPositions.push_back(position);
  }
  return layout;
}

TEST(iAssociatedListTest, RanksAboveAllComparesWithTheLastKey) {
  Map map;
  EXPECT_TRUE(map.RanksAboveAll(0));
  map.Add(5, 0);
  map.Add(3, 0);
  EXPECT_FALSE(map.RanksAboveAll(4));
  EXPECT_FALSE(map.RanksAboveAll(5));
  EXPECT_TRUE(map.RanksAboveAll(6));
  RankedMap ranked;
  ranked.Add({2, 1}, 0);
  EXPECT_FALSE(ranked.RanksAboveAll({2, 7})) << "a key of equal rank goes through Add()";
  EXPECT_TRUE(ranked.RanksAboveAll({3, 0}));
}

// Two lists go through the same random adds and removals (which may empty
// them, leave the range wider than the keys and the index irregular); then
// one takes a run of ascending keys above all through Add(), the other
// through Append(). They must end alike in every respect.
TEST(iAssociatedListTest, AppendLeavesTheListAsAddWould) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    Map added;
    Map appended;
    const int ops = static_cast<int>(rng() % 60);
    for (int op = 0; op < ops; ++op) {
      const uint64_t key = rng() % 500;
      if (rng() % 3 == 0) {
        added.Remove(key);
        appended.Remove(key);
      } else {
        added.Add(key, static_cast<int32_t>(op));
        appended.Add(key, static_cast<int32_t>(op));
      }
    }
    ASSERT_TRUE(LayoutOf(added) == LayoutOf(appended));
    uint64_t key = added.entries->tail != nullptr ? added.entries->tail->value.key : 0;
    const int appends = 1 + static_cast<int>(rng() % 45);
    for (int i = 0; i < appends; ++i) {
      key += 1 + rng() % (round % 2 ? 3 : 1000);
      ASSERT_TRUE(appended.RanksAboveAll(key));
      added.Add(key, -i);
      appended.Append(key, -i);
      ASSERT_TRUE(LayoutOf(added) == LayoutOf(appended)) << "after append " << i;
    }
    ExpectConsistent(appended);
    for (uint64_t k : EntryKeys(added)) {
      ASSERT_EQ(*appended.Find(k, &Map::MatchEqual), *added.Find(k, &Map::MatchEqual)) << k;
    }
  }
}

TEST(iAssociatedListTest, SwapExchangesEntriesIndexAndRangeWithoutCopying) {
  Map a;
  Map b;
  for (uint64_t k = 1; k <= 25; ++k) a.Add(k * 7, static_cast<int32_t>(k));
  a.Add(1000, 0);
  a.Remove(1000);  // a's range is wider than its keys
  b.Add(3, 30);
  const Layout layoutA = LayoutOf(a);
  const Layout layoutB = LayoutOf(b);
  const auto* headA = a.entries->head;
  const auto* headB = b.entries->head;
  a.Swap(b);
  EXPECT_TRUE(LayoutOf(a) == layoutB);
  EXPECT_TRUE(LayoutOf(b) == layoutA);
  EXPECT_EQ(a.entries->head, headB);
  EXPECT_EQ(b.entries->head, headA);
  EXPECT_EQ(*b.Find(70, &Map::MatchEqual), 10);
  EXPECT_EQ(*a.Find(3, &Map::MatchEqual), 30);
  ExpectConsistent(a);
  ExpectConsistent(b);
}

// Random adds, duplicate adds, removals and look-ups mirrored on std::map.
TEST(iAssociatedListTest, MatchesStdMapUnderRandomOperations) {
  std::mt19937_64 rng(42);
  for (int round = 0; round < 20; ++round) {
    Map map;
    std::map<uint64_t, int32_t> model;
    // Narrow key spaces give many duplicates; wide ones spread the range.
    const uint64_t space = round % 2 ? 200 : (uint64_t{1} << 40);
    for (int op = 0; op < 1500; ++op) {
      const uint64_t key = rng() % space;
      switch (rng() % 4) {
        case 0:
        case 1: {
          const int32_t data = static_cast<int32_t>(rng() % 1000);
          map.Add(key, data);
          model[key] = data;
          break;
        }
        case 2:
          map.Remove(key);
          model.erase(key);
          break;
        case 3: {
          int32_t* data = map.Find(key, &Map::MatchEqual);
          auto it = model.find(key);
          ASSERT_EQ(data != nullptr, it != model.end()) << key;
          if (data != nullptr) {
            ASSERT_EQ(*data, it->second);
          }
          break;
        }
      }
    }
    std::vector<uint64_t> keys;
    for (const auto& [k, v] : model) {
      keys.push_back(k);
      int32_t* data = map.Find(k, &Map::MatchEqual);
      ASSERT_NE(data, nullptr);
      EXPECT_EQ(*data, v);
    }
    EXPECT_EQ(EntryKeys(map), keys);
    ExpectConsistent(map);
    Map copy(map);
    EXPECT_EQ(EntryKeys(copy), keys);
    ExpectConsistent(copy);
  }
}

}  // namespace

}  // namespace placefinder
