#include "PlaceMapFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// A tmpfs of `bytes` mounted on a fresh folder, for full disks (mounting needs
// root); unmounted at the end.
class SmallDisk {
 public:
  explicit SmallDisk(size_t bytes) {
    char name[] = "/tmp/placemap_disk-XXXXXX";
    path_ = mkdtemp(name);
    const std::string options = "size=" + std::to_string(bytes);
    mounted_ = mount("tmpfs", path_.c_str(), "tmpfs", 0, options.c_str()) == 0;
    if (!mounted_) why_ = std::strerror(errno);
  }
  ~SmallDisk() {
    if (mounted_) umount2(path_.c_str(), MNT_DETACH);
    rmdir(path_.c_str());
  }
  bool mounted() const { return mounted_; }
  const std::string& why() const { return why_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  // Fills the disk with the file "filler" until `free` bytes are left.
  void Fill(size_t free) {
    const int fd = open(File("filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const std::string block(4096, 'f');
    off_t size = 0;
    ssize_t n;
    while ((n = write(fd, block.data(), block.size())) > 0) size += n;
    if (ftruncate(fd, size > static_cast<off_t>(free) ? size - static_cast<off_t>(free) : 0) != 0) {
      ADD_FAILURE() << "cannot shrink the filler";
    }
    close(fd);
  }
  void Empty() { unlink(File("filler").c_str()); }

 private:
  std::string path_;
  bool mounted_ = false;
  std::string why_;
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

// A file's size and FNV-1a hash, to compare contents without printing them.
std::string Fingerprint(const std::string& path) {
  const std::string bytes = ReadBytes(path);
  uint64_t hash = 14695981039346656037ull;
  for (const char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  char out[48];
  std::snprintf(out, sizeof out, "%zu bytes, hash %016llx", bytes.size(),
                static_cast<unsigned long long>(hash));
  return out;
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

// The statistics that ANALYZE in the sqlite3 tool leaves are SQLite's own
// tables, not a foreign schema.
TEST(PlaceMapFileTest, AcceptsTheStatisticsOfAnalyze) {
  TempDir dir;
  std::mt19937 rng(6);
  LiveMap live;
  Grow(live, rng, 100, 10, false);
  std::string error;
  ASSERT_TRUE(SaveMap(dir.File("m"), live, &error)) << error;
  Sql(dir.File("m"), "ANALYZE");
  PlaceMapContents loaded;
  ASSERT_TRUE(LoadMap(dir.File("m"), &loaded, &error)) << error;
  ExpectSameStructure(live.strings, *loaded.strings);
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
      {"newer format", [](const std::string& p) { Sql(p, "PRAGMA user_version=4"); },
       "format version 4, newer"},
      {"a width map without its width",
       [](const std::string& p) {
         Sql(p, "ALTER TABLE places DROP COLUMN thumbnail; PRAGMA user_version=2");
       },
       "not a complete place map"},
      {"pictures in a map of a format without them",
       [](const std::string& p) { Sql(p, "PRAGMA user_version=1"); },
       "its table places has other columns"},
      {"a grid outside 2 to 6",
       [](const std::string& p) {
         Sql(p, "CREATE TABLE map_cells(cells INTEGER NOT NULL); INSERT INTO map_cells VALUES(7)");
       },
       "the cells 7 is outside [2, 6]"},
      {"two grids",
       [](const std::string& p) {
         Sql(p,
             "CREATE TABLE map_cells(cells INTEGER NOT NULL); INSERT INTO map_cells VALUES(3), (4)");
       },
       "the map_cells table has more than one row"},
      {"a grid table in a map of format 1",
       [](const std::string& p) {
         Sql(p,
             "ALTER TABLE places DROP COLUMN thumbnail; PRAGMA user_version=1;"
             " CREATE TABLE map_cells(cells INTEGER NOT NULL); INSERT INTO map_cells VALUES(3)");
       },
       "holds the table map_cells, which a place map never has"},
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
      // Schemas that are not ours: each would let a save fail, hang or write
      // where the next load does not read.
      {"trigger that undoes the save",
       [](const std::string& p) {
         Sql(p, "CREATE TRIGGER t AFTER INSERT ON places BEGIN DELETE FROM places; END");
       },
       "holds the trigger t, which a place map never has"},
      {"recursive trigger",
       [](const std::string& p) {
         Sql(p,
             "CREATE TABLE log(x); CREATE TRIGGER grow AFTER INSERT ON log BEGIN INSERT INTO log "
             "SELECT x + 1 FROM log; END; CREATE TRIGGER start AFTER DELETE ON map BEGIN INSERT "
             "INTO log VALUES(1); END");
       },
       "which a place map never has"},
      {"view in place of a table",
       [](const std::string& p) {
         Sql(p,
             "ALTER TABLE places RENAME TO stored;"
             "CREATE VIEW places AS SELECT * FROM stored");
       },
       "holds the table stored"},
      {"recursive view",
       [](const std::string& p) {
         Sql(p,
             "CREATE VIEW forever AS WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 "
             "FROM n) SELECT i FROM n");
       },
       "holds the view forever"},
      {"extra column",
       [](const std::string& p) { Sql(p, "ALTER TABLE places ADD COLUMN note TEXT"); },
       "its table places has other columns, types or constraints"},
      {"check constraint",
       [](const std::string& p) {
         Sql(p,
             "ALTER TABLE map RENAME TO old; CREATE TABLE map( threshold REAL NOT NULL, "
             "min_key REAL NOT NULL, max_key REAL NOT NULL, location_counter INTEGER NOT NULL "
             "CHECK(location_counter < 1000)); INSERT INTO map SELECT * FROM old; "
             "DROP TABLE old");
       },
       "its table map has other columns"},
      {"other declared type",
       [](const std::string& p) {
         Sql(p,
             "ALTER TABLE place_index RENAME TO old; CREATE TABLE place_index( position INTEGER "
             "PRIMARY KEY, place TEXT NOT NULL, length INTEGER, runs BLOB); INSERT INTO "
             "place_index SELECT * FROM old; DROP TABLE old");
       },
       "its table place_index has other columns"},
      {"index",
       [](const std::string& p) { Sql(p, "CREATE INDEX by_location ON places(location)"); },
       "holds the index by_location"},
      {"counter that leaves no location",
       [](const std::string& p) { Sql(p, "UPDATE map SET location_counter = 4294967295"); },
       "is full: its location counter 4294967295 leaves no location to record"},
      {"counter above 32 bits",
       [](const std::string& p) { Sql(p, "UPDATE map SET location_counter = 4294967296"); },
       "the location counter 4294967296"},
      // A picture is checked like any value: a JPEG of at most 160 pixels a
      // side and 64 KiB, kept by a place that has an origin.
      {"a thumbnail that is not a JPEG",
       [](const std::string& p) {
         Sql(p, "UPDATE places SET thumbnail = x'89504E470D0A1A0A' WHERE position = 3");
       },
       "place at position 3 has a thumbnail that is not a JPEG picture: it does not start"},
      {"a thumbnail too long",
       [](const std::string& p) {
         Sql(p,
             "UPDATE places SET thumbnail = CAST(x'FFD8FF' || zeroblob(70000) AS BLOB) WHERE "
             "position = 3");
       },
       "place at position 3 has a thumbnail that is not a JPEG picture: it is 70003 bytes"},
      {"a thumbnail too wide",
       [](const std::string& p) {
         Sql(p,
             "UPDATE places SET thumbnail = x'FFD8FFC0001108006400C803011100021101031101FFD9'"
             " WHERE position = 3");
       },
       "it is 200 x 100 pixels"},
      {"a thumbnail cut short",
       [](const std::string& p) {
         Sql(p,
             "UPDATE places SET thumbnail = x'FFD8FFC0001108006400C80301110002' WHERE "
             "position = 3");
       },
       "it does not end as a whole JPEG file does"},
      {"a thumbnail that is text",
       [](const std::string& p) { Sql(p, "UPDATE places SET thumbnail = 'a' WHERE position = 3"); },
       "place at position 3 has a thumbnail that is not a JPEG picture (not a blob)"},
      {"a thumbnail without an origin",
       [](const std::string& p) {
         Sql(p,
             "UPDATE places SET video = NULL, frame = NULL, thumbnail = "
             "x'FFD8FFC0001108001000100301110002110103110100FFD9' WHERE position = 3");
       },
       "place 3 has a thumbnail but no origin"},
      // Loading switches a valid map to a write-ahead log; a refused map
      // without one must keep its rollback journal.
      {"rollback-journal map breaking an invariant",
       [](const std::string& p) {
         Sql(p, "PRAGMA journal_mode=DELETE; UPDATE map SET location_counter = 1");
       },
       "not below the location counter 1"},
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
    const std::string before = Fingerprint(path);
    const std::string listing = dir.Listing();
    PlaceMapContents map;
    EXPECT_FALSE(LoadMap(path, &map, &error));
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_EQ(Fingerprint(path), before);
    EXPECT_EQ(dir.Listing(), listing);
    // A program that only saves is refused by the same checks, before it
    // writes anything.
    PlaceMapFile file;
    if (file.Open(path, kThreshold, &error)) {
      EXPECT_EQ(std::string(c.message).find("not a place map as"), std::string::npos)
          << "opened a map with a foreign schema";
    }
    EXPECT_EQ(Fingerprint(path), before);
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

// A map made by the program before write-ahead logs and schema checks (a
// rollback-journal file, checked in) loads unchanged: every place as plain SQL
// reads it, and saving it back and loading it again keeps it.
TEST(PlaceMapFileTest, LoadsAMapOfTheFirstFormatAsPlainSqlReadsIt) {
  TempDir dir;
  const std::string path = dir.File("m");
  WriteBytes(path, ReadBytes(PLACEMAP_TESTDATA "/format1.map"));
  struct Row {
    int64_t location, length, runs, frame;
    std::string video;
  };
  std::vector<Row> rows;
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db,
                                 "SELECT location, length, length(runs) / 6, frame, video FROM "
                                 "places ORDER BY position",
                                 -1, &s, nullptr),
              SQLITE_OK);
    while (sqlite3_step(s) == SQLITE_ROW) {
      rows.push_back({sqlite3_column_int64(s, 0), sqlite3_column_int64(s, 1),
                      sqlite3_column_int64(s, 2), sqlite3_column_int64(s, 3),
                      reinterpret_cast<const char*>(sqlite3_column_text(s, 4))});
    }
    sqlite3_finalize(s);
    sqlite3_close(db);
  }
  ASSERT_EQ(rows.size(), 5u);
  std::string error;
  PlaceMapContents map;
  ASSERT_TRUE(LoadMap(path, &map, &error)) << error;
  EXPECT_EQ(map.locationCounter, 6u);
  EXPECT_EQ(map.threshold, 0.67);
  ASSERT_EQ(map.strings->entries->count, 5);
  size_t i = 0;
  for (const auto* n = map.strings->entries->head; n != nullptr; n = n->next, ++i) {
    SCOPED_TRACE("place " + std::to_string(i));
    EXPECT_EQ(n->value.data, rows[i].location);
    EXPECT_EQ(n->value.key.length, rows[i].length);
    EXPECT_EQ(n->value.key.RunCount(), rows[i].runs);
    const PlaceOrigin* origin = map.origins.Find(n->value.data);
    ASSERT_NE(origin, nullptr);
    EXPECT_EQ(origin->video, rows[i].video);
    EXPECT_EQ(origin->frame, rows[i].frame);
  }
  {
    PlaceMapFile file;
    ASSERT_TRUE(file.Open(path, kThreshold, &error)) << error;
    PlaceMapContents again;
    ASSERT_TRUE(file.Load(&again, &error)) << error;
    ASSERT_TRUE(
        file.Save(*again.strings, again.locationCounter, again.threshold, again.origins, &error))
        << error;
  }
  PlaceMapContents saved;
  ASSERT_TRUE(LoadMap(path, &saved, &error)) << error;
  ExpectSameStructure(*map.strings, *saved.strings);
  EXPECT_EQ(saved.locationCounter, map.locationCounter);
  EXPECT_EQ(dir.Listing(), "m\n");
}

// A program that keeps a read transaction on the map (a viewer, the sqlite3
// tool) through the save neither delays nor loses it, on a map made now and
// on one of the first format, which loading gives a write-ahead log.
TEST(PlaceMapFileTest, AReaderHoldingTheMapDoesNotCostTheSave) {
  std::mt19937 rng(4);
  LiveMap fresh;
  Grow(fresh, rng, 400, 14, false);
  for (const bool firstFormat : {false, true}) {
    SCOPED_TRACE(firstFormat ? "first format" : "made now");
    TempDir dir;
    const std::string path = dir.File("m");
    std::string error;
    if (firstFormat) {
      WriteBytes(path, ReadBytes(PLACEMAP_TESTDATA "/format1.map"));
    } else {
      ASSERT_TRUE(SaveMap(path, LiveMap(), &error)) << error;
    }
    PlaceMapFile file;
    PlaceMapContents map;
    ASSERT_TRUE(file.Open(path, kThreshold, &error) && file.Load(&map, &error)) << error;
    sqlite3* reader = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &reader), SQLITE_OK);
    sqlite3_stmt* count = nullptr;
    ASSERT_EQ(sqlite3_exec(reader, "BEGIN", nullptr, nullptr, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_prepare_v2(reader, "SELECT count(*) FROM places", -1, &count, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(count), SQLITE_ROW);
    const int64_t before = sqlite3_column_int64(count, 0);
    sqlite3_reset(count);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(file.Save(fresh.strings, fresh.counter, kThreshold, fresh.origins, &error))
        << error;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // The reader still sees its snapshot, until its transaction ends.
    ASSERT_EQ(sqlite3_step(count), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int64(count, 0), before);
    sqlite3_finalize(count);
    sqlite3_exec(reader, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(reader);
    EXPECT_LT(seconds, 20.0) << "the save waited for the reader";
    PlaceMapContents loaded;
    ASSERT_TRUE(LoadMap(path, &loaded, &error)) << error;
    ExpectSameStructure(fresh.strings, *loaded.strings);
    EXPECT_EQ(dir.Listing(), "m\n");
  }
}

// A process killed while it creates a map leaves no map or a whole empty one,
// and nothing else in the folder.
TEST(PlaceMapFileTest, AKilledCreationLeavesNothingOrTheWholeMap) {
  TempDir dir;
  const std::string path = dir.File("m");
  auto run = [&](double delay) {
    const pid_t child = fork();
    if (child == 0) {
      bool opened;
      {
        PlaceMapFile file;
        std::string e;
        opened = file.Open(path, kThreshold, &e);
      }
      _exit(opened ? 0 : 1);
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
    unlink(path.c_str());
  }
  constexpr int kRounds = 40;
  int made = 0;
  std::mt19937 rng(9);
  std::uniform_real_distribution<double> offset(0.0, 1.0);
  for (int round = 0; round < kRounds; ++round) {
    run(1.2 * childSeconds * (round + offset(rng)) / kRounds);
    // A kill after the map was made, while it is open, also leaves its log
    // and shared memory (m-wal, m-shm), which the next opening takes up.
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
      ++made;
      PlaceMapContents loaded;
      std::string error;
      ASSERT_TRUE(LoadMap(path, &loaded, &error)) << "round " << round << ": " << error;
      EXPECT_EQ(loaded.strings->entries->count, 0);
      ASSERT_EQ(dir.Listing(), "m\n") << "round " << round;
      unlink(path.c_str());
    } else {
      ASSERT_EQ(dir.Listing(), "") << "round " << round;
    }
  }
  std::printf("kills: %d left a whole map, %d nothing (an unkilled child takes %.3f s)\n", made,
              kRounds - made, childSeconds);
}

TEST(PlaceMapFileTest, NamesAreResolvedOrRefusedWithTheirReason) {
  TempDir dir;
  std::string error;
  {
    PlaceMapFile file;
    EXPECT_FALSE(file.Open(dir.File(std::string("a\0b", 3)), kThreshold, &error));
    EXPECT_EQ(error, "cannot be opened: the name contains a NUL byte");
  }
  ASSERT_EQ(symlink(dir.File("nowhere").c_str(), dir.File("dangling").c_str()), 0);
  {
    PlaceMapFile file;
    EXPECT_FALSE(file.Open(dir.File("dangling"), kThreshold, &error));
    EXPECT_EQ(error, "is a symbolic link to a file that does not exist");
  }
  // Through a link the real file is saved, with its log beside it.
  ASSERT_EQ(mkdir(dir.File("real").c_str(), 0755), 0);
  ASSERT_EQ(symlink("real/m", dir.File("link").c_str()), 0);
  std::mt19937 rng(2);
  LiveMap live;
  Grow(live, rng, 100, 10, false);
  ASSERT_TRUE(SaveMap(dir.File("real/m"), LiveMap(), &error)) << error;
  ASSERT_TRUE(SaveMap(dir.File("link"), live, &error)) << error;
  PlaceMapContents loaded;
  ASSERT_TRUE(LoadMap(dir.File("real/m"), &loaded, &error)) << error;
  ExpectSameStructure(live.strings, *loaded.strings);
  EXPECT_EQ(dir.Listing(), "dangling\nlink\nreal\n");
}

// On a disk filled to several levels, a new map is made whole or not at all,
// with the disk's own reason; and a save that cannot be made leaves the old
// map and puts this run's places in a new map in TMPDIR, which loads as the
// map the run would have saved.
TEST(PlaceMapFileTest, AFullDiskLosesNothingAndSaysSo) {
  {
    SmallDisk probe(1 << 20);
    if (!probe.mounted()) {
      GTEST_SKIP() << "full disks are not tested: a small tmpfs cannot be mounted here ("
                   << probe.why() << "); run as root where mounting is allowed";
    }
  }
  std::mt19937 rng(12);
  LiveMap small;
  Grow(small, rng, 30, 20, false);
  LiveMap big;
  Grow(big, rng, 3000, 60, false);
  const size_t kLevels[] = {0, 4 << 10, 16 << 10, 64 << 10, 256 << 10, 6 << 20};
  // Maps that cannot be saved go to a folder of this test's.
  TempDir tmp;
  const char* oldTmp = std::getenv("TMPDIR");
  const std::string savedTmp = oldTmp != nullptr ? oldTmp : "";
  const std::string tmpPath = tmp.File("");
  setenv("TMPDIR", tmpPath.substr(0, tmpPath.size() - 1).c_str(), 1);
  int createdCount = 0;
  int savedCount = 0;
  for (const size_t level : kLevels) {
    SCOPED_TRACE("free bytes " + std::to_string(level));
    {
      SmallDisk disk(8 << 20);
      ASSERT_TRUE(disk.mounted());
      disk.Fill(level);
      PlaceMapFile file;
      std::string error;
      const bool created = file.Open(disk.File("n"), kThreshold, &error);
      if (created) {
        ++createdCount;
        std::string saveError;
        file.Save(small.strings, small.counter, kThreshold, small.origins, &saveError);
      } else {
        EXPECT_TRUE(error.find("No space left on device") != std::string::npos ||
                    error.find("disk is full") != std::string::npos)
            << error;
        struct stat st;
        if (stat(disk.File("n").c_str(), &st) != 0) {
          EXPECT_EQ(errno, ENOENT);
        }
      }
      disk.Empty();
      std::system(("rm -f " + tmpPath + "*").c_str());
      // Whatever is there now is a whole map.
      if (access(disk.File("n").c_str(), F_OK) == 0) {
        PlaceMapContents loaded;
        ASSERT_TRUE(LoadMap(disk.File("n"), &loaded, &error)) << error;
      }
      FILE* p = popen(("ls -A " + disk.File("")).c_str(), "r");
      char buffer[256];
      std::string listing;
      while (std::fgets(buffer, sizeof buffer, p) != nullptr) listing += buffer;
      pclose(p);
      EXPECT_TRUE(listing == "" || listing == "n\n") << listing;
    }
    {
      SmallDisk disk(8 << 20);
      std::system(("rm -f " + tmpPath + "*").c_str());
      const std::string path = disk.File("m");
      std::string error;
      ASSERT_TRUE(SaveMap(path, small, &error)) << error;
      const std::string before = Fingerprint(path);
      // The map is opened while there is room; the disk fills during the run.
      PlaceMapFile file;
      PlaceMapContents map;
      ASSERT_TRUE(file.Open(path, kThreshold, &error) && file.Load(&map, &error)) << error;
      disk.Fill(level);
      const bool saved = file.Save(big.strings, big.counter, kThreshold, big.origins, &error);
      disk.Empty();
      PlaceMapContents loaded;
      ASSERT_TRUE(LoadMap(path, &loaded, &error)) << error;
      if (saved) {
        ++savedCount;
        ExpectSameStructure(big.strings, *loaded.strings);
        EXPECT_EQ(tmp.Listing(), "");
      } else {
        EXPECT_EQ(Fingerprint(path), before) << "the failed save changed the map";
        ExpectSameStructure(small.strings, *loaded.strings);
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        const std::string side = tmp.Listing();
        ASSERT_EQ(side.rfind("m.unsaved-", 0), 0u) << side << error;
        const std::string sidePath = tmp.File(side.substr(0, side.size() - 1));
        EXPECT_NE(error.find(sidePath), std::string::npos) << error;
        PlaceMapContents rescued;
        ASSERT_TRUE(LoadMap(sidePath, &rescued, &error)) << error;
        ExpectSameStructure(big.strings, *rescued.strings);
        EXPECT_EQ(rescued.locationCounter, big.counter);
        EXPECT_EQ(rescued.origins.size(), static_cast<size_t>(big.strings.entries->count));
      }
    }
  }
  if (oldTmp != nullptr) {
    setenv("TMPDIR", savedTmp.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
  // The levels span a disk too full for anything and one with room for all.
  EXPECT_GT(createdCount, 0);
  EXPECT_LT(createdCount, static_cast<int>(std::size(kLevels)));
  EXPECT_GT(savedCount, 0);
  EXPECT_LT(savedCount, static_cast<int>(std::size(kLevels)));
  std::printf("full disks: %d of %zu levels took a new map, %d the save\n", createdCount,
              std::size(kLevels), savedCount);
}

}  // namespace placefinder
