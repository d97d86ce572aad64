#include "BowVector.h"

#include <algorithm>
#include <cmath>

namespace placefinder {

TfIdf TfIdf::Learn(const std::vector<std::vector<uint32_t>>& frames, int words) {
  std::vector<int64_t> holding(words, 0);
  std::vector<uint32_t> lastFrame(words, UINT32_MAX);
  for (size_t f = 0; f < frames.size(); ++f) {
    for (uint32_t w : frames[f]) {
      if (lastFrame[w] == f) continue;  // a frame counts once for each of its words
      lastFrame[w] = static_cast<uint32_t>(f);
      ++holding[w];
    }
  }
  std::vector<double> idf(words, 0.0);
  const double n = static_cast<double>(frames.size());
  for (int w = 0; w < words; ++w) {
    if (holding[w] > 0) idf[w] = std::log(n / static_cast<double>(holding[w]));
  }
  return TfIdf(std::move(idf));
}

void TfIdf::Weigh(const std::vector<uint32_t>& words, std::vector<uint32_t>* counts,
                  BowVector* out) const {
  out->clear();
  if (counts->size() != idf_.size()) counts->assign(idf_.size(), 0);
  for (uint32_t w : words) {
    if ((*counts)[w]++ == 0) out->push_back({w, 0.0});
  }
  std::sort(out->begin(), out->end(),
            [](const BowEntry& a, const BowEntry& b) { return a.word < b.word; });
  const double features = static_cast<double>(words.size());
  double total = 0;
  size_t kept = 0;
  for (const BowEntry& e : *out) {
    const double weight = (*counts)[e.word] / features * idf_[e.word];
    (*counts)[e.word] = 0;
    if (weight > 0) {
      (*out)[kept++] = {e.word, weight};
      total += weight;
    }
  }
  out->resize(kept);
  if (total <= 0) return;
  for (BowEntry& e : *out) e.weight /= total;
}

double L1Score(const BowVector& a, const BowVector& b) {
  double score = 0;
  auto i = a.begin();
  auto j = b.begin();
  while (i != a.end() && j != b.end()) {
    if (i->word < j->word) {
      ++i;
    } else if (j->word < i->word) {
      ++j;
    } else {
      score += std::min(i->weight, j->weight);
      ++i;
      ++j;
    }
  }
  return score;
}

}  // namespace placefinder
