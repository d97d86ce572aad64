#include "iMarkrunCatalog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "MatchSimilar.h"
#include "iList.h"

namespace placefinder {

namespace {

using String = iMarkrun<int16_t>;
using Catalog = iMarkrunCatalog<int16_t>;
using Collection = Catalog::Collection;

// The plain test: the similarity summed in full.
bool PlainMatch(const Collection::Entry* candidate, const String& probe, const double* t) {
  return Similarity(candidate->key, probe) >= *t;
}

// A string built the way a frame's is: from a list of ids in blocks, mostly
// ascending, now and then an id again after others (its last block wins, so
// the counts sum to less than the length). Few ids and short blocks, so that
// many strings lie near one another.
String RandomString(std::mt19937& random) {
  iList<int16_t> ids;
  const int32_t blocks = static_cast<int32_t>(random() % 24);
  int16_t id = static_cast<int16_t>(random() % 4);
  for (int32_t b = 0; b < blocks; ++b) {
    const int32_t length = 1 + static_cast<int32_t>(random() % 6);
    for (int32_t i = 0; i < length; ++i) ids.AddTail(id);
    id = random() % 10 == 0 ? static_cast<int16_t>(random() % 30)
                            : static_cast<int16_t>(id + 1 + random() % 2);
  }
  String s;
  s.SetIds(ids, false);
  return s;
}

// The same run ids as `s` with other counts: equal to `s` as a key.
String Recount(std::mt19937& random, const String& s) {
  iList<int16_t> ids;
  for (const auto* run = s.runs.entries->head; run != nullptr; run = run->next) {
    const int32_t count = 1 + static_cast<int32_t>(random() % 6);
    for (int32_t i = 0; i < count; ++i) ids.AddTail(run->value.key);
  }
  String out;
  out.SetIds(ids, false);
  return out;
}

// A stored string, picked at random; none when the list is empty.
const String* Stored(std::mt19937& random, const Catalog& catalog) {
  const int32_t n = catalog.list.entries->count;
  if (n == 0) return nullptr;
  const auto* node = catalog.list.entries->head;
  for (int32_t i = static_cast<int32_t>(random() % n); i > 0; --i) node = node->next;
  return &node->value.key;
}

constexpr double kThresholds[] = {0.0, 0.25, 0.5, 0.6, 0.67, 0.75, 0.9, 1.0, 1.5};

// One search of `catalog` against the plain walk of its own list: the same
// entry (or none), and the cursor on it; and against the plain walk of
// `twin` (when given), a collection that went through the same changes.
void ExpectSameFirstMatch(Catalog& catalog, const String& probe, double t,
                          Collection* twin = nullptr) {
  const uint32_t* expected = catalog.list.Find(probe, &PlainMatch, &t);
  const auto* expectedNode = expected != nullptr ? catalog.list.entries->current : nullptr;
  const uint32_t* found = catalog.Find(probe, t);
  ASSERT_EQ(found, expected) << "threshold " << t;
  if (found != nullptr) {
    EXPECT_EQ(catalog.list.entries->current, expectedNode);
  }
  if (twin != nullptr) {
    const uint32_t* inTwin = twin->Find(probe, &PlainMatch, &t);
    ASSERT_EQ(found == nullptr, inTwin == nullptr) << "threshold " << t;
    if (found != nullptr) {
      EXPECT_EQ(*found, *inTwin);
    }
  }
}

bool SameRuns(const String& a, const String& b) {
  const auto* x = a.runs.entries->head;
  const auto* y = b.runs.entries->head;
  for (; x != nullptr && y != nullptr; x = x->next, y = y->next) {
    if (x->value.key != y->value.key || x->value.data != y->value.data) return false;
  }
  return x == nullptr && y == nullptr;
}

// The catalog's list and `twin` hold the same entries (data, run ids and
// counts) in the same order, the same index entries and the same range.
void ExpectSameList(const Catalog& catalog, const Collection& twin) {
  const Collection& list = catalog.list;
  ASSERT_EQ(list.entries->count, twin.entries->count);
  ASSERT_EQ(list.index->count, twin.index->count);
  EXPECT_EQ(list.minKey, twin.minKey);
  EXPECT_EQ(list.maxKey, twin.maxKey);
  EXPECT_EQ(catalog.size(), static_cast<size_t>(list.entries->count));
  for (auto *a = list.entries->head, *b = twin.entries->head; a != nullptr;
       a = a->next, b = b->next) {
    ASSERT_EQ(a->value.data, b->value.data);
    ASSERT_EQ(a->value.key.length, b->value.key.length);
    ASSERT_TRUE(SameRuns(a->value.key, b->value.key));
    ASSERT_EQ(a->value.indexNode != nullptr, b->value.indexNode != nullptr);
  }
  for (auto *a = list.index->head, *b = twin.index->head; a != nullptr; a = a->next, b = b->next) {
    ASSERT_EQ(a->value.element->value.data, b->value.element->value.data);
    ASSERT_EQ(a->value.key.RunCount(), b->value.key.RunCount());
  }
}

void SearchAFew(std::mt19937& random, Catalog& catalog, int32_t searches,
                Collection* twin = nullptr) {
  for (int32_t i = 0; i < searches; ++i) {
    const double t = random() % 4 == 0 ? (random() % 1001) / 1000.0 : kThresholds[random() % 9];
    const String* stored = Stored(random, catalog);
    // A stored string, one with its counts changed, or a new one.
    String probe;
    switch (random() % 3) {
      case 0:
        if (stored != nullptr) probe = *stored;
        break;
      case 1:
        if (stored != nullptr) probe = Recount(random, *stored);
        break;
      default:
        probe = RandomString(random);
    }
    ExpectSameFirstMatch(catalog, probe, t, twin);
  }
}

// Seeded runs of adds (new strings and replacements), removals (present and
// absent), copies, assignments, emptying, and direct changes of the list
// followed by Rebuild(). A plain collection goes through the same changes:
// the lists stay the same, and every search finds what the plain walk finds.
TEST(iMarkrunCatalogTest, SameFirstMatchAsPlainWalk) {
  for (uint32_t seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937 random(seed);
    Catalog catalog;
    Collection twin;
    uint32_t counter = 0;
    int32_t found = 0;
    int32_t replaced = 0;
    for (int32_t step = 0; step < 1500; ++step) {
      const uint32_t op = random() % 20;
      if (op < 8) {
        const String s = RandomString(random);
        catalog.Add(s, counter);
        twin.Add(s, counter++);
      } else if (op < 11) {
        const String* stored = Stored(random, catalog);
        if (stored != nullptr) {
          const String s = Recount(random, *stored);
          catalog.Add(s, counter);
          twin.Add(s, counter++);
          ++replaced;
        }
      } else if (op < 14) {
        const String* stored = Stored(random, catalog);
        const String key = stored != nullptr && random() % 4 != 0 ? *stored : RandomString(random);
        catalog.Remove(key);
        twin.Remove(key);
      } else if (op == 14) {
        Catalog copy(catalog);
        Collection twinCopy(twin);
        ExpectSameList(copy, twinCopy);
        SearchAFew(random, copy, 10, &twinCopy);
        const String s = RandomString(random);
        copy.Add(s, counter);
        twinCopy.Add(s, counter++);
        catalog = copy;
        twin = twinCopy;
      } else if (op == 15) {
        const String s = RandomString(random);
        catalog.list.Add(s, counter);
        twin.Add(s, counter++);
        catalog.Rebuild();
      } else if (op == 16 && step % 7 == 0) {
        catalog.RemoveAll();
        twin.RemoveAll();
      }
      ExpectSameList(catalog, twin);
      SearchAFew(random, catalog, 4, &twin);
      if (HasFatalFailure()) return;
      const String* stored = Stored(random, catalog);
      if (stored != nullptr && catalog.Find(*stored, 0.67) != nullptr) ++found;
    }
    EXPECT_GT(catalog.list.entries->count, 50);
    EXPECT_GT(found, 500);  // the searches do find strings
    EXPECT_GT(replaced, 100);
  }
}

// An entry added to or removed from the list behind the catalog's back is
// noticed by the count: the catalog is rebuilt before the search.
TEST(iMarkrunCatalogTest, EntriesAddedOrRemovedBehindItsBackAreNoticed) {
  std::mt19937 random(9);
  Catalog catalog;
  for (uint32_t i = 0; i < 200; ++i) catalog.Add(RandomString(random), i);
  const size_t before = catalog.size();
  String extra = RandomString(random);
  while (catalog.list.Find(extra, &Collection::MatchEqual) != nullptr) extra = RandomString(random);
  catalog.list.Add(extra, 1000);
  EXPECT_EQ(catalog.size(), before);
  ExpectSameFirstMatch(catalog, extra, 1.0);
  SearchAFew(random, catalog, 50);
  EXPECT_EQ(catalog.size(), static_cast<size_t>(catalog.list.entries->count));
  catalog.list.Remove(extra);
  EXPECT_EQ(catalog.list.Find(extra, &Collection::MatchEqual), nullptr);
  ExpectSameFirstMatch(catalog, extra, 1.0);
  SearchAFew(random, catalog, 50);
  EXPECT_EQ(catalog.size(), before);
}

// Replacing a string keeps its place; the runs it leaves behind are
// reclaimed, and searches still match the plain walk.
TEST(iMarkrunCatalogTest, ReplacementsKeepPlaceAndMatches) {
  std::mt19937 random(4);
  Catalog catalog;
  for (uint32_t i = 0; i < 100; ++i) catalog.Add(RandomString(random), i);
  const int32_t count = catalog.list.entries->count;
  for (int32_t round = 0; round < 2000; ++round) {
    const String key = *Stored(random, catalog);
    const String replacement = Recount(random, key);
    catalog.Add(replacement, 5000u + static_cast<uint32_t>(round));
    ASSERT_EQ(catalog.list.entries->count, count);
    ASSERT_NE(catalog.Find(replacement, 1.0), nullptr);
  }
  SearchAFew(random, catalog, 200);
}

// The plain model of the best match: the collection's own walk offers every
// candidate of the search window in list order; the first of the highest
// Similarity() at or over the threshold is kept.
const Collection::Entry* bestEntry = nullptr;
double bestSimilarity = 0;
bool KeepBest(const Collection::Entry* candidate, const String& probe, const double* t) {
  const double s = Similarity(candidate->key, probe);
  if (s >= *t && (bestEntry == nullptr || s > bestSimilarity)) {
    bestEntry = candidate;
    bestSimilarity = s;
  }
  return false;
}

// FindBest() and Rank() against plain models, on collections with
// replacements and removals behind them and probes with many equal
// similarities (few ids), so that ties are decided often.
TEST(iMarkrunCatalogTest, BestMatchAndRankingAgreeWithPlainModels) {
  int64_t bests = 0;
  int64_t ties = 0;
  for (uint32_t seed : {5u, 6u}) {
    std::mt19937 random(seed);
    Catalog catalog;
    uint32_t counter = 0;
    for (int32_t step = 0; step < 400; ++step) {
      const uint32_t op = random() % 10;
      if (op < 6) {
        catalog.Add(RandomString(random), counter++);
      } else if (op < 8) {
        const String* stored = Stored(random, catalog);
        if (stored != nullptr) catalog.Add(Recount(random, *stored), counter++);
      } else if (op == 8) {
        const String* stored = Stored(random, catalog);
        if (stored != nullptr) catalog.Remove(String(*stored));
      }
      if (step % 4 != 0) continue;
      const String* stored = Stored(random, catalog);
      const String probe =
          stored != nullptr && random() % 2 == 0 ? Recount(random, *stored) : RandomString(random);
      for (double t : kThresholds) {
        bestEntry = nullptr;
        catalog.list.Find(probe, &KeepBest, &t);
        double similarity = -1;
        const uint32_t* found = catalog.FindBest(probe, t, &similarity);
        ASSERT_EQ(found != nullptr, bestEntry != nullptr) << "step " << step << " threshold " << t;
        if (found == nullptr) continue;
        ++bests;
        EXPECT_EQ(found, &bestEntry->data);
        EXPECT_EQ(similarity, bestSimilarity);
        EXPECT_EQ(&catalog.list.entries->current->value, bestEntry);
      }
      // The ranking: every entry by Similarity(), highest first, equal ones in
      // list order.
      std::vector<Catalog::Ranked> model;
      for (const auto* node = catalog.list.entries->head; node != nullptr; node = node->next) {
        model.push_back({node->value.data, Similarity(node->value.key, probe)});
      }
      std::stable_sort(model.begin(), model.end(),
                       [](const auto& a, const auto& b) { return a.similarity > b.similarity; });
      for (size_t i = 1; i < model.size() && i < 10; ++i) {
        ties += model[i].similarity == model[i - 1].similarity;
      }
      for (size_t k : {size_t{1}, size_t{3}, size_t{10}, model.size() + 1}) {
        std::vector<Catalog::Ranked> ranked;
        catalog.Rank(probe, k, &ranked);
        ASSERT_EQ(ranked.size(), std::min(k, model.size()));
        for (size_t i = 0; i < ranked.size(); ++i) {
          EXPECT_EQ(ranked[i].data, model[i].data) << "k " << k << " rank " << i;
          EXPECT_EQ(ranked[i].similarity, model[i].similarity);
        }
      }
    }
  }
  EXPECT_GT(bests, 200);  // the searches do find strings
  EXPECT_GT(ties, 50);    // and meet equal similarities
}

// A string of a few ids, negative ones among them, with counts in the tens
// of thousands, so that bucket sums reach 16 bits' limit in the stored
// strings and in the probes alike; the length is at least the counts' sum.
String HeavyString(std::mt19937& random) {
  static const int16_t kIds[] = {-32768, -3, -1, 0, 1, 2, 7, 300, 32767};
  String s;
  const int32_t runs = 1 + static_cast<int32_t>(random() % 5);
  for (int32_t i = 0; i < runs; ++i) {
    const int32_t count = 1 + static_cast<int32_t>(random() % 70000);
    s.runs.Add(kIds[random() % 9], count);
  }
  for (const auto* run = s.runs.entries->head; run != nullptr; run = run->next) {
    s.length += run->value.data;
  }
  s.length += static_cast<int32_t>(random() % 3) * static_cast<int32_t>(random() % 20000);
  return s;
}

// Strings whose bucket sums saturate: the first match and the best one are
// those of the plain walk still.
TEST(iMarkrunCatalogTest, SaturatedBucketSumsFindWhatThePlainWalkFinds) {
  std::mt19937 random(11);
  Catalog catalog;
  uint32_t counter = 0;
  int64_t found = 0;
  for (int32_t step = 0; step < 300; ++step) {
    catalog.Add(HeavyString(random), counter++);
    const String* stored = Stored(random, catalog);
    const String probe = random() % 2 == 0 ? HeavyString(random) : *stored;
    for (double t : kThresholds) {
      ExpectSameFirstMatch(catalog, probe, t);
      bestEntry = nullptr;
      catalog.list.Find(probe, &KeepBest, &t);
      double similarity = -1;
      const uint32_t* best = catalog.FindBest(probe, t, &similarity);
      ASSERT_EQ(best != nullptr, bestEntry != nullptr) << "step " << step << " threshold " << t;
      if (best == nullptr) continue;
      ++found;
      EXPECT_EQ(best, &bestEntry->data);
      EXPECT_EQ(similarity, bestSimilarity);
    }
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(found, 500);
}

}  // namespace

}  // namespace placefinder
