#include "CellString.h"

#include <algorithm>

namespace placefinder {

namespace {

constexpr int32_t kIdsPerCell = 7 * 256;
constexpr int32_t kOffset = 32768;

// The shape's place in the detector's order from its code: 0, 1, 2, 4, ..., 32
// give 0 to 6.
int32_t ShapeIndex(int32_t code) {
  return code == 0 ? 0 : __builtin_ctz(static_cast<unsigned>(code)) + 1;
}

}  // namespace

int16_t CellString::RunId(int16_t boxId, int32_t cell) {
  const auto bits = static_cast<uint16_t>(boxId);
  const int32_t value = cell * kIdsPerCell + ShapeIndex(bits >> 8) * 256 + (bits & 0xFF);
  return static_cast<int16_t>(value - kOffset);
}

void CellString::Build(const iList<Detection>& detections, int32_t width, int32_t height,
                       int32_t cells, iMarkrun<int16_t>& out) {
  if (cells <= 1) {
    out.SetIds(detections, false);
    return;
  }
  if (counts_.empty()) counts_.assign(static_cast<size_t>(1) << 16, 0);
  used_.clear();
  // Twice the centre against twice the frame keeps the cell exact in integers.
  const int64_t w2 = 2 * static_cast<int64_t>(width);
  const int64_t h2 = 2 * static_cast<int64_t>(height);
  for (const iListNode<Detection>* node = detections.head; node != nullptr; node = node->next) {
    const Detection& d = node->value;
    const int64_t cx = 2 * static_cast<int64_t>(d.x) + d.width;
    const int64_t cy = 2 * static_cast<int64_t>(d.y) + d.height;
    const auto column = static_cast<int32_t>(std::min<int64_t>(cx * cells / w2, cells - 1));
    const auto row = static_cast<int32_t>(std::min<int64_t>(cy * cells / h2, cells - 1));
    const int32_t at = RunId(d.id, row * cells + column) + kOffset;
    if (counts_[static_cast<size_t>(at)]++ == 0) used_.push_back(at);
  }
  std::sort(used_.begin(), used_.end());
  out.runs.RemoveAll();
  out.length = detections.count;
  for (const int32_t at : used_) {
    // Ascending ids go on the end of the run list (see iMarkrun::SetIds).
    out.runs.Append(static_cast<int16_t>(at - kOffset), counts_[static_cast<size_t>(at)]);
    counts_[static_cast<size_t>(at)] = 0;
  }
}

}  // namespace placefinder
