#include "PlaceMapFile.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "iMarkrunCatalog.h"

namespace placefinder {

namespace {

using String = iMarkrun<int16_t>;
constexpr double kThreshold = 0.67;

// A fresh, empty folder for one test, removed afterwards.
class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/placemap_test-XXXXXX";
    path_ = mkdtemp(name);
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  // The names in the folder, sorted, one a line.
  std::string Listing() const {
    std::string out;
    FILE* p = popen(("ls -A '" + path_ + "'").c_str(), "r");
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, p) != nullptr) out += buffer;
    pclose(p);
    return out;
  }

 private:
  std::string path_;
};

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// A string of `runs` runs over ids drawn from a small alphabet (so that equal
// strings, which replace each other, are common) with random counts; some
// strings get a length above the sum of their counts, as a rebuild that
// overwrote a block leaves them.
String RandomString(std::mt19937& rng, int alphabet) {
  String s;
  std::vector<int16_t> ids;
  for (int id = 0; id < alphabet; ++id) {
    if (rng() % 3 == 0) ids.push_back(static_cast<int16_t>(id * 37 - 300));
  }
  for (int16_t id : ids) {
    const int32_t count = 1 + static_cast<int32_t>(rng() % 50);
    s.runs.Add(id, count);
    s.length += count;
  }
  if (rng() % 4 == 0) s.length += static_cast<int32_t>(rng() % 20);
  return s;
}

struct LiveMap {
  PlaceStrings strings;
  uint32_t counter = 0;
  PlaceOrigins origins;
};

// Grows a collection the way the frame processor does (search, then add under
// the counter when nothing matched, an equal string replacing its entry), and
// removes a few entries to leave an index that no sequence of adds makes.
void Grow(LiveMap& map, std::mt19937& rng, int frames, int alphabet, bool removals) {
  for (int frame = 0; frame < frames; ++frame) {
    String s = RandomString(rng, alphabet);
    if (map.strings.Find(s, &MatchSimilar<int16_t>, &kThreshold) != nullptr) continue;
    map.strings.Add(s, map.counter);
    map.origins.Record(map.counter, "video" + std::to_string(rng() % 3) + ".avi", frame);
    ++map.counter;
    if (removals && rng() % 7 == 0) map.strings.Remove(RandomString(rng, alphabet));
  }
}

// The runs of one string, with their own index and range.
void ExpectSameString(const String& a, const String& b, const std::string& where) {
  ASSERT_EQ(a.length, b.length) << where;
  ASSERT_EQ(a.RunCount(), b.RunCount()) << where;
  const auto* x = a.runs.entries->head;
  const auto* y = b.runs.entries->head;
  for (int i = 0; x != nullptr; x = x->next, y = y->next, ++i) {
    ASSERT_EQ(x->value.key, y->value.key) << where << " run " << i;
    ASSERT_EQ(x->value.data, y->value.data) << where << " run " << i;
    ASSERT_EQ(x->value.indexNode != nullptr, y->value.indexNode != nullptr)
        << where << " run " << i;
  }
  ASSERT_EQ(a.runs.index->count, b.runs.index->count) << where;
  if (a.RunCount() > 0) {
    EXPECT_EQ(a.runs.minKey, b.runs.minKey) << where;
    EXPECT_EQ(a.runs.maxKey, b.runs.maxKey) << where;
  }
}

int Position(const PlaceStrings& strings, const iListNode<PlaceStrings::Entry>* node) {
  int i = 0;
  for (const auto* n = strings.entries->head; n != nullptr; n = n->next, ++i) {
    if (n == node) return i;
  }
  return -1;
}

// Structural equality: entries in order with their strings and locations,
// index entries in order with their own key copies, pointing at the entries
// at the same positions, and the range.
void ExpectSameStructure(const PlaceStrings& live, const PlaceStrings& loaded) {
  ASSERT_EQ(live.entries->count, loaded.entries->count);
  ASSERT_EQ(live.index->count, loaded.index->count);
  EXPECT_EQ(live.minKey, loaded.minKey);
  EXPECT_EQ(live.maxKey, loaded.maxKey);
  const auto* a = live.entries->head;
  const auto* b = loaded.entries->head;
  for (int i = 0; a != nullptr; a = a->next, b = b->next, ++i) {
    const std::string where = "entry " + std::to_string(i);
    ASSERT_EQ(a->value.data, b->value.data) << where;
    ExpectSameString(a->value.key, b->value.key, where);
    ASSERT_EQ(a->value.indexNode != nullptr, b->value.indexNode != nullptr) << where;
    if (b->value.indexNode != nullptr) {
      ASSERT_EQ(b->value.indexNode->value.element, b) << where;
    }
  }
  const auto* x = live.index->head;
  const auto* y = loaded.index->head;
  for (int i = 0; x != nullptr; x = x->next, y = y->next, ++i) {
    const std::string where = "index entry " + std::to_string(i);
    ASSERT_EQ(Position(live, x->value.element), Position(loaded, y->value.element)) << where;
    ExpectSameString(x->value.key, y->value.key, where);
  }
}

bool SaveMap(const std::string& path, const LiveMap& map, std::string* error) {
  PlaceMapFile file;
  return file.Open(path, kThreshold, error) &&
         file.Save(map.strings, map.counter, kThreshold, map.origins, error);
}

bool LoadMap(const std::string& path, PlaceMapContents* map, std::string* error) {
  PlaceMapFile file;
  return file.Open(path, kThreshold, error) && file.Load(map, error);
}

TEST(PlaceMapFileTest, RoundTripRebuildsRandomCollectionsExactly) {
  struct Case {
    unsigned seed;
    int frames;
    int alphabet;
    bool removals;
  };
  // Small alphabets give many replaced strings; removals give irregular
  // indices; 0 frames gives the empty collection.
  const Case cases[] = {{1, 0, 8, false},    {2, 1, 8, false},  {3, 300, 6, false},
                        {4, 400, 12, false}, {5, 400, 9, true}, {6, 2000, 40, false}};
  int replacedKeys = 0;  // index entries whose own key copy differs from their entry's
  for (const Case& c : cases) {
    SCOPED_TRACE("seed " + std::to_string(c.seed));
    TempDir dir;
    std::mt19937 rng(c.seed);
    LiveMap live;
    Grow(live, rng, c.frames, c.alphabet, c.removals);
    std::string error;
    ASSERT_TRUE(SaveMap(dir.File("m"), live, &error)) << error;
    PlaceMapContents loaded;
    ASSERT_TRUE(LoadMap(dir.File("m"), &loaded, &error)) << error;
    ExpectSameStructure(live.strings, *loaded.strings);
    for (const auto* n = live.strings.index->head; n != nullptr; n = n->next) {
      if (n->value.key.length != n->value.element->value.key.length) ++replacedKeys;
    }
    EXPECT_EQ(live.counter, loaded.locationCounter);
    EXPECT_EQ(kThreshold, loaded.threshold);
    for (const auto* n = live.strings.entries->head; n != nullptr; n = n->next) {
      const PlaceOrigin* want = live.origins.Find(n->value.data);
      const PlaceOrigin* got = loaded.origins.Find(n->value.data);
      ASSERT_NE(got, nullptr);
      EXPECT_EQ(want->video, got->video);
      EXPECT_EQ(want->frame, got->frame);
    }
    EXPECT_EQ(loaded.origins.size(), static_cast<size_t>(live.strings.entries->count));

    // Going on with the loaded map, searched through a catalog as the frame
    // processor searches it, gives what the plain walk of the live one does.
    iMarkrunCatalog<int16_t> catalog(*loaded.strings);
    std::mt19937 a(c.seed * 7 + 1);
    std::mt19937 b(c.seed * 7 + 1);
    for (int frame = 0; frame < 300; ++frame) {
      const String probe = RandomString(a, c.alphabet);
      RandomString(b, c.alphabet);
      const uint32_t* x = live.strings.Find(probe, &MatchSimilar<int16_t>, &kThreshold);
      const uint32_t* y = catalog.Find(probe, kThreshold);
      ASSERT_EQ(x != nullptr, y != nullptr) << "frame " << frame;
      if (x != nullptr) {
        ASSERT_EQ(*x, *y) << "frame " << frame;
      } else {
        live.strings.Add(probe, live.counter);
        catalog.Add(probe, live.counter);
        ++live.counter;
      }
    }
    ExpectSameStructure(live.strings, *loaded.strings);
  }
  EXPECT_GT(replacedKeys, 0);  // the cases include index entries of replaced strings
}

TEST(PlaceMapFileTest, OpenCreatesAnEmptyMapThatAnUnsavedRunLeavesEmpty) {
  TempDir dir;
  std::string error;
  {
    PlaceMapFile file;
    ASSERT_TRUE(file.Open(dir.File("m"), 0.8, &error)) << error;
    EXPECT_TRUE(file.created());
  }
  EXPECT_EQ(dir.Listing(), "m\n");  // no temporary or journal left behind
  PlaceMapContents map;
  ASSERT_TRUE(LoadMap(dir.File("m"), &map, &error)) << error;
  EXPECT_EQ(map.strings->entries->count, 0);
  EXPECT_EQ(map.locationCounter, 0u);
  EXPECT_EQ(map.threshold, 0.8);
}

TEST(PlaceMapFileTest, SaveReplacesTheWholeMap) {
  TempDir dir;
  std::mt19937 rng(11);
  LiveMap first;
  Grow(first, rng, 500, 12, false);
  LiveMap second;
  Grow(second, rng, 20, 12, false);
  std::string error;
  ASSERT_TRUE(SaveMap(dir.File("m"), first, &error)) << error;
  ASSERT_TRUE(SaveMap(dir.File("m"), second, &error)) << error;
  PlaceMapContents loaded;
  ASSERT_TRUE(LoadMap(dir.File("m"), &loaded, &error)) << error;
  ExpectSameStructure(second.strings, *loaded.strings);
  EXPECT_EQ(loaded.locationCounter, second.counter);
  EXPECT_EQ(dir.Listing(), "m\n");
}

TEST(PlaceMapFileTest, SaveRefusesRepeatedOrUncountedLocations) {
  TempDir dir;
  LiveMap map;
  std::mt19937 rng(3);
  map.strings.Add(RandomString(rng, 10), 4);
  std::string error;
  PlaceMapFile file;
  ASSERT_TRUE(file.Open(dir.File("m"), kThreshold, &error)) << error;
  EXPECT_FALSE(file.Save(map.strings, 4, kThreshold, map.origins, &error));
  EXPECT_NE(error.find("not below the counter 4"), std::string::npos) << error;
}

// Runs SQL on a map file directly.
void Sql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* message = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK)
      << (message ? message : "") << " in " << sql;
  sqlite3_free(message);
  sqlite3_close(db);
}

TEST(PlaceMapFileTest, RefusesBadFilesAndLeavesThemUnchanged) {
  struct Case {
    const char* name;
    // Turns the good map at the path into the bad file (or makes one there).
    std::function<void(const std::string&)> spoil;
    const char* message;  // expected part of the error
  };
  const Case cases[] = {
      {"empty file", [](const std::string& p) { WriteBytes(p, ""); }, "is empty (0 bytes)"},
      {"random bytes",
       [](const std::string& p) {
         std::mt19937 rng(5);
         std::string bytes(5000, '\0');
         for (char& c : bytes) c = static_cast<char>(rng());
         WriteBytes(p, bytes);
       },
       "is not an SQLite database"},
      {"truncated map",
       [](const std::string& p) {
         const std::string bytes = ReadBytes(p);
         WriteBytes(p, bytes.substr(0, bytes.size() / 2));
       },
       "damaged"},
      {"another database",
       [](const std::string& p) {
         unlink(p.c_str());
         Sql(p, "CREATE TABLE t(x); INSERT INTO t VALUES(1);");
       },
       "not a place map"},
      {"newer format", [](const std::string& p) { Sql(p, "PRAGMA user_version=3"); },
       "format version 3, newer"},
      {"a width map without its width",
       [](const std::string& p) { Sql(p, "PRAGMA user_version=2"); }, "not a complete place map"},
      {"directory",
       [](const std::string& p) {
         unlink(p.c_str());
         mkdir(p.c_str(), 0755);
       },
       "is a directory"},
      {"missing table", [](const std::string& p) { Sql(p, "DROP TABLE place_index"); },
       "not a complete place map"},
      {"zero count",
       [](const std::string& p) {
         Sql(p,
             "UPDATE places SET runs = CAST(x'010000000000' || substr(runs, 7) AS BLOB) WHERE "
             "position = 3");
       },
       "has the count 0"},
      {"counts above length",
       [](const std::string& p) { Sql(p, "UPDATE places SET length = 1 WHERE position = 2"); },
       "more than its length"},
      {"ids out of order",
       [](const std::string& p) {
         Sql(p,
             "UPDATE places SET runs = CAST(substr(runs, 7, 6) || substr(runs, 1, 6) || "
             "substr(runs, 13) AS BLOB) WHERE position = (SELECT max(position) FROM places)");
       },
       "ascending order"},
      {"partial run",
       [](const std::string& p) {
         Sql(p, "UPDATE places SET runs = CAST(runs || x'00' AS BLOB) WHERE position = 1");
       },
       "not whole (id, count) pairs"},
      {"entries out of run-count order",
       [](const std::string& p) {
         Sql(p,
             "UPDATE places SET position = -1 WHERE position = 0;"
             "UPDATE places SET position = 0 WHERE position = 20;"
             "UPDATE places SET position = 20 WHERE position = -1;");
       },
       "fewer runs than the place before it"},
      {"position gap",
       [](const std::string& p) { Sql(p, "DELETE FROM places WHERE position = 5"); },
       "do not count up from 0"},
      {"index reference outside",
       [](const std::string& p) {
         Sql(p, "UPDATE place_index SET place = 100000 WHERE position = 1");
       },
       "does not exist"},
      {"index reference repeated",
       [](const std::string& p) {
         Sql(p,
             "UPDATE place_index SET place = (SELECT place FROM place_index WHERE position = 0) "
             "WHERE position = 1");
       },
       "a second time"},
      {"index copy with other ids",
       [](const std::string& p) {
         Sql(p,
             "UPDATE place_index SET length = 1000000, runs = x'7f0001000000' WHERE position = 0");
       },
       "other ids"},
      {"counter not above an index",
       [](const std::string& p) {
         Sql(p, "UPDATE map SET location_counter = (SELECT max(location) FROM places)");
       },
       "not below the location counter"},
      {"repeated location",
       [](const std::string& p) {
         Sql(p,
             "UPDATE places SET location = (SELECT location FROM places WHERE position = 0) "
             "WHERE position = 1");
       },
       "repeats the location"},
      {"threshold outside", [](const std::string& p) { Sql(p, "UPDATE map SET threshold = 1.5"); },
       "outside [0, 1]"},
      {"range not covering", [](const std::string& p) { Sql(p, "UPDATE map SET max_key = 1"); },
       "outside minKey and maxKey"},
      {"text where a number belongs",
       [](const std::string& p) { Sql(p, "UPDATE places SET length = 'many' WHERE position = 0"); },
       "wrong type"},
      {"no map row", [](const std::string& p) { Sql(p, "DELETE FROM map"); }, "has no row"},
      {"two map rows", [](const std::string& p) { Sql(p, "INSERT INTO map SELECT * FROM map"); },
       "more than one row"},
      {"half an origin",
       [](const std::string& p) { Sql(p, "UPDATE places SET frame = NULL WHERE position = 0"); },
       "origin"},
  };
  std::mt19937 rng(21);
  LiveMap good;
  Grow(good, rng, 600, 14, false);
  ASSERT_GE(good.strings.entries->count, 30);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.File("m");
    std::string error;
    ASSERT_TRUE(SaveMap(path, good, &error)) << error;
    c.spoil(path);
    const std::string before = ReadBytes(path);
    const std::string listing = dir.Listing();
    PlaceMapContents map;
    EXPECT_FALSE(LoadMap(path, &map, &error));
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_EQ(ReadBytes(path), before);
    EXPECT_EQ(dir.Listing(), listing);
  }
}

TEST(PlaceMapFileTest, ASecondHolderIsRefusedAfterABoundedWait) {
  TempDir dir;
  std::string error;
  PlaceMapFile first;
  ASSERT_TRUE(first.Open(dir.File("m"), kThreshold, &error)) << error;
  PlaceMapFile second;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(second.Open(dir.File("m"), kThreshold, &error));
  const double waited =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_NE(error.find("in use by another program"), std::string::npos) << error;
  EXPECT_LT(waited, 60.0);  // bounded: the lock wait, not forever
}

// A process killed while it saves leaves the old map or the new one. A child
// replaces a small map by a large one; the parent kills it at moments spread
// evenly (with random offsets) from its start to twice the time a whole
// unkilled child takes, so that kills land before, during and after the save.
TEST(PlaceMapFileTest, AKilledSaveLeavesTheOldMapOrTheNewOne) {
  TempDir dir;
  const std::string path = dir.File("m");
  std::mt19937 rng(8);
  LiveMap old;
  Grow(old, rng, 50, 30, false);
  LiveMap fresh;
  Grow(fresh, rng, 3000, 60, false);
  ASSERT_GT(fresh.strings.entries->count, old.strings.entries->count);
  std::string error;
  ASSERT_TRUE(SaveMap(path, old, &error)) << error;

  // Starts a child that replaces the map by `fresh`; the parent waits
  // `delay` seconds, kills it (when `delay` is not negative) and reaps it.
  auto run = [&](double delay) {
    const pid_t child = fork();
    if (child == 0) {
      std::string e;
      _exit(SaveMap(path, fresh, &e) ? 0 : 1);
    }
    if (delay >= 0) {
      std::this_thread::sleep_for(std::chrono::duration<double>(delay));
      kill(child, SIGKILL);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return status;
  };
  double childSeconds = 0;
  for (int i = 0; i < 3; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const int status = run(-1);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    childSeconds =
        std::max(childSeconds,
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    ASSERT_TRUE(SaveMap(path, old, &error)) << error;
  }

  constexpr int kRounds = 40;
  int oldSeen = 0;
  int newSeen = 0;
  std::uniform_real_distribution<double> offset(0.0, 1.0);
  for (int round = 0; round < kRounds; ++round) {
    run(2.0 * childSeconds * (round + offset(rng)) / kRounds);
    PlaceMapContents loaded;
    ASSERT_TRUE(LoadMap(path, &loaded, &error)) << "round " << round << ": " << error;
    const bool isNew = loaded.locationCounter == fresh.counter;
    ExpectSameStructure(isNew ? fresh.strings : old.strings, *loaded.strings);
    EXPECT_EQ(loaded.locationCounter, isNew ? fresh.counter : old.counter);
    if (isNew) {
      ++newSeen;
      ASSERT_TRUE(SaveMap(path, old, &error)) << error;
    } else {
      ++oldSeen;
    }
  }
  // The earliest kills come before the save could start, the latest after
  // the child is done.
  EXPECT_GT(oldSeen, 0);
  EXPECT_GT(newSeen, 0);
  std::printf("kills: %d left the old map, %d the new one (an unkilled child takes %.3f s)\n",
              oldSeen, newSeen, childSeconds);
}

}  // namespace

}  // namespace placefinder
