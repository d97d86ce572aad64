// Differential fuzzer for LocationDetector::Detect and DetectAllShapes.
//
// The input is a small header followed by pixels:
//   byte 0, 1   frame width and height, 1 + byte % 96
//   byte 2      threshold: from a fixed set, or (high bit set) bytes 3-4
//   byte 3, 4   a signed 16-bit threshold, little-endian
//   byte 5      base shape, one of the seven of the full search
//   byte 6      options: bits 0-1 map the pixel bytes (raw; black or white;
//               four levels; 0 to 3, which makes sums small and often equal),
//               bit 2 also runs DetectAllShapes, bit 3 also runs the
//               transposed frame on the same detector (its sum matrix then
//               changes size), bit 4 passes the frame as a view into a wider
//               image
// then the pixels row by row, the bytes reused from the start when they run
// out (a frame of zeros when there are none).
//
// The detector's lists must equal those of the reference detector, with sound
// links, a matching count and no cursor, on the vector scan (where the
// processor has AVX2) and on the scalar scan alike. A mismatch aborts.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <opencv2/core.hpp>
#include <vector>

#include "LocationDetector.h"
#include "ReferenceDetector.h"

namespace {

using namespace placefinder;

[[noreturn]] void Fail(const char* what, int line) {
  std::fprintf(stderr, "detect_fuzz: check failed at line %d: %s\n", line, what);
  std::abort();
}

#define CHECK(condition)                          \
  do {                                            \
    if (!(condition)) Fail(#condition, __LINE__); \
  } while (0)

constexpr size_t kHeaderSize = 7;
constexpr int32_t kThresholds[] = {INT32_MIN, -32768, -1,    0,     1,     3584,  4096,
                                   12000,     18176,  20767, 32766, 32767, 32768, INT32_MAX};

bool Same(const Detection& a, const Detection& b) {
  return a.id == b.id && a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

void Print(const char* label, size_t i, const Detection& d) {
  std::fprintf(stderr, "  %s[%zu] = {id 0x%04x, x %d, y %d, %dx%d}\n", label, i,
               static_cast<unsigned>(static_cast<uint16_t>(d.id)), static_cast<int>(d.x),
               static_cast<int>(d.y), static_cast<int>(d.width), static_cast<int>(d.height));
}

// Checks that `list` is a sound list handed over whole and holds `expected`.
void Expect(const iList<Detection>& list, const std::vector<Detection>& expected,
            const char* what) {
  CHECK(list.current == nullptr);
  size_t i = 0;
  const iListNode<Detection>* previous = nullptr;
  for (const iListNode<Detection>* node = list.head; node != nullptr; node = node->next, ++i) {
    CHECK(node->prev == previous);
    if (i >= expected.size() || !Same(node->value, expected[i])) {
      std::fprintf(stderr, "detect_fuzz: %s differs at %zu (expected %zu detections)\n", what, i,
                   expected.size());
      Print("got", i, node->value);
      if (i < expected.size()) Print("expected", i, expected[i]);
      std::abort();
    }
    previous = node;
  }
  if (i != expected.size()) {
    std::fprintf(stderr, "detect_fuzz: %s has %zu detections, expected %zu\n", what, i,
                 expected.size());
    Print("missing", i, expected[i]);
    std::abort();
  }
  CHECK(list.tail == previous);
  CHECK(list.count >= 0 && static_cast<size_t>(list.count) == expected.size());
}

uint8_t MapPixel(uint8_t byte, int mapping) {
  switch (mapping) {
    case 0:
      return byte;
    case 1:
      return (byte & 0x80) ? 255 : 0;
    case 2:
      return static_cast<uint8_t>((byte & 3) * 85);
    default:
      return byte & 3;
  }
}

// Runs one frame through `detector` and the reference.
void Compare(LocationDetector& detector, const cv::Mat& frame, const BoxShape& shape,
             int32_t threshold, bool allShapes) {
  Expect(detector.Detect(frame, shape.width, shape.height, shape.code, threshold),
         BruteForce(frame, shape.width, shape.height, shape.code, threshold), "Detect");
  CHECK(detector.sumMatrix.rows == frame.rows + 1 && detector.sumMatrix.cols == frame.cols + 1);

  if (!allShapes) return;
  Expect(detector.DetectAllShapes(frame), BruteForceAllShapes(frame), "DetectAllShapes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint8_t header[kHeaderSize] = {};
  for (size_t i = 0; i < kHeaderSize && i < size; ++i) header[i] = data[i];
  const int32_t W = 1 + header[0] % 96;
  const int32_t H = 1 + header[1] % 96;
  const int32_t threshold =
      (header[2] & 0x80) ? static_cast<int16_t>(header[3] | (header[4] << 8))
                         : kThresholds[header[2] % (sizeof(kThresholds) / sizeof(kThresholds[0]))];
  const BoxShape& shape = LocationDetector::kShapes[header[5] % 7];
  const int mapping = header[6] & 3;
  const bool allShapes = header[6] & 4;
  const bool transposed = header[6] & 8;
  const bool view = header[6] & 16;

  // The frame, alone or as a view with a margin on every side of a wider
  // image (its rows are then not contiguous).
  const int32_t margin = view ? 3 : 0;
  cv::Mat storage(H + 2 * margin, W + 2 * margin, CV_8UC1, cv::Scalar(77));
  cv::Mat frame = storage(cv::Rect(margin, margin, W, H));
  const uint8_t* pixels = data + kHeaderSize;
  const size_t count = size > kHeaderSize ? size - kHeaderSize : 0;
  size_t next = 0;
  for (int32_t y = 0; y < H; ++y) {
    uint8_t* row = frame.ptr<uint8_t>(y);
    for (int32_t x = 0; x < W; ++x) {
      row[x] = count == 0 ? 0 : MapPixel(pixels[next], mapping);
      if (count != 0 && ++next == count) next = 0;
    }
  }

  for (bool scalar : {false, true}) {
    LocationDetector detector;
    detector.SetScalarScan(scalar);
    Compare(detector, frame, shape, threshold, allShapes);
    if (transposed) Compare(detector, frame.t(), shape, threshold, allShapes);
  }
  return 0;
}
