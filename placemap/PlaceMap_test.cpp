#include "PlaceMap.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "Thumbnail.h"

namespace placefinder {

namespace {

using String = iMarkrun<int16_t>;

String Of(std::initializer_list<int16_t> ids) {
  iList<int16_t> list;
  for (int16_t id : ids) list.AddTail(id);
  String s;
  s.SetIds(list, false);
  return s;
}

// A random string of some of `ids` ids, in ascending order as detections
// come, so that strings share many runs.
String RandomString(std::mt19937& random, int ids) {
  iList<int16_t> list;
  const int length = 1 + static_cast<int>(random() % 300);
  std::vector<int16_t> picked;
  for (int i = 0; i < length; ++i) picked.push_back(static_cast<int16_t>(random() % ids));
  std::sort(picked.begin(), picked.end());
  for (int16_t id : picked) list.AddTail(id);
  String s;
  s.SetIds(list, false);
  return s;
}

class PlaceMapTest : public testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/placemap-XXXXXX";
    dir_ = mkdtemp(name);
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
  std::string File(const char* name) const { return dir_ + "/" + name; }
  std::string dir_;
};

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Everything that decides later results: entries in order with their strings
// and locations, which entries the index holds (in order), the range, the
// counter and the origins of the stored places.
std::string Layout(const PlaceMap& map) {
  std::ostringstream out;
  const PlaceMap::Strings& s = map.strings();
  out << "range " << s.minKey << " " << s.maxKey << " counter " << map.locationCounter() << "\n";
  for (const auto* node = s.entries->head; node != nullptr; node = node->next) {
    out << node->value.data << (node->value.indexNode != nullptr ? " indexed:" : ":");
    out << " length " << node->value.key.length;
    for (const auto* run = node->value.key.runs.entries->head; run != nullptr; run = run->next) {
      out << " " << run->value.key << "x" << run->value.data;
    }
    const PlaceOrigin* origin = map.origins().Find(node->value.data);
    if (origin != nullptr) out << " from " << origin->video << "#" << origin->frame;
    if (origin != nullptr && origin->thumbnail != nullptr) {
      out << " picture of " << origin->thumbnail->size() << " bytes";
    }
    out << "\n";
  }
  for (const auto* node = s.index->head; node != nullptr; node = node->next) {
    out << "index " << node->value.element->value.data << "\n";
  }
  return out.str();
}

TEST_F(PlaceMapTest, RecognisesSimilarStringsAndRecordsTheRest) {
  struct Step {
    std::initializer_list<int16_t> ids;
    std::optional<uint32_t> location;
    std::optional<uint32_t> recorded;
    double similarity;    // when recognised
    int64_t originFrame;  // of the recognised place
  };
  // 5 5 7 and 5 7 7 share ids but not counts: similarity 2/3, below 0.67, so
  // each records anew and, having the same ids, replaces the other's entry.
  const Step steps[] = {
      {{5, 5, 7}, std::nullopt, 0u, 0, 0},
      {{5, 5, 7}, 0u, std::nullopt, 1.0, 0},
      {{1, 2, 3}, std::nullopt, 1u, 0, 0},
      {{}, std::nullopt, 2u, 0, 0},
      {{}, 2u, std::nullopt, 1.0, 3},
      {{5, 7, 7}, std::nullopt, 3u, 0, 0},
      {{5, 7, 7}, 3u, std::nullopt, 1.0, 5},
      {{1, 2, 3, 4}, 1u, std::nullopt, 0.75, 2},
      {{5, 5, 7}, std::nullopt, 4u, 0, 0},
  };
  PlaceMap map;
  EXPECT_EQ(map.threshold(), 0.67);
  for (size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
    SCOPED_TRACE(i);
    const Step& step = steps[i];
    const Recognition r = map.Recognise(Of(step.ids), "v", static_cast<int64_t>(i));
    EXPECT_EQ(r.location, step.location);
    EXPECT_EQ(r.newLocation, step.recorded);
    EXPECT_FALSE(r.full);
    if (step.location) {
      EXPECT_EQ(r.similarity, step.similarity);
      ASSERT_NE(r.origin, nullptr);
      EXPECT_EQ(r.origin->video, "v");
      EXPECT_EQ(r.origin->frame, step.originFrame);
    } else {
      EXPECT_FALSE(r.similarity);
      EXPECT_EQ(r.origin, nullptr);
    }
  }
  EXPECT_EQ(map.locationCounter(), 5u);
  EXPECT_EQ(map.size(), 3u);  // two of the five places were replaced
}

TEST_F(PlaceMapTest, AcceptsASimilarityExactlyAtTheThreshold) {
  const String stored = Of({1, 2, 3, 4, 5, 6, 7});
  const String probe = Of({1, 2, 3, 4, 5, 8, 9});
  const double similarity = Similarity(stored, probe);
  ASSERT_GT(similarity, 0.5);
  for (const double threshold : {0.0, similarity, std::nextafter(similarity, 2.0), 1.0}) {
    SCOPED_TRACE(threshold);
    PlaceMap map(threshold);
    map.Recognise(stored, "v", 0);
    const Recognition r = map.Recognise(probe, "v", 1);
    EXPECT_EQ(r.location.has_value(), similarity >= threshold);
    EXPECT_EQ(r.newLocation.has_value(), similarity < threshold);
  }
}

// A copy for another threshold is the map as a run at that threshold would
// load it from this one's file: the same layout, and from then on the same
// answers to every string.
TEST_F(PlaceMapTest, ACopyForAnotherThresholdKeepsTheLayoutAndAnswersAsTheLoadedFile) {
  std::mt19937 random(7);
  PlaceMap original(0.8);
  std::vector<String> seen;
  for (int i = 0; i < 400; ++i) {
    const bool again = !seen.empty() && random() % 3 == 0;
    const String s = again ? seen[random() % seen.size()] : RandomString(random, 60);
    seen.push_back(s);
    original.Recognise(s, i % 2 ? "a" : "b", i);
  }
  ASSERT_GT(original.size(), 30u);
  std::string error;
  ASSERT_TRUE(original.SaveAs(File("m.map"), &error)) << error;
  PlaceMap loaded(0.8);
  ASSERT_EQ(loaded.Open(File("m.map"), false, false, &error), PlaceMap::OpenResult::kOpened)
      << error;
  EXPECT_EQ(Layout(loaded), Layout(original));

  const std::string before = Layout(original);
  for (const double threshold : {0.8, 0.5, 0.95}) {
    SCOPED_TRACE(threshold);
    std::unique_ptr<PlaceMap> copy = original.WithThreshold(threshold);
    std::unique_ptr<PlaceMap> sharing = PlaceMap::Sharing(original, threshold);
    std::unique_ptr<PlaceMap> fromFile = loaded.WithThreshold(threshold);
    EXPECT_EQ(copy->threshold(), threshold);
    EXPECT_EQ(sharing->threshold(), threshold);
    EXPECT_EQ(Layout(*copy), before);
    EXPECT_EQ(Layout(*sharing), before);
    std::mt19937 more(11);
    int recorded = 0;
    for (int i = 0; i < 200; ++i) {
      const String s = more() % 2 ? seen[more() % seen.size()] : RandomString(more, 60);
      const Recognition a = copy->Recognise(s, "c", i);
      const Recognition b = fromFile->Recognise(s, "c", i);
      const Recognition c = sharing->Recognise(s, "c", i);
      for (const Recognition* r : {&b, &c}) {
        ASSERT_EQ(a.location, r->location) << i;
        ASSERT_EQ(a.newLocation, r->newLocation) << i;
        ASSERT_EQ(a.similarity, r->similarity) << i;
        ASSERT_EQ(a.origin == nullptr, r->origin == nullptr) << i;
        if (a.origin != nullptr) {
          ASSERT_EQ(a.origin->frame, r->origin->frame) << i;
        }
      }
      recorded += a.newLocation.has_value();
    }
    EXPECT_GT(recorded, 0);
    EXPECT_EQ(Layout(*copy), Layout(*fromFile));
    EXPECT_EQ(Layout(*sharing), Layout(*fromFile));
    EXPECT_EQ(Layout(original), before) << "the copies changed the map they came from";
  }
}

TEST_F(PlaceMapTest, AMapKeepsItsThreshold) {
  std::string error;
  {
    PlaceMap made(0.8);
    ASSERT_EQ(made.Open(File("m.map"), true, true, &error), PlaceMap::OpenResult::kOpened);
    EXPECT_TRUE(made.created());
    made.Recognise(Of({1, 2}), "v", 0);
    ASSERT_TRUE(made.Save(&error)) << error;
  }
  const std::string bytes = ReadBytes(File("m.map"));
  struct Case {
    const char* what;
    double threshold;
    bool require;
    PlaceMap::OpenResult result;
    double after;
  };
  const Case cases[] = {
      {"no threshold asked for: the map's", 0.5, false, PlaceMap::OpenResult::kOpened, 0.8},
      {"the map's own asked for", 0.8, true, PlaceMap::OpenResult::kOpened, 0.8},
      {"another asked for", 0.5, true, PlaceMap::OpenResult::kOtherThreshold, 0.5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PlaceMap map(c.threshold);
    EXPECT_EQ(map.Open(File("m.map"), c.require, true, &error), c.result) << error;
    EXPECT_EQ(map.threshold(), c.after);
    EXPECT_FALSE(map.created());
    if (c.result == PlaceMap::OpenResult::kOpened) {
      EXPECT_EQ(map.size(), 1u);
      EXPECT_EQ(map.loadedPlaces(), 1u);
    } else {
      EXPECT_EQ(map.fileThreshold(), 0.8);
      EXPECT_EQ(map.size(), 0u) << "a refused map loads nothing";
    }
    map.Release();
    EXPECT_EQ(ReadBytes(File("m.map")), bytes);
  }
  PlaceMap missing;
  EXPECT_EQ(missing.Open(File("none.map"), false, false, &error), PlaceMap::OpenResult::kFailed);
  EXPECT_EQ(error, "does not exist");
  struct stat st;
  EXPECT_NE(lstat(File("none.map").c_str(), &st), 0) << "a map that may not be created was";
}

// A map whose counter is about to run out records up to the last location
// index and then says it is full instead of handing out an index twice.
TEST_F(PlaceMapTest, StopsRecordingWhenTheLocationIndicesRunOut) {
  std::string error;
  PlaceMap made;
  made.Recognise(Of({1}), "v", 0);
  ASSERT_TRUE(made.SaveAs(File("m.map"), &error)) << error;
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(File("m.map").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "UPDATE map SET location_counter = 4294967294", nullptr, nullptr,
                         nullptr),
            SQLITE_OK);
  sqlite3_close(db);

  PlaceMap map;
  ASSERT_EQ(map.Open(File("m.map"), false, false, &error), PlaceMap::OpenResult::kOpened) << error;
  EXPECT_EQ(map.Recognise(Of({2, 3}), "v", 1).newLocation, 4294967294u);
  const Recognition full = map.Recognise(Of({7, 8, 9}), "v", 2);
  EXPECT_TRUE(full.full);
  EXPECT_FALSE(full.location);
  EXPECT_FALSE(full.newLocation);
  EXPECT_EQ(map.Recognise(Of({1}), "v", 3).location, 0u) << "known places are still recognised";
  EXPECT_EQ(map.size(), 2u);
  EXPECT_EQ(map.locationCounter(), 4294967295u);
}

// The rules that RecognitionOptions change, each on a small hand-made
// sequence of frames. Stored strings are kept in ascending run count, so the
// first match is the one of fewest runs.
TEST_F(PlaceMapTest, RecognitionOptionsOnHandMadeSequences) {
  // 7 of the probe's 9 ids (7/9 = 0.78) and 9 of 10 (0.9); 0.7 to each other.
  const String fewer = Of({1, 2, 3, 4, 5, 6, 7});
  const String more = Of({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  const String probe = Of({1, 2, 3, 4, 5, 6, 7, 8, 9});
  // Two strings of 10 runs, each sharing 8 of the tie probe's 10 ids (0.8),
  // and 6 with each other.
  const String tieA = Of({1, 2, 3, 4, 5, 6, 7, 8, 20, 21});
  const String tieB = Of({3, 4, 5, 6, 7, 8, 9, 10, 30, 31});
  const String tie = Of({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  const String other = Of({50, 51});
  // 30 runs of their own: they widen the collection's range of run counts,
  // so that the search window around the probe holds both candidates.
  iList<int16_t> ids;
  for (int16_t id = 100; id < 130; ++id) ids.AddTail(id);
  String wide;
  wide.SetIds(ids, false);
  const String empty = Of({});
  const std::nullopt_t none = std::nullopt;
  struct Frame {
    const String* string;
    const char* video;
    int64_t frame;
    std::optional<uint32_t> location;
    std::optional<uint32_t> recorded;
    bool blank;
    bool held;
  };
  struct Case {
    const char* what;
    RecognitionOptions options;
    std::vector<Frame> frames;
  };
  RecognitionOptions best;
  best.best = true;
  best.threshold = 0.75;
  RecognitionOptions first = best;
  first.best = false;
  RecognitionOptions blank;
  blank.minDetections = 1;
  RecognitionOptions twice;
  twice.consistent = 2;
  RecognitionOptions query;
  query.query = true;
  // fewer and probe are 0.78 similar: under the threshold, over follow.
  RecognitionOptions follow;
  follow.threshold = 0.85;
  follow.follow = 0.7;
  follow.minDetections = 1;
  RecognitionOptions tooFar = follow;
  tooFar.follow = 0.8;
  const Case cases[] = {
      {"the first match",
       first,
       {{&wide, "v", 0, none, 0u, false, false},
        {&fewer, "v", 1, none, 1u, false, false},
        {&more, "v", 2, none, 2u, false, false},
        {&probe, "v", 3, 1u, none, false, false}}},
      {"the best match",
       best,
       {{&wide, "v", 0, none, 0u, false, false},
        {&fewer, "v", 1, none, 1u, false, false},
        {&more, "v", 2, none, 2u, false, false},
        {&probe, "v", 3, 2u, none, false, false}}},
      {"of equal similarities, the earlier",
       best,
       {{&tieA, "v", 0, none, 0u, false, false},
        {&tieB, "v", 1, none, 1u, false, false},
        {&tie, "v", 2, 0u, none, false, false}}},
      {"two empty strings match by default",
       RecognitionOptions(),
       {{&empty, "v", 0, none, 0u, false, false}, {&empty, "w", 0, 0u, none, false, false}}},
      {"a frame without detections shows no place",
       blank,
       {{&empty, "v", 0, none, none, true, false},
        {&empty, "w", 0, none, none, true, false},
        {&fewer, "w", 1, none, 0u, false, false},
        {&fewer, "w", 2, 0u, none, false, false}}},
      {"a match needs the frame before it in the same video",
       twice,
       {{&fewer, "v", 0, none, 0u, false, false},
        {&fewer, "v", 1, none, none, false, true},
        {&fewer, "v", 2, 0u, none, false, false},
        {&fewer, "w", 3, none, none, false, true},  // another video
        {&fewer, "w", 5, none, none, false, true},  // a frame skipped
        {&other, "w", 6, none, 1u, false, false},   // no match: recorded
        {&fewer, "w", 7, none, none, false, true},  // the run starts again
        {&fewer, "w", 8, 0u, none, false, false}}},
      {"a frame follows the place of the frame before it",
       follow,
       {{&fewer, "v", 0, none, 0u, false, false},
        {&probe, "v", 1, 0u, none, false, false},
        {&probe, "v", 2, 0u, none, false, false},
        {&fewer, "v", 3, 0u, none, false, false}}},
      {"only in the same video",
       follow,
       {{&fewer, "v", 0, none, 0u, false, false}, {&probe, "w", 1, none, 1u, false, false}}},
      {"only right after it",
       follow,
       {{&fewer, "v", 0, none, 0u, false, false}, {&probe, "v", 2, none, 1u, false, false}}},
      {"not after a frame that went into no place",
       follow,
       {{&fewer, "v", 0, none, 0u, false, false},
        {&empty, "v", 1, none, none, true, false},
        {&probe, "v", 2, none, 1u, false, false}}},
      {"not below the follow similarity",
       tooFar,
       {{&fewer, "v", 0, none, 0u, false, false}, {&probe, "v", 1, none, 1u, false, false}}},
      {"a map that is only searched records nothing",
       query,
       {{&fewer, "v", 0, none, none, false, false}, {&fewer, "v", 1, none, none, false, false}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PlaceMap map(c.options);
    std::vector<const String*> recorded;  // by location
    for (size_t i = 0; i < c.frames.size(); ++i) {
      SCOPED_TRACE(i);
      const Frame& f = c.frames[i];
      const Recognition r = map.Recognise(*f.string, f.video, f.frame);
      EXPECT_EQ(r.location, f.location);
      EXPECT_EQ(r.newLocation, f.recorded);
      EXPECT_EQ(r.blank, f.blank);
      EXPECT_EQ(r.held, f.held);
      EXPECT_EQ(r.similarity.has_value(), f.location.has_value());
      if (f.recorded) recorded.push_back(f.string);
      if (f.location) {
        ASSERT_NE(r.origin, nullptr);
        EXPECT_EQ(*r.similarity, Similarity(*recorded.at(*f.location), *f.string));
      }
    }
  }
}

// The ranking of a map that is only searched: every place by similarity,
// whatever the threshold, and nothing for a frame that shows no place.
TEST_F(PlaceMapTest, RanksPlacesWithoutChangingTheMap) {
  RecognitionOptions options;
  options.minDetections = 1;
  options.threshold = 0.75;
  PlaceMap map(options);
  map.Recognise(Of({1, 2, 3, 4, 5, 6, 7}), "v", 0);
  map.Recognise(Of({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}), "v", 1);
  map.Recognise(Of({50, 51}), "v", 2);
  const std::string before = Layout(map);
  std::vector<RankedPlace> ranked;
  map.Rank(Of({1, 2, 3, 4, 5, 6, 7, 8, 9}), 5, &ranked);
  ASSERT_EQ(ranked.size(), 3u);
  EXPECT_EQ(ranked[0].location, 1u);
  EXPECT_EQ(ranked[0].similarity, 0.9);
  ASSERT_NE(ranked[0].origin, nullptr);
  EXPECT_EQ(ranked[0].origin->frame, 1);
  EXPECT_EQ(ranked[1].location, 0u);
  EXPECT_EQ(ranked[2].location, 2u);
  EXPECT_EQ(ranked[2].similarity, 0.0);
  map.Rank(Of({}), 5, &ranked);
  EXPECT_TRUE(ranked.empty());
  EXPECT_EQ(Layout(map), before);
}

// A map keeps the width its strings were found at, as it keeps its
// threshold; a map without one has no map_width table. Both are of format
// version 3, the version that keeps pictures.
TEST_F(PlaceMapTest, AMapKeepsItsWidth) {
  auto version = [](const std::string& path) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT (SELECT user_version FROM pragma_user_version) * 10 + "
                       "(SELECT count(*) FROM sqlite_master WHERE name = 'map_width')",
                       -1, &s, nullptr);
    const int v = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int(s, 0) : -1;
    sqlite3_finalize(s);
    sqlite3_close(db);
    return v;
  };
  std::string error;
  RecognitionOptions narrow;
  narrow.width = 320;
  {
    PlaceMap made(narrow);
    ASSERT_EQ(made.Open(File("w.map"), true, true, &error, true), PlaceMap::OpenResult::kOpened);
    made.Recognise(Of({1, 2}), "v", 0);
    ASSERT_TRUE(made.Save(&error)) << error;
    PlaceMap plain;
    plain.Recognise(Of({1, 2}), "v", 0);
    ASSERT_TRUE(plain.SaveAs(File("plain.map"), &error)) << error;
  }
  EXPECT_EQ(version(File("w.map")), 31);
  EXPECT_EQ(version(File("plain.map")), 30);
  const std::string bytes = ReadBytes(File("w.map"));
  struct Case {
    const char* what;
    const char* file;
    int32_t width;
    bool require;
    PlaceMap::OpenResult result;
    int32_t after;
  };
  const Case cases[] = {
      {"no width asked for: the map's", "w.map", 0, false, PlaceMap::OpenResult::kOpened, 320},
      {"the map's own asked for", "w.map", 320, true, PlaceMap::OpenResult::kOpened, 320},
      {"another asked for", "w.map", 640, true, PlaceMap::OpenResult::kOtherWidth, 640},
      {"a width asked of a map without one", "plain.map", 320, true,
       PlaceMap::OpenResult::kOtherWidth, 320},
      {"a map without one, none asked for", "plain.map", 320, false, PlaceMap::OpenResult::kOpened,
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RecognitionOptions options;
    options.width = c.width;
    PlaceMap map(options);
    EXPECT_EQ(map.Open(File(c.file), false, false, &error, c.require), c.result) << error;
    EXPECT_EQ(map.width(), c.after);
    if (c.result == PlaceMap::OpenResult::kOtherWidth) {
      EXPECT_EQ(map.fileWidth(), c.file == std::string("w.map") ? 320 : 0);
      EXPECT_EQ(map.size(), 0u) << "a refused map loads nothing";
    }
    map.Release();
  }
  EXPECT_EQ(ReadBytes(File("w.map")), bytes);
  // Saved again, the map keeps its width; a map without one written over it
  // takes the width away with it.
  {
    PlaceMap map;
    ASSERT_EQ(map.Open(File("w.map"), false, false, &error), PlaceMap::OpenResult::kOpened);
    map.Recognise(Of({7, 8, 9}), "v", 1);
    ASSERT_TRUE(map.Save(&error)) << error;
  }
  EXPECT_EQ(version(File("w.map")), 31);
  PlaceMap plain;
  ASSERT_TRUE(plain.SaveAs(File("w.map"), &error)) << error;
  EXPECT_EQ(version(File("w.map")), 30);
  PlaceMap reread;
  ASSERT_EQ(reread.Open(File("w.map"), false, false, &error), PlaceMap::OpenResult::kOpened);
  EXPECT_EQ(reread.width(), 0);
}

// A map keeps the grid its strings were counted over as it keeps its width,
// in a table of its own (with or without a width).
TEST_F(PlaceMapTest, AMapKeepsItsGrid) {
  std::string error;
  RecognitionOptions grid;
  grid.cells = 6;
  {
    PlaceMap made(grid);
    ASSERT_EQ(made.Open(File("g.map"), true, true, &error, true, true),
              PlaceMap::OpenResult::kOpened);
    made.Recognise(Of({1, 2}), "v", 0);
    ASSERT_TRUE(made.Save(&error)) << error;
    PlaceMap plain;
    plain.Recognise(Of({1, 2}), "v", 0);
    ASSERT_TRUE(plain.SaveAs(File("plain.map"), &error)) << error;
  }
  const std::string bytes = ReadBytes(File("g.map"));
  struct Case {
    const char* what;
    const char* file;
    int32_t cells;
    bool require;
    PlaceMap::OpenResult result;
    int32_t after;
  };
  const Case cases[] = {
      {"no grid asked for: the map's", "g.map", 1, false, PlaceMap::OpenResult::kOpened, 6},
      {"the map's own asked for", "g.map", 6, true, PlaceMap::OpenResult::kOpened, 6},
      {"another asked for", "g.map", 4, true, PlaceMap::OpenResult::kOtherCells, 4},
      {"a grid asked of a map without one", "plain.map", 6, true, PlaceMap::OpenResult::kOtherCells,
       6},
      {"a map without one, none asked for", "plain.map", 6, false, PlaceMap::OpenResult::kOpened,
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RecognitionOptions options;
    options.cells = c.cells;
    PlaceMap map(options);
    EXPECT_EQ(map.Open(File(c.file), false, false, &error, false, c.require), c.result) << error;
    EXPECT_EQ(map.cells(), c.after);
    EXPECT_EQ(map.width(), 0);
    if (c.result == PlaceMap::OpenResult::kOtherCells) {
      EXPECT_EQ(map.fileCells(), c.file == std::string("g.map") ? 6 : 1);
      EXPECT_EQ(map.size(), 0u) << "a refused map loads nothing";
    } else {
      EXPECT_EQ(map.size(), 1u);
    }
    map.Release();
  }
  EXPECT_EQ(ReadBytes(File("g.map")), bytes);
  // A grid and a width together; a map without either written over them
  // takes both away.
  {
    RecognitionOptions both = grid;
    both.width = 400;
    PlaceMap map(both);
    ASSERT_EQ(map.Open(File("g.map"), false, false, &error), PlaceMap::OpenResult::kOpened);
    EXPECT_EQ(map.cells(), 6);
    EXPECT_EQ(map.width(), 0) << "the map's width, which it has none of";
    PlaceMap wide(both);
    wide.Recognise(Of({3}), "v", 0);
    ASSERT_TRUE(wide.SaveAs(File("both.map"), &error)) << error;
  }
  PlaceMap reread;
  ASSERT_EQ(reread.Open(File("both.map"), false, false, &error), PlaceMap::OpenResult::kOpened);
  EXPECT_EQ(reread.cells(), 6);
  EXPECT_EQ(reread.width(), 400);
  reread.Release();
  PlaceMap plain;
  ASSERT_TRUE(plain.SaveAs(File("both.map"), &error)) << error;
  PlaceMap again;
  ASSERT_EQ(again.Open(File("both.map"), false, false, &error), PlaceMap::OpenResult::kOpened);
  EXPECT_EQ(again.cells(), 1);
  EXPECT_EQ(again.width(), 0);
}

// The JPEG bytes of a noisy picture of `width` x `height` pixels.
std::string Picture(int width, int height, unsigned seed) {
  cv::Mat image(height, width, CV_8UC3);
  cv::theRNG().state = seed;
  cv::randu(image, 0, 255);
  std::vector<uchar> jpeg;
  cv::imencode(".jpg", image, jpeg);
  return std::string(jpeg.begin(), jpeg.end());
}

// A map of the first format (checked in, from before pictures) loads with no
// pictures, runs, and is saved as format 3 with the picture of the place the
// run recorded; loaded again, it holds exactly that, and a picture that is no
// JPEG picture is refused before it can reach the file.
TEST_F(PlaceMapTest, AFirstFormatMapLoadsRunsAndIsSavedWithPictures) {
  const std::string path = File("old.map");
  {
    std::ofstream out(path, std::ios::binary);
    out << ReadBytes(PLACEMAP_TESTDATA "/format1.map");
  }
  std::string error;
  std::string layout;
  const std::string picture = Picture(160, 120, 3);
  uint32_t recorded = 0;
  {
    PlaceMap map;
    ASSERT_EQ(map.Open(path, false, false, &error), PlaceMap::OpenResult::kOpened) << error;
    ASSERT_EQ(map.size(), 5u);
    map.origins().ForEach([](uint32_t, const PlaceOrigin& origin) {
      EXPECT_EQ(origin.thumbnail, nullptr) << "a map of the first format has no pictures";
    });
    const Recognition r = map.Recognise(Of({900, 901, 902, 903}), "new.avi", 7);
    ASSERT_TRUE(r.newLocation.has_value());
    recorded = *r.newLocation;
    EXPECT_FALSE(map.SetThumbnail(recorded, "not a picture", &error));
    EXPECT_NE(error.find("does not start as a JPEG file does"), std::string::npos) << error;
    EXPECT_FALSE(map.SetThumbnail(recorded, Picture(161, 20, 4), &error));
    EXPECT_NE(error.find("161 x 20 pixels"), std::string::npos) << error;
    EXPECT_FALSE(map.SetThumbnail(recorded + 1, picture, &error)) << "no such place";
    EXPECT_EQ(map.origins().Find(recorded)->thumbnail, nullptr);
    ASSERT_TRUE(map.SetThumbnail(recorded, picture, &error)) << error;
    layout = Layout(map);
    ASSERT_TRUE(map.Save(&error)) << error;
  }
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT (SELECT user_version FROM pragma_user_version), "
                       "(SELECT count(thumbnail) FROM places)",
                       -1, &s, nullptr);
    ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(s, 0), 3);
    EXPECT_EQ(sqlite3_column_int(s, 1), 1);
    sqlite3_finalize(s);
    sqlite3_close(db);
  }
  // Loaded and saved again, the pictures stay.
  for (int round = 0; round < 2; ++round) {
    PlaceMap again;
    ASSERT_EQ(again.Open(path, false, false, &error), PlaceMap::OpenResult::kOpened) << error;
    EXPECT_EQ(Layout(again), layout);
    const PlaceOrigin* origin = again.origins().Find(recorded);
    ASSERT_NE(origin, nullptr);
    ASSERT_NE(origin->thumbnail, nullptr);
    EXPECT_EQ(*origin->thumbnail, picture);
    ASSERT_TRUE(again.Save(&error)) << error;
  }
}

}  // namespace

}  // namespace placefinder
