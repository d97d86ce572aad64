// Regression tests for inputs the fuzz targets found. Each test is the
// smallest case that showed the fault, written as an ordinary test so that it
// runs in every build.

#include <gtest/gtest.h>

#include <cstdint>

#include "iAssociatedList.h"

namespace {

using namespace placefinder;

using Map = iAssociatedList<uint64_t, int32_t>;

// A threshold of 1 gives a window of no width around the probe, and must
// search the same stretch as no threshold. Computed as (f + 1) - 1, the lower
// end of the window can round above f itself: the probe's own index entry then
// counts as lying below the window, the search starts after it, and a present
// key is not found. With keys 0 .. 11 added in ascending order, key 9 is the
// tenth entry and indexed, and its normalised value 9 / 11 rounds that way.
TEST(FuzzRegressionTest, FindThresholdOneFindsIndexedKey) {
  Map map;
  for (uint64_t key = 0; key < 12; ++key) map.Add(key, static_cast<int32_t>(key * 10));
  const double one = 1.0;
  const int32_t* found = map.Find(9, &Map::MatchEqual, &one);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(*found, 90);
  EXPECT_EQ(map.entries->current->value.key, 9u);
}

// The same over lists of 2 to 40 ascending keys: every key is found with the
// threshold 1 exactly as without a threshold.
TEST(FuzzRegressionTest, FindThresholdOneMatchesFindWithoutThreshold) {
  const double one = 1.0;
  for (uint64_t n = 2; n <= 40; ++n) {
    Map map;
    for (uint64_t key = 0; key < n; ++key) map.Add(key, static_cast<int32_t>(key));
    for (uint64_t key = 0; key < n; ++key) {
      const int32_t* exact = map.Find(key, &Map::MatchEqual);
      const int32_t* windowed = map.Find(key, &Map::MatchEqual, &one);
      EXPECT_EQ(windowed, exact) << "key " << key << " of " << n;
    }
  }
}

}  // namespace
