// Times saving and loading a place map of 10,000 model strings (see
// ModelStrings.h), each with an origin, in a file under /tmp:
//
//   build/bench/placemap_bench
//
// Save: open the existing map (taking its lock) and replace its contents in
// one committed transaction. Load: open it and read and validate the whole
// map (freeing it afterwards is not timed). The counter bytes_per_place is the file's size over the
// number of places; each commit syncs the file, so the save time includes the disk's.

#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>

#include "ModelStrings.h"
#include "PlaceMapFile.h"

namespace {

using namespace placefinder;

constexpr int kPlaces = 10000;

struct Fixture {
  PlaceStrings strings;
  uint32_t counter = 0;
  PlaceOrigins origins;
  std::string folder;
  std::string path;
  double runs = 0;  // mean runs per place

  Fixture() {
    std::mt19937 rng(2024);
    model::String s;
    while (strings.entries->count < kPlaces) {
      model::Fill(s, model::ModelRuns(rng));
      strings.Add(s, counter);
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

Fixture& GetFixture() {
  static Fixture fixture;
  return fixture;
}

bool Save(Fixture& f, std::string* error) {
  PlaceMapFile file;
  return file.Open(f.path, 0.67, error) && file.Save(f.strings, f.counter, 0.67, f.origins, error);
}

void SetCounters(benchmark::State& state, const Fixture& f) {
  struct stat st;
  if (stat(f.path.c_str(), &st) == 0) {
    state.counters["bytes_per_place"] = static_cast<double>(st.st_size) / kPlaces;
  }
  state.counters["runs_per_place"] = f.runs;
}

void BM_SaveMap(benchmark::State& state) {
  Fixture& f = GetFixture();
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
  Fixture& f = GetFixture();
  std::string error;
  if (!Save(f, &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  for (auto _ : state) {
    auto map = std::make_unique<PlaceMapContents>();
    {
      PlaceMapFile file;
      if (!file.Open(f.path, 0.67, &error) || !file.Load(map.get(), &error)) {
        state.SkipWithError(error.c_str());
        break;
      }
    }
    // Freeing the three million runs is not part of loading.
    state.PauseTiming();
    const int32_t places = map->strings->entries->count;
    map.reset();
    state.ResumeTiming();
    if (places != kPlaces) {
      state.SkipWithError("the loaded map has another number of places");
      break;
    }
  }
  SetCounters(state, f);
}

BENCHMARK(BM_SaveMap)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadMap)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
