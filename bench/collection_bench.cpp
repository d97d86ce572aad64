// Times one frame's recognition step on a collection of known strings: Find
// with the threshold 0.67 and, when nothing matches, Add. The Add is undone
// after the clock stops (Remove), so every frame meets a collection of the
// same size. Each case runs with MatchSimilar and with the plain test
// (Similarity() >= t), which finds the same entries but always sums in full,
// and on an iMarkrunCatalog built by the same adds (`catalog`), whose search
// decides the same candidates from its catalog; `catalog_best` is the
// catalog's search for the most similar string (FindBest).
//
//   build/bench/collection_bench --benchmark_repetitions=5
//       --benchmark_report_aggregates_only=true   (one command line)
//
// The time column is the mean time of a frame; the counter p50_us is the
// median frame time within a repetition, and with repetitions its _median
// row is the median over them. `candidates` is the mean number of stored
// strings a Find offers to the matcher.
//
// The strings are modelled on the frames of the sample videos. Those have
// 125 to 294 runs and up to ~72,000 detections (Megamind.avi: ~290 runs,
// 37,000 to 72,000; vtest.avi: 125 to 190 runs, 4,000 to 7,000); every pass
// that found a box gives one id (shape code in the high byte, pass in the low
// byte), the smallest shape has the most passes, and the counts fall off with
// the pass. Here a string has 150 to 450 runs over the seven shapes with a few
// passes missing, a length drawn log-uniformly up to 70,000, and counts that
// fall off geometrically with random noise. The collection is built the way
// Placefinder builds it: a model string is added only when it matches no
// stored one, so the stored strings are pairwise less than 0.67 similar.
//
// Probes: `match` probes are stored strings with counts perturbed by about
// 15%, each found by the search; `miss` probes are further model strings that
// match nothing and equal no stored string (so the Add inserts).
//
// Setting up takes one to two minutes: every model string of the 10,000
// collection (about 17,000 of them) is searched before it may be added. The
// collection of 100,000 strings is searched with the catalog only (the
// collection's own walk would take hours to set up), and its strings, once
// found, are kept in TMPDIR (else /tmp) as collection_bench-100000.strings,
// so that later runs replay their adds instead of searching for them again;
// the file holds a check of the model strings and is made anew when they
// change.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "MatchSimilar.h"
#include "ModelStrings.h"
#include "iMarkrun.h"
#include "iMarkrunCatalog.h"

namespace {

using namespace placefinder;

using String = iMarkrun<int16_t>;
using Collection = iMarkrunCollection<int16_t>;
using Catalog = iMarkrunCatalog<int16_t>;
using model::Fill;
using model::ModelRuns;

constexpr double kThreshold = 0.67;
constexpr int kProbes = 64;
// Collections of this size or more are built and searched with the catalog only.
constexpr int32_t kCatalogOnly = 100000;

// Counts how many stored strings a Find offers, with the plain test.
int64_t offered = 0;
bool CountingMatch(const Collection::Entry* candidate, const String& probe, const double* t) {
  ++offered;
  return Similarity(candidate->key, probe) >= *t;
}

bool PlainMatch(const Collection::Entry* candidate, const String& probe, const double* t) {
  return Similarity(candidate->key, probe) >= *t;
}

using Runs = std::vector<std::pair<int16_t, int32_t>>;

struct Fixture {
  Collection collection;      // empty for catalog-only sizes
  Catalog catalog;            // the same adds as `collection`
  std::vector<String> match;  // probes that find a stored string
  std::vector<String> miss;   // probes that find none
  double candidatesMatch = 0;
  double candidatesMiss = 0;
};

// A check of the model strings, so that kept strings of an older model are
// not replayed.
uint64_t ModelCheck() {
  std::mt19937 rng(2024);
  uint64_t check = 1469598103934665603u;
  for (int i = 0; i < 16; ++i) {
    for (const auto& run : ModelRuns(rng)) {
      check = (check ^ static_cast<uint16_t>(run.first)) * 1099511628211u;
      check = (check ^ static_cast<uint32_t>(run.second)) * 1099511628211u;
    }
  }
  return check;
}

std::string KeptPath(int32_t size) {
  const char* tmp = std::getenv("TMPDIR");
  const std::string folder = tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
  return folder + "/collection_bench-" + std::to_string(size) + ".strings";
}

// Reads the strings kept for `size` and the generator's state after them.
bool ReadKept(int32_t size, std::vector<Runs>* stored, std::mt19937* rng) {
  std::ifstream in(KeptPath(size));
  uint64_t check = 0;
  size_t count = 0;
  if (!(in >> check >> count) || check != ModelCheck() || count != static_cast<size_t>(size)) {
    return false;
  }
  stored->assign(count, Runs());
  for (Runs& runs : *stored) {
    size_t n = 0;
    if (!(in >> n)) return false;
    runs.resize(n);
    for (auto& run : runs) {
      if (!(in >> run.first >> run.second)) return false;
    }
  }
  return static_cast<bool>(in >> *rng);
}

void WriteKept(int32_t size, const std::vector<Runs>& stored, const std::mt19937& rng) {
  const std::string path = KeptPath(size);
  const std::string partial = path + ".partial";
  {
    std::ofstream out(partial);
    out << ModelCheck() << ' ' << stored.size() << '\n';
    for (const Runs& runs : stored) {
      out << runs.size();
      for (const auto& run : runs) out << ' ' << run.first << ' ' << run.second;
      out << '\n';
    }
    out << rng << '\n';
    if (!out) return;
  }
  std::rename(partial.c_str(), path.c_str());
}

// Builds (once per size) a collection as Placefinder would and its probes.
Fixture& GetFixture(int32_t size) {
  static std::map<int32_t, std::unique_ptr<Fixture>> fixtures;
  std::unique_ptr<Fixture>& slot = fixtures[size];
  if (slot) return *slot;
  slot.reset(new Fixture);
  Fixture& f = *slot;
  const bool withCollection = size < kCatalogOnly;
  std::mt19937 rng(2024);
  String s;
  uint32_t counter = 0;
  std::vector<Runs> stored;
  if (!withCollection && ReadKept(size, &stored, &rng)) {
    for (const Runs& runs : stored) {
      Fill(s, runs);
      f.catalog.Add(s, counter++);
    }
  } else {
    stored.clear();
    rng.seed(2024);
    while (f.catalog.size() < static_cast<size_t>(size)) {
      auto runs = ModelRuns(rng);
      Fill(s, runs);
      // The catalog decides as MatchSimilar does, and sooner.
      if (f.catalog.Find(s, kThreshold) == nullptr) {
        f.catalog.Add(s, counter);
        if (withCollection) f.collection.Add(s, counter);
        ++counter;
        stored.push_back(std::move(runs));
      }
    }
    if (!withCollection) WriteKept(size, stored, rng);
  }
  // The probes are prepared with the collection's own search.
  Collection& collection = withCollection ? f.collection : f.catalog.list;

  std::lognormal_distribution<double> slight(0.0, 0.15);
  while (static_cast<int>(f.match.size()) < kProbes) {
    auto runs = stored[rng() % stored.size()];
    for (auto& run : runs) run.second = std::max(1, static_cast<int32_t>(run.second * slight(rng)));
    Fill(s, runs);
    offered = 0;
    if (collection.Find(s, &CountingMatch, &kThreshold) != nullptr) {
      f.candidatesMatch += static_cast<double>(offered) / kProbes;
      f.match.push_back(s);
    }
  }
  while (static_cast<int>(f.miss.size()) < kProbes) {
    Fill(s, ModelRuns(rng));
    const double k = s.RunCount();
    if (k < collection.minKey || k > collection.maxKey) continue;          // would widen the range
    if (collection.Find(s, &Collection::MatchEqual) != nullptr) continue;  // Add would replace
    offered = 0;
    if (collection.Find(s, &CountingMatch, &kThreshold) == nullptr) {
      f.candidatesMiss += static_cast<double>(offered) / kProbes;
      f.miss.push_back(s);
    }
  }
  return f;
}

// Times `search` (one frame's Find, and Add when nothing matched) on the
// prepared probes; `undo` removes what it added, so every frame meets a
// collection of `size` strings, as `count` tells.
template <typename Search, typename Undo, typename Count>
void TimeFrames(benchmark::State& state, bool matching, Search search, Undo undo, Count count) {
  const int32_t size = static_cast<int32_t>(state.range(0));
  Fixture& f = GetFixture(size);
  const std::vector<String>& probes = matching ? f.match : f.miss;
  std::vector<double> times;
  size_t next = 0;
  uint32_t counter = 1u << 30;
  for (auto _ : state) {
    const String& probe = probes[next++ % probes.size()];
    const auto start = std::chrono::steady_clock::now();
    const uint32_t* found = search(f, probe, counter);
    const auto stop = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(found);
    const double seconds = std::chrono::duration<double>(stop - start).count();
    state.SetIterationTime(seconds);
    times.push_back(seconds);
    if ((found != nullptr) != matching) {
      state.SkipWithError("a probe did not behave as prepared");
      break;
    }
    if (found == nullptr) undo(f, probe);
  }
  if (count(f) != size) state.SkipWithError("the collection changed size");
  if (!times.empty()) {
    std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
    state.counters["p50_us"] = times[times.size() / 2] * 1e6;
  }
  state.counters["candidates"] = matching ? f.candidatesMatch : f.candidatesMiss;
}

void BM_FrameSearch(benchmark::State& state, Collection::MatchFunc match, bool matching) {
  TimeFrames(
      state, matching,
      [match](Fixture& f, const String& probe, uint32_t& counter) {
        const uint32_t* found = f.collection.Find(probe, match, &kThreshold);
        if (found == nullptr) f.collection.Add(probe, counter++);
        return found;
      },
      [](Fixture& f, const String& probe) { f.collection.Remove(probe); },
      [](Fixture& f) { return f.collection.entries->count; });
}

// The same frames on the catalog.
void BM_CatalogSearch(benchmark::State& state, bool matching) {
  TimeFrames(
      state, matching,
      [](Fixture& f, const String& probe, uint32_t& counter) {
        const uint32_t* found = f.catalog.Find(probe, kThreshold);
        if (found == nullptr) f.catalog.Add(probe, counter++);
        return found;
      },
      [](Fixture& f, const String& probe) { f.catalog.Remove(probe); },
      [](Fixture& f) { return f.catalog.list.entries->count; });
}

// The same frames on the catalog, the most similar string winning
// (FindBest(), Placetrace --best): every candidate of the window is decided,
// not only those up to the first match.
void BM_CatalogBestSearch(benchmark::State& state, bool matching) {
  TimeFrames(
      state, matching,
      [](Fixture& f, const String& probe, uint32_t& counter) {
        double similarity = 0;
        const uint32_t* found = f.catalog.FindBest(probe, kThreshold, &similarity);
        if (found == nullptr) f.catalog.Add(probe, counter++);
        return found;
      },
      [](Fixture& f, const String& probe) { f.catalog.Remove(probe); },
      [](Fixture& f) { return f.catalog.list.entries->count; });
}

// The catalog's searches also run at 100,000 strings.
template <typename Function, typename... Args>
void Register(const char* name, bool large, Function function, Args... args) {
  auto* benchmark = benchmark::RegisterBenchmark(name, function, args...)->Arg(1000)->Arg(10000);
  if (large) benchmark->Arg(kCatalogOnly);
  benchmark->UseManualTime()->Unit(benchmark::kMicrosecond);
}

}  // namespace

int main(int argc, char** argv) {
  Register("FrameSearch/catalog/match", true, BM_CatalogSearch, true);
  Register("FrameSearch/catalog/miss", true, BM_CatalogSearch, false);
  Register("FrameSearch/catalog_best/match", true, BM_CatalogBestSearch, true);
  Register("FrameSearch/catalog_best/miss", true, BM_CatalogBestSearch, false);
  Register("FrameSearch/fast/match", false, BM_FrameSearch, &MatchSimilar<int16_t>, true);
  Register("FrameSearch/fast/miss", false, BM_FrameSearch, &MatchSimilar<int16_t>, false);
  Register("FrameSearch/plain/match", false, BM_FrameSearch, &PlainMatch, true);
  Register("FrameSearch/plain/miss", false, BM_FrameSearch, &PlainMatch, false);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
