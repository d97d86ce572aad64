#include "PlaceMapFile.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <random>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Thumbnail.h"
#include "WholeFile.h"

namespace placefinder {

namespace {

using String = iMarkrun<int16_t>;
using StringNode = iListNode<PlaceStrings::Entry>;

// A run is stored as its id (2 bytes) and count (4 bytes), little-endian.
constexpr int kRunBytes = 6;
// Without a write-ahead log (a file system without shared memory, or a
// reader that kept the map busy when it was opened) the commit has to wait
// for readers to finish; after this long the map is saved to a new file.
constexpr int kCommitWaitMs = 30000;

// The tables of a place map, each exactly as SQLite keeps its statement in
// sqlite_schema; a map with any other definition is refused.
struct Table {
  const char* name;
  const char* sql;
};
constexpr Table kTables[] = {
    {"map",
     "CREATE TABLE map( threshold REAL NOT NULL, min_key REAL NOT NULL, max_key REAL NOT NULL,"
     " location_counter INTEGER NOT NULL)"},
    {"places",
     "CREATE TABLE places( position INTEGER PRIMARY KEY, location INTEGER NOT NULL,"
     " length INTEGER NOT NULL, runs BLOB NOT NULL, video TEXT, frame INTEGER)"},
    {"place_index",
     "CREATE TABLE place_index( position INTEGER PRIMARY KEY, place INTEGER NOT NULL,"
     " length INTEGER, runs BLOB)"},
};
constexpr size_t kPlacesTable = 1;
// The places table of format version 3, which keeps each place's picture.
constexpr char kThumbnailPlacesTable[] =
    "CREATE TABLE places( position INTEGER PRIMARY KEY, location INTEGER NOT NULL,"
    " length INTEGER NOT NULL, runs BLOB NOT NULL, video TEXT, frame INTEGER, thumbnail BLOB)";
// The tables of a map of format version 2 (one or both) and of one of version
// 3 made with them: the frame width its strings were found at, and the grid
// their boxes were counted over.
constexpr char kWidthTable[] = "CREATE TABLE map_width(width INTEGER NOT NULL)";
constexpr char kCellsTable[] = "CREATE TABLE map_cells(cells INTEGER NOT NULL)";

// The statement of table `i` of kTables in a map of format `version`.
const char* TableSql(size_t i, int64_t version) {
  if (i == kPlacesTable && version >= PlaceMapFile::kThumbnailFormatVersion) {
    return kThumbnailPlacesTable;
  }
  return kTables[i].sql;
}

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

// `name` as it can go into a one-line message: control bytes become '?' and
// a long name is cut.
std::string Printable(const char* name) {
  std::string out = name != nullptr ? name : "";
  if (out.size() > 80) out = out.substr(0, 77) + "...";
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return out;
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

// SQLite's message, with the system's own reason where there is one ("disk
// I/O error (No space left on device)").
std::string Reason(sqlite3* db) {
  std::string reason = sqlite3_errmsg(db);
  const int system = sqlite3_system_errno(db);
  if (system != 0 && (sqlite3_errcode(db) & 0xFF) == SQLITE_IOERR) {
    reason += std::string(" (") + std::strerror(system) + ")";
  }
  return reason;
}

// What a failed call on the map means to its user, after the file's name.
std::string Describe(sqlite3* db, int rc) {
  switch (rc & 0xFF) {
    case SQLITE_BUSY:
      return "is in use by another program (its lock was not released within " +
             std::to_string(PlaceMapFile::kLockWaitMs / 1000) + " s)";
    case SQLITE_CORRUPT:
      return "is damaged (truncated or overwritten): " + std::string(sqlite3_errmsg(db));
    case SQLITE_NOTADB:
      return "is not an SQLite database, not a place map";
    case SQLITE_FULL:
      return "cannot be used: the disk is full";
    default:
      return "cannot be opened: " + Reason(db);
  }
}

// Nothing stored in a map file runs: no trigger fires and no view expands,
// whatever the file holds, and SQL functions in its schema are refused.
void BeDefensive(sqlite3* db) {
  sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
  sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_VIEW, 0, nullptr);
  sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
}

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

// Replaces the contents of the open database `db` (inside a transaction) by
// `strings` (whose locations Save() checked), `counter`, `threshold` and the
// origins of the stored places. Returns false with SQLite's reason.
bool WriteContents(sqlite3* db, const PlaceStrings& strings, uint32_t counter, double threshold,
                   const PlaceOrigins& origins, int32_t width, int32_t cells, std::string* why) {
  auto failed = [&] {
    *why = Reason(db);
    return false;
  };
  int64_t version = 0;
  {
    Statement read(db, "PRAGMA user_version");
    if (!read.ok() || sqlite3_step(read.get()) != SQLITE_ROW) return failed();
    version = sqlite3_column_int64(read.get(), 0);
  }
  // A map of an older format gets the places table with the pictures'
  // column, made anew, so that it is saved as one of format version 3 (whose
  // schema the next load checks exactly). The index table is made anew after
  // it, so that the tables stand in the order of a new map's and the two dump
  // alike.
  const std::string clear =
      version < PlaceMapFile::kThumbnailFormatVersion
          ? std::string("DELETE FROM map; DROP TABLE places; DROP TABLE place_index; ") +
                kThumbnailPlacesTable + "; " + kTables[2].sql
          : std::string("DELETE FROM place_index; DELETE FROM map; DELETE FROM places");
  if (sqlite3_exec(db, clear.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) return failed();
  {
    Statement meta(db, "INSERT INTO map VALUES(?, ?, ?, ?)");
    if (!meta.ok()) return failed();
    sqlite3_bind_double(meta.get(), 1, threshold);
    sqlite3_bind_double(meta.get(), 2, strings.minKey);
    sqlite3_bind_double(meta.get(), 3, strings.maxKey);
    sqlite3_bind_int64(meta.get(), 4, counter);
    if (sqlite3_step(meta.get()) != SQLITE_DONE) return failed();
  }
  std::unordered_map<const StringNode*, int64_t> positions;
  std::string runs;
  {
    Statement insert(db, "INSERT INTO places VALUES(?, ?, ?, ?, ?, ?, ?)");
    if (!insert.ok()) return failed();
    sqlite3_stmt* s = insert.get();
    int64_t position = 0;
    for (const StringNode* node = strings.entries->head; node != nullptr; node = node->next) {
      const String& key = node->value.key;
      positions.emplace(node, position);
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
      if (origin != nullptr && origin->thumbnail != nullptr) {
        const std::string& jpeg = *origin->thumbnail;
        sqlite3_bind_blob(s, 7, jpeg.data(), static_cast<int>(jpeg.size()), SQLITE_STATIC);
      } else {
        sqlite3_bind_null(s, 7);
      }
      if (sqlite3_step(s) != SQLITE_DONE) return failed();
      sqlite3_reset(s);
    }
  }
  {
    Statement insert(db, "INSERT INTO place_index VALUES(?, ?, ?, ?)");
    if (!insert.ok()) return failed();
    sqlite3_stmt* s = insert.get();
    int64_t position = 0;
    for (const auto* node = strings.index->head; node != nullptr; node = node->next) {
      const auto found = positions.find(node->value.element);
      if (found == positions.end()) {
        *why = "an index entry points at no entry of the collection";
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
  // The frame width and the grid, in map_width and map_cells when the map
  // has them; a map that replaces a map with them but has none takes them
  // away. Only what changes is written: a map that has room for its places
  // should not be refused for a page more.
  for (const char* table : {"map_width", "map_cells"}) {
    bool has = false;
    {
      const std::string query =
          std::string("SELECT count(*) FROM sqlite_schema WHERE name = '") + table + "'";
      Statement read(db, query.c_str());
      if (!read.ok() || sqlite3_step(read.get()) != SQLITE_ROW) return failed();
      has = sqlite3_column_int64(read.get(), 0) > 0;
    }
    const std::string drop = std::string("DROP TABLE ") + table;
    if (has && sqlite3_exec(db, drop.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
      return failed();
    }
  }
  if (version != PlaceMapFile::kThumbnailFormatVersion) {
    char sql[64];
    std::snprintf(sql, sizeof sql, "PRAGMA user_version=%d", PlaceMapFile::kThumbnailFormatVersion);
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) return failed();
  }
  const auto keep = [&](const char* create, const char* insertSql, int64_t value) {
    if (sqlite3_exec(db, create, nullptr, nullptr, nullptr) != SQLITE_OK) return failed();
    Statement insert(db, insertSql);
    if (!insert.ok() || sqlite3_bind_int64(insert.get(), 1, value) != SQLITE_OK ||
        sqlite3_step(insert.get()) != SQLITE_DONE) {
      return failed();
    }
    return true;
  };
  return (width == 0 || keep(kWidthTable, "INSERT INTO map_width VALUES(?)", width)) &&
         (cells <= 1 || keep(kCellsTable, "INSERT INTO map_cells VALUES(?)", cells));
}

// The bytes of a whole map file holding the given contents, built in memory.
bool BuildImage(const PlaceStrings& strings, uint32_t counter, double threshold,
                const PlaceOrigins& origins, int32_t width, int32_t cells, std::string* image,
                std::string* why) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    *why = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close_v2(db);
    return false;
  }
  char pragmas[96];
  std::snprintf(pragmas, sizeof pragmas, "PRAGMA application_id=%d;PRAGMA user_version=%d;",
                PlaceMapFile::kApplicationId, PlaceMapFile::kThumbnailFormatVersion);
  bool made = sqlite3_exec(db, pragmas, nullptr, nullptr, nullptr) == SQLITE_OK &&
              sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
  for (size_t i = 0; i < std::size(kTables); ++i) {
    made = made && sqlite3_exec(db, TableSql(i, PlaceMapFile::kThumbnailFormatVersion), nullptr,
                                nullptr, nullptr) == SQLITE_OK;
  }
  if (!made) *why = sqlite3_errmsg(db);
  made = made && WriteContents(db, strings, counter, threshold, origins, width, cells, why);
  if (made && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    *why = sqlite3_errmsg(db);
    made = false;
  }
  if (made) {
    sqlite3_int64 size = 0;
    unsigned char* bytes = sqlite3_serialize(db, "main", &size, 0);
    if (bytes == nullptr) {
      *why = "out of memory";
      made = false;
    } else {
      image->assign(reinterpret_cast<const char*>(bytes), static_cast<size_t>(size));
      sqlite3_free(bytes);
    }
  }
  sqlite3_close_v2(db);
  return made;
}

// Writes `bytes` to a new file at `path`, which must not exist (EEXIST when
// it does). The file is written and synced without a name and then linked
// into place, so a process killed at any moment leaves either nothing or the
// whole file. It gets the mode any new file of the user's gets. Returns 0 or
// the errno of the failure.
int WriteNewFile(const std::string& path, const std::string& bytes) {
  const std::string folder = FolderOf(path);
  std::string temp;
  int fd = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd < 0) {
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return errno;
    // A file system without unnamed files: a hidden temporary name instead,
    // which only a kill in the moment between mkstemp() and unlink() leaves.
    temp = folder + "/." + BaseNameOf(path) + ".new-XXXXXX";
    fd = mkstemp(&temp[0]);
    if (fd < 0) return errno;
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
  }
  int rc = WriteAll(fd, bytes) && fsync(fd) == 0 ? 0 : errno;
  if (rc == 0) {
    const int linked =
        temp.empty() ? (LinkUnnamed(fd, path) ? 0 : -1) : link(temp.c_str(), path.c_str());
    if (linked != 0) rc = errno;
  }
  close(fd);
  if (!temp.empty()) unlink(temp.c_str());
  if (rc == 0) {
    // The new name itself must survive a crash too.
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      fsync(dir);
      close(dir);
    }
  }
  return rc;
}

// Whether a new file can be made beside `path`; a file without a name is
// tried, which a kill cannot leave behind.
bool TakesNewFiles(const std::string& path) {
  const std::string folder = FolderOf(path);
  int fd = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd >= 0) {
    close(fd);
    return true;
  }
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return false;
  std::string probe = folder + "/." + BaseNameOf(path) + ".probe-XXXXXX";
  fd = mkstemp(&probe[0]);
  if (fd < 0) return false;
  close(fd);
  unlink(probe.c_str());
  return true;
}

// Writes a whole map holding the given contents to a new file named after
// `path` with a random suffix. Returns the name, or empty with the reason.
std::string WriteSideFile(const std::string& path, const std::string& image, std::string* why) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::random_device seed;
  std::mt19937 rng(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = path + ".unsaved-";
    for (int i = 0; i < 6; ++i) name += kLetters[rng() % (sizeof kLetters - 1)];
    const int rc = WriteNewFile(name, image);
    if (rc == 0) return name;
    if (rc != EEXIST) {
      *why = std::strerror(rc);
      return "";
    }
  }
  *why = std::strerror(EEXIST);
  return "";
}

}  // namespace

PlaceMapFile::~PlaceMapFile() { Close(); }

void PlaceMapFile::Close() {
  if (db_ != nullptr) sqlite3_close_v2(db_);  // rolls back an open transaction
  db_ = nullptr;
}

bool PlaceMapFile::Open(const std::string& path, double threshold, std::string* error) {
  path_ = path;
  if (path.find('\0') != std::string::npos) {
    *error = "cannot be opened: the name contains a NUL byte";
    return false;
  }
  for (int attempt = 0;; ++attempt) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
      const int missing = errno;
      struct stat link;
      if (missing == ENOENT && lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        *error = "is a symbolic link to a file that does not exist";
        return false;
      }
      if (missing != ENOENT || attempt > 0) {
        errno = missing;
        *error = Errno("cannot be read");
        return false;
      }
      // Linking the finished map into place fails rather than replace a map
      // that another run created meanwhile (that one is then opened like any
      // other).
      std::string image;
      std::string why;
      PlaceStrings empty;
      if (!BuildImage(empty, 0, threshold, PlaceOrigins(), 0, 1, &image, &why)) {
        *error = "cannot be created: " + why;
        return false;
      }
      const int rc = WriteNewFile(path, image);
      if (rc != 0 && rc != EEXIST) {
        errno = rc;
        *error = Errno("cannot be created in the folder " + FolderOf(path));
        return false;
      }
      created_ = rc == 0;
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
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
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
  const int writable = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (writable < 0) {
    *error = Errno("cannot be written");
    return false;
  }
  close(writable);
  // SQLite keeps its log beside the real file, through any symbolic link, and
  // a map that cannot be saved in place is saved to a new file there; so the
  // real file's folder must take new files.
  char real[PATH_MAX];
  if (realpath(path.c_str(), real) == nullptr) {
    *error = Errno("cannot be read");
    return false;
  }
  realPath_ = real;
  if (!TakesNewFiles(realPath_)) {
    *error = Errno("cannot be saved: its folder " + FolderOf(realPath_) + " does not take new files");
    return false;
  }

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
  BeDefensive(db_);
  sqlite3_busy_timeout(db_, kLockWaitMs);
  if (!Lock(error) || !CheckFormat(error)) {
    Close();
    return false;
  }
  // A map this run made is valid by construction: it gets its log at once.
  if (created_) {
    bool switched = false;
    if (!UseWriteAheadLog(&switched, error) || (switched && !CheckFormat(error))) {
      Close();
      return false;
    }
  }
  return true;
}

bool PlaceMapFile::Lock(std::string* error) {
  const int rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) return true;
  *error = Describe(db_, rc);
  return false;
}

bool PlaceMapFile::CheckFormat(std::string* error) {
  auto pragma = [&](const char* sql, int64_t* value) {
    Statement s(db_, sql);
    int rc = s.ok() ? sqlite3_step(s.get()) : sqlite3_errcode(db_);
    if (rc != SQLITE_ROW) {
      *error = Describe(db_, rc);
      return false;
    }
    *value = sqlite3_column_int64(s.get(), 0);
    return true;
  };
  int64_t application = 0;
  int64_t version = 0;
  if (!pragma("PRAGMA application_id", &application) || !pragma("PRAGMA user_version", &version)) {
    return false;
  }
  if (application != kApplicationId) {
    *error = "is an SQLite database but not a place map";
    return false;
  }
  if (version > kThumbnailFormatVersion) {
    *error = "has the format version " + std::to_string(version) +
             ", newer than this program reads (" + std::to_string(kThumbnailFormatVersion) + ")";
    return false;
  }
  if (version < 1) {
    *error = "breaks an invariant: the format version " + std::to_string(version);
    return false;
  }
  version_ = version;

  // Exactly our three tables: anything else (a trigger, a view, an index,
  // another column, type or constraint) could make a save fail, hang or
  // write where the next load does not read.
  Statement schema(db_, "SELECT type, name, sql FROM sqlite_schema");
  if (!schema.ok()) {
    *error = Describe(db_, sqlite3_errcode(db_));
    return false;
  }
  bool seen[std::size(kTables)] = {};
  hasWidth_ = hasCells_ = false;
  int rc;
  while ((rc = sqlite3_step(schema.get())) == SQLITE_ROW) {
    const char* type = reinterpret_cast<const char*>(sqlite3_column_text(schema.get(), 0));
    const char* name = reinterpret_cast<const char*>(sqlite3_column_text(schema.get(), 1));
    const char* sql = reinterpret_cast<const char*>(sqlite3_column_text(schema.get(), 2));
    const bool table = type != nullptr && std::strcmp(type, "table") == 0;
    bool known = false;
    // A map of version 2 keeps its frame width, its grid or both in tables
    // of their own, and one of version 3 may.
    for (const auto& [tableName, create, seenIt] :
         {std::tuple{"map_width", kWidthTable, &hasWidth_},
          {"map_cells", kCellsTable, &hasCells_}}) {
      if (!table || name == nullptr || std::strcmp(name, tableName) != 0 ||
          version < kWidthFormatVersion) {
        continue;
      }
      if (sql == nullptr || std::strcmp(sql, create) != 0) {
        *error = "is not a place map as this program writes it: its table " +
                 std::string(tableName) + " has other columns, types or constraints";
        return false;
      }
      known = *seenIt = true;
    }
    for (size_t i = 0; i < std::size(kTables) && !known; ++i) {
      if (!table || name == nullptr || std::strcmp(name, kTables[i].name) != 0) continue;
      if (sql == nullptr || std::strcmp(sql, TableSql(i, version)) != 0) {
        *error = "is not a place map as this program writes it: its table " +
                 std::string(kTables[i].name) + " has other columns, types or constraints";
        return false;
      }
      seen[i] = known = true;
    }
    // The statistics that ANALYZE (in the sqlite3 tool, say) leaves are
    // SQLite's own and change nothing that is read or written.
    if (!known && table && name != nullptr &&
        (std::strcmp(name, "sqlite_stat1") == 0 || std::strcmp(name, "sqlite_stat4") == 0)) {
      known = true;
    }
    if (!known) {
      *error = "is not a place map as this program writes it: it holds the " + Printable(type) +
               " " + Printable(name) + ", which a place map never has";
      return false;
    }
  }
  if (rc != SQLITE_DONE) {
    *error = Describe(db_, rc);
    return false;
  }
  for (size_t i = 0; i < std::size(kTables); ++i) {
    if (!seen[i]) {
      *error = "is not a complete place map: it has no table " + std::string(kTables[i].name);
      return false;
    }
  }
  if (version == kWidthFormatVersion && !hasWidth_ && !hasCells_) {
    *error = "is not a complete place map: it has no table map_width";
    return false;
  }
  return true;
}

bool PlaceMapFile::UseWriteAheadLog(bool* switched, std::string* error) {
  *switched = false;
  {
    Statement mode(db_, "PRAGMA journal_mode");
    if (mode.ok() && sqlite3_step(mode.get()) == SQLITE_ROW) {
      const char* name = reinterpret_cast<const char*>(sqlite3_column_text(mode.get(), 0));
      if (name != nullptr && std::strcmp(name, "wal") == 0) return true;
    }
  }
  // The journal mode changes only outside a transaction, so the lock is let
  // go for that moment (by a rollback: nothing was written, and a commit
  // would wait for readers). A reader that holds the map, or a file system without
  // shared memory, keeps the rollback journal; that is no fault.
  if (sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr) != SQLITE_OK) {
    *error = Describe(db_, sqlite3_errcode(db_));
    return false;
  }
  const int rc = sqlite3_exec(db_, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK && sqlite3_get_autocommit(db_) == 0) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  *switched = true;
  return Lock(error);
}

bool PlaceMapFile::Load(PlaceMapContents* map, std::string* error) {
  if (db_ == nullptr) {
    *error = "is not open";
    return false;
  }
  if (!ReadContents(map, error)) return false;
  // Only a map that passed every check gets its write-ahead log, so that a
  // refused file is left byte for byte as it was. Another program may have
  // changed the map while the lock was let go, so it is read again.
  bool switched = false;
  if (!UseWriteAheadLog(&switched, error)) {
    Close();
    return false;
  }
  if (switched && (!CheckFormat(error) || !ReadContents(map, error))) {
    Close();
    return false;
  }
  return true;
}

bool PlaceMapFile::ReadContents(PlaceMapContents* map, std::string* error) {
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
    // The next place would get the location index 4294967295 and the
    // counter would wrap to 0, handing out indices that are in use.
    if (counter == UINT32_MAX) {
      *error = "is full: its location counter " + std::to_string(counter) +
               " leaves no location to record";
      return false;
    }
    if (sqlite3_step(s) != SQLITE_DONE) return broken("the map table has more than one row");
  }

  std::vector<StringNode*> nodes;
  {
    // Maps before version 3 have no pictures.
    const bool pictures = version_ >= kThumbnailFormatVersion;
    Statement places(db_, pictures ? "SELECT position, location, length, runs, video, frame, "
                                     "thumbnail FROM places ORDER BY position"
                                   : "SELECT position, location, length, runs, video, frame, "
                                     "NULL FROM places ORDER BY position");
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
      const int pictureType = sqlite3_column_type(s, 6);
      std::shared_ptr<const std::string> thumbnail;
      if (pictureType != SQLITE_NULL) {
        const std::string what = "place at position " + std::to_string(position) +
                                 " has a thumbnail that is not a JPEG picture";
        if (pictureType != SQLITE_BLOB) return broken(what + " (not a blob)");
        const void* bytes = sqlite3_column_blob(s, 6);
        const size_t size = static_cast<size_t>(sqlite3_column_bytes(s, 6));
        if (!CheckThumbnail(bytes, size, &why)) return broken(what + ": " + why);
        thumbnail = std::make_shared<const std::string>(static_cast<const char*>(bytes), size);
      }
      if (videoType == SQLITE_TEXT && frameType == SQLITE_INTEGER &&
          sqlite3_column_int64(s, 5) >= 0) {
        origins.Record(static_cast<uint32_t>(location),
                       reinterpret_cast<const char*>(sqlite3_column_text(s, 4)),
                       sqlite3_column_int64(s, 5), std::move(thumbnail));
      } else if (videoType != SQLITE_NULL || frameType != SQLITE_NULL) {
        return broken(place + " has an origin that is not a video name and a frame number");
      } else if (thumbnail != nullptr) {
        // The picture is of the frame that recorded the place: without an
        // origin it could be of anything.
        return broken(place + " has a thumbnail but no origin");
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

  // The frame width and the grid, which only maps of version 2 have.
  const auto readOne = [&](const char* table, const char* column, int64_t low, int64_t high,
                           int64_t* value) {
    const std::string query = "SELECT " + std::string(column) + " FROM " + table;
    Statement read(db_, query.c_str());
    if (!read.ok()) return damaged("is not a complete place map");
    sqlite3_stmt* s = read.get();
    if (sqlite3_step(s) != SQLITE_ROW) {
      return broken("the " + std::string(table) + " table has no row");
    }
    if (!IsInteger(s, 0)) {
      return broken("the " + std::string(table) + " row holds a value of the wrong type");
    }
    *value = sqlite3_column_int64(s, 0);
    if (*value < low || *value > high) {
      return broken("the " + std::string(column) + " " + std::to_string(*value) + " is outside [" +
                    std::to_string(low) + ", " + std::to_string(high) + "]");
    }
    if (sqlite3_step(s) != SQLITE_DONE) {
      return broken("the " + std::string(table) + " table has more than one row");
    }
    return true;
  };
  int64_t width = 0;
  int64_t cells = 1;
  if (hasWidth_ && !readOne("map_width", "width", 1, kMaxWidth, &width)) return false;
  if (hasCells_ && !readOne("map_cells", "cells", 2, kMaxCells, &cells)) return false;

  map->strings = std::move(fresh);
  map->width = static_cast<int32_t>(width);
  map->cells = static_cast<int32_t>(cells);
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
  {
    std::unordered_set<uint32_t> locations;
    for (const StringNode* node = strings.entries->head; node != nullptr; node = node->next) {
      if (node->value.data >= counter || !locations.insert(node->value.data).second) {
        *error = "cannot be saved: the location " + std::to_string(node->value.data) +
                 " is repeated or not below the counter " + std::to_string(counter);
        return false;
      }
    }
  }
  // A map opened without Load() gets its write-ahead log here; losing the
  // lock meanwhile to another program only sends this run's places to a new
  // map, below.
  std::string why;
  bool switched = false;
  bool saved = UseWriteAheadLog(&switched, &why) &&
               WriteContents(db_, strings, counter, threshold, origins, width_, cells_, &why);
  if (saved) {
    sqlite3_busy_timeout(db_, kCommitWaitMs);
    saved = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!saved) why = Reason(db_);
  }
  Close();
  if (saved) return true;

  // What the run learnt is never lost: it goes to a new map beside the real
  // file, or in the temporary folder when that one takes nothing either.
  std::string image;
  std::string sideWhy;
  std::string side;
  if (BuildImage(strings, counter, threshold, origins, width_, cells_, &image, &sideWhy)) {
    side = WriteSideFile(realPath_, image, &sideWhy);
    if (side.empty()) {
      const char* tmp = std::getenv("TMPDIR");
      std::string folder = tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
      while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
      side = WriteSideFile(folder + "/" + BaseNameOf(realPath_), image, &sideWhy);
    }
  }
  if (!side.empty()) {
    *error = "cannot be saved (" + why + "); this run's places were saved to the new map " + side +
             " instead";
  } else {
    *error = "cannot be saved (" + why +
             "), nor could this run's places be written to a new map (" + sideWhy + ")";
  }
  return false;
}


}  // namespace placefinder
