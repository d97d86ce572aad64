#include "MatchSimilar.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

namespace {

using String = iMarkrun<int32_t>;
using Collection = iMarkrunCollection<int32_t>;

String Build(const std::vector<int32_t>& ids) {
  iList<int32_t> list;
  for (int32_t id : ids) list.AddTail(id);
  String s;
  s.SetIds(list, false);
  return s;
}

// `runs` distinct ids starting at `first`, each once.
String Distinct(int32_t runs, int32_t first = 0) {
  std::vector<int32_t> ids;
  for (int32_t k = 0; k < runs; ++k) ids.push_back(first + k);
  return Build(ids);
}

TEST(SimilarityTest, WorkedExamples) {
  struct Case {
    std::vector<int32_t> a, b;
    double similarity;
  };
  const Case cases[] = {
      {{}, {}, 1.0},
      {{}, {1, 2}, 0.0},
      {{1, 2, 2, 3}, {1, 2, 2, 3}, 1.0},
      {{5, 5, 7, 5}, {5, 5, 7, 5}, 0.5},
      {{1, 1, 2}, {1, 2, 2, 2, 3}, 0.4},
      {{1, 2, 3}, {4, 5}, 0.0},
      {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, {1, 2, 3, 4, 5, 6, 7}, 0.7},
  };
  for (const Case& c : cases) {
    const String a = Build(c.a);
    const String b = Build(c.b);
    // Exact equality: the value is one integer sum over one integer divisor.
    EXPECT_EQ(Similarity(a, b), c.similarity)
        << ::testing::PrintToString(c.a) << " vs " << ::testing::PrintToString(c.b);
    EXPECT_EQ(Similarity(b, a), c.similarity);
  }
}

// Random strings, including rebuilt blocks and extensions, against a
// brute-force sum over a std::map of each string's runs. The walk must not
// move either string's cursors.
TEST(SimilarityTest, MatchesBruteForce) {
  std::mt19937 rng(11);
  iList<int32_t> list;
  auto random = [&](String& s) {
    const int32_t range = 1 + static_cast<int32_t>(rng() % 80);
    for (int step = 0, steps = 1 + static_cast<int>(rng() % 3); step < steps; ++step) {
      list.RemoveAll();
      for (uint32_t k = rng() % 40; k > 0; --k) list.AddTail(static_cast<int32_t>(rng() % range));
      s.SetIds(list, step > 0);
    }
  };
  for (int round = 0; round < 2000; ++round) {
    String a, b;
    random(a);
    random(b);
    std::map<int32_t, int32_t> countsA;
    for (auto* n = a.runs.entries->head; n != nullptr; n = n->next) {
      countsA[n->value.key] = n->value.data;
    }
    int64_t sum = 0;
    for (auto* n = b.runs.entries->head; n != nullptr; n = n->next) {
      auto it = countsA.find(n->value.key);
      if (it != countsA.end()) sum += std::min(it->second, n->value.data);
    }
    const int32_t m = std::max(a.length, b.length);
    const double expected = m == 0 ? 1.0 : static_cast<double>(sum) / m;
    const auto cursors = [&] {
      return std::vector<const void*>{a.runs.entries->current, a.runs.index->current,
                                      b.runs.entries->current, b.runs.index->current};
    };
    const auto before = cursors();
    ASSERT_EQ(Similarity(a, b), expected);
    ASSERT_EQ(Similarity(b, a), expected);
    ASSERT_EQ(cursors(), before);
  }
}

TEST(MatchSimilarTest, AcceptsAtOrAboveTheThreshold) {
  Collection::Entry candidate{Distinct(10), 0, nullptr};
  const String probe = Distinct(7);  // 7 of 10 shared: similarity 0.7
  for (const double t : {0.0, 0.5, 0.7}) EXPECT_TRUE(MatchSimilar(&candidate, probe, &t)) << t;
  for (const double t : {0.70000001, 0.75, 1.0}) EXPECT_FALSE(MatchSimilar(&candidate, probe, &t));

  // 5, 5, 7, 5 is only half similar to itself.
  Collection::Entry overwritten{Build({5, 5, 7, 5}), 0, nullptr};
  for (const double t : {0.67, 0.7}) {
    EXPECT_FALSE(MatchSimilar(&overwritten, Build({5, 5, 7, 5}), &t));
  }
}

TEST(MatchSimilarTest, NoThresholdAsksForFullSimilarity) {
  Collection::Entry candidate{Build({1, 2, 2}), 0, nullptr};
  EXPECT_TRUE(MatchSimilar(&candidate, Build({2, 2, 1}), nullptr));
  EXPECT_FALSE(MatchSimilar(&candidate, Build({1, 2, 2, 3}), nullptr));
  Collection::Entry empty{String(), 0, nullptr};
  EXPECT_TRUE(MatchSimilar(&empty, String(), nullptr));
}

// Records the run count of every candidate offered, then defers to
// MatchSimilar.
std::vector<int32_t> offered;
bool Recording(const Collection::Entry* candidate, const String& probe, const double* threshold) {
  offered.push_back(candidate->key.RunCount());
  return MatchSimilar(candidate, probe, threshold);
}

std::vector<int32_t> RunCounts(const Collection& collection) {
  std::vector<int32_t> counts;
  for (auto* n = collection.entries->head; n != nullptr; n = n->next) {
    counts.push_back(n->value.key.RunCount());
  }
  return counts;
}

TEST(CollectionTest, EmptyCollectionFindsNothing) {
  Collection collection;
  const double t = 0.0;
  EXPECT_EQ(collection.Find(String(), &MatchSimilar<int32_t>, &t), nullptr);
}

TEST(CollectionTest, EmptyProbeFindsStoredEmptyString) {
  Collection collection;
  collection.Add(Distinct(3), 0);
  collection.Add(String(), 1);
  for (const double t : {0.0, 0.7, 1.0}) {
    const uint32_t* found = collection.Find(String(), &MatchSimilar<int32_t>, &t);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(*found, 1u);
  }
}

// Strings with 1 to 11 runs (disjoint ids, so none matches the probe): a
// probe with 6 runs at 0.75 has the window 0.25 to 0.75, so every string with
// 4 to 8 runs must be offered, in list order.
TEST(CollectionTest, SearchWindowCoversNearbyRunCounts) {
  Collection collection;
  for (int32_t runs = 1; runs <= 11; ++runs) collection.Add(Distinct(runs, runs * 100), runs);
  const String probe = Distinct(6, 5000);
  const double t = 0.75;
  offered.clear();
  EXPECT_EQ(collection.Find(probe, &Recording, &t), nullptr);
  EXPECT_TRUE(std::is_sorted(offered.begin(), offered.end()));
  for (int32_t runs = 4; runs <= 8; ++runs) {
    EXPECT_NE(std::find(offered.begin(), offered.end(), runs), offered.end()) << runs;
  }

  // The string with 6 runs itself is found through the window.
  const uint32_t* found = collection.Find(Distinct(6, 600), &MatchSimilar<int32_t>, &t);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(*found, 6u);

  // A probe with no more runs than the fewest stored makes every string a
  // candidate.
  offered.clear();
  collection.Find(Distinct(1, 5000), &Recording, &t);
  EXPECT_EQ(offered, RunCounts(collection));
}

TEST(CollectionTest, EqualStringReplacesStoredOne) {
  Collection collection;
  collection.Add(Build({1, 2, 3}), 0);
  collection.Add(Build({4, 5}), 1);
  collection.Add(Build({3, 3, 2, 1, 1, 1}), 2);  // same ids as string 0
  ASSERT_EQ(collection.entries->count, 2);
  const Collection::Entry& replaced = collection.entries->tail->value;
  EXPECT_EQ(replaced.data, 2u);
  EXPECT_EQ(replaced.key.length, 6);
  EXPECT_EQ(replaced.key.runs.entries->head->value.data, 3);  // id 1 now counts 3
  EXPECT_EQ(replaced.key.runs.entries->tail->value.data, 2);  // id 3 counts 2
}

TEST(CollectionTest, FirstAddedWinsAmongEqualRunCounts) {
  Collection collection;
  collection.Add(Distinct(2, 50), 0);
  collection.Add(Build({1, 2, 3, 4}), 1);
  collection.Add(Build({1, 2, 3, 5}), 2);
  collection.Add(Distinct(9, 50), 3);
  const String probe = Build({1, 2, 3, 4, 5});  // 4 / 5 similar to both
  const double t = 0.6;
  const uint32_t* found = collection.Find(probe, &MatchSimilar<int32_t>, &t);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(*found, 1u);
}

}  // namespace
