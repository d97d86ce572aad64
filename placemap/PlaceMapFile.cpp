#include "PlaceMapFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace placefinder {

namespace {

using String = iMarkrun<int16_t>;
using StringNode = iListNode<PlaceStrings::Entry>;

// A run is stored as its id (2 bytes) and count (4 bytes), little-endian.
constexpr int kRunBytes = 6;
// The commit may have to wait for readers (the sqlite3 tool, say) to finish.
constexpr int kCommitWaitMs = 30000;

const char kSchema[] =
    "CREATE TABLE map("
    " threshold REAL NOT NULL,"
    " min_key REAL NOT NULL,"
    " max_key REAL NOT NULL,"
    " location_counter INTEGER NOT NULL);"
    "CREATE TABLE places("
    " position INTEGER PRIMARY KEY,"
    " location INTEGER NOT NULL,"
    " length INTEGER NOT NULL,"
    " runs BLOB NOT NULL,"
    " video TEXT,"
    " frame INTEGER);"
    "CREATE TABLE place_index("
    " position INTEGER PRIMARY KEY,"
    " place INTEGER NOT NULL,"
    " length INTEGER,"
    " runs BLOB);";

std::string Errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

std::string Folder(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A prepared statement that finalizes itself.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  bool ok() const { return rc_ == SQLITE_OK; }
  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  int rc_;
};

void AppendRuns(const String& s, std::string& out) {
  for (const auto* node = s.runs.entries->head; node != nullptr; node = node->next) {
    const uint16_t id = static_cast<uint16_t>(node->value.key);
    const uint32_t count = static_cast<uint32_t>(node->value.data);
    const char bytes[kRunBytes] = {static_cast<char>(id & 0xFF),
                                   static_cast<char>(id >> 8),
                                   static_cast<char>(count & 0xFF),
                                   static_cast<char>((count >> 8) & 0xFF),
                                   static_cast<char>((count >> 16) & 0xFF),
                                   static_cast<char>(count >> 24)};
    out.append(bytes, kRunBytes);
  }
}

// Rebuilds `s` from a stored length and runs, with the layout every string
// of a collection has (each stored string is a copy): the runs in id order,
// index entries at runs 0, 10, 20, ..., the range from the first to the last
// id. Checks that ids ascend, counts are at least 1 and sum to at most the
// length; returns false with the reason otherwise.
bool ParseString(int64_t length, const void* blob, int bytes, String* s, std::string* why) {
  if (length < 0 || length > INT32_MAX) {
    *why = "a length of " + std::to_string(length);
    return false;
  }
  if (bytes % kRunBytes != 0) {
    *why = "runs of " + std::to_string(bytes) + " bytes, not whole (id, count) pairs";
    return false;
  }
  s->length = static_cast<int32_t>(length);
  String::Runs& runs = s->runs;
  const auto* p = static_cast<const unsigned char*>(blob);
  int64_t sum = 0;
  for (int i = 0; i < bytes / kRunBytes; ++i, p += kRunBytes) {
    const int16_t id = static_cast<int16_t>(static_cast<uint16_t>(p[0] | p[1] << 8));
    const int32_t count =
        static_cast<int32_t>(static_cast<uint32_t>(p[2]) | static_cast<uint32_t>(p[3]) << 8 |
                             static_cast<uint32_t>(p[4]) << 16 | static_cast<uint32_t>(p[5]) << 24);
    if (count < 1) {
      *why = "run " + std::to_string(i) + " has the count " + std::to_string(count);
      return false;
    }
    if (i > 0 && !(runs.entries->tail->value.key < id)) {
      *why = "run " + std::to_string(i) + " does not follow the ids before it in ascending order";
      return false;
    }
    sum += count;
    if (sum > length) {
      *why = "counts that add up to more than its length " + std::to_string(length);
      return false;
    }
    const double k = static_cast<double>(id);
    if (i == 0) {
      runs.minKey = runs.maxKey = k;
    } else {
      runs.maxKey = k;
    }
    auto* node = runs.entries->AddTail(String::Entry{id, count, nullptr});
    if (i % 10 == 0)
      node->value.indexNode = runs.index->AddTail(String::Runs::IndexEntry{id, node});
  }
  return true;
}

bool SameCounts(const String& a, const String& b) {
  if (a.length != b.length || a.RunCount() != b.RunCount()) return false;
  const auto* x = a.runs.entries->head;
  const auto* y = b.runs.entries->head;
  for (; x != nullptr; x = x->next, y = y->next) {
    if (x->value.key != y->value.key || x->value.data != y->value.data) return false;
  }
  return true;
}

bool IsInteger(sqlite3_stmt* stmt, int column) {
  return sqlite3_column_type(stmt, column) == SQLITE_INTEGER;
}
bool IsNumber(sqlite3_stmt* stmt, int column) {
  const int type = sqlite3_column_type(stmt, column);
  return type == SQLITE_INTEGER || type == SQLITE_FLOAT;
}

}  // namespace

PlaceMapFile::~PlaceMapFile() { Close(); }

void PlaceMapFile::Close() {
  if (db_ != nullptr) sqlite3_close_v2(db_);  // rolls back an open transaction
  db_ = nullptr;
}

bool PlaceMapFile::Open(const std::string& path, double threshold, std::string* error) {
  path_ = path;
  for (int attempt = 0;; ++attempt) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
      if (errno != ENOENT || attempt > 0) {
        *error = Errno("cannot be read");
        return false;
      }
      // Made in full under a temporary name in the same folder, then linked
      // into place, which fails rather than replace a map that another run
      // created meanwhile (that one is then opened like any other).
      std::string temp = Folder(path) + "/." + BaseName(path) + ".new-XXXXXX";
      const int fd = mkstemp(&temp[0]);
      if (fd < 0) {
        *error = Errno(("cannot be created in the folder " + Folder(path)).c_str());
        return false;
      }
      // mkstemp() makes the file private; a map gets the mode any new file
      // of the user's would get.
      const mode_t mask = umask(0);
      umask(mask);
      fchmod(fd, 0666 & ~mask);
      close(fd);
      sqlite3* db = nullptr;
      bool made = sqlite3_open_v2(temp.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK;
      if (made) {
        char pragmas[96];
        std::snprintf(pragmas, sizeof pragmas, "PRAGMA application_id=%d;PRAGMA user_version=%d;",
                      kApplicationId, kFormatVersion);
        made = sqlite3_exec(db, pragmas, nullptr, nullptr, nullptr) == SQLITE_OK &&
               sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK &&
               sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr) == SQLITE_OK;
        Statement insert(db, "INSERT INTO map VALUES(?, 0.0, 0.0, 0)");
        made = made && insert.ok() &&
               sqlite3_bind_double(insert.get(), 1, threshold) == SQLITE_OK &&
               sqlite3_step(insert.get()) == SQLITE_DONE;
        made = made && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
        if (!made) *error = std::string("cannot be created: ") + sqlite3_errmsg(db);
      } else {
        *error = "cannot be created: " + std::string(db ? sqlite3_errmsg(db) : "out of memory");
      }
      sqlite3_close_v2(db);
      if (!made) {
        unlink(temp.c_str());
        return false;
      }
      const int linked = link(temp.c_str(), path.c_str());
      const int linkError = errno;
      unlink(temp.c_str());
      if (linked != 0 && linkError != EEXIST) {
        errno = linkError;
        *error = Errno("cannot be created");
        return false;
      }
      created_ = linked == 0;
      continue;  // open what is now there
    }
    if (S_ISDIR(st.st_mode)) {
      *error = "is a directory, not a place map";
      return false;
    }
    if (!S_ISREG(st.st_mode)) {
      *error = "is not a regular file, not a place map";
      return false;
    }
    if (st.st_size == 0) {
      *error = "is empty (0 bytes), not a place map";
      return false;
    }
    break;
  }

  // Plain reads first, for clear messages; none of them changes the file.
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) {
    *error = Errno("cannot be read");
    return false;
  }
  char header[16];
  const ssize_t got = read(fd, header, sizeof header);
  close(fd);
  if (got != static_cast<ssize_t>(sizeof header) ||
      std::memcmp(header, "SQLite format 3", sizeof header) != 0) {
    *error = got < 0 ? Errno("cannot be read") : "is not an SQLite database, not a place map";
    return false;
  }
  const int writable = open(path.c_str(), O_RDWR);
  if (writable < 0) {
    *error = Errno("cannot be written");
    return false;
  }
  close(writable);
  // Saving creates a journal beside the map, so its folder must take files.
  std::string probe = Folder(path) + "/." + BaseName(path) + ".probe-XXXXXX";
  const int probeFd = mkstemp(&probe[0]);
  if (probeFd < 0) {
    *error =
        Errno(("cannot be saved: its folder " + Folder(path) + " does not take new files").c_str());
    return false;
  }
  close(probeFd);
  unlink(probe.c_str());

  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    *error = "cannot be opened: " + std::string(db_ ? sqlite3_errmsg(db_) : "out of memory");
    Close();
    return false;
  }
  if (sqlite3_db_readonly(db_, "main") == 1) {
    *error = "cannot be written";
    Close();
    return false;
  }
  sqlite3_busy_timeout(db_, kLockWaitMs);
  const int rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    if (rc == SQLITE_BUSY) {
      *error = "is in use by another program (its lock was not released within " +
               std::to_string(kLockWaitMs / 1000) + " s)";
    } else if (rc == SQLITE_CORRUPT) {
      *error = "is damaged (truncated or overwritten): " + std::string(sqlite3_errmsg(db_));
    } else if (rc == SQLITE_NOTADB) {
      *error = "is not an SQLite database, not a place map";
    } else {
      *error = "cannot be opened: " + std::string(sqlite3_errmsg(db_));
    }
    Close();
    return false;
  }
  return true;
}

bool PlaceMapFile::Load(PlaceMapContents* map, std::string* error) {
  if (db_ == nullptr) {
    *error = "is not open";
    return false;
  }
  auto damaged = [&](const char* what) {
    *error = std::string(what) + ": " + sqlite3_errmsg(db_);
    return false;
  };
  auto broken = [&](const std::string& what) {
    *error = "breaks an invariant: " + what;
    return false;
  };

  // A whole-file check first: a truncated or damaged file is refused as such
  // rather than read in part.
  {
    Statement check(db_, "PRAGMA quick_check");
    if (!check.ok()) return damaged("is damaged (truncated or overwritten)");
    if (sqlite3_step(check.get()) != SQLITE_ROW) {
      return damaged("is damaged (truncated or overwritten)");
    }
    const char* verdict = reinterpret_cast<const char*>(sqlite3_column_text(check.get(), 0));
    if (verdict == nullptr || std::strcmp(verdict, "ok") != 0) {
      *error = std::string("is damaged (truncated or overwritten): ") +
               (verdict ? verdict : "unknown fault");
      return false;
    }
  }
  auto pragma = [&](const char* sql, int64_t* value) {
    Statement s(db_, sql);
    if (!s.ok() || sqlite3_step(s.get()) != SQLITE_ROW) return false;
    *value = sqlite3_column_int64(s.get(), 0);
    return true;
  };
  int64_t application = 0;
  int64_t version = 0;
  if (!pragma("PRAGMA application_id", &application) || !pragma("PRAGMA user_version", &version)) {
    return damaged("is not a readable SQLite database");
  }
  if (application != kApplicationId) {
    *error = "is an SQLite database but not a place map";
    return false;
  }
  if (version > kWidthFormatVersion) {
    *error = "has the format version " + std::to_string(version) +
             ", newer than this program reads (" + std::to_string(kWidthFormatVersion) + ")";
    return false;
  }
  if (version < 1) return broken("the format version " + std::to_string(version));

  auto fresh = std::make_unique<PlaceStrings>();
  PlaceOrigins origins;
  int64_t counter = 0;
  double threshold = 0;
  {
    Statement meta(db_, "SELECT threshold, min_key, max_key, location_counter FROM map");
    if (!meta.ok()) return damaged("is not a complete place map");
    sqlite3_stmt* s = meta.get();
    if (sqlite3_step(s) != SQLITE_ROW) return broken("the map table has no row");
    if (!IsNumber(s, 0) || !IsNumber(s, 1) || !IsNumber(s, 2) || !IsInteger(s, 3)) {
      return broken("the map row holds a value of the wrong type");
    }
    threshold = sqlite3_column_double(s, 0);
    fresh->minKey = sqlite3_column_double(s, 1);
    fresh->maxKey = sqlite3_column_double(s, 2);
    counter = sqlite3_column_int64(s, 3);
    if (!(threshold >= 0 && threshold <= 1)) {
      return broken("the threshold " + std::to_string(threshold) + " is outside [0, 1]");
    }
    if (!std::isfinite(fresh->minKey) || !std::isfinite(fresh->maxKey) ||
        fresh->minKey > fresh->maxKey) {
      return broken("minKey and maxKey do not form a range");
    }
    if (counter < 0 || counter > UINT32_MAX) {
      return broken("the location counter " + std::to_string(counter));
    }
    if (sqlite3_step(s) != SQLITE_DONE) return broken("the map table has more than one row");
  }

  std::vector<StringNode*> nodes;
  {
    Statement places(db_,
                     "SELECT position, location, length, runs, video, frame FROM places "
                     "ORDER BY position");
    if (!places.ok()) return damaged("is not a complete place map");
    sqlite3_stmt* s = places.get();
    std::unordered_set<int64_t> locations;
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      const int64_t position = static_cast<int64_t>(nodes.size());
      const std::string place = "place " + std::to_string(position);
      if (!IsInteger(s, 0) || sqlite3_column_int64(s, 0) != position) {
        return broken("the place positions do not count up from 0 at " + place);
      }
      if (!IsInteger(s, 1) || !IsInteger(s, 2) || sqlite3_column_type(s, 3) != SQLITE_BLOB) {
        return broken(place + " holds a value of the wrong type");
      }
      const int64_t location = sqlite3_column_int64(s, 1);
      if (location < 0 || location >= counter) {
        return broken(place + " has the location " + std::to_string(location) +
                      ", not below the location counter " + std::to_string(counter));
      }
      if (!locations.insert(location).second) {
        return broken(place + " repeats the location " + std::to_string(location));
      }
      String string;
      std::string why;
      if (!ParseString(sqlite3_column_int64(s, 2), sqlite3_column_blob(s, 3),
                       sqlite3_column_bytes(s, 3), &string, &why)) {
        return broken(place + " has " + why);
      }
      const int videoType = sqlite3_column_type(s, 4);
      const int frameType = sqlite3_column_type(s, 5);
      if (videoType == SQLITE_TEXT && frameType == SQLITE_INTEGER &&
          sqlite3_column_int64(s, 5) >= 0) {
        origins.Record(static_cast<uint32_t>(location),
                       reinterpret_cast<const char*>(sqlite3_column_text(s, 4)),
                       sqlite3_column_int64(s, 5));
      } else if (videoType != SQLITE_NULL || frameType != SQLITE_NULL) {
        return broken(place + " has an origin that is not a video name and a frame number");
      }
      const double k = static_cast<double>(string.RunCount());
      if (k < fresh->minKey || k > fresh->maxKey) {
        return broken(place + " has " + std::to_string(string.RunCount()) +
                      " runs, outside minKey and maxKey");
      }
      if (!nodes.empty() && string.RunCount() < nodes.back()->value.key.RunCount()) {
        return broken(place + " has fewer runs than the place before it");
      }
      nodes.push_back(fresh->entries->AddTail(
          PlaceStrings::Entry{std::move(string), static_cast<uint32_t>(location), nullptr}));
    }
    if (rc != SQLITE_DONE) return damaged("cannot be read");
  }
  {
    Statement index(db_, "SELECT position, place, length, runs FROM place_index ORDER BY position");
    if (!index.ok()) return damaged("is not a complete place map");
    sqlite3_stmt* s = index.get();
    int64_t position = 0;
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      const std::string entry = "index entry " + std::to_string(position);
      if (!IsInteger(s, 0) || sqlite3_column_int64(s, 0) != position) {
        return broken("the index positions do not count up from 0 at " + entry);
      }
      if (!IsInteger(s, 1)) return broken(entry + " holds a value of the wrong type");
      const int64_t place = sqlite3_column_int64(s, 1);
      if (place < 0 || place >= static_cast<int64_t>(nodes.size())) {
        return broken(entry + " refers to the place " + std::to_string(place) +
                      ", which does not exist");
      }
      StringNode* node = nodes[place];
      if (node->value.indexNode != nullptr) {
        return broken(entry + " indexes the place " + std::to_string(place) + " a second time");
      }
      // The index's own copy of the key: the entry's string unless the copy
      // was stored (it differs when the entry was replaced by an equal string).
      String copy;
      const int lengthType = sqlite3_column_type(s, 2);
      const int runsType = sqlite3_column_type(s, 3);
      if (lengthType == SQLITE_NULL && runsType == SQLITE_NULL) {
        copy = node->value.key;
      } else {
        std::string why;
        if (lengthType != SQLITE_INTEGER || runsType != SQLITE_BLOB) {
          return broken(entry + " holds a value of the wrong type");
        }
        if (!ParseString(sqlite3_column_int64(s, 2), sqlite3_column_blob(s, 3),
                         sqlite3_column_bytes(s, 3), &copy, &why)) {
          return broken(entry + " has " + why);
        }
        if (!(copy == node->value.key)) {
          return broken(entry + " holds a key with other ids than its place's");
        }
      }
      node->value.indexNode =
          fresh->index->AddTail(PlaceStrings::IndexEntry{std::move(copy), node});
      ++position;
    }
    if (rc != SQLITE_DONE) return damaged("cannot be read");
  }

  // The frame width, which only maps of version 2 have.
  int64_t width = 0;
  if (version >= kWidthFormatVersion) {
    Statement read(db_, "SELECT width FROM map_width");
    if (!read.ok()) return damaged("is not a complete place map");
    sqlite3_stmt* s = read.get();
    if (sqlite3_step(s) != SQLITE_ROW) return broken("the map_width table has no row");
    if (!IsInteger(s, 0)) return broken("the map_width row holds a value of the wrong type");
    width = sqlite3_column_int64(s, 0);
    if (width < 1 || width > kMaxWidth) {
      return broken("the width " + std::to_string(width) + " is outside [1, " +
                    std::to_string(kMaxWidth) + "]");
    }
    if (sqlite3_step(s) != SQLITE_DONE) return broken("the map_width table has more than one row");
  }

  map->strings = std::move(fresh);
  map->width = static_cast<int32_t>(width);
  map->locationCounter = static_cast<uint32_t>(counter);
  map->threshold = threshold;
  map->origins = std::move(origins);
  return true;
}

bool PlaceMapFile::Save(const PlaceStrings& strings, uint32_t counter, double threshold,
                        const PlaceOrigins& origins, std::string* error) {
  if (db_ == nullptr) {
    *error = "is not open";
    return false;
  }
  // Refuse to write what Load() would refuse to read.
  std::unordered_map<const StringNode*, int64_t> positions;
  {
    std::unordered_set<uint32_t> locations;
    int64_t position = 0;
    for (const StringNode* node = strings.entries->head; node != nullptr; node = node->next) {
      if (node->value.data >= counter || !locations.insert(node->value.data).second) {
        *error = "cannot be saved: the location " + std::to_string(node->value.data) +
                 " is repeated or not below the counter " + std::to_string(counter);
        return false;
      }
      positions.emplace(node, position++);
    }
  }
  auto failed = [&] {
    *error = std::string("cannot be saved: ") + sqlite3_errmsg(db_);
    Close();
    return false;
  };
  if (sqlite3_exec(db_, "DELETE FROM places; DELETE FROM place_index; DELETE FROM map;", nullptr,
                   nullptr, nullptr) != SQLITE_OK) {
    return failed();
  }
  {
    Statement meta(db_, "INSERT INTO map VALUES(?, ?, ?, ?)");
    if (!meta.ok()) return failed();
    sqlite3_bind_double(meta.get(), 1, threshold);
    sqlite3_bind_double(meta.get(), 2, strings.minKey);
    sqlite3_bind_double(meta.get(), 3, strings.maxKey);
    sqlite3_bind_int64(meta.get(), 4, counter);
    if (sqlite3_step(meta.get()) != SQLITE_DONE) return failed();
  }
  std::string runs;
  {
    Statement insert(db_, "INSERT INTO places VALUES(?, ?, ?, ?, ?, ?)");
    if (!insert.ok()) return failed();
    sqlite3_stmt* s = insert.get();
    int64_t position = 0;
    for (const StringNode* node = strings.entries->head; node != nullptr; node = node->next) {
      const String& key = node->value.key;
      runs.clear();
      AppendRuns(key, runs);
      sqlite3_bind_int64(s, 1, position++);
      sqlite3_bind_int64(s, 2, node->value.data);
      sqlite3_bind_int64(s, 3, key.length);
      sqlite3_bind_blob(s, 4, runs.data(), static_cast<int>(runs.size()), SQLITE_STATIC);
      const PlaceOrigin* origin = origins.Find(node->value.data);
      if (origin != nullptr) {
        sqlite3_bind_text(s, 5, origin->video.data(), static_cast<int>(origin->video.size()),
                          SQLITE_STATIC);
        sqlite3_bind_int64(s, 6, origin->frame);
      } else {
        sqlite3_bind_null(s, 5);
        sqlite3_bind_null(s, 6);
      }
      if (sqlite3_step(s) != SQLITE_DONE) return failed();
      sqlite3_reset(s);
    }
  }
  {
    Statement insert(db_, "INSERT INTO place_index VALUES(?, ?, ?, ?)");
    if (!insert.ok()) return failed();
    sqlite3_stmt* s = insert.get();
    int64_t position = 0;
    for (const auto* node = strings.index->head; node != nullptr; node = node->next) {
      const auto found = positions.find(node->value.element);
      if (found == positions.end()) {
        *error = "cannot be saved: an index entry points at no entry of the collection";
        Close();
        return false;
      }
      sqlite3_bind_int64(s, 1, position++);
      sqlite3_bind_int64(s, 2, found->second);
      if (SameCounts(node->value.key, node->value.element->value.key)) {
        sqlite3_bind_null(s, 3);
        sqlite3_bind_null(s, 4);
      } else {
        runs.clear();
        AppendRuns(node->value.key, runs);
        sqlite3_bind_int64(s, 3, node->value.key.length);
        sqlite3_bind_blob(s, 4, runs.data(), static_cast<int>(runs.size()), SQLITE_STATIC);
      }
      if (sqlite3_step(s) != SQLITE_DONE) return failed();
      sqlite3_reset(s);
    }
  }
  if (!SaveWidth()) return failed();
  sqlite3_busy_timeout(db_, kCommitWaitMs);
  if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) return failed();
  Close();
  return true;
}

bool PlaceMapFile::SaveWidth() {
  if (width_ == 0) {
    // A map without a width is written exactly as before widths existed;
    // one that replaces a map with a width takes that width away.
    int64_t version = 0;
    {
      Statement read(db_, "PRAGMA user_version");
      if (!read.ok() || sqlite3_step(read.get()) != SQLITE_ROW) return false;
      version = sqlite3_column_int64(read.get(), 0);
    }
    if (version < kWidthFormatVersion) return true;
    char sql[96];
    std::snprintf(sql, sizeof sql, "DROP TABLE IF EXISTS map_width; PRAGMA user_version=%d;",
                  kFormatVersion);
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  char sql[160];
  std::snprintf(sql, sizeof sql,
                "CREATE TABLE IF NOT EXISTS map_width(width INTEGER NOT NULL);"
                "DELETE FROM map_width; PRAGMA user_version=%d;",
                kWidthFormatVersion);
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) return false;
  Statement insert(db_, "INSERT INTO map_width VALUES(?)");
  return insert.ok() && sqlite3_bind_int64(insert.get(), 1, width_) == SQLITE_OK &&
         sqlite3_step(insert.get()) == SQLITE_DONE;
}

}  // namespace placefinder
