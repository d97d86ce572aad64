#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <list>
#include <map>
#include <string>

#include "iAssociatedList.h"
#include "iList.h"
#include "list_check.h"
#include "map_check.h"
#include "markrun_demo.h"
#include "markrun_random.h"

namespace placefinder {

namespace {

// Collects what the check routines print.
class Capture {
 public:
  Capture() : out_(open_memstream(&buffer_, &size_)) {}
  ~Capture() {
    std::fclose(out_);
    std::free(buffer_);
  }
  FILE* out() { return out_; }
  std::string text() {
    std::fflush(out_);
    return std::string(buffer_, size_);
  }

 private:
  char* buffer_ = nullptr;
  size_t size_ = 0;
  FILE* out_;
};

TEST(MarkrunRandomTest, FirstDraws) {
  MarkrunRandom random;
  for (uint32_t expected : {41u, 18467u, 6334u, 26500u, 19169u}) EXPECT_EQ(random.Draw(), expected);
}

TEST(MarkrunRandomTest, RandomIdsAppendsDrawsModulo256) {
  MarkrunRandom random;
  iList<int32_t> ids;
  RandomIds(ids, 3, random);
  ASSERT_EQ(ids.count, 3);
  EXPECT_EQ(ids.head->value, 41);        // 41 % 256
  EXPECT_EQ(ids.head->next->value, 35);  // 18467 % 256
  EXPECT_EQ(ids.tail->value, 190);       // 6334 % 256
  EXPECT_EQ(ids.current, nullptr);
}

using TestList = iList<ListElement>;
using TestMap = iAssociatedList<MapKey, MapData>;

// Six equal elements in the reference and the list under test, ready to be
// corrupted one way or another.
struct ListSetup {
  ListSetup() {
    for (ListElement e = 1; e <= 6; ++e) {
      reference.push_back(e * 0x100000001ull);
      list.AddTail(e * 0x100000001ull);
    }
  }
  // Mends the prev links a case broke, so that the list, which frees its
  // nodes from the tail along them, frees them all.
  ~ListSetup() {
    TestList::Node* previous = nullptr;
    for (TestList::Node* node = list.head; node != nullptr; node = node->next) {
      node->prev = previous;
      previous = node;
    }
    list.tail = previous;
  }
  TestList::Node* NodeAt(int position) {
    TestList::Node* node = list.head;
    while (position-- > 0) node = node->next;
    return node;
  }

  TestList list;
  std::list<ListElement> reference;
  MarkrunRandom random;
  Capture capture;
  ListCheck<TestList> check{list, reference, random, capture.out()};
};

TEST(ListCheckTest, SoundListsPassAndDeleteInStep) {
  ListSetup t;
  ListCheck<TestList>& check = t.check;
  EXPECT_TRUE(check.DeleteAt(0, 5));
  EXPECT_TRUE(check.DeleteAt(0, 0));
  EXPECT_TRUE(check.DeleteAt(0, 2));
  EXPECT_TRUE(check.CheckAfterDeleting(0));
  EXPECT_EQ(t.list.count, 3);
  EXPECT_EQ(t.reference, (std::list<ListElement>{0x200000002, 0x300000003, 0x500000005}));
  EXPECT_EQ(t.capture.text(), "");
}

TEST(ListCheckTest, DataErrorBeforeDeletingIsFoundOnTheWayOnly) {
  ListSetup t;
  t.NodeAt(3)->value ^= 1ull << 32;  // the high half differs
  EXPECT_TRUE(t.check.DeleteAt(7, 2));
  EXPECT_EQ(t.capture.text(), "");
  EXPECT_FALSE(t.check.DeleteAt(7, 3));
  EXPECT_EQ(t.capture.text(), "Loop[7]: Error in data of test list (before deleting)\n");
  EXPECT_EQ(t.reference.size(), 5u);  // nothing removed after the mismatch
}

TEST(ListCheckTest, MissingNodeBeforeDeleting) {
  ListSetup t;
  t.list.Remove(t.list.tail);
  EXPECT_FALSE(t.check.DeleteAt(12, 5));
  EXPECT_EQ(t.capture.text(), "Loop[12]: Unexpected end of test list (before deleting)\n");
}

TEST(ListCheckTest, MismatchesAfterDeleting) {
  struct Case {
    const char* name;
    void (*corrupt)(ListSetup&);
    const char* message;
  };
  const Case cases[] = {
      {"short list", [](ListSetup& t) { t.list.Remove(t.list.tail); },
       "Loop[99999]: { Dir -> } Unexpected end of test list (after deleting)\n"},
      {"wrong low half", [](ListSetup& t) { t.NodeAt(4)->value ^= 1; },
       "Loop[99999]: { Dir -> } Error in data of test list (after deleting)\n"},
      {"broken prev link", [](ListSetup& t) { t.NodeAt(3)->prev = nullptr; },
       "Loop[99999]: { Dir <- } Unexpected end of test list (after deleting)\n"},
      {"prev link skips a node", [](ListSetup& t) { t.NodeAt(4)->prev = t.NodeAt(2); },
       "Loop[99999]: { Dir <- } Error in data of test list (after deleting)\n"},
      {"broken link from the second node to the head",
       [](ListSetup& t) { t.NodeAt(1)->prev = nullptr; },
       "Loop[99999]: { Dir <- } Unexpected end of test list (after deleting)\n"},
  };
  for (const Case& c : cases) {
    ListSetup fresh;
    c.corrupt(fresh);
    EXPECT_FALSE(fresh.check.CheckAfterDeleting(99999)) << c.name;
    EXPECT_EQ(fresh.capture.text(), c.message) << c.name;
  }
}

// An iList whose RemoveCurrent() leaves one chosen node in place.
struct ForgetfulList : TestList {
  int32_t removalsLeft = 0;
  bool fired = false;
  void RemoveCurrent() {
    if (--removalsLeft == 0) {
      fired = true;
      return;
    }
    TestList::RemoveCurrent();
  }
};

// The fault is reported in the iteration in which it happens, and the check
// stops there.
TEST(ListCheckRunTest, StopsAtTheFirstMismatch) {
  for (int32_t removal : {1, 5000}) {
    ForgetfulList list;
    list.removalsLeft = removal;
    std::list<ListElement> reference;
    MarkrunRandom random;
    Capture capture;
    ListCheck<ForgetfulList> check(list, reference, random, capture.out());
    uint32_t i = 0;
    uint32_t firedIn = 0;
    for (; i < ListCheck<ForgetfulList>::kIterations; ++i) {
      const bool passed = check.Iterate(i);
      if (!list.fired) firedIn = i + 1;
      if (!passed) break;
    }
    ASSERT_TRUE(list.fired);
    EXPECT_EQ(i, firedIn);
    const std::string loop = "Loop[" + std::to_string(i) + "]: ";
    const std::string text = capture.text();
    EXPECT_TRUE(text == loop + "Error in data of test list (before deleting)\n" ||
                text == loop + "{ Dir -> } Error in data of test list (after deleting)\n")
        << text;

    // The whole run prints the same message last and stops.
    ForgetfulList again;
    again.removalsLeft = removal;
    std::list<ListElement> reference2;
    MarkrunRandom random2;
    Capture capture2;
    EXPECT_FALSE(ListCheck<ForgetfulList>(again, reference2, random2, capture2.out()).Run());
    const std::string run = capture2.text();
    EXPECT_EQ(run.rfind("\n========- iList test -========\n\n", 0), 0u);
    EXPECT_EQ(run.substr(run.size() - text.size()), text);
    EXPECT_EQ(run.find("finished"), std::string::npos);
  }
}

// Six keys in the reference and the list under test.
struct MapSetup {
  MapSetup() {
    for (MapKey k = 0; k < 6; ++k) {
      const MapKey key = k << 32 | (k * 3 + 1);
      reference.emplace(key, static_cast<MapData>(k));
      map.Add(key, static_cast<MapData>(k));
    }
  }
  MapKey KeyAt(int position) {
    auto it = reference.begin();
    std::advance(it, position);
    return it->first;
  }

  TestMap map;
  std::map<MapKey, MapData> reference;
  MarkrunRandom random;
  Capture capture;
  MapCheck<TestMap> check{map, reference, random, capture.out()};
};

TEST(MapCheckTest, SoundListsPassAndDeleteInStep) {
  MapSetup t;
  const MapKey removed[] = {t.KeyAt(5), t.KeyAt(1)};
  EXPECT_TRUE(t.check.DeleteAt(0, 5));
  EXPECT_TRUE(t.check.DeleteAt(0, 1));
  EXPECT_TRUE(t.check.CheckAfterDeleting(0));
  EXPECT_EQ(t.map.entries->count, 4);
  for (MapKey key : removed) {
    EXPECT_EQ(t.reference.count(key), 0u);
    EXPECT_EQ(t.map.Find(key, &MapCheck<TestMap>::MatchKey), nullptr);
  }
  EXPECT_EQ(t.capture.text(), "");
}

// MatchKey compares both halves of the key.
TEST(MapCheckTest, MatchKeyNeedsBothHalves) {
  const TestMap::Entry entry{MapKey{3} << 32 | 7, 0, nullptr};
  EXPECT_TRUE(MapCheck<TestMap>::MatchKey(&entry, MapKey{3} << 32 | 7, nullptr));
  EXPECT_FALSE(MapCheck<TestMap>::MatchKey(&entry, MapKey{2} << 32 | 7, nullptr));
  EXPECT_FALSE(MapCheck<TestMap>::MatchKey(&entry, MapKey{3} << 32 | 6, nullptr));
}

TEST(MapCheckTest, Mismatches) {
  struct Case {
    const char* name;
    void (*corrupt)(MapSetup&);
    bool after;  // CheckAfterDeleting(), or else DeleteAt(p)
    size_t p;
    const char* message;  // empty when the check must pass
  };
  auto wrongData = [](MapSetup& t) { t.map.Add(t.KeyAt(3), 77); };
  auto missingKey = [](MapSetup& t) { t.map.Remove(t.KeyAt(3)); };
  const Case cases[] = {
      {"wrong data, deleting", wrongData, false, 4,
       "Loop[31]: Error in data of test list (before deleting)\n"},
      {"missing key, deleting", missingKey, false, 3,
       "Loop[31]: Unexpected end of test list (before deleting)\n"},
      {"wrong data beyond the walk", wrongData, false, 2, ""},
      {"wrong data, after", wrongData, true, 0,
       "Loop[31]: Error in data of test list (after deleting)\n"},
      {"missing key, after", missingKey, true, 0,
       "Loop[31]: Unexpected end of test list (after deleting)\n"},
  };
  for (const Case& c : cases) {
    MapSetup t;
    c.corrupt(t);
    const bool passed = c.after ? t.check.CheckAfterDeleting(31) : t.check.DeleteAt(31, c.p);
    EXPECT_EQ(passed, *c.message == '\0') << c.name;
    EXPECT_EQ(t.capture.text(), c.message) << c.name;
  }
}

// An iAssociatedList whose Remove() also drops the smallest key once.
struct GreedyMap : TestMap {
  int32_t removalsLeft = 0;
  bool fired = false;
  void Remove(const MapKey& key) {
    if (--removalsLeft == 0 && entries->head != nullptr && entries->head->value.key != key) {
      fired = true;
      TestMap::Remove(entries->head->value.key);
    }
    TestMap::Remove(key);
  }
};

TEST(MapCheckRunTest, StopsAtTheFirstMismatch) {
  GreedyMap map;
  map.removalsLeft = 3000;
  std::map<MapKey, MapData> reference;
  MarkrunRandom random;
  Capture capture;
  MapCheck<GreedyMap> check(map, reference, random, capture.out());
  uint32_t i = 0;
  uint32_t firedIn = 0;
  for (; i < MapCheck<GreedyMap>::kIterations; ++i) {
    const bool passed = check.Iterate(i);
    if (!map.fired) firedIn = i + 1;
    if (!passed) break;
  }
  ASSERT_TRUE(map.fired);
  EXPECT_EQ(i, firedIn);
  const std::string loop = "Loop[" + std::to_string(i) + "]: ";
  const std::string text = capture.text();
  EXPECT_TRUE(text == loop + "Unexpected end of test list (before deleting)\n" ||
              text == loop + "Unexpected end of test list (after deleting)\n")
      << text;

  GreedyMap again;
  again.removalsLeft = 3000;
  std::map<MapKey, MapData> reference2;
  MarkrunRandom random2;
  Capture capture2;
  EXPECT_FALSE(MapCheck<GreedyMap>(again, reference2, random2, capture2.out()).Run());
  const std::string run = capture2.text();
  EXPECT_EQ(run.rfind("\n========- iAssociatedList test -========\n\n", 0), 0u);
  EXPECT_EQ(run.substr(run.size() - text.size()), text);
  EXPECT_EQ(run.find("finished"), std::string::npos);
}

}  // namespace

}  // namespace placefinder
