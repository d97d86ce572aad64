#include "BowVocabulary.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

namespace placefinder {

namespace {

// The file's first entry, so that a YAML file of something else is told
// apart from a vocabulary learnt under another key.
const char kFormat[] = "placefinder bag-of-words vocabulary 1";

// Distances are summed over the four halves' popcounts; the clones let the
// processor's popcount instruction do it where it has one.
__attribute__((target_clones("popcnt", "default"))) uint32_t NearestIn(const BinaryWord& d,
                                                                       const BinaryWord* words,
                                                                       size_t count) {
  uint32_t best = 0;
  int bestDistance = std::numeric_limits<int>::max();
  for (size_t w = 0; w < count; ++w) {
    const BinaryWord& c = words[w];
    const int distance = __builtin_popcountll(d[0] ^ c[0]) + __builtin_popcountll(d[1] ^ c[1]) +
                         __builtin_popcountll(d[2] ^ c[2]) + __builtin_popcountll(d[3] ^ c[3]);
    if (distance < bestDistance) {  // strict: a tie keeps the lower word
      bestDistance = distance;
      best = static_cast<uint32_t>(w);
    }
  }
  return best;
}

// Lowers each of `nearest` to the descriptor's distance from `centre`.
__attribute__((target_clones("popcnt", "default"))) void LowerDistances(
    const std::vector<BinaryWord>& descriptors, const BinaryWord& c, std::vector<int>* nearest) {
  for (size_t i = 0; i < descriptors.size(); ++i) {
    const BinaryWord& d = descriptors[i];
    const int distance = __builtin_popcountll(d[0] ^ c[0]) + __builtin_popcountll(d[1] ^ c[1]) +
                         __builtin_popcountll(d[2] ^ c[2]) + __builtin_popcountll(d[3] ^ c[3]);
    if (distance < (*nearest)[i]) (*nearest)[i] = distance;
  }
}

}  // namespace

int HammingDistance(const BinaryWord& a, const BinaryWord& b) {
  return __builtin_popcountll(a[0] ^ b[0]) + __builtin_popcountll(a[1] ^ b[1]) +
         __builtin_popcountll(a[2] ^ b[2]) + __builtin_popcountll(a[3] ^ b[3]);
}

void AppendDescriptors(const cv::Mat& descriptors, std::vector<BinaryWord>* out) {
  if (descriptors.empty()) return;
  CV_Assert(descriptors.type() == CV_8UC1 && descriptors.cols == 32);
  const size_t first = out->size();
  out->resize(first + descriptors.rows);
  for (int r = 0; r < descriptors.rows; ++r) {
    std::memcpy((*out)[first + r].data(), descriptors.ptr(r), 32);
  }
}

BowVocabulary BowVocabulary::Learn(const std::vector<BinaryWord>& descriptors, int k,
                                   int iterations, uint64_t seed) {
  CV_Assert(k >= 1 && static_cast<size_t>(k) <= descriptors.size());
  const size_t n = descriptors.size();
  cv::RNG rng(seed);
  std::vector<BinaryWord> centres;
  centres.reserve(k);
  centres.push_back(descriptors[rng.uniform(0, static_cast<int>(n))]);
  std::vector<int> nearest(n, std::numeric_limits<int>::max());
  while (centres.size() < static_cast<size_t>(k)) {
    LowerDistances(descriptors, centres.back(), &nearest);
    double total = 0;
    for (int d : nearest) total += static_cast<double>(d) * d;
    size_t chosen = 0;
    if (total > 0) {
      double target = rng.uniform(0.0, total);
      for (chosen = 0; chosen + 1 < n; ++chosen) {
        target -= static_cast<double>(nearest[chosen]) * nearest[chosen];
        if (target < 0) break;
      }
    } else {
      // Every descriptor already is a centre: the rest repeat the first.
      chosen = 0;
    }
    centres.push_back(descriptors[chosen]);
  }

  std::vector<uint32_t> assignment(n, std::numeric_limits<uint32_t>::max());
  std::vector<int32_t> ones(static_cast<size_t>(k) * 256);
  std::vector<int32_t> members(k);
  for (int round = 0; round < iterations; ++round) {
    size_t changed = 0;
    for (size_t i = 0; i < n; ++i) {
      const uint32_t w = NearestIn(descriptors[i], centres.data(), centres.size());
      if (w != assignment[i]) ++changed;
      assignment[i] = w;
    }
    if (changed == 0) break;
    std::fill(ones.begin(), ones.end(), 0);
    std::fill(members.begin(), members.end(), 0);
    for (size_t i = 0; i < n; ++i) {
      int32_t* bits = &ones[static_cast<size_t>(assignment[i]) * 256];
      ++members[assignment[i]];
      for (int b = 0; b < 256; ++b) bits[b] += (descriptors[i][b >> 6] >> (b & 63)) & 1;
    }
    for (int w = 0; w < k; ++w) {
      if (members[w] == 0) continue;
      const int32_t* bits = &ones[static_cast<size_t>(w) * 256];
      BinaryWord centre = {0, 0, 0, 0};
      for (int b = 0; b < 256; ++b) {
        if (2 * bits[b] > members[w]) centre[b >> 6] |= uint64_t{1} << (b & 63);
      }
      centres[w] = centre;
    }
  }
  return BowVocabulary(std::move(centres));
}

uint32_t BowVocabulary::Nearest(const BinaryWord& descriptor) const {
  CV_Assert(!words_.empty());
  return NearestIn(descriptor, words_.data(), words_.size());
}

void BowVocabulary::Quantise(const cv::Mat& descriptors, std::vector<uint32_t>* words) const {
  words->clear();
  if (descriptors.empty()) return;
  CV_Assert(descriptors.type() == CV_8UC1 && descriptors.cols == 32 && !words_.empty());
  words->resize(descriptors.rows);
  BinaryWord d;
  for (int r = 0; r < descriptors.rows; ++r) {
    std::memcpy(d.data(), descriptors.ptr(r), 32);
    (*words)[r] = NearestIn(d, words_.data(), words_.size());
  }
}

bool BowVocabulary::Save(const std::string& path, const std::string& key,
                         std::string* error) const {
  const std::string temporary = path + ".tmp-" + std::to_string(getpid());
  cv::Mat words(size(), 32, CV_8UC1);
  for (int w = 0; w < size(); ++w) std::memcpy(words.ptr(w), words_[w].data(), 32);
  try {
    cv::FileStorage out(temporary, cv::FileStorage::WRITE | cv::FileStorage::FORMAT_YAML);
    if (!out.isOpened()) {
      *error = "cannot be written (" + temporary + " does not open)";
      return false;
    }
    out << "format" << kFormat << "key" << key << "words" << words;
    out.release();
  } catch (const cv::Exception& e) {
    std::remove(temporary.c_str());
    *error = std::string("cannot be written: ") + e.what();
    return false;
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    *error = std::string("cannot be written: ") + std::strerror(errno);
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

BowVocabulary::LoadResult BowVocabulary::Load(const std::string& path, const std::string& key,
                                              std::string* error) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) return LoadResult::kMissing;
    *error = std::string("cannot be read: ") + std::strerror(errno);
    return LoadResult::kRefused;
  }
  if (!S_ISREG(info.st_mode)) {
    *error = "is not a regular file";
    return LoadResult::kRefused;
  }
  std::string format;
  std::string stored;
  cv::Mat words;
  try {
    cv::FileStorage in(path, cv::FileStorage::READ);
    if (!in.isOpened()) {
      *error = "cannot be read as YAML";
      return LoadResult::kRefused;
    }
    in["format"] >> format;
    if (format != kFormat) {
      *error = "is not a bag-of-words vocabulary file";
      return LoadResult::kRefused;
    }
    in["key"] >> stored;
    in["words"] >> words;
  } catch (const cv::Exception&) {
    *error = "is not a bag-of-words vocabulary file (it does not parse)";
    return LoadResult::kRefused;
  }
  if (stored != key) return LoadResult::kStale;
  if (words.empty() || words.type() != CV_8UC1 || words.cols != 32) {
    *error = "is damaged: its words are not rows of 32 bytes";
    return LoadResult::kRefused;
  }
  words_.clear();
  AppendDescriptors(words, &words_);
  return LoadResult::kLoaded;
}

}  // namespace placefinder
