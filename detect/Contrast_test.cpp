// Checks that the integer decision of ContrastDecision gives exactly
// |r| > threshold, with r formed as a truncated double-precision quotient in
// three cases (see Contrast.h).

#include "Contrast.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>

namespace placefinder {

namespace {

// The response as the three cases define it, the quotient formed in double
// precision and truncated toward zero.
int32_t DoubleResponse(int64_t inner, int64_t ring) {
  if (inner > ring) {
    return 32767 - static_cast<int32_t>(static_cast<double>(ring) * 32767 / inner);
  }
  if (ring != 0) return static_cast<int32_t>(static_cast<double>(inner) * 32767 / ring) - 32767;
  return 0;
}

// The same with the exact quotient of 64-bit integer division.
int32_t IntegerResponse(int64_t inner, int64_t ring) {
  if (inner > ring) return 32767 - static_cast<int32_t>(ring * 32767 / inner);
  if (ring != 0) return static_cast<int32_t>(inner * 32767 / ring) - 32767;
  return 0;
}

// Every threshold: the product test threshold * outer < (65534 - threshold) *
// |d| can only turn from true to false as the threshold grows (its left side
// grows, its right side shrinks), so agreeing at thresholds |r| - 1 and |r|
// (and at the ends) means agreeing at all.
void ExpectAgreesAtEveryThreshold(int64_t inner, int64_t ring, int32_t response) {
  const int32_t magnitude = std::abs(response);
  for (int32_t threshold :
       {-2147483647 - 1, -1, 0, magnitude - 1, magnitude, 32766, 32767, 2147483647}) {
    ASSERT_EQ(ContrastDecision(threshold).Reports(inner, ring), magnitude > threshold)
        << "inner " << inner << " ring " << ring << " threshold " << threshold;
  }
}

TEST(ContrastDecisionTest, ThresholdEnds) {
  EXPECT_TRUE(ContrastDecision(-1).ReportsAll());
  EXPECT_TRUE(ContrastDecision(-1).Reports(0, 0));
  EXPECT_FALSE(ContrastDecision(0).Reports(0, 0));
  EXPECT_FALSE(ContrastDecision(0).Reports(777, 777));
  EXPECT_TRUE(ContrastDecision(0).Reports(778, 777));
  EXPECT_TRUE(ContrastDecision(32766).Reports(1, 0));
  EXPECT_TRUE(ContrastDecision(32766).Reports(0, 1));
  EXPECT_TRUE(ContrastDecision(32767).ReportsNone());
  EXPECT_FALSE(ContrastDecision(32767).Reports(1, 0));
  EXPECT_TRUE(ContrastDecision(2147483647).ReportsNone());
}

// Worked responses: a 16 x 16 box of 200 in a ring of 100 (inner 51200, ring
// 22800) and the reverse (inner 25600, ring 45600); uniform boxes.
TEST(ContrastDecisionTest, WorkedResponses) {
  struct Case {
    int64_t inner, ring;
    int32_t response;
  };
  const Case cases[] = {{51200, 22800, 18176}, {25600, 45600, -14372}, {256, 228, 3584},
                        {512, 448, 4096},      {1024, 1001, 736},      {2048, 2041, 112},
                        {65280, 0, 32767},     {0, 65280, -32767},     {0, 0, 0}};
  for (const Case& c : cases) {
    EXPECT_EQ(DoubleResponse(c.inner, c.ring), c.response) << c.inner << " " << c.ring;
    ExpectAgreesAtEveryThreshold(c.inner, c.ring, c.response);
  }
}

// Every pair of sums up to 1500, at every threshold.
TEST(ContrastDecisionTest, AllSmallPairsAllThresholds) {
  for (int64_t inner = 0; inner <= 1500; ++inner) {
    for (int64_t ring = 0; ring <= 1500; ++ring) {
      ExpectAgreesAtEveryThreshold(inner, ring, DoubleResponse(inner, ring));
    }
  }
}

// Every pair of sums that the program's frames can produce, at the threshold
// 12000. The largest frame in use is 720 x 528. A pass runs only while its box
// covers at most half the frame, and its ring is at most as large as its box,
// so both sums lie in 0 .. 255 * 720 * 528 / 2. The response depends only on
// small = min(inner, ring) and large = max(inner, ring) (the two non-zero
// cases are symmetric in them). For one `large` the double form,
// trunc(fl(32767 * small) / large), grows with `small` (the numerator is exact
// in double precision and rounding is monotone), and so does the left side of
// the product test, threshold * (small + large), while its right side,
// (65534 - threshold) * (large - small), shrinks. So each decision is
// "small < some bound". Two such decisions agree for every small in
// 0 .. large when they agree on both sides of the bound of one of them: at
// the largest small with 32767 * small < (32767 - threshold) * large, and at
// the next one. Checking those two numerators for every denominator, with
// the sums in both roles, covers every pair.
TEST(ContrastDecisionTest, EveryPairOfSumsInUseAtProgramThreshold) {
  const int32_t threshold = 12000;
  const int64_t limit = 32767 - threshold;
  const ContrastDecision decision(threshold);
  const int64_t maxSum = 255LL * 720 * 528 / 2;
  for (int64_t large = 1; large <= maxSum; ++large) {
    const int64_t bound = (limit * large - 1) / 32767;  // largest small that passes
    ASSERT_TRUE(decision.Reports(large, bound)) << large;
    ASSERT_TRUE(decision.Reports(bound, large)) << large;
    ASSERT_GT(std::abs(DoubleResponse(large, bound)), threshold) << large;
    ASSERT_GT(std::abs(DoubleResponse(bound, large)), threshold) << large;
    if (bound + 1 <= large) {
      ASSERT_FALSE(decision.Reports(large, bound + 1)) << large;
      ASSERT_FALSE(decision.Reports(bound + 1, large)) << large;
      ASSERT_LE(std::abs(DoubleResponse(large, bound + 1)), threshold) << large;
      ASSERT_LE(std::abs(DoubleResponse(bound + 1, large)), threshold) << large;
    }
  }
}

// Larger sums, up to 32-bit frames (2^31) and 64-bit frames (2^44), at random
// thresholds, tried at the bound numerators as above. Up to 2^31 the double
// quotient is exact after truncation: a quotient just below an integer n is
// at least 1 / large below it, a relative gap above 2^-47, wider than the
// 2^-53 rounding error. For the sums of 64-bit frames 32767 * small can pass
// 2^53, where a double no longer holds it exactly, so the reference there is
// 64-bit integer division.
TEST(ContrastDecisionTest, RandomLargeSumsAtBoundNumerators) {
  std::mt19937_64 random(20240611);
  for (int64_t maxSum : {int64_t{1} << 31, int64_t{1} << 44}) {
    std::uniform_int_distribution<int64_t> sums(1, maxSum - 1);
    std::uniform_int_distribution<int32_t> thresholds(0, 32766);
    for (int i = 0; i < 200000; ++i) {
      const int64_t large = sums(random);
      const int32_t threshold = thresholds(random);
      const ContrastDecision decision(threshold);
      const int64_t bound = ((32767 - threshold) * large - 1) / 32767;
      for (int64_t small : {bound, bound + 1, sums(random) % (large + 1)}) {
        if (small > large) continue;
        const int32_t expected = maxSum <= (int64_t{1} << 31) ? DoubleResponse(large, small)
                                                              : IntegerResponse(large, small);
        if (maxSum <= (int64_t{1} << 31)) {
          ASSERT_EQ(expected, IntegerResponse(large, small));
        }
        ASSERT_EQ(decision.Reports(large, small), std::abs(expected) > threshold)
            << large << " " << small << " " << threshold;
        ASSERT_EQ(decision.Reports(small, large), std::abs(expected) > threshold)
            << large << " " << small << " " << threshold;
      }
    }
  }
}

}  // namespace

}  // namespace placefinder
