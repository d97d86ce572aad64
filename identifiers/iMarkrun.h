// iMarkrun<Id>: an identifier string. For every id of a sequence it keeps one
// run (the id and a count) in ascending id order, and the sequence's length.
//
// The order of the sequence is not kept. `length` is the number of ids the
// string was built from: a rebuild sets it, an extension adds to it, and it is
// never recomputed from the runs. A rebuild that meets an id again after other
// ids came between keeps only that id's last block, so the counts can sum to
// less than `length`; they never sum to more.
//
// `runs` maps each id to its count (at least 1). Each string owns its runs;
// copies copy them in full and moves hand them over, so two strings never
// share one container.
//
// As the key of an iAssociatedList (a collection of strings, see
// MatchSimilar.h) a string's NumericKey is its number of runs, strings are
// ordered by run count and are equal when their run ids are (the iKeyTraits
// specialisation at the end of this file).
//
// Not thread-safe: rebuilding and the container's own searches move the
// cursors of `runs`.

#ifndef IDENTIFIERS_IMARKRUN_H_
#define IDENTIFIERS_IMARKRUN_H_

#include <cstdint>
#include <cstdio>
#include <type_traits>

#include "iAssociatedList.h"
#include "iIdTraits.h"
#include "iKeyTraits.h"

namespace placefinder {

template <typename Id>
class iMarkrun {
 public:
  using Runs = iAssociatedList<Id, int32_t>;
  using Entry = typename Runs::Entry;
  using EntryList = typename Runs::EntryList;

  int32_t length = 0;  // number of ids the string was built from
  Runs runs;           // id -> count, ascending ids, one run per id

  iMarkrun() = default;

  // The copy gets its own runs, indexed afresh at runs 0, 10, 20, ...
  iMarkrun(const iMarkrun& other) : length(other.length), runs(other.runs) {}

  // Takes over `other`'s runs without copying them; `other` is left an empty
  // string (length 0, no runs) that is still fully usable.
  iMarkrun(iMarkrun&& other) : length(other.length) {
    other.length = 0;
    runs.Swap(other.runs);
  }

  // Self-assignment leaves the string unchanged.
  iMarkrun& operator=(const iMarkrun& other) {
    if (this != &other) {
      length = other.length;
      runs = other.runs;
    }
    return *this;
  }

  iMarkrun& operator=(iMarkrun&& other) {
    if (this != &other) {
      length = other.length;
      other.length = 0;
      runs.Swap(other.runs);
      other.runs.RemoveAll();
    }
    return *this;
  }

  int32_t RunCount() const { return runs.entries->count; }

  // Rebuilds the string from the ids of `ids` (`add` false), or extends it by
  // them (`add` true). `ids` is an iList whose element type has an
  // iIdTraits<Element>::Id(); it is walked along the raw links, so its cursor
  // does not move, and its `count` is taken as its length.
  //
  // Each block of equal consecutive ids becomes one run with the block's
  // length. On a rebuild a later block of an id overwrites the earlier one's
  // count; on an extension the counts of an id are summed (MergeAddCount).
  template <typename List>
  void SetIds(const List& ids, bool add) {
    typename Runs::MergeFunc merge = nullptr;
    if (add) {
      length += ids.count;
      merge = &MergeAddCount;
    } else {
      runs.RemoveAll();
      length = ids.count;
    }

    const auto* node = ids.head;
    if (node == nullptr) return;
    using Element = std::remove_cv_t<std::remove_reference_t<decltype(node->value)>>;
    Id previous = iIdTraits<Element>::Id(node->value);
    int32_t block = 1;
    for (node = node->next; node != nullptr; node = node->next) {
      const Id id = iIdTraits<Element>::Id(node->value);
      if (id == previous) {
        ++block;
        continue;
      }
      AddRun(previous, block, merge);
      previous = id;
      block = 1;
    }
    AddRun(previous, block, merge);
  }

  // The merge callback of an extension: adds the new run's count to the run
  // with the same id, which `entries->current` designates.
  static void MergeAddCount(EntryList* entries, const Entry* newEntry, void* /*userData*/) {
    entries->current->value.data += newEntry->data;
  }

  // True when both strings have the same run ids in the same order; counts
  // and lengths are not compared.
  bool operator==(const iMarkrun& other) const {
    if (RunCount() != other.RunCount()) return false;
    const auto* a = runs.entries->head;
    const auto* b = other.runs.entries->head;
    for (; a != nullptr && b != nullptr; a = a->next, b = b->next) {
      if (!(a->value.key == b->value.key)) return false;
    }
    return true;
  }
  bool operator!=(const iMarkrun& other) const { return !(*this == other); }

  // Writes the sorted expansion of the runs: every id as "%2.2X " as many
  // times as its count, in ascending id order, then "\n" when `newline`.
  void Print(FILE* out, bool newline) const {
    for (const auto* node = runs.entries->head; node != nullptr; node = node->next) {
      const unsigned int id = static_cast<unsigned int>(node->value.key);
      for (int32_t i = 0; i < node->value.data; ++i) std::fprintf(out, "%2.2X ", id);
    }
    if (newline) std::fputs("\n", out);
  }
  void Print(bool newline) const { Print(stdout, newline); }

 private:
  // Adds one run. A run above every present id (always the case for ids that
  // arrive in ascending order) is appended, which saves Add()'s two index
  // scans; those would make a sorted rebuild quadratic.
  void AddRun(const Id& id, int32_t count, typename Runs::MergeFunc merge) {
    if (runs.RanksAboveAll(id)) {
      runs.Append(id, count);
    } else {
      runs.Add(id, count, merge, nullptr);
    }
  }
};

// A string as a collection key: placed by its number of runs, identified by
// its run ids.
template <typename Id>
struct iKeyTraits<iMarkrun<Id>> {
  static double NumericKey(const iMarkrun<Id>& s) { return static_cast<double>(s.RunCount()); }
  static bool Less(const iMarkrun<Id>& a, const iMarkrun<Id>& b) {
    return a.RunCount() < b.RunCount();
  }
  static bool Equal(const iMarkrun<Id>& a, const iMarkrun<Id>& b) { return a == b; }
};

}  // namespace placefinder

#endif  // IDENTIFIERS_IMARKRUN_H_
