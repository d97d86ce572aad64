// Similarity of identifier strings, and the collection they are searched in.
//
// Similarity(a, b) is the sum, over the ids both strings contain, of the
// smaller of the two counts, divided by the larger `length`; two strings of
// length 0 have similarity 1. Since a string's counts never sum to more than
// its length, the value lies in [0, 1]. The divisor is `length`, not the sum
// of the counts, so a string whose rebuild overwrote a block is less than
// fully similar even to itself.
//
// An iMarkrunCollection keeps strings (its own copies) in ascending order of
// run count, each with an unsigned index. Searching it with MatchSimilar and a
// threshold t finds the first stored string, in list order, whose similarity
// to the probe is at least t; iAssociatedList::Find() narrows the candidates
// to the run counts within the window probe ± (1 - t), and MatchSimilar
// settles most of them without finishing the sum, with the same result.

#ifndef IDENTIFIERS_MATCHSIMILAR_H_
#define IDENTIFIERS_MATCHSIMILAR_H_

#include <cmath>
#include <cstdint>

#include "iAssociatedList.h"
#include "iMarkrun.h"

namespace placefinder {

template <typename Id>
using iMarkrunCollection = iAssociatedList<iMarkrun<Id>, uint32_t>;

// Both run lists are sorted by id with one run per id, so one merge walk over
// their raw links finds every shared id: time linear in the two run counts,
// and neither string's cursors move. The sum is an exact integer, so the
// result does not depend on which string is walked.
template <typename Id>
double Similarity(const iMarkrun<Id>& a, const iMarkrun<Id>& b) {
  const int32_t m = a.length > b.length ? a.length : b.length;
  if (m == 0) return 1.0;
  int64_t sum = 0;
  const auto* x = a.runs.entries->head;
  const auto* y = b.runs.entries->head;
  while (x != nullptr && y != nullptr) {
    if (x->value.key < y->value.key) {
      x = x->next;
    } else if (y->value.key < x->value.key) {
      y = y->next;
    } else {
      sum += x->value.data < y->value.data ? x->value.data : y->value.data;
      x = x->next;
      y = y->next;
    }
  }
  return static_cast<double>(sum) / static_cast<double>(m);
}

// The smallest integer s in [0, m + 1] for which
// static_cast<double>(s) / static_cast<double>(m) >= t, the test Similarity()
// and MatchSimilar() apply, with m + 1 meaning no s up to m passes (t above 1,
// or NaN). REQUIRES: m > 0.
//
// Correctly rounded division by a positive m is monotone in s, and so is the
// comparison, so the test holds exactly for the integers from the result on.
// ceil(t * m) is within one of the result (t * m is off by less than one for
// m < 2^31); the steps below settle it with the very expression that decides
// a match.
inline int64_t SimilarityNeed(int32_t m, double t) {
  const double dm = static_cast<double>(m);
  const auto passes = [dm, t](int64_t s) { return static_cast<double>(s) / dm >= t; };
  if (!passes(m)) return static_cast<int64_t>(m) + 1;
  if (passes(0)) return 0;
  // Here 0 < t <= 1, so t * m lies in (0, m].
  int64_t s = static_cast<int64_t>(std::ceil(t * dm));
  if (s < 1) s = 1;
  if (s > m) s = m;
  while (s > 1 && passes(s - 1)) --s;
  while (!passes(s)) ++s;
  return s;
}

// The test Similarity(a, b) >= t, decided without always finishing the sum.
// Both searches of a collection use it: MatchSimilar() below, the match
// callback of the collection's own Find() (now the plain reference), and the
// catalog's search (iMarkrunCatalog), which reads the same runs from arrays.
//
// With m the larger length (m > 0) and `need` = SimilarityNeed(m, t), the test
// is sum >= need. Every run count is at least 1 and a string's counts add up
// to at most its length (SetIds() keeps both true; it is the precondition
// here), so:
//   - the sum never exceeds the smaller length: when that is below `need`,
//     the answer is no without touching the runs;
//   - the sum only grows along the merge walk: once it reaches `need`, yes;
//   - the runs of A not yet passed count at most A's length minus the counts
//     of A's runs already passed, and likewise for B; each shared id ahead
//     adds at most its count in either string, so the final sum is at most
//     the partial sum plus the smaller of those two rests. Once that is below
//     `need`, no. Written per string: A's rest falls below need - sum exactly
//     when the counts A has lost so far (passed without adding to the sum)
//     exceed A's length minus `need`.
// A string whose counts sum to less than its length (a rebuild overwrote a
// block) only makes these bounds looser, never wrong.
struct SimilarityTest {
  // What the lengths alone decide: Start() sets `decided` and `result` when
  // they settle the test, and otherwise `need` for the walk.
  bool decided = false;
  bool result = false;
  int64_t need = 0;

  static SimilarityTest Start(int32_t lengthA, int32_t lengthB, double t) {
    SimilarityTest test;
    const int32_t m = lengthA > lengthB ? lengthA : lengthB;
    if (m == 0) return Decided(1.0 >= t);
    const int32_t shorter = lengthA < lengthB ? lengthA : lengthB;
    // By monotonicity, shorter < need exactly when `shorter` itself fails.
    if (!(static_cast<double>(shorter) / static_cast<double>(m) >= t)) return Decided(false);
    test.need = SimilarityNeed(m, t);
    if (test.need == 0) return Decided(true);
    return test;
  }

  // The merge walk over both strings' runs in ascending id order. A run
  // cursor has AtEnd(), IdHere(), CountHere() and Advance().
  template <typename CursorA, typename CursorB>
  bool Walk(int32_t lengthA, CursorA a, int32_t lengthB, CursorB b) const {
    // How much more each string may lose before `need` is out of reach.
    int64_t slackA = static_cast<int64_t>(lengthA) - need;
    int64_t slackB = static_cast<int64_t>(lengthB) - need;
    int64_t sum = 0;
    while (!a.AtEnd() && !b.AtEnd()) {
      if (a.IdHere() < b.IdHere()) {
        slackA -= a.CountHere();
        if (slackA < 0) return false;
        a.Advance();
      } else if (b.IdHere() < a.IdHere()) {
        slackB -= b.CountHere();
        if (slackB < 0) return false;
        b.Advance();
      } else {
        const int32_t countA = a.CountHere();
        const int32_t countB = b.CountHere();
        if (countA < countB) {
          sum += countA;
          slackB -= countB - countA;
        } else {
          sum += countB;
          slackA -= countA - countB;
        }
        if (sum >= need) return true;
        if (slackA < 0 || slackB < 0) return false;
        a.Advance();
        b.Advance();
      }
    }
    return false;  // the walk ended with sum < need
  }

 private:
  static SimilarityTest Decided(bool result) {
    SimilarityTest test;
    test.decided = true;
    test.result = result;
    return test;
  }
};

// A run cursor over an iMarkrun's own run list.
template <typename Id>
class MarkrunRuns {
 public:
  explicit MarkrunRuns(const iMarkrun<Id>& s) : node_(s.runs.entries->head) {}
  bool AtEnd() const { return node_ == nullptr; }
  Id IdHere() const { return node_->value.key; }
  int32_t CountHere() const { return node_->value.data; }
  void Advance() { node_ = node_->next; }

 private:
  const iListNode<typename iMarkrun<Id>::Entry>* node_;
};

// The match callback of a collection search: true exactly when
// Similarity(candidate->key, probe) >= *threshold, so a similarity equal to
// the threshold matches. Without a threshold it asks for similarity 1 (the
// same runs and counts, with counts summing to both lengths), which is also
// the zero-width window that Find() searches without one. A search offers it
// every string of the window; SimilarityTest decides each without always
// finishing the sum.
template <typename Id>
bool MatchSimilar(const typename iMarkrunCollection<Id>::Entry* candidate,
                  const iMarkrun<Id>& probe, const double* threshold) {
  const double t = threshold != nullptr ? *threshold : 1.0;
  const iMarkrun<Id>& a = candidate->key;
  const SimilarityTest test = SimilarityTest::Start(a.length, probe.length, t);
  if (test.decided) return test.result;
  return test.Walk(a.length, MarkrunRuns<Id>(a), probe.length, MarkrunRuns<Id>(probe));
}

}  // namespace placefinder

#endif  // IDENTIFIERS_MATCHSIMILAR_H_
