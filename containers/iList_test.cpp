#include "iList.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <list>
#include <new>
#include <random>
#include <vector>

namespace placefinder {

// An element type that opts into node recycling.
struct Recycled {
  int64_t v;
};
template <>
struct iNodeAllocator<Recycled> : iRecyclingNodeAllocator<Recycled, 4> {};

namespace {

using IntList = iList<int64_t>;

// Checks every structural invariant of `list` and that it holds `expected`,
// walking forward along `next` and backward along `prev`.
void ExpectHolds(const IntList& list, const std::vector<int64_t>& expected) {
  ASSERT_EQ(list.count, static_cast<int32_t>(expected.size()));
  if (expected.empty()) {
    EXPECT_EQ(list.head, nullptr);
    EXPECT_EQ(list.tail, nullptr);
    return;
  }
  ASSERT_NE(list.head, nullptr);
  EXPECT_EQ(list.head->prev, nullptr);
  EXPECT_EQ(list.tail->next, nullptr);
  const IntList::Node* node = list.head;
  for (size_t i = 0; i < expected.size(); ++i, node = node->next) {
    ASSERT_NE(node, nullptr) << "forward walk ends at " << i;
    EXPECT_EQ(node->value, expected[i]) << "forward position " << i;
    if (node->next != nullptr) {
      EXPECT_EQ(node->next->prev, node);
    }
  }
  EXPECT_EQ(node, nullptr) << "surplus nodes after the expected ones";
  node = list.tail;
  for (size_t i = expected.size(); i-- > 0; node = node->prev) {
    ASSERT_NE(node, nullptr) << "backward walk ends at " << i;
    EXPECT_EQ(node->value, expected[i]) << "backward position " << i;
  }
  EXPECT_EQ(node, nullptr);
}

std::vector<int64_t> Values(const IntList& list) {
  std::vector<int64_t> out;
  for (const IntList::Node* n = list.head; n != nullptr; n = n->next) out.push_back(n->value);
  return out;
}

TEST(iListTest, GetNextStopsAtTheEndWithoutWrapping) {
  IntList list;
  EXPECT_EQ(list.GetNext(), nullptr);
  EXPECT_EQ(list.current, nullptr);

  IntList::Node* only = list.AddTail(7);
  EXPECT_EQ(list.current, nullptr) << "adding never moves the cursor";
  EXPECT_EQ(list.GetNext(), only);
  EXPECT_EQ(list.GetNext(), nullptr);
  EXPECT_EQ(list.GetNext(), nullptr);
  EXPECT_EQ(list.current, only) << "the cursor stays on the last node";
  list.Rewind();
  EXPECT_EQ(list.GetNext(), only);
}

TEST(iListTest, InsertBeforeFollowsTheCursor) {
  struct Case {
    const char* name;
    std::vector<int64_t> initial;
    int steps;  // GetNext calls before the insertion; 0 leaves the cursor none
    std::vector<int64_t> expected;
  };
  const Case cases[] = {
      {"empty list behaves as AddTail", {}, 0, {9}},
      {"cursor none puts it at the head", {1, 2, 3}, 0, {9, 1, 2, 3}},
      {"cursor on head makes it the head", {1, 2, 3}, 1, {9, 1, 2, 3}},
      {"cursor in the middle", {1, 2, 3}, 2, {1, 9, 2, 3}},
      {"cursor on the tail keeps the tail", {1, 2, 3}, 3, {1, 2, 9, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    IntList list;
    for (int64_t v : c.initial) list.AddTail(v);
    for (int i = 0; i < c.steps; ++i) list.GetNext();
    IntList::Node* const cursor = list.current;
    IntList::Node* const tail = list.tail;
    IntList::Node* node = list.InsertBefore(9);
    EXPECT_EQ(node->value, 9);
    EXPECT_EQ(list.current, cursor);
    if (!c.initial.empty()) {
      EXPECT_EQ(list.tail, tail);
    }
    ExpectHolds(list, c.expected);
  }
}

TEST(iListTest, RemoveKeepsEndsConsistent) {
  struct Case {
    const char* name;
    int position;  // which node to remove
    std::vector<int64_t> expected;
  };
  const Case cases[] = {
      {"head", 0, {2, 3}},
      {"middle", 1, {1, 3}},
      {"tail", 2, {1, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    IntList list;
    for (int64_t v : {1, 2, 3}) list.AddTail(v);
    IntList::Node* node = list.head;
    for (int i = 0; i < c.position; ++i) node = node->next;
    list.Remove(node);
    ExpectHolds(list, c.expected);
  }
  IntList single;
  single.Remove(nullptr);
  single.Remove(single.AddTail(5));
  ExpectHolds(single, {});
}

TEST(iListTest, RemoveCurrentMovesOnAndRestartsAfterTheLast) {
  IntList list;
  for (int64_t v : {1, 2, 3}) list.AddTail(v);
  list.RemoveCurrent();  // no cursor: nothing happens
  ExpectHolds(list, {1, 2, 3});
  list.GetNext();
  list.RemoveCurrent();
  EXPECT_EQ(list.current->value, 2);
  list.GetNext();
  list.RemoveCurrent();  // the last node
  EXPECT_EQ(list.current, nullptr);
  ExpectHolds(list, {2});
  EXPECT_EQ(list.GetNext(), list.head);
  list.RemoveAll();
  list.RemoveAll();
  ExpectHolds(list, {});
  EXPECT_EQ(list.current, nullptr);
}

TEST(iListTest, AdvanceWalksWithoutTouchingTheCursor) {
  IntList list;
  for (int64_t v : {4, 5}) list.AddTail(v);
  IntList::Node* position = list.head;
  EXPECT_EQ(IntList::Advance(position)->value, 4);
  EXPECT_EQ(IntList::Advance(position)->value, 5);
  EXPECT_EQ(position, nullptr);
  EXPECT_EQ(IntList::Advance(position), nullptr);
  EXPECT_EQ(IntList::Advance(static_cast<IntList::Node**>(nullptr)), nullptr);
  EXPECT_EQ(list.current, nullptr);
}

TEST(iListTest, AddListAndTakeOverCopyOrMoveWholeLists) {
  IntList a;
  for (int64_t v : {1, 2}) a.AddTail(v);
  a.GetNext();
  IntList b;
  b.AddTail(0);
  b.AddList(a).AddList(b);  // appending a list to itself copies it once
  ExpectHolds(b, {0, 1, 2, 0, 1, 2});
  ExpectHolds(a, {1, 2});
  EXPECT_EQ(a.current, a.head) << "the source's cursor is untouched";

  IntList::Node* const cursor = a.current;
  b.TakeOver(a);  // b's own nodes are freed, not lost (checked by the sanitizer build)
  ExpectHolds(b, {1, 2});
  EXPECT_EQ(b.current, cursor);
  ExpectHolds(a, {});
  EXPECT_EQ(a.current, nullptr);

  IntList moved(std::move(b));
  ExpectHolds(moved, {1, 2});
  ExpectHolds(b, {});
}

// An element whose copy can be made to fail, to show that a failed add leaves
// no half-linked node behind.
struct Fragile {
  static bool fail;
  int64_t v;
  explicit Fragile(int64_t value) : v(value) {}
  Fragile(const Fragile& other) : v(other.v) {
    if (fail) throw std::bad_alloc();
  }
};
bool Fragile::fail = false;

TEST(iListTest, FailedAddLeavesTheListUnchanged) {
  iList<Fragile> list;
  list.AddTail(Fragile(1));
  list.AddTail(Fragile(2));
  list.GetNext();
  Fragile::fail = true;
  const Fragile third(3);
  EXPECT_THROW(list.AddTail(third), std::bad_alloc);
  EXPECT_THROW(list.InsertBefore(third), std::bad_alloc);
  Fragile::fail = false;
  ASSERT_EQ(list.count, 2);
  EXPECT_EQ(list.head->value.v, 1);
  EXPECT_EQ(list.head->next, list.tail);
  EXPECT_EQ(list.tail->prev, list.head);
  EXPECT_EQ(list.tail->value.v, 2);
  EXPECT_EQ(list.current, list.head);
}

TEST(iListTest, RecycledNodesAreReusedUpToTheBoundAndListsStayIntact) {
  iList<Recycled> list;
  for (int64_t v = 0; v < 6; ++v) list.AddTail(Recycled{v});
  std::vector<const void*> freed;
  for (auto* n = list.head; n != nullptr; n = n->next) freed.push_back(n);
  list.RemoveAll();  // four nodes are kept, two go back to the heap
  for (int64_t v = 0; v < 4; ++v) {
    const void* node = list.AddTail(Recycled{v});
    EXPECT_NE(std::find(freed.begin(), freed.end(), node), freed.end()) << "node " << v;
  }
  list.GetNext();
  list.InsertBefore(Recycled{-1});
  list.Remove(list.tail);
  std::vector<int64_t> values;
  for (auto* n = list.head; n != nullptr; n = n->next) values.push_back(n->value.v);
  EXPECT_EQ(values, std::vector<int64_t>({-1, 0, 1, 2}));
  iList<Recycled> taken;
  taken.AddTail(Recycled{9});
  taken.TakeOver(list);
  EXPECT_EQ(taken.count, 4);
}

// Random appends, insertions at the cursor, removals under the cursor and by
// node, whole-list copies and moves, mirrored on std::list.
TEST(iListTest, MatchesStdListUnderRandomOperations) {
  std::mt19937 rng(20261209);
  for (int round = 0; round < 40; ++round) {
    IntList list;
    std::list<int64_t> model;
    // The model's cursor: model.end() stands for "none".
    auto cursor = model.end();
    int64_t next_value = 0;
    for (int op = 0; op < 400; ++op) {
      switch (rng() % 8) {
        case 0:
        case 1:
          list.AddTail(next_value);
          model.push_back(next_value++);
          break;
        case 2:  // insert just before the cursor (at the head when none)
          list.InsertBefore(next_value);
          model.insert(cursor == model.end() ? model.begin() : cursor, next_value++);
          break;
        case 3: {  // advance the cursor
          IntList::Node* node = list.GetNext();
          if (cursor == model.end()) {
            cursor = model.begin();
          } else if (std::next(cursor) != model.end()) {
            ++cursor;
          } else {
            ASSERT_EQ(node, nullptr);
            break;
          }
          ASSERT_EQ(node == nullptr, cursor == model.end());
          if (node != nullptr) {
            ASSERT_EQ(node->value, *cursor);
          }
          break;
        }
        case 4:
          list.RemoveCurrent();
          if (cursor != model.end()) cursor = model.erase(cursor);
          break;
        case 5: {  // remove a random node that is not under the cursor
          if (model.empty()) break;
          size_t p = rng() % model.size();
          IntList::Node* node = list.head;
          auto it = model.begin();
          for (size_t i = 0; i < p; ++i, node = node->next, ++it) {
          }
          if (node == list.current) break;
          list.Remove(node);
          model.erase(it);
          break;
        }
        case 6: {  // append a copy of a small list
          IntList other;
          std::vector<int64_t> added;
          for (int i = rng() % 4; i > 0; --i) {
            other.AddTail(next_value);
            added.push_back(next_value++);
          }
          list.AddList(other);
          model.insert(model.end(), added.begin(), added.end());
          break;
        }
        case 7:
          if (rng() % 8 == 0) {
            list.Rewind();
            cursor = model.end();
          }
          break;
      }
      ASSERT_NO_FATAL_FAILURE(ExpectHolds(list, {model.begin(), model.end()}));
    }
    IntList taken;
    taken.TakeOver(list);
    ASSERT_NO_FATAL_FAILURE(ExpectHolds(taken, {model.begin(), model.end()}));
    EXPECT_EQ(Values(list).size(), 0u);
  }
}

}  // namespace

}  // namespace placefinder
