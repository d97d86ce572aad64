// Detection: one box found by the rectangle-feature detector.
//
// `id` carries the shape code of the search in its high byte and the scale
// index of the pass that found the box in its low byte. The box covers
// columns x .. x + width - 1 and rows y .. y + height - 1 of the frame.
//
// The record is packed: the 32-bit fields follow the 16-bit id directly, so a
// record is 18 bytes. Packed fields cannot bind to references; read them by
// value.

#ifndef DETECT_DETECTION_H_
#define DETECT_DETECTION_H_

#include <cstddef>
#include <cstdint>

#include "iIdTraits.h"
#include "iNodeAllocator.h"

namespace placefinder {

#pragma pack(push, 1)
struct Detection {
  int16_t id;
  int32_t x;
  int32_t y;
  int32_t width;
  int32_t height;
};
#pragma pack(pop)

static_assert(sizeof(Detection) == 18, "Detection must be packed to 18 bytes");
static_assert(offsetof(Detection, id) == 0, "id leads the record");
static_assert(offsetof(Detection, x) == 2, "x follows id without a gap");
static_assert(offsetof(Detection, y) == 6, "y follows x");
static_assert(offsetof(Detection, width) == 10, "width follows y");
static_assert(offsetof(Detection, height) == 14, "height follows width");

// Identifier strings read a detection's id by value (the field is packed).
template <>
struct iIdTraits<Detection> {
  static int16_t Id(const Detection& d) { return d.id; }
};

// A frame's detection list (tens of thousands of nodes) is built and freed
// once per frame, so its nodes are recycled from frame to frame instead of
// going through the heap each time. Up to 2^18 nodes (10 MiB) are kept.
template <>
struct iNodeAllocator<Detection> : iRecyclingNodeAllocator<Detection> {};

}  // namespace placefinder

#endif  // DETECT_DETECTION_H_
