// ListCheck: the randomised check of iList against std::list.
//
// Each iteration grows both lists by random appends and insertions, deletes
// random positions, and then compares the list under test with the reference
// forwards along `next` and backwards along `prev`. The first difference is
// reported as "Loop[i]: ..." and ends the check. Both lists stay at or below
// 4000 elements.
//
// The list type is a template parameter so that tests can run the check on a
// deliberately faulty list; it needs iList's fields and AddTail, InsertBefore,
// GetNext, Rewind and RemoveCurrent.

#ifndef APPS_MARKRUN_LIST_CHECK_H_
#define APPS_MARKRUN_LIST_CHECK_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <list>

#include "check_rounds.h"
#include "markrun_random.h"

namespace placefinder {

// An element: high half and low half from two draws, in that order.
using ListElement = uint64_t;

template <typename TestList>
class ListCheck : public CheckRounds<ListCheck<TestList>> {
 public:
  static constexpr const char* kName = "iList";
  static constexpr uint32_t kDotEvery = 3333;
  static constexpr uint32_t kIterations = 100000;
  using CheckRounds<ListCheck>::kMaxSize;

  ListCheck(TestList& list, std::list<ListElement>& reference, MarkrunRandom& random, FILE* out)
      : CheckRounds<ListCheck>(random, out), list_(list), reference_(reference) {}

  // Appends r / 2 random elements to both lists, then walks them in step and
  // inserts a random element before about every tenth position, at most
  // r / 2 + 1 times. Skipped whole when r would take the size to the limit.
  void Grow() {
    const size_t size = reference_.size();
    const uint32_t r = random_.Draw() % (kMaxSize + 1 - size);
    if (size + r >= kMaxSize) return;
    const uint32_t n = r / 2;
    for (uint32_t k = 0; k < n; ++k) {
      const ListElement e = NewElement();
      reference_.push_back(e);
      list_.AddTail(e);
    }
    list_.Rewind();
    uint32_t inserted = 0;
    for (auto it = reference_.begin(); it != reference_.end(); ++it) {
      list_.GetNext();
      if (random_.Draw() % 10 != 0) continue;
      const ListElement e = NewElement();
      reference_.insert(it, e);
      list_.InsertBefore(e);
      if (++inserted > n) break;
    }
  }

  size_t ReferenceSize() const { return reference_.size(); }

  // Walks both lists to position `p`, comparing every element on the way,
  // and removes it from both. REQUIRES: p < ReferenceSize().
  bool DeleteAt(uint32_t i, size_t p) {
    list_.Rewind();
    auto it = reference_.begin();
    for (size_t q = 0;; ++q, ++it) {
      const auto* node = list_.GetNext();
      if (node == nullptr) return Fail(i, "Unexpected end of test list (before deleting)");
      if (node->value != *it) return Fail(i, "Error in data of test list (before deleting)");
      if (q == p) break;
    }
    reference_.erase(it);
    list_.RemoveCurrent();
    return true;
  }

  // Compares the whole reference with the list under test: forwards with
  // GetNext(), then backwards from `tail` along `prev`. Surplus nodes at the
  // end of the list under test are not looked for.
  bool CheckAfterDeleting(uint32_t i) {
    list_.Rewind();
    for (const ListElement e : reference_) {
      const auto* node = list_.GetNext();
      if (node == nullptr)
        return Fail(i, "{ Dir -> } Unexpected end of test list (after deleting)");
      if (node->value != e)
        return Fail(i, "{ Dir -> } Error in data of test list (after deleting)");
    }
    const auto* node = list_.tail;
    for (auto it = reference_.rbegin(); it != reference_.rend(); ++it, node = node->prev) {
      if (node == nullptr)
        return Fail(i, "{ Dir <- } Unexpected end of test list (after deleting)");
      if (node->value != *it)
        return Fail(i, "{ Dir <- } Error in data of test list (after deleting)");
    }
    return true;
  }

 private:
  ListElement NewElement() {
    const ListElement high = random_.Draw();
    const ListElement low = random_.Draw();
    return high << 32 | low;
  }

  TestList& list_;
  std::list<ListElement>& reference_;
  using CheckRounds<ListCheck>::random_;
  using CheckRounds<ListCheck>::Fail;
};

}  // namespace placefinder

#endif  // APPS_MARKRUN_LIST_CHECK_H_
