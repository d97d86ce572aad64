// The baseline's similarity code against a plain model: dense vectors, the
// L1 score by its formula, every stored frame compared one by one.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "BowDatabase.h"
#include "BowProtocol.h"
#include "BowVector.h"
#include "BowVocabulary.h"

namespace placefinder {

namespace {

using Dense = std::vector<double>;

Dense ModelIdf(const std::vector<std::vector<uint32_t>>& frames, int words) {
  Dense idf(words, 0.0);
  for (int w = 0; w < words; ++w) {
    int holding = 0;
    for (const auto& frame : frames) {
      holding += std::count(frame.begin(), frame.end(), static_cast<uint32_t>(w)) > 0;
    }
    if (holding > 0) idf[w] = std::log(static_cast<double>(frames.size()) / holding);
  }
  return idf;
}

Dense ModelVector(const std::vector<uint32_t>& frame, const Dense& idf) {
  Dense v(idf.size(), 0.0);
  for (uint32_t w : frame) v[w] += 1.0 / frame.size() * idf[w];
  double total = 0;
  for (double x : v) total += x;
  for (double& x : v) x = total > 0 ? x / total : 0.0;
  return v;
}

Dense ToDense(const BowVector& v, int words) {
  Dense d(words, 0.0);
  for (const BowEntry& e : v) d[e.word] = e.weight;
  return d;
}

bool IsEmpty(const Dense& v) {
  return std::all_of(v.begin(), v.end(), [](double x) { return x == 0; });
}

// The score as written: 1 - |a - b|_1 / 2, with nothing to go by for a frame
// with no weighted word.
double ModelScore(const Dense& a, const Dense& b) {
  if (IsEmpty(a) || IsEmpty(b)) return 0;
  double distance = 0;
  for (size_t w = 0; w < a.size(); ++w) distance += std::fabs(a[w] - b[w]);
  return 1 - distance / 2;
}

// Random vectors whose weights are multiples of 1/8, so that both ways of
// computing a score are exact and ties are ties in both.
BowVector DyadicVector(std::mt19937& rng, int words) {
  Dense d(words, 0.0);
  std::uniform_int_distribution<int> word(0, words - 1);
  for (int unit = 0; unit < 8; ++unit) d[word(rng)] += 0.125;
  BowVector v;
  for (int w = 0; w < words; ++w) {
    if (d[w] > 0) v.push_back({static_cast<uint32_t>(w), d[w]});
  }
  return v;
}

// The model's best stored frame: the highest score above 0, the first of
// equal scores; -1 when none scores above 0.
int ModelBest(const std::vector<Dense>& stored, const Dense& query, double* score) {
  int best = -1;
  *score = 0;
  for (size_t i = 0; i < stored.size(); ++i) {
    const double s = ModelScore(stored[i], query);
    if (s > *score) {
      *score = s;
      best = static_cast<int>(i);
    }
  }
  return best;
}

TEST(TfIdf, HandWorkedFramesGiveTheirWeightsAndScores) {
  // Word 1 is in both frames (idf 0), word 3 in none (idf 0).
  const TfIdf weights = TfIdf::Learn({{0, 0, 1}, {1, 2}}, 4);
  EXPECT_DOUBLE_EQ(weights.idf()[0], std::log(2.0));
  EXPECT_EQ(weights.idf()[1], 0.0);
  EXPECT_DOUBLE_EQ(weights.idf()[2], std::log(2.0));
  EXPECT_EQ(weights.idf()[3], 0.0);
  std::vector<uint32_t> counts;
  BowVector a;
  BowVector b;
  weights.Weigh({0, 0, 1}, &counts, &a);
  weights.Weigh({2, 0, 3}, &counts, &b);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].word, 0u);
  EXPECT_DOUBLE_EQ(a[0].weight, 1.0);
  ASSERT_EQ(b.size(), 2u);
  EXPECT_DOUBLE_EQ(b[0].weight, 0.5);
  EXPECT_DOUBLE_EQ(b[1].weight, 0.5);
  EXPECT_DOUBLE_EQ(L1Score(a, b), 0.5);
  EXPECT_DOUBLE_EQ(L1Score(b, b), 1.0);
}

TEST(TfIdf, FramesWithNoWeightedWordScoreZeroAgainstEverything) {
  const TfIdf weights = TfIdf::Learn({{0, 1}, {1}}, 3);
  std::vector<uint32_t> counts;
  BowVector none;
  BowVector onlyCommon;
  BowVector some;
  weights.Weigh({}, &counts, &none);
  weights.Weigh({1, 1, 2}, &counts, &onlyCommon);  // idf 0 and a word no frame held
  weights.Weigh({0}, &counts, &some);
  EXPECT_TRUE(none.empty());
  EXPECT_TRUE(onlyCommon.empty());
  EXPECT_EQ(L1Score(none, none), 0.0);
  EXPECT_EQ(L1Score(none, some), 0.0);
  EXPECT_EQ(L1Score(some, onlyCommon), 0.0);
  EXPECT_EQ(L1Score(some, some), 1.0);
}

TEST(TfIdf, WeightsAndScoresMatchTheDenseFormulaOnRandomFrames) {
  std::mt19937 rng(7);
  for (int round = 0; round < 50; ++round) {
    const int words = 2 + round % 7;
    std::uniform_int_distribution<uint32_t> word(0, words - 1);
    std::uniform_int_distribution<int> length(0, 9);
    std::vector<std::vector<uint32_t>> frames(1 + round % 6);
    for (auto& frame : frames) {
      frame.resize(length(rng));
      for (uint32_t& w : frame) w = word(rng);
    }
    const TfIdf weights = TfIdf::Learn(frames, words);
    const Dense idf = ModelIdf(frames, words);
    for (int w = 0; w < words; ++w) ASSERT_NEAR(weights.idf()[w], idf[w], 1e-12);
    std::vector<uint32_t> counts;
    std::vector<BowVector> vectors(8);
    std::vector<Dense> dense(8);
    for (size_t f = 0; f < vectors.size(); ++f) {
      std::vector<uint32_t> query(length(rng));
      for (uint32_t& w : query) w = word(rng);
      weights.Weigh(query, &counts, &vectors[f]);
      dense[f] = ModelVector(query, idf);
      const Dense got = ToDense(vectors[f], words);
      for (int w = 0; w < words; ++w) ASSERT_NEAR(got[w], dense[f][w], 1e-12);
      for (size_t e = 1; e < vectors[f].size(); ++e) {
        ASSERT_LT(vectors[f][e - 1].word, vectors[f][e].word);
      }
    }
    for (size_t i = 0; i < vectors.size(); ++i) {
      for (size_t j = 0; j < vectors.size(); ++j) {
        ASSERT_NEAR(L1Score(vectors[i], vectors[j]), ModelScore(dense[i], dense[j]), 1e-12);
      }
    }
  }
}

TEST(BowDatabase, BestAndRankedMatchTheOneByOneSearchWithTheirTieRule) {
  std::mt19937 rng(11);
  for (int round = 0; round < 40; ++round) {
    // Few words, so that many stored frames tie.
    const int words = 3 + round % 5;
    BowDatabase database(words);
    std::vector<Dense> stored;
    std::vector<BowDatabase::Match> ranked;
    for (int f = 0; f < 30; ++f) {
      const BowVector query = DyadicVector(rng, words);
      const Dense dense = ToDense(query, words);
      double modelScore = 0;
      const int modelBest = ModelBest(stored, dense, &modelScore);
      const BowDatabase::Match best = database.Best(query);
      ASSERT_EQ(best.entry, modelBest);
      ASSERT_EQ(best.score, modelScore);
      std::vector<double> scores;
      database.ScoreAll(query, &scores);
      ASSERT_EQ(scores.size(), stored.size());
      for (size_t i = 0; i < stored.size(); ++i) ASSERT_EQ(scores[i], ModelScore(stored[i], dense));

      std::vector<int> order;
      for (size_t i = 0; i < stored.size(); ++i) {
        if (scores[i] > 0) order.push_back(static_cast<int>(i));
      }
      std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        return ModelScore(stored[a], dense) > ModelScore(stored[b], dense);
      });
      database.Ranked(query, 5, &ranked);
      ASSERT_EQ(ranked.size(), std::min<size_t>(5, order.size()));
      for (size_t i = 0; i < ranked.size(); ++i) ASSERT_EQ(ranked[i].entry, order[i]);

      ASSERT_EQ(database.Add(query), stored.size());
      stored.push_back(dense);
    }
  }
}

// Placetrace's counting rules, written out for one collection.
struct ModelCounts {
  int64_t tp = 0, fp = 0, fn = 0, tn = 0;
  std::vector<int> seen;
  void Count(int place, bool recognised, int origin) {
    if (place < 0) return;
    if (recognised) {
      if (origin < 0) return;
      ++(origin == place ? tp : fp);
    } else {
      ++(std::count(seen.begin(), seen.end(), place) > 0 ? fn : tn);
    }
    seen.push_back(place);
  }
};

TEST(BowRecogniser, RecognisesTheBestStoredPlaceAtTheThresholdAndCountsAsPlacetrace) {
  std::mt19937 rng(13);
  const double thresholds[] = {0.125, 0.3, 0.5, 0.625, 0.875, 1.0};
  for (int round = 0; round < 24; ++round) {
    const int words = 3 + round % 4;
    const double threshold = thresholds[round % 6];
    BowRecogniser recogniser(words, threshold);
    std::vector<Dense> stored;
    std::vector<int> storedPlaces;
    ModelCounts model;
    std::uniform_int_distribution<int> place(-1, 3);
    for (int f = 0; f < 60; ++f) {
      const BowVector v = DyadicVector(rng, words);
      const Dense dense = ToDense(v, words);
      const int p = place(rng);
      double score = 0;
      const int best = ModelBest(stored, dense, &score);
      const bool recognised = best >= 0 && score >= threshold;
      model.Count(p, recognised, recognised ? storedPlaces[best] : -1);
      if (!recognised) {
        stored.push_back(dense);
        storedPlaces.push_back(p);
      }
      const BowRecogniser::Result r = recogniser.Process(v, p);
      ASSERT_EQ(r.recognised, recognised);
      ASSERT_EQ(r.score, score);
      ASSERT_EQ(r.entry, recognised ? static_cast<uint32_t>(best) : stored.size() - 1);
    }
    EXPECT_EQ(recogniser.places(), stored.size());
    EXPECT_EQ(recogniser.counts().tp, model.tp);
    EXPECT_EQ(recogniser.counts().fp, model.fp);
    EXPECT_EQ(recogniser.counts().fn, model.fn);
    EXPECT_EQ(recogniser.counts().tn, model.tn);
  }
}

TEST(BowRecogniser, OfEqualScoresTheEarlierStoredPlaceIsFound) {
  BowRecogniser recogniser(3, 0.75);
  const BowVector a = {{0, 0.5}, {1, 0.5}};
  const BowVector b = {{0, 0.5}, {2, 0.5}};              // 0.5 against a: a new place
  const BowVector q = {{0, 0.5}, {1, 0.25}, {2, 0.25}};  // 0.75 against either
  EXPECT_FALSE(recogniser.Process(a, 0).recognised);
  EXPECT_FALSE(recogniser.Process(b, 1).recognised);
  const BowRecogniser::Result r = recogniser.Process(q, 1);
  EXPECT_TRUE(r.recognised);
  EXPECT_EQ(r.entry, 0u);
  EXPECT_EQ(r.score, 0.75);
  EXPECT_EQ(recogniser.counts().fp, 1);  // a shows place 0, the frame place 1
}

TEST(BowSweep, EveryThresholdCountsAsItsOwnRecogniser) {
  std::mt19937 rng(17);
  const std::vector<double> thresholds = BowSweep::Thresholds();
  ASSERT_EQ(thresholds.size(), 99u);
  EXPECT_EQ(thresholds.front(), 0.01);
  EXPECT_EQ(thresholds.back(), 0.99);
  for (int round = 0; round < 6; ++round) {
    const int words = 4 + round;
    BowSweep sweep(words, thresholds);
    std::vector<BowRecogniser> alone;
    for (double t : thresholds) alone.emplace_back(words, t);
    std::uniform_int_distribution<int> place(-1, 4);
    for (int f = 0; f < 80; ++f) {
      const BowVector v = DyadicVector(rng, words);
      const int p = place(rng);
      sweep.Process(v, p);
      for (BowRecogniser& r : alone) r.Process(v, p);
    }
    for (size_t i = 0; i < thresholds.size(); ++i) {
      ASSERT_EQ(sweep.places(i), alone[i].places()) << thresholds[i];
      ASSERT_EQ(sweep.counts(i).Line(), alone[i].counts().Line()) << thresholds[i];
    }
  }
}

TEST(QueryRecall, CountsAQueryFrameWhenItsPlaceIsAmongTheNBestStoredFrames) {
  std::mt19937 rng(19);
  for (int round = 0; round < 20; ++round) {
    const int words = 3 + round % 5;
    QueryRecall recall(words);
    std::vector<Dense> stored;
    std::vector<int> places;
    std::uniform_int_distribution<int> place(-1, 5);
    for (int f = 0; f < 40; ++f) {
      const BowVector v = DyadicVector(rng, words);
      const int p = place(rng) % 4;  // the database holds places up to 3 only
      recall.Store(v, p);
      stored.push_back(ToDense(v, words));
      places.push_back(p);
    }
    int64_t counted = 0;
    int64_t found[3] = {0, 0, 0};
    for (int f = 0; f < 40; ++f) {
      const BowVector v = DyadicVector(rng, words);
      const int p = place(rng);
      recall.Search(v, p);
      if (p < 0 || std::find(places.begin(), places.end(), p) == places.end()) continue;
      ++counted;
      const Dense dense = ToDense(v, words);
      std::vector<int> order;
      for (size_t i = 0; i < stored.size(); ++i) {
        if (ModelScore(stored[i], dense) > 0) order.push_back(static_cast<int>(i));
      }
      std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        return ModelScore(stored[a], dense) > ModelScore(stored[b], dense);
      });
      for (int r = 0; r < 3; ++r) {
        const size_t n = QueryRecall::kRanks[r];
        for (size_t i = 0; i < order.size() && i < n; ++i) {
          if (places[order[i]] == p) {
            ++found[r];
            break;
          }
        }
      }
    }
    ASSERT_EQ(recall.counted(), counted);
    for (int r = 0; r < 3; ++r) ASSERT_EQ(recall.found(r), found[r]) << QueryRecall::kRanks[r];
  }
}

TEST(QueryRecall, TheEarlierStoredFrameWinsATieAtTheLastRank) {
  QueryRecall recall(3);
  const BowVector same = {{0, 1.0}};
  recall.Store(same, 0);
  recall.Store(same, 1);  // ties with the first, stored after it
  recall.Search(same, 1);
  recall.Search(same, 0);
  recall.Search(same, 7);  // no stored frame shows place 7: not counted
  EXPECT_EQ(recall.counted(), 2);
  EXPECT_EQ(recall.found(0), 1);  // place 0 at rank 1, place 1 only at rank 2
  EXPECT_EQ(recall.found(1), 2);
  EXPECT_DOUBLE_EQ(recall.Recall(0), 0.5);
}

BinaryWord RandomWord(std::mt19937_64& rng) { return {rng(), rng(), rng(), rng()}; }

TEST(BowVocabulary, QuantisesToTheNearestWordAndTheLowerOfEqualOnes) {
  std::mt19937_64 rng(23);
  std::vector<BinaryWord> words;
  for (int w = 0; w < 9; ++w) words.push_back(RandomWord(rng));
  words.push_back(words[3]);  // a duplicate: its copy above always wins
  const BowVocabulary vocabulary(words);
  cv::Mat descriptors(200, 32, CV_8UC1);
  cv::randu(descriptors, 0, 256);
  std::memcpy(descriptors.ptr(0), words[3].data(), 32);
  std::vector<uint32_t> got;
  vocabulary.Quantise(descriptors, &got);
  std::vector<BinaryWord> rows;
  AppendDescriptors(descriptors, &rows);
  ASSERT_EQ(got.size(), rows.size());
  for (size_t r = 0; r < rows.size(); ++r) {
    uint32_t best = 0;
    for (uint32_t w = 1; w < words.size(); ++w) {
      if (HammingDistance(rows[r], words[w]) < HammingDistance(rows[r], words[best])) best = w;
    }
    ASSERT_EQ(got[r], best) << r;
  }
  EXPECT_EQ(got[0], 3u);
  vocabulary.Quantise(cv::Mat(), &got);
  EXPECT_TRUE(got.empty());
}

TEST(BowVocabulary, LearnsTheBitwiseMajorityOfEachCluster) {
  std::mt19937_64 rng(29);
  // One cluster: its word is the majority of each bit (a tie gives 0).
  const BinaryWord a = {0b1100, 0, ~uint64_t{0}, 1};
  const BinaryWord b = {0b1010, 0, ~uint64_t{0}, 0};
  const BinaryWord c = {0b1001, 1, 0, 1};
  const BowVocabulary one = BowVocabulary::Learn({a, b, c}, 1, 5, 1);
  const BinaryWord majority = {0b1000, 0, ~uint64_t{0}, 1};
  ASSERT_EQ(one.size(), 1);
  EXPECT_EQ(one.words()[0], majority);

  // Three far-apart centres, each met with a few bits flipped: each learnt
  // word is its centre.
  std::vector<BinaryWord> centres = {RandomWord(rng), RandomWord(rng), RandomWord(rng)};
  std::vector<BinaryWord> descriptors;
  for (int i = 0; i < 300; ++i) {
    BinaryWord d = centres[i % 3];
    for (int flip = 0; flip < 3; ++flip) {
      const int bit = static_cast<int>(rng() % 256);
      d[bit >> 6] ^= uint64_t{1} << (bit & 63);
    }
    descriptors.push_back(d);
  }
  const BowVocabulary learnt = BowVocabulary::Learn(descriptors, 3, 10, 5);
  std::vector<BinaryWord> words = learnt.words();
  std::sort(words.begin(), words.end());
  std::sort(centres.begin(), centres.end());
  EXPECT_EQ(words, centres);
}

TEST(BowVocabulary, TheFileIsUsedOnlyWithItsKeyAndAForeignFileIsRefused) {
  const std::string folder = ::testing::TempDir();
  const std::string path = folder + "/bow_vocabulary_test_" + std::to_string(getpid()) + ".yml";
  std::mt19937_64 rng(31);
  const BowVocabulary saved({RandomWord(rng), RandomWord(rng)});
  std::string error;
  BowVocabulary loaded;
  EXPECT_EQ(loaded.Load(path, "k", &error), BowVocabulary::LoadResult::kMissing);
  ASSERT_TRUE(saved.Save(path, "k", &error)) << error;
  EXPECT_EQ(loaded.Load(path, "k", &error), BowVocabulary::LoadResult::kLoaded);
  EXPECT_EQ(loaded.words(), saved.words());
  EXPECT_EQ(loaded.Load(path, "other", &error), BowVocabulary::LoadResult::kStale);

  const std::string other = "%YAML:1.0\nsomething: else\n";
  std::ofstream(path, std::ios::binary) << other;
  EXPECT_EQ(loaded.Load(path, "k", &error), BowVocabulary::LoadResult::kRefused);
  std::ofstream(path, std::ios::binary) << "not yaml: [\x01";
  EXPECT_EQ(loaded.Load(path, "k", &error), BowVocabulary::LoadResult::kRefused);
  EXPECT_EQ(loaded.Load(folder, "k", &error), BowVocabulary::LoadResult::kRefused);
  std::remove(path.c_str());
}

}  // namespace

}  // namespace placefinder
