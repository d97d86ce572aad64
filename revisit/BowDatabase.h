// BowDatabase: stored frame vectors searched through an inverted index, one
// list per word of the entries that hold it with their weights.
//
// A query's score against every entry is the sum, over the query's words, of
// the smaller of the two weights (L1Score, added up in the same order, so
// the same number); an entry that shares no word with the query scores 0 and
// is never a match. Searches keep scratch space in the database: not
// thread-safe.

#ifndef REVISIT_BOWDATABASE_H_
#define REVISIT_BOWDATABASE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "BowVector.h"

namespace placefinder {

class BowDatabase {
 public:
  struct Match {
    int64_t entry = -1;  // -1: no entry shares a word with the query
    double score = 0;
  };

  // Stores `vector` as the next entry (0, 1, 2, ...).
  // REQUIRES: every word < `words` given at construction
  uint32_t Add(const BowVector& vector);
  explicit BowDatabase(int words) : postings_(words) {}

  size_t size() const { return size_; }

  // The score of `query` against every entry, by entry, into `scores`.
  void ScoreAll(const BowVector& query, std::vector<double>* scores) const;

  // The entry with the highest score above 0; of equal scores, the one
  // stored first.
  Match Best(const BowVector& query) const;

  // The `n` best entries with a score above 0 (fewer when fewer share a
  // word with the query), highest score first and, of equal scores, the one
  // stored first first.
  void Ranked(const BowVector& query, size_t n, std::vector<Match>* best) const;

 private:
  struct Posting {
    uint32_t entry;
    double weight;
  };
  // Adds the query's scores into scores_ and lists the entries it touched.
  void Accumulate(const BowVector& query) const;

  std::vector<std::vector<Posting>> postings_;  // by word, entries ascending
  size_t size_ = 0;
  mutable std::vector<double> scores_;     // by entry; all 0 between searches
  mutable std::vector<uint32_t> touched_;  // the entries the last search scored
};

}  // namespace placefinder

#endif  // REVISIT_BOWDATABASE_H_
