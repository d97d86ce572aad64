// Costs of the per-frame identifier-string work: building a string from a
// frame-sized detection list, comparing two strings, and searching a
// collection of stored strings.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "MatchSimilar.h"
#include "iMarkrun.h"

namespace {

using namespace placefinder;

// A detection-like record: the id among other fields.
struct Box {
  int16_t id;
  int32_t x, y, width, height;
};

}  // namespace

template <>
struct placefinder::iIdTraits<Box> {
  static int16_t Id(const Box& box) { return box.id; }
};

namespace {

using String = iMarkrun<int16_t>;

// `count` boxes over `runs` ids (shape code in the high byte, scale in the
// low byte), sorted by id unless `shuffled`.
void MakeBoxes(iList<Box>& boxes, int count, int runs, bool shuffled, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<int16_t> ids(count);
  for (int16_t& id : ids) {
    const int k = static_cast<int>(rng() % runs);
    id = static_cast<int16_t>((k % 7 + 1) << 8 | k / 7);
  }
  if (shuffled) {
    std::shuffle(ids.begin(), ids.end(), rng);
  } else {
    std::sort(ids.begin(), ids.end());
  }
  boxes.RemoveAll();
  for (int16_t id : ids) boxes.AddTail(Box{id, 0, 0, 0, 0});
}

void BM_SetIdsSorted(benchmark::State& state) {
  iList<Box> boxes;
  MakeBoxes(boxes, static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), false, 1);
  String s;
  for (auto _ : state) {
    s.SetIds(boxes, false);
    benchmark::DoNotOptimize(s.runs.entries->count);
  }
  state.SetItemsProcessed(state.iterations() * boxes.count);
}
BENCHMARK(BM_SetIdsSorted)->Args({47000, 420})->Args({47000, 100})->Args({5000, 420});

// Unsorted ids take the container's general Add() path for most runs.
void BM_SetIdsShuffled(benchmark::State& state) {
  iList<Box> boxes;
  MakeBoxes(boxes, static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), true, 1);
  String s;
  for (auto _ : state) {
    s.SetIds(boxes, false);
    benchmark::DoNotOptimize(s.runs.entries->count);
  }
  state.SetItemsProcessed(state.iterations() * boxes.count);
}
BENCHMARK(BM_SetIdsShuffled)->Args({47000, 420})->Args({1000, 100});

void BM_Similarity(benchmark::State& state) {
  iList<Box> boxes;
  String a, b;
  MakeBoxes(boxes, 47000, static_cast<int>(state.range(0)), false, 1);
  a.SetIds(boxes, false);
  MakeBoxes(boxes, 47000, static_cast<int>(state.range(0)), false, 2);
  b.SetIds(boxes, false);
  for (auto _ : state) benchmark::DoNotOptimize(Similarity(a, b));
  state.counters["runs"] = a.RunCount() + b.RunCount();
}
BENCHMARK(BM_Similarity)->Arg(100)->Arg(420);

// A probe that matches nothing, so every candidate of the window is compared.
void BM_CollectionFind(benchmark::State& state) {
  iMarkrunCollection<int16_t> collection;
  iList<Box> boxes;
  String s;
  std::mt19937 rng(3);
  for (uint32_t k = 0; k < static_cast<uint32_t>(state.range(0)); ++k) {
    MakeBoxes(boxes, 5000, 300 + static_cast<int>(rng() % 150), false, 100 + k);
    s.SetIds(boxes, false);
    collection.Add(s, k);
  }
  MakeBoxes(boxes, 47000, 420, true, 7);  // shuffled: ids unlike the stored ones
  String probe;
  probe.SetIds(boxes, false);
  const double threshold = 0.67;
  for (auto _ : state) {
    benchmark::DoNotOptimize(collection.Find(probe, &MatchSimilar<int16_t>, &threshold));
  }
}
BENCHMARK(BM_CollectionFind)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
