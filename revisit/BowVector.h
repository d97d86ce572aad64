// BowVector: a frame as a bag of visual words, TF-IDF weighted and
// L1-normalised, and the L1 score of two such vectors.
//
// A word's weight in a frame is tf * idf: tf the share of the frame's
// features quantised to the word, idf = log(N / n), N the number of frames
// the weights were learnt from and n those among them that hold the word. A
// word that none of them holds gets idf 0, as a word that all of them hold:
// neither says anything about which frame it is.

#ifndef REVISIT_BOWVECTOR_H_
#define REVISIT_BOWVECTOR_H_

#include <cstdint>
#include <vector>

namespace placefinder {

struct BowEntry {
  uint32_t word;
  double weight;
};

// The words with a weight above 0, in ascending word order, the weights
// adding up to 1; empty for a frame with no weighted word.
using BowVector = std::vector<BowEntry>;

class TfIdf {
 public:
  // Learns the idf of each of `words` words from frames, each given as the
  // words of its features (in any order, repeated as often as they occur).
  // REQUIRES: every word < `words`
  static TfIdf Learn(const std::vector<std::vector<uint32_t>>& frames, int words);
  explicit TfIdf(std::vector<double> idf) : idf_(std::move(idf)) {}

  const std::vector<double>& idf() const { return idf_; }

  // The vector of a frame whose features were quantised to `words`.
  // `counts` is scratch space kept between calls so that weighing allocates
  // nothing: empty or all zeros, and left all zeros.
  // REQUIRES: every word < idf().size()
  void Weigh(const std::vector<uint32_t>& words, std::vector<uint32_t>* counts,
             BowVector* out) const;

 private:
  std::vector<double> idf_;  // by word
};

// 1 - |a - b|_1 / 2, in [0, 1], computed for L1-normalised vectors as the
// sum over their common words of the smaller weight (the same number, since
// |x - y| = x + y - 2 min(x, y)). A frame with no weighted word has nothing to
// be recognised by: an empty vector scores 0 against every vector, even
// another empty one (the formula would give it 1/2 against any frame).
double L1Score(const BowVector& a, const BowVector& b);

}  // namespace placefinder

#endif  // REVISIT_BOWVECTOR_H_
