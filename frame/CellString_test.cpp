#include "CellString.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>
#include <set>
#include <utility>
#include <vector>

namespace placefinder {

namespace {

constexpr int16_t kShapeCodes[7] = {0, 1, 2, 4, 8, 16, 32};

// The string as a plain count over (cell, shape, pass), cells found with
// floating point from the box's centre.
std::vector<std::pair<int16_t, int32_t>> ModelRuns(const std::vector<Detection>& boxes,
                                                   int32_t width, int32_t height, int32_t cells) {
  std::map<int16_t, int32_t> counts;
  for (const Detection& d : boxes) {
    const double cx = d.x + d.width / 2.0;
    const double cy = d.y + d.height / 2.0;
    const int column = std::min(cells - 1, static_cast<int>(std::floor(cx * cells / width)));
    const int row = std::min(cells - 1, static_cast<int>(std::floor(cy * cells / height)));
    int shape = 0;
    while (kShapeCodes[shape] != (static_cast<uint16_t>(d.id) >> 8)) ++shape;
    const int value = (row * cells + column) * 1792 + shape * 256 + (d.id & 0xFF);
    ++counts[static_cast<int16_t>(value - 32768)];
  }
  return {counts.begin(), counts.end()};
}

std::vector<std::pair<int16_t, int32_t>> Runs(const iMarkrun<int16_t>& s) {
  std::vector<std::pair<int16_t, int32_t>> runs;
  for (const auto* run = s.runs.entries->head; run != nullptr; run = run->next) {
    runs.emplace_back(run->value.key, run->value.data);
  }
  return runs;
}

TEST(CellStringTest, EveryCellShapeAndPassHasARunIdOfItsOwn) {
  std::set<int16_t> ids;
  for (int cell = 0; cell < CellString::kMaxCells * CellString::kMaxCells; ++cell) {
    for (int16_t code : kShapeCodes) {
      for (int pass = 0; pass < 256; ++pass) {
        ids.insert(CellString::RunId(static_cast<int16_t>(code << 8 | pass), cell));
      }
    }
  }
  EXPECT_EQ(ids.size(), 36u * 7 * 256);
}

// Random frames of every grid, small ones so that box centres often fall on
// the lines between cells, against the plain count; one CellString for all,
// so that what one frame leaves behind would show in the next.
TEST(CellStringTest, CountsTheBoxesOfEachIdInEachCellAsThePlainCountDoes) {
  std::mt19937 rng(20261210);
  CellString builder;
  iMarkrun<int16_t> built;
  for (int round = 0; round < 400; ++round) {
    const int32_t width = 1 + static_cast<int32_t>(rng() % (round % 2 == 0 ? 13 : 700));
    const int32_t height = 1 + static_cast<int32_t>(rng() % (round % 2 == 0 ? 13 : 500));
    const int32_t cells = 2 + static_cast<int32_t>(rng() % 5);
    std::vector<Detection> boxes(rng() % 300);
    iList<Detection> list;
    for (Detection& d : boxes) {
      const int16_t code = kShapeCodes[rng() % 7];
      d.id = static_cast<int16_t>(code << 8 | static_cast<int>(rng() % 256));
      d.width = 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(width));
      d.height = 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(height));
      d.x = static_cast<int32_t>(rng() % static_cast<uint32_t>(width - d.width + 1));
      d.y = static_cast<int32_t>(rng() % static_cast<uint32_t>(height - d.height + 1));
      list.AddTail(d);
    }
    builder.Build(list, width, height, cells, built);
    SCOPED_TRACE(round);
    EXPECT_EQ(built.length, static_cast<int32_t>(boxes.size()));
    EXPECT_EQ(Runs(built), ModelRuns(boxes, width, height, cells));
  }
}

TEST(CellStringTest, OneCellIsThePlainString) {
  iList<Detection> list;
  for (int16_t id : {0x0001, 0x0001, 0x0102, 0x0102, 0x0102, 0x2003}) {
    list.AddTail(Detection{id, 0, 0, 16, 16});
  }
  iMarkrun<int16_t> plain;
  plain.SetIds(list, false);
  iMarkrun<int16_t> built;
  CellString().Build(list, 64, 64, 1, built);
  EXPECT_EQ(Runs(built), Runs(plain));
  EXPECT_EQ(built.length, plain.length);
}

}  // namespace

}  // namespace placefinder
