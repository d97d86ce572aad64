// Times saving and loading place maps of 10,000 and 100,000 model strings
// (see ModelStrings.h), each with an origin, in a file under /tmp:
//
//   build/bench/placemap_bench
//
// Save: open the existing map (taking its lock) and replace its contents in
// one committed transaction. Load: open it and read and validate the whole
// map (freeing it afterwards is not timed). The counter bytes_per_place is
// the file's size over the number of places; each commit syncs the file, so
// the save time includes the disk's. memory_per_place is what the loaded map
// takes from the heap (mallinfo2's bytes in use, with the map against
// without it) over the number of places.

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ModelStrings.h"
#include "PlaceMapFile.h"

namespace {

using namespace placefinder;

struct Fixture {
  int32_t places;
  PlaceStrings strings;
  uint32_t counter = 0;
  PlaceOrigins origins;
  std::string folder;
  std::string path;
  double runs = 0;  // mean runs per place

  explicit Fixture(int32_t size) : places(size) {
    // The strings in ascending run count, each appended at the tail as Add()
    // would place it when strings arrive in that order; Add() itself walks
    // the index from its head and would take hours at 100,000 places.
    std::mt19937 rng(2024);
    std::vector<model::String> made(static_cast<size_t>(places));
    for (model::String& s : made) model::Fill(s, model::ModelRuns(rng));
    std::stable_sort(made.begin(), made.end(), [](const model::String& a, const model::String& b) {
      return a.RunCount() < b.RunCount();
    });
    for (const model::String& s : made) {
      strings.IncludeInRange(s);
      strings.InsertNewBefore(s, counter, nullptr);
      origins.Record(counter, "Megamind.avi", counter);
      ++counter;
      runs += s.RunCount();
    }
    runs /= counter;
    char name[] = "/tmp/placemap_bench-XXXXXX";
    folder = mkdtemp(name);
    path = folder + "/places.map";
  }
  ~Fixture() {
    unlink(path.c_str());
    rmdir(folder.c_str());
  }
};

// One fixture at a time: a map of 100,000 places holds some 30 million runs.
Fixture& GetFixture(int32_t size) {
  static std::unique_ptr<Fixture> fixture;
  if (!fixture || fixture->places != size) {
    fixture.reset();
    fixture = std::make_unique<Fixture>(size);
  }
  return *fixture;
}

size_t HeapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

bool Save(Fixture& f, std::string* error) {
  PlaceMapFile file;
  return file.Open(f.path, 0.67, error) && file.Save(f.strings, f.counter, 0.67, f.origins, error);
}

void SetCounters(benchmark::State& state, const Fixture& f) {
  struct stat st;
  if (stat(f.path.c_str(), &st) == 0) {
    state.counters["bytes_per_place"] = static_cast<double>(st.st_size) / f.places;
  }
  state.counters["runs_per_place"] = f.runs;
}

void BM_SaveMap(benchmark::State& state) {
  Fixture& f = GetFixture(static_cast<int32_t>(state.range(0)));
  std::string error;
  for (auto _ : state) {
    if (!Save(f, &error)) {
      state.SkipWithError(error.c_str());
      break;
    }
  }
  SetCounters(state, f);
}

void BM_LoadMap(benchmark::State& state) {
  Fixture& f = GetFixture(static_cast<int32_t>(state.range(0)));
  std::string error;
  if (!Save(f, &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  double memory = 0;
  for (auto _ : state) {
    // mallinfo2() walks the heap: not part of loading either.
    state.PauseTiming();
    const size_t before = HeapInUse();
    state.ResumeTiming();
    auto map = std::make_unique<PlaceMapContents>();
    {
      PlaceMapFile file;
      if (!file.Open(f.path, 0.67, &error) || !file.Load(map.get(), &error)) {
        state.SkipWithError(error.c_str());
        break;
      }
    }
    // Freeing the runs is not part of loading.
    state.PauseTiming();
    memory = static_cast<double>(HeapInUse() - before);
    const int32_t places = map->strings->entries->count;
    map.reset();
    state.ResumeTiming();
    if (places != f.places) {
      state.SkipWithError("the loaded map has another number of places");
      break;
    }
  }
  SetCounters(state, f);
  state.counters["memory_per_place"] = memory / f.places;
}

// By size, so that each fixture is built once.
BENCHMARK(BM_SaveMap)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadMap)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveMap)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadMap)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
