#include "MatchSimilar.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <utility>
#include <vector>

namespace placefinder {

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

// Differential tests of the shortcuts in MatchSimilar against the plain
// definition, on strings with the ids of Placefinder (16-bit: shape code in
// the high byte, scale in the low byte).

using Short = iMarkrun<int16_t>;
using ShortCollection = iMarkrunCollection<int16_t>;
using Runs = std::vector<std::pair<int16_t, int32_t>>;  // ascending ids, counts >= 1

constexpr int16_t kShapes[] = {0, 1, 2, 4, 8, 16, 32};

// A string as the test knows it: its runs and the length of the blocks that a
// rebuild overwrote (so its length is the sum of the counts plus `ghost`).
struct Recipe {
  Runs runs;
  int32_t ghost = 0;
};

int32_t CountSum(const Runs& runs) {
  int32_t sum = 0;
  for (const auto& run : runs) sum += run.second;
  return sum;
}

// Builds the string of `recipe` from a sequence of ids, in one of three ways
// chosen by `rng`: blocks in id order, blocks shuffled, or a rebuild from part
// of every count followed by an extension by the rest. A ghost is an earlier
// block of the last block's id, put first so that another id follows it and
// the rebuild overwrites it. The result has exactly recipe's runs.
Short BuildShort(const Recipe& recipe, std::mt19937& rng) {
  Runs blocks = recipe.runs;
  const uint32_t way = rng() % 3;
  if (way == 1) std::shuffle(blocks.begin(), blocks.end(), rng);
  Runs first = blocks;
  Runs rest;
  if (way == 2) {
    first.clear();
    for (const auto& run : blocks) {
      const int32_t part = static_cast<int32_t>(rng() % (run.second + 1));
      if (part > 0) first.emplace_back(run.first, part);
      if (run.second - part > 0) rest.emplace_back(run.first, run.second - part);
    }
  }
  iList<int16_t> list;
  const bool ghost = recipe.ghost > 0 && first.size() >= 2;
  if (ghost) {
    for (int32_t k = 0; k < recipe.ghost; ++k) list.AddTail(first.back().first);
  }
  for (const auto& run : first) {
    for (int32_t k = 0; k < run.second; ++k) list.AddTail(run.first);
  }
  Short s;
  s.SetIds(list, false);
  list.RemoveAll();
  for (const auto& run : rest) {
    for (int32_t k = 0; k < run.second; ++k) list.AddTail(run.first);
  }
  if (list.count > 0) s.SetIds(list, true);
  if (recipe.ghost > 0 && !ghost) s.length += recipe.ghost;  // too few runs to overwrite a block
  return s;
}

int16_t RandomId(std::mt19937& rng, int32_t scales) {
  const int16_t shape = kShapes[rng() % 7];
  return static_cast<int16_t>(shape << 8 | (1 + static_cast<int32_t>(rng() % scales)));
}

// A random recipe. Most are shaped like real frames (150 to 450 runs over the
// seven shapes, counts falling off with the scale, lengths up to ~60,000 and
// mostly far shorter);
// the others are small strings over a handful of ids, where shared ids, equal
// lengths and ties are frequent.
Recipe RandomRecipe(std::mt19937& rng) {
  Recipe recipe;
  std::map<int16_t, int32_t> runs;
  if (rng() % 4 != 0) {
    const int32_t target = 150 + static_cast<int32_t>(rng() % 301);
    const double scale = std::exp(std::uniform_real_distribution<double>(0.0, 5.5)(rng));
    const double falloff = std::uniform_real_distribution<double>(0.85, 0.99)(rng);
    std::lognormal_distribution<double> noise(0.0, 0.6);
    for (int32_t k = 0; k < target; ++k) {
      const int16_t id = RandomId(rng, 100);
      const double level = scale * std::pow(falloff, id & 0xFF) * noise(rng);
      runs[id] = 1 + static_cast<int32_t>(std::min(level, 2000.0));
    }
  } else {
    const int32_t target = static_cast<int32_t>(rng() % 8);
    for (int32_t k = 0; k < target; ++k)
      runs[RandomId(rng, 2)] = 1 + static_cast<int32_t>(rng() % 4);
  }
  recipe.runs.assign(runs.begin(), runs.end());
  if (rng() % 3 == 0) recipe.ghost = 1 + static_cast<int32_t>(rng() % (1 + CountSum(recipe.runs) / 4));
  return recipe;
}

// Takes exactly `units` from the counts of `recipe` (dropping runs that reach
// 0) and puts them back on ids absent from `base`, or into the ghost. Against
// `base` (with no ghost, and recipe's runs within base's counts), the length
// stays and the shared sum falls by exactly `units`.
void MoveUnits(Recipe& recipe, int32_t units, const Recipe& base, std::mt19937& rng) {
  std::map<int16_t, int32_t> runs(recipe.runs.begin(), recipe.runs.end());
  const std::map<int16_t, int32_t> used(base.runs.begin(), base.runs.end());
  std::map<int16_t, int32_t> fresh;
  for (int32_t left = units; left > 0;) {
    auto it = runs.begin();
    std::advance(it, rng() % runs.size());
    const int32_t take = 1 + static_cast<int32_t>(rng() % std::min(left, it->second));
    if ((it->second -= take) == 0) runs.erase(it);
    left -= take;
    if (rng() % 2 == 0) {
      recipe.ghost += take;
    } else {
      int16_t id;
      do {
        id = RandomId(rng, 127);
      } while (used.count(id) != 0);
      fresh[id] += take;
    }
  }
  runs.insert(fresh.begin(), fresh.end());
  recipe.runs.assign(runs.begin(), runs.end());
}

// A perturbed copy of `base`: counts scaled, runs dropped and added, a ghost
// changed; from barely to wholly different.
Recipe Perturb(const Recipe& base, std::mt19937& rng) {
  const double strength = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
  std::lognormal_distribution<double> noise(0.0, strength);
  std::map<int16_t, int32_t> runs;
  for (const auto& run : base.runs) {
    if (std::uniform_real_distribution<double>(0.0, 1.0)(rng) < strength * 0.3) continue;
    runs[run.first] = 1 + static_cast<int32_t>(run.second * noise(rng));
  }
  for (uint32_t k = rng() % (1 + static_cast<uint32_t>(strength * 20)); k > 0; --k) {
    runs[RandomId(rng, 100)] += 1 + static_cast<int32_t>(rng() % 50);
  }
  Recipe recipe;
  recipe.runs.assign(runs.begin(), runs.end());
  recipe.ghost = rng() % 2 == 0 ? base.ghost : static_cast<int32_t>(rng() % (1 + base.ghost * 2));
  return recipe;
}

// The plain definition as a match callback.
bool PlainMatch(const ShortCollection::Entry* candidate, const Short& probe,
                const double* threshold) {
  return Similarity(candidate->key, probe) >= (threshold != nullptr ? *threshold : 1.0);
}

// The shared sum by brute force over a std::map.
int64_t SharedSum(const Recipe& a, const Recipe& b) {
  const std::map<int16_t, int32_t> countsA(a.runs.begin(), a.runs.end());
  int64_t sum = 0;
  for (const auto& run : b.runs) {
    auto it = countsA.find(run.first);
    if (it != countsA.end()) sum += std::min(it->second, run.second);
  }
  return sum;
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(SimilarityNeedTest, IsTheSmallestPassingSum) {
  std::mt19937 rng(5);
  std::vector<int32_t> lengths;
  for (int32_t m = 1; m <= 300; ++m) lengths.push_back(m);
  for (int k = 0; k < 100; ++k) lengths.push_back(1 + static_cast<int32_t>(rng() % 70000));
  lengths.push_back(70000);
  for (const int32_t m : lengths) {
    const double dm = m;
    std::vector<double> thresholds = {
        0.0, -0.0, 0.5, 0.67, 0.7, 0.999, 1.0, -0.5, 1.5, kNaN, std::nextafter(0.67, 1.0)};
    for (int k = 0; k < 6; ++k) {
      const double s = static_cast<double>(rng() % (m + 1));
      thresholds.push_back(s / dm);
      thresholds.push_back(std::nextafter(s / dm, 0.0));
      thresholds.push_back(std::nextafter(s / dm, 2.0));
      thresholds.push_back(std::uniform_real_distribution<double>(0.0, 1.0)(rng));
    }
    for (const double t : thresholds) {
      int64_t expected = static_cast<int64_t>(m) + 1;
      for (int64_t s = 0; s <= m; ++s) {
        if (static_cast<double>(s) / dm >= t) {
          expected = s;
          break;
        }
      }
      ASSERT_EQ(SimilarityNeed(m, t), expected) << "m " << m << " t " << t;
    }
  }
}

// MatchSimilar against Similarity() >= t and against the brute-force sum, on
// random pairs and on pairs whose threshold puts `need` exactly at the sum,
// one above it and one below it.
TEST(MatchSimilarTest, AgreesWithThePlainTestOnRandomPairs) {
  std::mt19937 rng(21);
  int accepted = 0;
  int rejected = 0;
  for (int round = 0; round < 3000; ++round) {
    const Recipe recipeA = RandomRecipe(rng);
    Recipe recipeB;
    switch (round % 3) {
      case 0:
        recipeB = RandomRecipe(rng);
        break;
      case 1:
        recipeB = Perturb(recipeA, rng);
        break;
      default: {
        // Equal lengths, shared sum exactly need - 1, need or need + 1 at one
        // of the thresholds that the programs use or that sit at the ends.
        const double fixed[] = {0.67, 0.7, 0.5, 0.999, 1.0};
        Recipe base = recipeA;
        base.ghost = 0;
        if (base.runs.empty()) base.runs.emplace_back(RandomId(rng, 100), 1 + rng() % 9);
        const int32_t length = CountSum(base.runs);
        const double t = fixed[rng() % 5];
        const int64_t need = SimilarityNeed(length, t);
        const int64_t sum = need + static_cast<int64_t>(rng() % 3) - 1;
        if (sum < 0 || sum > length) continue;
        recipeB = base;
        MoveUnits(recipeB, static_cast<int32_t>(length - sum), base, rng);
        const Short a = BuildShort(base, rng);
        const Short b = BuildShort(recipeB, rng);
        ASSERT_EQ(a.length, b.length);
        ASSERT_EQ(SharedSum(base, recipeB), sum);
        const ShortCollection::Entry entry{a, 0, nullptr};
        ASSERT_EQ(MatchSimilar<int16_t>(&entry, b, &t), sum >= need) << length << " " << t;
        ASSERT_EQ(MatchSimilar<int16_t>(&entry, b, &t), Similarity(a, b) >= t);
        continue;
      }
    }
    const Short a = BuildShort(recipeA, rng);
    const Short b = BuildShort(recipeB, rng);
    const int64_t sum = SharedSum(recipeA, recipeB);
    const int32_t m = std::max(a.length, b.length);
    ASSERT_EQ(a.length, CountSum(recipeA.runs) + recipeA.ghost);

    std::vector<double> thresholds = {0.0, 0.5, 0.67, 0.7, 0.999, 1.0, -0.5, 1.5, kNaN};
    if (m > 0) {
      for (const int64_t s : {sum - 1, sum, sum + 1}) {
        const double t = static_cast<double>(s) / m;
        thresholds.insert(thresholds.end(), {t, std::nextafter(t, 0.0), std::nextafter(t, 2.0)});
      }
    }
    const ShortCollection::Entry entryA{a, 0, nullptr};
    const ShortCollection::Entry entryB{b, 0, nullptr};
    for (const double t : thresholds) {
      const bool plain = Similarity(a, b) >= t;
      ASSERT_EQ(plain, (m == 0 ? 1.0 : static_cast<double>(sum) / m) >= t);
      ASSERT_EQ(MatchSimilar<int16_t>(&entryA, b, &t), plain) << "round " << round << " t " << t;
      ASSERT_EQ(MatchSimilar<int16_t>(&entryB, a, &t), plain) << "round " << round << " t " << t;
      (plain ? accepted : rejected)++;
    }
    ASSERT_EQ(MatchSimilar<int16_t>(&entryA, b, nullptr), Similarity(a, b) >= 1.0);
  }
  EXPECT_GT(accepted, 5000);
  EXPECT_GT(rejected, 5000);
}

// Placefinder's loop over random collections: every probe is searched with
// MatchSimilar and with the plain test, which must find the same entry (or
// both none), and a probe that matches nothing is added. The probes are fresh
// strings, stored strings perturbed slightly to wholly, exact copies and the
// empty string.
TEST(CollectionTest, FindAgreesWithThePlainWalk) {
  int found = 0;
  int missed = 0;
  for (uint32_t seed = 1; seed <= 4; ++seed) {
    std::mt19937 rng(seed);
    const int32_t size = 1 + static_cast<int32_t>(rng() % 300);
    std::vector<Recipe> stored;
    ShortCollection base;
    for (int32_t k = 0; k < size; ++k) {
      stored.push_back(k > 0 && rng() % 3 == 0 ? Perturb(stored[rng() % stored.size()], rng)
                                               : RandomRecipe(rng));
      base.Add(BuildShort(stored.back(), rng), static_cast<uint32_t>(k));
    }
    std::vector<Short> probes;
    for (int k = 0; k < 150; ++k) {
      const Recipe& from = stored[rng() % stored.size()];
      switch (rng() % 4) {
        case 0:
          probes.push_back(BuildShort(RandomRecipe(rng), rng));
          break;
        case 1:
          probes.push_back(BuildShort(from, rng));
          break;
        default:
          probes.push_back(BuildShort(Perturb(from, rng), rng));
      }
    }
    probes.emplace_back();

    const double thresholds[] = {0.67, 0.7, 0.5, 0.999, 1.0, 0.0};
    for (int k = 0; k <= 6; ++k) {
      const double* t = k < 6 ? &thresholds[k] : nullptr;
      ShortCollection collection;
      collection = base;
      uint32_t counter = static_cast<uint32_t>(size);
      for (const Short& probe : probes) {
        const uint32_t* fast = collection.Find(probe, &MatchSimilar<int16_t>, t);
        const uint32_t* plain = collection.Find(probe, &PlainMatch, t);
        ASSERT_EQ(fast, plain) << "seed " << seed << " threshold " << (t ? *t : -1.0);
        if (fast != nullptr) {
          ++found;
        } else {
          ++missed;
          collection.Add(probe, counter++);
        }
      }
    }
  }
  EXPECT_GT(found, 500);
  EXPECT_GT(missed, 500);
}

}  // namespace

}  // namespace placefinder
