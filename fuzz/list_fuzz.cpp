// Differential fuzzer for iList<int64_t>.
//
// The input is read as a sequence of operations on two lists, each mirrored
// on a std::list with a model cursor. After every operation both lists are
// compared with their models: the count, a forward and a backward walk
// (values, node identity and links) and the cursor. A mismatch aborts, which
// libFuzzer records as a crash together with the input.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <list>
#include <utility>

#include "iList.h"

namespace {

using namespace placefinder;

using List = iList<int64_t>;
using Node = List::Node;

[[noreturn]] void Fail(const char* what, int line) {
  std::fprintf(stderr, "list_fuzz: check failed at line %d: %s\n", line, what);
  std::abort();
}

#define CHECK(condition)                          \
  do {                                            \
    if (!(condition)) Fail(#condition, __LINE__); \
  } while (0)

// A model element: the value and the node that holds it in the real list.
// Elements copied by AddList() start without a node; the next check learns it.
struct Item {
  int64_t value;
  Node* node;
};

// One list under test and its model. The model cursor end() stands for none.
struct Subject {
  List list;
  std::list<Item> items;
  std::list<Item>::iterator cursor = items.end();

  Subject() = default;
  Subject(const Subject&) = delete;
  Subject& operator=(const Subject&) = delete;
};

// Lists grow by doubling under AddList(); past this size it is skipped so that
// an input cannot make a run quadratic or worse.
constexpr size_t kMaxNodes = 2048;

void Check(Subject& s) {
  const List& list = s.list;
  const size_t n = s.items.size();
  CHECK(list.count >= 0 && static_cast<size_t>(list.count) == n);
  CHECK((list.head == nullptr) == (n == 0));
  CHECK((list.tail == nullptr) == (n == 0));

  // Forward along `next`: values, nodes and `prev` links. At most n steps, so
  // a cycle shows as a list that does not end.
  const Node* previous = nullptr;
  const Node* node = list.head;
  for (Item& item : s.items) {
    CHECK(node != nullptr);
    CHECK(node->prev == previous);
    CHECK(node->value == item.value);
    if (item.node == nullptr) {
      item.node = const_cast<Node*>(node);
    } else {
      CHECK(node == item.node);
    }
    previous = node;
    node = node->next;
  }
  CHECK(node == nullptr);
  CHECK(list.tail == previous);

  // Backward along `prev`: the same nodes in reverse.
  node = list.tail;
  for (auto it = s.items.rbegin(); it != s.items.rend(); ++it) {
    CHECK(node == it->node);
    node = node->prev;
  }
  CHECK(node == nullptr);

  CHECK(list.current == (s.cursor == s.items.end() ? nullptr : s.cursor->node));
}

// The model position of the node at `index`, or end() for an index past the
// last node.
std::list<Item>::iterator At(Subject& s, size_t index) {
  if (index >= s.items.size()) return s.items.end();
  return std::next(s.items.begin(), static_cast<std::ptrdiff_t>(index));
}

enum Op : uint8_t {
  kAddTail,
  kInsertBefore,
  kGetNext,
  kRewind,
  kRemoveCurrent,
  kRemove,
  kRemoveNone,
  kAddList,
  kTakeOver,
  kRemoveAll,
  kSetCurrent,
  kAdvanceWalk,
  kMoveRoundTrip,
  kOpCount
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  Subject subjects[2];
  int64_t serial = 0;

  while (input.remaining_bytes() > 0) {
    const uint8_t selector = input.ConsumeIntegral<uint8_t>();
    Subject& s = subjects[selector >> 7];
    // The other list of a two-list operation: the second list, or this one
    // again when bit 6 is set.
    Subject& other = (selector & 0x40) ? s : subjects[1 - (selector >> 7)];
    List& list = s.list;

    switch ((selector & 0x3F) % kOpCount) {
      case kAddTail: {
        if (s.items.size() >= kMaxNodes) break;
        const int64_t value = ++serial;
        Node* node = list.AddTail(value);
        CHECK(node != nullptr && node->value == value);
        s.items.push_back(Item{value, node});
        break;
      }
      case kInsertBefore: {
        if (s.items.size() >= kMaxNodes) break;
        const int64_t value = ++serial;
        Node* node = list.InsertBefore(value);
        CHECK(node != nullptr && node->value == value);
        // Before the cursor, or at the head when the cursor is none. The
        // cursor stays on its node.
        const auto where = s.cursor == s.items.end() ? s.items.begin() : s.cursor;
        s.items.insert(where, Item{value, node});
        break;
      }
      case kGetNext: {
        Node* got = list.GetNext();
        Node* expected = nullptr;
        if (s.cursor == s.items.end()) {
          s.cursor = s.items.begin();
          if (s.cursor != s.items.end()) expected = s.cursor->node;
        } else if (std::next(s.cursor) != s.items.end()) {
          ++s.cursor;
          expected = s.cursor->node;
        }
        CHECK(got == expected);
        break;
      }
      case kRewind:
        list.Rewind();
        s.cursor = s.items.end();
        break;
      case kRemoveCurrent:
        list.RemoveCurrent();
        if (s.cursor != s.items.end()) s.cursor = s.items.erase(s.cursor);
        break;
      case kRemove: {
        // Any node but the one under the cursor.
        const size_t candidates = s.items.size() - (s.cursor == s.items.end() ? 0 : 1);
        if (candidates == 0) break;
        size_t index = input.ConsumeIntegralInRange<size_t>(0, candidates - 1);
        if (s.cursor != s.items.end() &&
            index >= static_cast<size_t>(std::distance(s.items.begin(), s.cursor))) {
          ++index;
        }
        const auto victim = At(s, index);
        list.Remove(victim->node);
        s.items.erase(victim);
        break;
      }
      case kRemoveNone:
        list.Remove(nullptr);
        break;
      case kAddList: {
        if (s.items.size() + other.items.size() > kMaxNodes) break;
        // Copies of the other list's elements, as they were before the call
        // (a list appended to itself is copied once).
        const size_t copies = other.items.size();
        auto source = other.items.begin();
        for (size_t i = 0; i < copies; ++i, ++source) {
          s.items.push_back(Item{source->value, nullptr});
        }
        list.AddList(other.list);
        break;
      }
      case kTakeOver: {
        list.TakeOver(other.list);
        if (&other == &s) break;
        // This list's nodes are freed; the other's nodes and cursor move over.
        const bool none = other.cursor == other.items.end();
        const auto cursor = other.cursor;
        s.items.clear();
        s.items.splice(s.items.end(), other.items);
        s.cursor = none ? s.items.end() : cursor;
        other.cursor = other.items.end();
        break;
      }
      case kRemoveAll:
        list.RemoveAll();
        s.items.clear();
        s.cursor = s.items.end();
        break;
      case kSetCurrent: {
        // An index past the last node sets the cursor to none.
        s.cursor = At(s, input.ConsumeIntegralInRange<size_t>(0, s.items.size()));
        list.SetCurrent(s.cursor == s.items.end() ? nullptr : s.cursor->node);
        break;
      }
      case kAdvanceWalk: {
        // A walk with the static helper visits every node and leaves the
        // cursor alone (checked below).
        Node* position = list.head;
        for (const Item& item : s.items) CHECK(List::Advance(position) == item.node);
        CHECK(position == nullptr);
        CHECK(List::Advance(position) == nullptr);
        CHECK(List::Advance(static_cast<Node**>(nullptr)) == nullptr);
        Node* head = list.head;
        CHECK(List::Advance(&head) == list.head);
        break;
      }
      case kMoveRoundTrip: {
        // Moving a list out and back keeps its nodes and its cursor.
        List moved(std::move(list));
        CHECK(list.count == 0 && list.head == nullptr && list.tail == nullptr &&
              list.current == nullptr);
        CHECK(moved.count == static_cast<int32_t>(s.items.size()));
        list = std::move(moved);
        CHECK(moved.count == 0 && moved.head == nullptr);
        break;
      }
    }
    Check(subjects[0]);
    Check(subjects[1]);
  }
  return 0;
}
