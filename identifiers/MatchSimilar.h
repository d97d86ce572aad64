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
// to the run counts within the window probe ± (1 - t).

#ifndef IDENTIFIERS_MATCHSIMILAR_H_
#define IDENTIFIERS_MATCHSIMILAR_H_

#include <cstdint>

#include "iAssociatedList.h"
#include "iMarkrun.h"

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

// The match callback of a collection search: true when the candidate's string
// is at least *threshold similar to the probe, so a similarity equal to the
// threshold matches. Without a threshold it asks for similarity 1 (the same
// runs and counts, with counts summing to both lengths), which is also the
// zero-width window that Find() searches without one.
template <typename Id>
bool MatchSimilar(const typename iMarkrunCollection<Id>::Entry* candidate,
                  const iMarkrun<Id>& probe, const double* threshold) {
  const double t = threshold != nullptr ? *threshold : 1.0;
  return Similarity(candidate->key, probe) >= t;
}

#endif  // IDENTIFIERS_MATCHSIMILAR_H_
