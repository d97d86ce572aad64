// PlaceMapFile: a place map on disk, one SQLite database file holding a
// collection of known strings, its location counter, the similarity threshold
// it was made with and the origin of every stored place.
//
// A program opens the file once per run, before its first frame, and keeps it
// open to the end:
//   - Open() creates a missing map (an empty one, written as a file without a
//     name and linked into place whole, so that a kill leaves nothing or the
//     whole map), checks that the file and the folder of the real file
//     (through symbolic links) can be written, takes the database's write
//     lock, waiting at most kLockWaitMs for another holder, and checks that
//     the file is a place map of a format it reads with exactly the tables of
//     one and nothing else (no trigger, view, index or other column). Nothing
//     stored in the file ever runs: triggers and views are off and the schema
//     is not trusted. The lock is held until Save() or the destructor, so two
//     runs on one map never overwrite each other's work: the second one is
//     refused.
//   - Load() reads and validates the whole map and rebuilds the collection
//     exactly as it was saved: entries in order, index entries in order
//     pointing at the same entries, each string's runs and length, minKey,
//     maxKey and the counter. A map whose counter leaves no location to
//     record is refused. A valid map is then switched to a write-ahead log
//     (FILE-wal and FILE-shm beside it while a program has it open), so that
//     readers (a viewer, the sqlite3 tool) never hold up the commit.
//   - Save() replaces the whole map in the one transaction that the lock
//     opened and commits it; the commit is atomic: a process killed at any
//     moment leaves the old map or the new one. When the commit cannot be
//     made (a full disk; a map without a write-ahead log that a reader holds
//     for 30 s) the map is left as it was and what the run learnt is written
//     to a new map FILE.unsaved-XXXXXX beside the real file (or in TMPDIR,
//     else /tmp, when that folder takes nothing), which the message names
//     and which loads like any map.
// Any failure leaves a message in `error` that reads after the file's name
// ("is empty (0 bytes), not a place map"), on one line. A file that Open() or
// Load() refuses is left byte for byte as it was.
//
// The layout of the file is described in the README (format versions 1 to 3).
// Not thread-safe.

#ifndef PLACEMAP_PLACEMAPFILE_H_
#define PLACEMAP_PLACEMAPFILE_H_

#include <cstdint>
#include <memory>
#include <string>

#include "MatchSimilar.h"
#include "PlaceOrigins.h"

struct sqlite3;

namespace placefinder {

using PlaceStrings = iMarkrunCollection<int16_t>;

// Everything a map holds, as Load() returns it.
struct PlaceMapContents {
  std::unique_ptr<PlaceStrings> strings = std::make_unique<PlaceStrings>();
  uint32_t locationCounter = 0;  // above every stored location index
  double threshold = 0.67;
  PlaceOrigins origins;  // of the stored places that have one
  int32_t width = 0;     // the frame width its strings were found at; 0: as they came
  int32_t cells = 1;     // the grid their boxes were counted over (CellString)
};

class PlaceMapFile {
 public:
  // The first format: no pictures, no width. Maps of it load as they are.
  static constexpr int kFormatVersion = 1;
  // A map that keeps a frame width (table map_width) has this version, so
  // that a program that knows nothing of widths refuses it instead of
  // comparing its strings with frames of another scale.
  static constexpr int kWidthFormatVersion = 2;
  // A map whose places table has the column thumbnail (a place's picture),
  // with or without map_width. Every map this program saves has this version;
  // versions 1 and 2 load as they are, without pictures.
  static constexpr int kThumbnailFormatVersion = 3;
  static constexpr int32_t kMaxWidth = 1 << 16;
  static constexpr int32_t kMaxCells = 6;
  static constexpr int kLockWaitMs = 3000;
  // The database's application id ("PlMp"), which marks a place map.
  static constexpr int32_t kApplicationId = 0x506c4d70;

  PlaceMapFile() = default;
  PlaceMapFile(const PlaceMapFile&) = delete;
  PlaceMapFile& operator=(const PlaceMapFile&) = delete;
  // Releases the lock; an unsaved run leaves the map as it was.
  ~PlaceMapFile();

  // Opens the map at `path` for reading and replacing, creating an empty map
  // (made with `threshold`) when nothing is there. Returns false with a
  // message on any problem. Call once.
  bool Open(const std::string& path, double threshold, std::string* error);
  // True when Open() created the map.
  bool created() const { return created_; }

  // Reads the whole map into `map`, validating every value.
  // REQUIRES: Open() succeeded.
  bool Load(PlaceMapContents* map, std::string* error);

  // Replaces the map's contents by `strings` (whose entries' data are their
  // location indices, all below `counter` and distinct), `counter`,
  // `threshold` and the origins of the stored places, and commits;
  // afterwards the file is closed and the lock released.
  // REQUIRES: Open() succeeded.
  bool Save(const PlaceStrings& strings, uint32_t counter, double threshold,
            const PlaceOrigins& origins, std::string* error);
  // The frame width the next Save() writes (0, the default: none, a map
  // without the table map_width). REQUIRES: 0 <= width <= kMaxWidth.
  void SetWidth(int32_t width) { width_ = width; }
  // The grid the next Save() writes (1, the default: none).
  // REQUIRES: 1 <= cells <= kMaxCells.
  void SetCells(int32_t cells) { cells_ = cells; }

 private:
  void Close();
  bool Lock(std::string* error);
  bool CheckFormat(std::string* error);
  bool ReadContents(PlaceMapContents* map, std::string* error);
  // Gives the map a write-ahead log unless it has one; sets `switched` when
  // the lock was let go and taken again for that.
  bool UseWriteAheadLog(bool* switched, std::string* error);


  sqlite3* db_ = nullptr;
  bool created_ = false;
  int32_t width_ = 0;
  int32_t cells_ = 1;
  bool hasWidth_ = false;  // the tables CheckFormat() found
  bool hasCells_ = false;
  int64_t version_ = 0;  // the format version CheckFormat() found
  std::string path_;
  std::string realPath_;  // through symbolic links
};

}  // namespace placefinder

#endif  // PLACEMAP_PLACEMAPFILE_H_
