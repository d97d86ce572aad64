// BowVocabulary: the visual words of the bag-of-words baseline, binary words
// of 256 bits compared with ORB descriptors by Hamming distance.
//
// Words are learnt by k-majority: k-means in Hamming space, where a cluster's
// centre is the bitwise majority of its members. ORB's descriptors are bit
// strings compared by Hamming distance, so the centres stay bit strings and
// a frame is quantised with the same distance its features are matched by;
// k-means on the descriptors' bytes as floats would average bytes whose
// numeric value means nothing, and give centres that are not descriptors.
//
// The vocabulary file is YAML (cv::FileStorage) with a key that says what it
// was learnt from, so that a cache learnt from other recordings or with other
// settings is rebuilt rather than used.

#ifndef REVISIT_BOWVOCABULARY_H_
#define REVISIT_BOWVOCABULARY_H_

#include <array>
#include <cstdint>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace placefinder {

// One ORB descriptor or word: 32 bytes as four 64-bit words.
using BinaryWord = std::array<uint64_t, 4>;

int HammingDistance(const BinaryWord& a, const BinaryWord& b);

// The rows of `descriptors` (CV_8U, 32 columns) appended to `out`.
void AppendDescriptors(const cv::Mat& descriptors, std::vector<BinaryWord>* out);

class BowVocabulary {
 public:
  BowVocabulary() = default;
  explicit BowVocabulary(std::vector<BinaryWord> words) : words_(std::move(words)) {}

  // Learns `k` words from `descriptors` by k-majority: centres seeded by
  // k-means++ (each next seed drawn with probability proportional to its
  // squared distance from the nearest seed so far, from a generator seeded
  // with `seed`), then at most `iterations` rounds of assigning every
  // descriptor to its nearest centre and setting each bit of a centre to
  // the majority of its members' bits (a tie gives 0), stopping early when no
  // assignment changes. A centre that loses all its members keeps its bits.
  // REQUIRES: 1 <= k <= descriptors.size()
  static BowVocabulary Learn(const std::vector<BinaryWord>& descriptors, int k, int iterations,
                             uint64_t seed);

  int size() const { return static_cast<int>(words_.size()); }
  const std::vector<BinaryWord>& words() const { return words_; }

  // The nearest word to `descriptor` (ties: the lower word).
  // REQUIRES: size() > 0
  uint32_t Nearest(const BinaryWord& descriptor) const;
  // The nearest word of each row of `descriptors` (CV_8U, 32 columns, or
  // empty), replacing what `words` held.
  void Quantise(const cv::Mat& descriptors, std::vector<uint32_t>* words) const;

  // Writes the vocabulary with `key` to `path` through a temporary file in
  // the same folder, so that a run stopped while writing leaves the old file.
  bool Save(const std::string& path, const std::string& key, std::string* error) const;

  // The outcome of reading a vocabulary file.
  enum class LoadResult {
    kLoaded,   // the file holds a vocabulary learnt under `key`
    kMissing,  // there is no file
    kStale,    // a vocabulary file, but learnt under another key
    kRefused,  // not a vocabulary file, or damaged: `error` says why
  };
  LoadResult Load(const std::string& path, const std::string& key, std::string* error);

 private:
  std::vector<BinaryWord> words_;
};

}  // namespace placefinder

#endif  // REVISIT_BOWVOCABULARY_H_
