// The identifier-string part of the self-check.
//
// RunMarkrunDemo() builds fifty random identifier strings, prints each one as
// built, collects them by run count and prints the collection, then extends a
// copy of one chosen string by three random ids and searches the collection
// for it at similarity 0.7. It checks nothing; it prints what it built and
// what the search found.

#ifndef APPS_MARKRUN_MARKRUN_DEMO_H_
#define APPS_MARKRUN_MARKRUN_DEMO_H_

#include <cstdint>
#include <cstdio>

#include "MatchSimilar.h"
#include "iList.h"
#include "markrun_random.h"

namespace placefinder {

// Appends `n` ids, each a draw modulo 256, to `ids` in draw order and leaves
// its cursor at none.
void RandomIds(iList<int32_t>& ids, uint32_t n, MarkrunRandom& random);

// Prints every string of `collection` with a newline, in entry order.
void PrintCollection(const iMarkrunCollection<int32_t>& collection, FILE* out);

void RunMarkrunDemo(MarkrunRandom& random, FILE* out);

}  // namespace placefinder

#endif  // APPS_MARKRUN_MARKRUN_DEMO_H_
