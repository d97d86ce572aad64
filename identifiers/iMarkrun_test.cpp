#include "iMarkrun.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace placefinder {

namespace {

using String = iMarkrun<int32_t>;
using Runs = std::vector<std::pair<int32_t, int32_t>>;

void Fill(iList<int32_t>& list, const std::vector<int32_t>& ids) {
  list.RemoveAll();
  for (int32_t id : ids) list.AddTail(id);
}

String Build(const std::vector<int32_t>& ids) {
  iList<int32_t> list;
  Fill(list, ids);
  String s;
  s.SetIds(list, false);
  return s;
}

Runs RunsOf(const String& s) {
  Runs runs;
  for (auto* n = s.runs.entries->head; n != nullptr; n = n->next) {
    runs.emplace_back(n->value.key, n->value.data);
  }
  return runs;
}

std::string Printed(const String& s, bool newline) {
  char* buffer = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&buffer, &size);
  s.Print(out, newline);
  std::fclose(out);
  std::string text(buffer, size);
  std::free(buffer);
  return text;
}

TEST(iMarkrunTest, BuildExtendAndPrint) {
  struct Case {
    std::vector<int32_t> ids;
    std::vector<int32_t> extension;  // applied with add = true when not empty
    int32_t length;
    Runs runs;
    std::string printed;
  };
  const Case cases[] = {
      {{}, {}, 0, {}, ""},
      {{5, 5, 7, 5}, {}, 4, {{5, 1}, {7, 1}}, "05 07 "},
      {{5, 5, 7, 5}, {5, 9}, 6, {{5, 2}, {7, 1}, {9, 1}}, "05 05 07 09 "},
      {{7, 5, 7}, {}, 3, {{5, 1}, {7, 1}}, "05 07 "},
      {{3, 3, 3}, {}, 3, {{3, 3}}, "03 03 03 "},
      {{}, {4, 4, 2}, 3, {{2, 1}, {4, 2}}, "02 04 04 "},
      {{255, 0, 171}, {}, 3, {{0, 1}, {171, 1}, {255, 1}}, "00 AB FF "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.ids) + " + " + ::testing::PrintToString(c.extension));
    String s = Build(c.ids);
    if (!c.extension.empty()) {
      iList<int32_t> more;
      Fill(more, c.extension);
      s.SetIds(more, true);
    }
    EXPECT_EQ(s.length, c.length);
    EXPECT_EQ(RunsOf(s), c.runs);
    EXPECT_EQ(Printed(s, false), c.printed);
    EXPECT_EQ(Printed(s, true), c.printed + "\n");
  }
}

// Ids above 0xFF print with more digits; the format only sets a minimum.
TEST(iMarkrunTest, PrintsWideIds) { EXPECT_EQ(Printed(Build({0x1234, 1}), false), "01 1234 "); }

TEST(iMarkrunTest, RebuildReplacesEverything) {
  String s = Build({1, 2, 3, 3});
  iList<int32_t> list;
  Fill(list, {9, 9});
  s.SetIds(list, false);
  EXPECT_EQ(s.length, 2);
  EXPECT_EQ(RunsOf(s), (Runs{{9, 2}}));
  Fill(list, {});
  s.SetIds(list, false);
  EXPECT_EQ(s.length, 0);
  EXPECT_EQ(s.RunCount(), 0);
}

TEST(iMarkrunTest, SetIdsLeavesTheListCursorAlone) {
  iList<int32_t> list;
  Fill(list, {4, 1, 4});
  list.GetNext();
  list.GetNext();
  auto* cursor = list.current;
  String s;
  s.SetIds(list, false);
  s.SetIds(list, true);
  EXPECT_EQ(list.current, cursor);
}

// A record that carries its id among other fields, read through iIdTraits.
struct Box {
  int16_t id;
  int32_t x;
};

}  // namespace

template <>
struct iIdTraits<Box> {
  static int16_t Id(const Box& box) { return box.id; }
};

namespace {

TEST(iMarkrunTest, ReadsIdsThroughTraits) {
  iList<Box> boxes;
  for (Box b : {Box{0x0301, 10}, Box{0x0301, 20}, Box{0x0102, 30}, Box{0x7F00, 0}}) {
    boxes.AddTail(b);
  }
  iMarkrun<int16_t> s;
  s.SetIds(boxes, false);
  EXPECT_EQ(s.length, 4);
  ASSERT_EQ(s.RunCount(), 3);
  EXPECT_EQ(s.runs.entries->head->value.key, 0x0102);
  EXPECT_EQ(s.runs.entries->head->next->value.data, 2);
  EXPECT_EQ(s.runs.entries->tail->value.key, 0x7F00);
}

// Builds `ids` in blocks through plain runs.Add() calls, as a reference for
// the structure SetIds must produce (entries, index and key range).
void AddBlocks(String::Runs& runs, const std::vector<int32_t>& ids, bool add) {
  for (size_t i = 0; i < ids.size();) {
    size_t j = i;
    while (j < ids.size() && ids[j] == ids[i]) ++j;
    runs.Add(ids[i], static_cast<int32_t>(j - i), add ? &String::MergeAddCount : nullptr, nullptr);
    i = j;
  }
}

void ExpectSameStructure(const String::Runs& a, const String::Runs& b) {
  EXPECT_EQ(a.minKey, b.minKey);
  EXPECT_EQ(a.maxKey, b.maxKey);
  ASSERT_EQ(a.entries->count, b.entries->count);
  ASSERT_EQ(a.index->count, b.index->count);
  std::vector<int32_t> indexedA, indexedB;
  int32_t position = 0;
  for (auto *x = a.entries->head, *y = b.entries->head; x != nullptr;
       x = x->next, y = y->next, ++position) {
    ASSERT_NE(y, nullptr);
    EXPECT_EQ(x->value.key, y->value.key);
    EXPECT_EQ(x->value.data, y->value.data);
    if (x->value.indexNode != nullptr) {
      EXPECT_EQ(x->value.indexNode->value.element, x);
      indexedA.push_back(position);
    }
    if (y->value.indexNode != nullptr) indexedB.push_back(position);
  }
  EXPECT_EQ(indexedA, indexedB);
  for (auto *x = a.index->head, *y = b.index->head; x != nullptr; x = x->next, y = y->next) {
    EXPECT_EQ(x->value.key, y->value.key);
  }
}

// Random sequences, sorted and unsorted, rebuilt and then extended twice:
// the runs must match a std::map model (last block wins on a rebuild,
// counts add up on an extension), and the container must look exactly as if
// every block had gone through runs.Add().
TEST(iMarkrunTest, MatchesModelAndPlainAdds) {
  std::mt19937 rng(7);
  iList<int32_t> list;
  for (int round = 0; round < 300; ++round) {
    const int32_t range = 1 + static_cast<int32_t>(rng() % 300);
    const bool sorted = round % 3 == 0;
    String s;
    String::Runs reference;
    std::map<int32_t, int32_t> model;
    int32_t length = 0;
    for (int step = 0; step < 3; ++step) {
      const bool add = step > 0;
      std::vector<int32_t> ids(rng() % 60);
      for (int32_t& id : ids) id = static_cast<int32_t>(rng() % range) - range / 4;
      if (sorted) std::sort(ids.begin(), ids.end());
      if (!add) {
        model.clear();
        reference.RemoveAll();
        length = 0;
      }
      std::map<int32_t, int32_t> last;  // length of the last block of each id
      for (size_t i = 0; i < ids.size();) {
        size_t j = i;
        while (j < ids.size() && ids[j] == ids[i]) ++j;
        last[ids[i]] =
            add ? last[ids[i]] + static_cast<int32_t>(j - i) : static_cast<int32_t>(j - i);
        i = j;
      }
      for (auto [id, count] : last) model[id] = add ? model[id] + count : count;
      length += static_cast<int32_t>(ids.size());

      Fill(list, ids);
      s.SetIds(list, add);
      AddBlocks(reference, ids, add);
      ASSERT_EQ(s.length, length);
      ASSERT_EQ(RunsOf(s), Runs(model.begin(), model.end()));
      ExpectSameStructure(s.runs, reference);
    }
  }
}

TEST(iMarkrunTest, EqualityComparesRunIdsOnly) {
  struct Case {
    std::vector<int32_t> a, b;
    bool equal;
  };
  const Case cases[] = {
      {{1, 2, 2}, {2, 1, 1}, true}, {{1, 2}, {1, 3}, false}, {{}, {}, true},
      {{1}, {1, 2}, false},         {{}, {0}, false},        {{4, 4, 4, 4}, {4}, true},
  };
  for (const Case& c : cases) {
    const String a = Build(c.a);
    const String b = Build(c.b);
    EXPECT_EQ(a == b, c.equal) << ::testing::PrintToString(c.a) << ::testing::PrintToString(c.b);
    EXPECT_EQ(b == a, c.equal);
    EXPECT_EQ(iKeyTraits<String>::Equal(a, b), c.equal);
  }
}

TEST(iMarkrunTest, KeyTraitsUseTheRunCount) {
  const String three = Build({9, 8, 7, 7});
  const String two = Build({1, 1, 1, 1, 2});
  EXPECT_EQ(iKeyTraits<String>::NumericKey(three), 3.0);
  EXPECT_EQ(iKeyTraits<String>::NumericKey(String()), 0.0);
  EXPECT_TRUE(iKeyTraits<String>::Less(two, three));
  EXPECT_FALSE(iKeyTraits<String>::Less(three, two));
  EXPECT_FALSE(iKeyTraits<String>::Less(two, Build({5, 6})));
}

std::vector<int32_t> IndexedPositions(const String& s) {
  std::vector<int32_t> positions;
  int32_t position = 0;
  for (auto* n = s.runs.entries->head; n != nullptr; n = n->next, ++position) {
    if (n->value.indexNode != nullptr) positions.push_back(position);
  }
  return positions;
}

// 25 runs added in descending id order, so the original's index entries sit
// wherever the insertion order put them; a copy indexes runs 0, 10 and 20.
TEST(iMarkrunTest, CopiesAreDeepAndReindexed) {
  std::vector<int32_t> ids;
  for (int32_t id = 25; id > 0; --id) ids.push_back(id);
  ids.push_back(3);
  String original = Build(ids);
  ASSERT_EQ(original.RunCount(), 25);

  String assigned = Build({1});
  assigned = original;
  const String constructed(original);
  for (const String* copy : {static_cast<const String*>(&assigned), &constructed}) {
    EXPECT_EQ(copy->length, 26);
    EXPECT_EQ(RunsOf(*copy), RunsOf(original));
    EXPECT_EQ(IndexedPositions(*copy), (std::vector<int32_t>{0, 10, 20}));
    EXPECT_EQ(copy->runs.minKey, 1.0);
    EXPECT_EQ(copy->runs.maxKey, 25.0);
    EXPECT_NE(copy->runs.entries->head, original.runs.entries->head);
  }

  // Changing the original leaves the copies alone.
  iList<int32_t> list;
  Fill(list, {3, 3});
  original.SetIds(list, true);
  EXPECT_EQ(RunsOf(assigned), RunsOf(constructed));
  EXPECT_NE(RunsOf(assigned), RunsOf(original));
}

TEST(iMarkrunTest, SelfAssignmentChangesNothing) {
  String s = Build({4, 2, 2, 9, 4});
  const Runs runs = RunsOf(s);
  auto* head = s.runs.entries->head;
  String& alias = s;
  s = alias;
  EXPECT_EQ(s.length, 5);
  EXPECT_EQ(RunsOf(s), runs);
  EXPECT_EQ(s.runs.entries->head, head);
  s = std::move(alias);
  EXPECT_EQ(s.length, 5);
  EXPECT_EQ(RunsOf(s), runs);
}

TEST(iMarkrunTest, MovesHandOverTheRunsAndLeaveAnEmptyString) {
  String source = Build({1, 2, 2});
  auto* head = source.runs.entries->head;
  String moved(std::move(source));
  EXPECT_EQ(moved.runs.entries->head, head);
  EXPECT_EQ(moved.length, 3);
  EXPECT_EQ(source.length, 0);
  EXPECT_EQ(source.RunCount(), 0);

  String target = Build({7, 8});
  target = std::move(moved);
  EXPECT_EQ(RunsOf(target), (Runs{{1, 1}, {2, 2}}));
  EXPECT_EQ(moved.RunCount(), 0);

  // The emptied strings are still usable.
  iList<int32_t> list;
  Fill(list, {6, 5});
  moved.SetIds(list, true);
  source.SetIds(list, false);
  EXPECT_EQ(RunsOf(moved), (Runs{{5, 1}, {6, 1}}));
  EXPECT_EQ(moved, source);
}

}  // namespace

}  // namespace placefinder
