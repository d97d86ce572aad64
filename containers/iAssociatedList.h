// iAssociatedList<Key, Data>: (key, data) entries in ascending key order, with
// a sparse index that guides searches by interpolation.
//
// `entries` holds the entries in key order; an entry whose key ranks equal to
// existing ones goes after them. `index` holds an IndexEntry (a copy of the
// key and a pointer to the entry's node) for the entry that arrived when the
// entry count reached 1 or a multiple of kIndexSpacing (10), appended in order
// of creation, so index keys need not ascend. `minKey`/`maxKey` are the smallest and largest
// NumericKey added since the entry list was last empty; removals never narrow
// them.
//
// Find() maps the probe onto [0, 1] through that range, uses the index to pick
// a stretch of the entry list that covers the window probe ± (1 - threshold),
// and offers each entry of the stretch to a match callback in list order. The
// first accepted entry wins, so the index layout decides which of several
// acceptable entries is found.
//
// Both cursors are working state: Find(), Add() and Remove() move `current` of
// both lists, and on success Find() leaves `entries->current` on the accepted
// entry. Not thread-safe, not even for concurrent searches.
//
// The key type plugs in through Traits (see iKeyTraits.h).

#ifndef CONTAINERS_IASSOCIATEDLIST_H_
#define CONTAINERS_IASSOCIATEDLIST_H_

#include <cassert>
#include <cstdint>
#include <memory>
#include <utility>

#include "iKeyTraits.h"
#include "iList.h"

namespace placefinder {

template <typename Key, typename Data, typename Traits = iKeyTraits<Key>>
class iAssociatedList {
 public:
  struct IndexEntry;
  struct Entry {
    Key key;
    Data data;
    iListNode<IndexEntry>* indexNode;  // the index node that points here, or none
  };
  struct IndexEntry {
    Key key;                    // the index's own copy of the entry's key
    iListNode<Entry>* element;  // the indexed entry's node
  };
  using EntryList = iList<Entry>;
  using IndexList = iList<IndexEntry>;

  // Add() indexes the entry that makes the count 1 or a multiple of this; a
  // copy indexes the entries at positions 0, kIndexSpacing, 2 kIndexSpacing...
  static constexpr int32_t kIndexSpacing = 10;

  // Where Find() looks for a probe of numeric key k in a list whose keys span
  // [minKey, maxKey]: the probe's place f = (k - minKey) / (maxKey - minKey)
  // and, with a threshold t, the window [f + t - 1, f - t + 1] of places;
  // without one, the window is f alone. Place() returns false when there is
  // no range to place the probe in (k <= minKey, or one key value only), and
  // the walk starts at the head.
  struct Window {
    double reciprocal = 0;  // 1 / (maxKey - minKey)
    double lower = 0;
    double upper = 0;

    bool Place(double k, double minKey, double maxKey, const double* threshold) {
      if (k <= minKey || maxKey - minKey == 0) return false;
      reciprocal = 1.0 / (maxKey - minKey);
      const double f = (k - minKey) * reciprocal;
      lower = f;
      upper = f;
      if (threshold != nullptr) {
        lower = (f + *threshold) - 1;
        upper = (f - *threshold) + 1;
        // At a threshold of 1 the rounding of f + 1 can put the window just
        // beside f, and an index entry holding the probe's own key would then
        // start the walk after it. The window always contains f itself.
        if (lower > f) lower = f;
        if (upper < f) upper = f;
      }
      return true;
    }
  };

  // Called with `entries` positioned on the existing duplicate, the entry that
  // Add() was about to insert, and Add()'s user data. It updates the current
  // entry in place.
  using MergeFunc = void (*)(EntryList* entries, const Entry* newEntry, void* userData);
  // Returns true when `candidate` is the entry sought. `threshold` is Find()'s
  // threshold pointer, passed on unchanged (possibly none).
  using MatchFunc = bool (*)(const Entry* candidate, const Key& probe, const double* threshold);

  double minKey = 0.0;
  double maxKey = 0.0;
  std::unique_ptr<EntryList> entries;
  std::unique_ptr<IndexList> index;

  iAssociatedList() : entries(new EntryList), index(new IndexList) {}
  iAssociatedList(const iAssociatedList& other) : iAssociatedList() { *this = other; }
  ~iAssociatedList() {
    entries.reset();
    index.reset();
  }

  // Rebuilds this list as a copy of `other`'s entries, in order. The range is
  // that of the copied keys, and the copies at positions 0, 10, 20, ... (every
  // kIndexSpacing-th from the first) get index entries; `other`'s range and
  // index are not read. Assigning a list to itself leaves it unchanged.
  iAssociatedList& operator=(const iAssociatedList& other) {
    if (this == &other) return *this;
    EnsureLists();
    index->RemoveAll();
    entries->RemoveAll();
    int32_t position = 0;
    for (const iListNode<Entry>* node = other.entries ? other.entries->head : nullptr;
         node != nullptr; node = node->next, ++position) {
      IncludeInRange(node->value.key);
      iListNode<Entry>* copy = entries->AddTail(Entry{node->value.key, node->value.data, nullptr});
      if (position % kIndexSpacing == 0)
        copy->value.indexNode = index->AddTail(IndexEntry{copy->value.key, copy});
    }
    return *this;
  }

  // The key type's equality test as a match callback.
  static bool MatchEqual(const Entry* candidate, const Key& probe, const double*) {
    return Traits::Equal(candidate->key, probe);
  }

  // Adds (key, data). An entry equal to `key` already present is merged with
  // `merge` when one is given, and otherwise gets the new key and data in
  // place (keeping its position and index entry). `userData` goes to `merge`.
  void Add(const Key& key, const Data& data, MergeFunc merge = nullptr, void* userData = nullptr) {
    EnsureLists();
    Entry entry{key, data, nullptr};
    IncludeInRange(key);

    // The start is the last index node passed before the first one whose key
    // is not less than the new key.
    iListNode<IndexEntry>* start = nullptr;
    index->Rewind();
    for (iListNode<IndexEntry>* node = index->GetNext(); node != nullptr; node = index->GetNext()) {
      if (!Traits::Less(node->value.key, key)) break;
      start = node;
    }

    if (Find(key, &MatchEqual, nullptr, start) != nullptr) {
      if (merge != nullptr) {
        merge(entries.get(), &entry, userData);
      } else {
        Entry& found = entries->current->value;
        found.key = std::move(entry.key);
        found.data = std::move(entry.data);
      }
      return;
    }

    IndexIfDue(InsertSorted(std::move(entry), start != nullptr ? start->value.element : nullptr));
  }

  // True when `key` ranks above every stored key, so that Append() may take
  // it: the list is empty or its last (largest) key is less than `key`.
  bool RanksAboveAll(const Key& key) const {
    return !entries || entries->tail == nullptr || Traits::Less(entries->tail->value.key, key);
  }

  // Appends (key, data) at the tail, with the same entry, index entry and
  // range that Add() would give it, but without Add()'s index scan and
  // search, so that building a list in ascending key order takes linear time.
  // REQUIRES: RanksAboveAll(key); such a key cannot duplicate an entry.
  void Append(const Key& key, const Data& data) {
    assert(RanksAboveAll(key));
    EnsureLists();
    IncludeInRange(key);
    IndexIfDue(entries->AddTail(Entry{key, data, nullptr}));
  }

  // Exchanges the whole contents (entries, index and range) with `other`
  // without copying or freeing an entry.
  void Swap(iAssociatedList& other) noexcept {
    std::swap(minKey, other.minKey);
    std::swap(maxKey, other.maxKey);
    entries.swap(other.entries);
    index.swap(other.index);
  }

  // Returns the data of the first entry of the searched stretch that `match`
  // accepts, or none. `threshold` (optional) widens the stretch to the window
  // probe ± (1 - *threshold) and is passed on to `match`. `start` (optional)
  // is an index node after which the index scan begins.
  Data* Find(const Key& probe, MatchFunc match, const double* threshold = nullptr,
             iListNode<IndexEntry>* start = nullptr) {
    if (!entries || entries->count == 0) return nullptr;
    iListNode<Entry>* stop = nullptr;
    Window window;
    if (!window.Place(Traits::NumericKey(probe), minKey, maxKey, threshold)) {
      entries->Rewind();
    } else {
      const double reciprocal = window.reciprocal;
      const double lower = window.lower;
      const double upper = window.upper;
      iListNode<Entry>* startElement = nullptr;
      index->SetCurrent(start);
      if (start != nullptr) startElement = start->value.element;
      for (iListNode<IndexEntry>* node = index->GetNext(); node != nullptr;
           node = index->GetNext()) {
        const double l = (Traits::NumericKey(node->value.key) - minKey) * reciprocal;
        if (upper < l) {
          stop = node->value.element;
          break;
        }
        if (l < lower) startElement = node->value.element;
      }
      entries->SetCurrent(startElement);
    }
    for (iListNode<Entry>* node = entries->GetNext(); node != nullptr && node != stop;
         node = entries->GetNext()) {
      if (match(&node->value, probe, threshold)) return &node->value.data;
    }
    return nullptr;
  }

  // Removes the entry equal to `key`, with its index entry; absent keys are
  // ignored. No other entry is indexed in its place and the range is kept.
  void Remove(const Key& key) {
    if (Find(key, &MatchEqual) == nullptr) return;
    RemoveEntry(entries->current);
  }

  // The steps of Add() after its search, for a structure kept beside the
  // list that finds Add()'s place by itself (iMarkrunCatalog), so that the
  // list's invariants stay the list's own.
  //
  // Makes the range cover `key`, as Add() does first; the first key stored in
  // an empty list sets the range anew.
  void IncludeInRange(const Key& key) {
    EnsureLists();
    const double k = Traits::NumericKey(key);
    if (entries->count == 0) {
      minKey = maxKey = k;
      return;
    }
    if (k < minKey) minKey = k;
    if (k > maxKey) maxKey = k;
  }
  // Links a new entry (key, data) just before `before` (at the tail when
  // none; the cursor then stays on `before`) and indexes it when due, as
  // Add() does. REQUIRES: that is where Add() would put it, and no entry
  // equals `key`. Returns its node.
  iListNode<Entry>* InsertNewBefore(const Key& key, const Data& data, iListNode<Entry>* before) {
    EnsureLists();
    iListNode<Entry>* node;
    if (before != nullptr) {
      entries->SetCurrent(before);
      node = entries->InsertBefore(Entry{key, data, nullptr});
    } else {
      node = entries->AddTail(Entry{key, data, nullptr});
    }
    IndexIfDue(node);
    return node;
  }
  // Removes the entry at `node` with its index entry; the index cursor is
  // never left on the freed index node. REQUIRES: `node` is in the list.
  void RemoveEntry(iListNode<Entry>* node) {
    if (node->value.indexNode != nullptr) {
      if (index->current == node->value.indexNode) index->Rewind();
      index->Remove(node->value.indexNode);
    }
    entries->SetCurrent(node);
    entries->RemoveCurrent();
  }

  // Empties both lists; they stay allocated and the range is kept.
  void RemoveAll() {
    if (entries) entries->RemoveAll();
    if (index) index->RemoveAll();
  }

  // Inserts `entry` after every entry whose key is not greater than its own,
  // scanning from the node after `after` (from the head when none). `after`
  // itself is never compared. Returns the new node.
  iListNode<Entry>* InsertSorted(const Entry& entry, iListNode<Entry>* after) {
    return InsertSorted(Entry(entry), after);
  }
  iListNode<Entry>* InsertSorted(Entry&& entry, iListNode<Entry>* after) {
    EnsureLists();
    if (entries->count == 0) return entries->AddTail(std::move(entry));
    entries->SetCurrent(after);
    for (iListNode<Entry>* node = entries->GetNext(); node != nullptr; node = entries->GetNext()) {
      if (Traits::Less(entry.key, node->value.key)) return entries->InsertBefore(std::move(entry));
    }
    return entries->AddTail(std::move(entry));
  }

 private:
  // Gives the entry just added at `node` its index entry when the entry count
  // it brought about is 1 or a multiple of kIndexSpacing.
  void IndexIfDue(iListNode<Entry>* node) {
    const int32_t n = entries->count;
    if (n == 1 || n % kIndexSpacing == 0) {
      node->value.indexNode = index->AddTail(IndexEntry{node->value.key, node});
    }
  }

  // The lists exist from construction on; this only matters for an object
  // whose lists a caller has released.
  void EnsureLists() {
    if (!entries) entries.reset(new EntryList);
    if (!index) index.reset(new IndexList);
  }
};

}  // namespace placefinder

#endif  // CONTAINERS_IASSOCIATEDLIST_H_
