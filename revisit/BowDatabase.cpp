#include "BowDatabase.h"

#include <algorithm>

namespace placefinder {

uint32_t BowDatabase::Add(const BowVector& vector) {
  const uint32_t entry = static_cast<uint32_t>(size_++);
  for (const BowEntry& e : vector) postings_[e.word].push_back({entry, e.weight});
  scores_.push_back(0.0);
  return entry;
}

void BowDatabase::Accumulate(const BowVector& query) const {
  touched_.clear();
  for (const BowEntry& q : query) {
    for (const Posting& p : postings_[q.word]) {
      double& score = scores_[p.entry];
      // A weight is above 0, so a score of 0 is one not touched yet.
      if (score == 0) touched_.push_back(p.entry);
      score += std::min(q.weight, p.weight);
    }
  }
}

void BowDatabase::ScoreAll(const BowVector& query, std::vector<double>* scores) const {
  Accumulate(query);
  scores->assign(size_, 0.0);
  for (uint32_t entry : touched_) {
    (*scores)[entry] = scores_[entry];
    scores_[entry] = 0;
  }
}

BowDatabase::Match BowDatabase::Best(const BowVector& query) const {
  Accumulate(query);
  Match best;
  for (uint32_t entry : touched_) {
    const double score = scores_[entry];
    scores_[entry] = 0;
    if (score > best.score || (score == best.score && entry < best.entry)) {
      best.entry = entry;
      best.score = score;
    }
  }
  return best;
}

void BowDatabase::Ranked(const BowVector& query, size_t n, std::vector<Match>* best) const {
  Accumulate(query);
  best->clear();
  for (uint32_t entry : touched_) {
    best->push_back({entry, scores_[entry]});
    scores_[entry] = 0;
  }
  const auto better = [](const Match& a, const Match& b) {
    return a.score > b.score || (a.score == b.score && a.entry < b.entry);
  };
  if (best->size() > n) {
    std::partial_sort(best->begin(), best->begin() + n, best->end(), better);
    best->resize(n);
  } else {
    std::sort(best->begin(), best->end(), better);
  }
}

}  // namespace placefinder
