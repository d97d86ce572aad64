// The baseline's protocols, counted as Placetrace's are (PlaceEvaluation).
//
// BowRecogniser: frames in order, one collection: a frame whose best score
// over the stored places reaches the threshold is recognised as that place
// (of equal scores, the place stored first); any other frame is stored as a
// new place, its origin that frame.
//
// BowSweep: the same for many thresholds at once, each with a collection of
// its own, every frame scored once against the frames any of them stored.
//
// QueryRecall: a database of stored frames searched by query frames that
// are never stored; a query frame is found at N when its place is the place
// of one of the N best stored frames.
//
// Places are ground-truth place numbers (GroundTruth), -1 for none.

#ifndef REVISIT_BOWPROTOCOL_H_
#define REVISIT_BOWPROTOCOL_H_

#include <cstdint>
#include <string>
#include <vector>

#include "BowDatabase.h"
#include "BowVector.h"
#include "PlaceEvaluation.h"
#include "RunEvaluation.h"

namespace placefinder {

class BowRecogniser {
 public:
  BowRecogniser(int words, double threshold) : database_(words), threshold_(threshold) {}

  struct Result {
    bool recognised = false;
    uint32_t entry = 0;  // the place recognised, or the one stored
    double score = 0;    // the best score (0: no stored place shares a word)
  };
  // Recognises or stores the frame `vector`, showing `place`, and counts it.
  Result Process(const BowVector& vector, int32_t place);

  size_t places() const { return database_.size(); }
  const EvaluationCounts& counts() const { return evaluation_.counts(); }

 private:
  BowDatabase database_;
  double threshold_;
  std::vector<int32_t> originPlaces_;  // by entry: the place its origin shows
  PlaceEvaluation evaluation_;
};

class BowSweep {
 public:
  // Thresholds 0.01, 0.02, ... 0.99, each the double nearest k / 100.
  static std::vector<double> Thresholds();

  // REQUIRES: every threshold > 0
  BowSweep(int words, std::vector<double> thresholds);

  // Recognises or stores the frame `vector`, showing `place`, at every
  // threshold and counts it.
  void Process(const BowVector& vector, int32_t place);

  size_t size() const { return lanes_.size(); }
  double threshold(size_t i) const { return lanes_[i].threshold; }
  size_t places(size_t i) const { return lanes_[i].stored.size(); }
  const EvaluationCounts& counts(size_t i) const { return lanes_[i].evaluation.counts(); }

 private:
  struct Lane {
    double threshold;
    std::vector<uint32_t> stored;  // entries of all_, in the order stored
    PlaceEvaluation evaluation;
  };
  BowDatabase all_;                    // every frame that some threshold stored
  std::vector<int32_t> originPlaces_;  // by entry of all_
  std::vector<Lane> lanes_;
  std::vector<double> scores_;   // the frame's score by entry of all_
  std::vector<size_t> storing_;  // the lanes that store the frame
};

// Its table and its recall at 100 % precision are eval's SweepTable() and
// RecallAtFullPrecision() (RunEvaluation.h), as Placetrace's are.

// The threshold with the highest F1 (of equal F1, the lowest threshold);
// false when no threshold has an F1 that is a number.
bool BestF1(const BowSweep& sweep, size_t* best);

class QueryRecall {
 public:
  // The ranks at which recall is counted.
  static constexpr size_t kRanks[] = {1, 5, 10};
  static constexpr size_t kRankCount = 3;

  explicit QueryRecall(int words) : database_(words) {}

  // Stores a database frame showing `place`.
  void Store(const BowVector& vector, int32_t place);
  // Searches the database for a query frame showing `place`; a frame whose
  // place no stored frame shows (or without a place) is not counted.
  void Search(const BowVector& vector, int32_t place);

  int64_t counted() const { return counted_; }
  int64_t found(size_t rank) const { return found_[rank]; }  // by index into kRanks
  double Recall(size_t rank) const;                          // NaN when nothing was counted

 private:
  BowDatabase database_;
  std::vector<int32_t> places_;  // by entry
  std::vector<bool> held_;       // by place: some stored frame shows it
  std::vector<BowDatabase::Match> best_;
  int64_t counted_ = 0;
  int64_t found_[kRankCount] = {0, 0, 0};
};

}  // namespace placefinder

#endif  // REVISIT_BOWPROTOCOL_H_
