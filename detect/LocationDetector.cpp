#include "LocationDetector.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <type_traits>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define PF_HAVE_AVX2_SCAN 1
#else
#define PF_HAVE_AVX2_SCAN 0
#endif

#include "Contrast.h"

namespace placefinder {

namespace {

// How the scan reads an integral image. Box sums are formed in Value.
//
// 32-bit sums: the four corner terms are combined modulo 2^32 (unsigned), so
// the intermediate differences may wrap without harm; a box sum itself is
// below 2^31 on the frames that use this layout, so the result is exact.
struct Sums32 {
  using Element = int32_t;
  using Value = uint32_t;
  static Value Load(const Element* p) { return static_cast<Value>(*p); }
};

// 64-bit sums, held as doubles: every element is an integer below 2^53, so
// the conversion is exact.
struct Sums64 {
  using Element = double;
  using Value = int64_t;
  static Value Load(const Element* p) { return static_cast<Value>(*p); }
};

// One pass of the search: box bw x bh, step t, ring margin m.
struct Pass {
  int16_t id;
  int32_t bw;
  int32_t bh;
  int32_t t;
  int32_t m;
};

// Appends every position of the pass, whatever its response.
void AddAllPositions(const Pass& pass, int32_t W, int32_t H, iList<Detection>& out) {
  for (int32_t y = 0; y < H - pass.bh; y += pass.t) {
    for (int32_t x = 0; x < W - pass.bw; x += pass.t) {
      out.AddTail(Detection{pass.id, x, y, pass.bw, pass.bh});
    }
  }
}

// The threshold of a scan, 0 .. 32766. The one DetectAllShapes() uses is a
// compile-time constant, which spares the hot loop two registers.
struct RuntimeThreshold {
  int32_t value;
  int32_t operator()() const { return value; }
};
struct ShapeThreshold {
  constexpr int32_t operator()() const { return LocationDetector::kShapeThreshold; }
};

#if PF_HAVE_AVX2_SCAN
// The stretch of one row where the outer box follows the inner box, for
// 32-bit sums: the eight corner columns (see the hot loop of ScanPass), the
// outer box's left edges j = first, first + t, ... < end, and what a detection
// at j records (x = j + p).
struct FollowRow {
  const int32_t* corner[8];  // a0, a1, b0, b1, c0, c1, d0, d1
  int32_t first;
  int32_t end;
  int32_t t;
  int32_t p;
  int32_t y;
};

// For each set of eight lanes (a bit per lane), the numbers of its lanes in
// ascending order, padded with zeros: the shuffle that packs the reported
// lanes of a group to the front.
struct LanePacking {
  uint8_t lanes[256][8];
  constexpr LanePacking() : lanes() {
    for (int32_t bits = 0; bits < 256; ++bits) {
      int32_t next = 0;
      for (int32_t lane = 0; lane < 8; ++lane) {
        if (bits & (1 << lane)) lanes[bits][next++] = static_cast<uint8_t>(lane);
      }
    }
  }
};
constexpr LanePacking kLanePacking;

// Positions per block of the vector scan (a multiple of 8): the block's
// sums and reported columns live on the stack.
constexpr int32_t kBlock = 256;
// The largest box width, in steps, for which the vector scan reuses the sums
// of the box's left edge as those of its right edge (see below).
constexpr int32_t kMaxReuse = 64;

// Tests eight positions at once: `inner` and `outer` are exact sums below
// 2^31. The bit of a lane is set when its contrast exceeds the threshold
// held in `left` (threshold) and `right` (65534 - threshold). d = 2 inner -
// outer read as a signed 32-bit number is exact (|d| <= outer); the products
// threshold * outer and (65534 - threshold) * |d| stay below 2^47 and are
// formed as unsigned 32 x 32 -> 64-bit products, on the even lanes and then
// on the odd ones, and compared as signed 64-bit numbers.
__attribute__((target("avx2"))) inline uint32_t ExceedsAvx2(__m256i inner, __m256i outer,
                                                            __m256i left, __m256i right) {
  const __m256i d = _mm256_abs_epi32(_mm256_sub_epi32(_mm256_add_epi32(inner, inner), outer));
  const __m256i even =
      _mm256_cmpgt_epi64(_mm256_mul_epu32(right, d), _mm256_mul_epu32(left, outer));
  const __m256i odd = _mm256_cmpgt_epi64(_mm256_mul_epu32(right, _mm256_srli_epi64(d, 32)),
                                         _mm256_mul_epu32(left, _mm256_srli_epi64(outer, 32)));
  return static_cast<uint32_t>(
      _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_blend_epi32(even, odd, 0xAA))));
}

// The first step of a block of the vector scan (see ScanFollowRowAvx2): the
// outer sums of positions 0 .. n - 1 from j on, and their inner sums, through
// the column strips when q != 0.
__attribute__((target("avx2"))) inline void BlockSums(const FollowRow& row, int32_t q, int32_t j,
                                                      int32_t n, int32_t* strips,
                                                      int32_t* innerSums, int32_t* outerSums) {
  const int32_t t = row.t;
  const uint32_t* const a0 = reinterpret_cast<const uint32_t*>(row.corner[0]) + j;
  const uint32_t* const a1 = reinterpret_cast<const uint32_t*>(row.corner[1]) + j;
  const uint32_t* const b0 = reinterpret_cast<const uint32_t*>(row.corner[2]) + j;
  const uint32_t* const b1 = reinterpret_cast<const uint32_t*>(row.corner[3]) + j;
  const uint32_t* const c0 = reinterpret_cast<const uint32_t*>(row.corner[4]) + j;
  const uint32_t* const c1 = reinterpret_cast<const uint32_t*>(row.corner[5]) + j;
  const uint32_t* const d0 = reinterpret_cast<const uint32_t*>(row.corner[6]) + j;
  const uint32_t* const d1 = reinterpret_cast<const uint32_t*>(row.corner[7]) + j;
  for (int32_t i = 0; i < n; ++i) {
    const int32_t at = i * t;
    outerSums[i] = static_cast<int32_t>((d1[at] - d0[at]) - (c1[at] - c0[at]));
  }
  if (q != 0) {
    // strips[i]: the column strip of the box's left edge at position i.
    // b0 + q t = b1 and a0 + q t = a1, so strips 0 .. n + q - 1 read columns
    // from the first position's left edge to the last one's right edge,
    // which the scalar loop reads as well.
    for (int32_t i = 0; i < n + q; ++i) {
      const int32_t at = i * t;
      strips[i] = static_cast<int32_t>(b0[at] - a0[at]);
    }
    for (int32_t i = 0; i < n; ++i) {
      innerSums[i] = static_cast<int32_t>(static_cast<uint32_t>(strips[i + q]) -
                                          static_cast<uint32_t>(strips[i]));
    }
  } else {
    for (int32_t i = 0; i < n; ++i) {
      const int32_t at = i * t;
      innerSums[i] = static_cast<int32_t>((b1[at] - b0[at]) - (a1[at] - a0[at]));
    }
  }
}

// Visits the positions of `row` in blocks of whole groups of eight, in order,
// and appends those whose contrast exceeds `threshold` (0 .. 32766), exactly
// as the scalar loop does. Returns the first j it has not visited; fewer than
// eight positions are left from there, for the scalar loop.
//
// A block goes in three steps. First the sums, with scalar loads (the columns
// are t apart, and a gather is slower than the loads it replaces), modulo
// 2^32 as in the scalar loop, so that inner and outer come out exact (below
// 2^31). When the box is a whole number q of steps wide (every shape of the
// full search), the right edge of the box at a position is the left edge of
// the box q positions on, so the inner sum is a difference of two column
// strips of one array and costs two loads instead of four. Then the test, on
// eight positions at once without a branch, and the columns of the reported
// lanes are packed in order into a list. Last, the list becomes detections.
// So neither the test nor the packing waits on a branch that depends on the
// image.
__attribute__((target("avx2"))) int32_t ScanFollowRowAvx2(const FollowRow& row, const Pass& pass,
                                                          int32_t threshold,
                                                          iList<Detection>& out) {
  alignas(32) int32_t strips[kBlock + kMaxReuse];
  alignas(32) int32_t innerSums[kBlock];
  alignas(32) int32_t outerSums[kBlock];
  int32_t columns[kBlock];
  const int32_t t = row.t;
  const int32_t q = pass.bw % t == 0 && pass.bw / t <= kMaxReuse ? pass.bw / t : 0;
  const __m256i left = _mm256_set1_epi32(threshold);
  const __m256i right = _mm256_set1_epi32(2 * ContrastDecision::kMaxResponse - threshold);
  const __m256i step = _mm256_set1_epi32(t);
  int32_t j = row.first;
  for (;;) {
    const int32_t remaining = (row.end - j + t - 1) / t;  // positions j, j + t, ... < end
    const int32_t n = std::min(kBlock, remaining & ~7);
    if (n == 0) break;
    BlockSums(row, q, j, n, strips, innerSums, outerSums);
    int32_t found = 0;
    for (int32_t i = 0; i < n; i += 8) {
      const uint32_t bits = ExceedsAvx2(
          _mm256_load_si256(reinterpret_cast<const __m256i*>(innerSums + i)),
          _mm256_load_si256(reinterpret_cast<const __m256i*>(outerSums + i)), left, right);
      const __m256i lanes = _mm256_cvtepu8_epi32(
          _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kLanePacking.lanes[bits])));
      const __m256i x =
          _mm256_add_epi32(_mm256_set1_epi32(j + row.p + i * t), _mm256_mullo_epi32(lanes, step));
      // Writes eight columns, of which the reported ones count; found <= i,
      // so they stay within the n columns of the block.
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(columns + found), x);
      found += __builtin_popcount(bits);
    }
    for (int32_t k = 0; k < found; ++k) {
      out.AddTail(Detection{pass.id, columns[k], row.y, pass.bw, pass.bh});
    }
    j += n * t;
  }
  return j;
}

bool ProcessorHasAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}
#endif

// Appends the positions of the pass whose contrast exceeds the threshold
// (see ContrastDecision::Exceeds). The outer box fits in the frame. With
// `vector` (only for 32-bit sums, on a processor with AVX2) the stretch where
// the outer box follows the inner box goes through the vector scan.
template <typename Sums, typename Threshold>
void ScanPass(const cv::Mat& sums, const Pass& pass, Threshold threshold, bool vector,
              iList<Detection>& out) {
  using Element = typename Sums::Element;
  using Value = typename Sums::Value;
  const int32_t W = sums.cols - 1;
  const int32_t H = sums.rows - 1;
  const int32_t bw = pass.bw;
  const int32_t bh = pass.bh;
  const int32_t t = pass.t;
  const int32_t ow = bw + pass.m;
  const int32_t oh = bh + pass.m;
  const int32_t p = pass.m / 2;
  // The outer box starts p before the inner box, clamped so that it lies in
  // the frame: its left edge is within 0 .. W - ow, its top within 0 .. H - oh.
  const int32_t maxLeft = W - ow;
  const int32_t maxTop = H - oh;
  const int32_t xEnd = W - bw;
  for (int32_t y = 0; y < H - bh; y += t) {
    const int32_t top = std::min(std::max(y - p, 0), maxTop);
    const Element* innerTop = sums.ptr<Element>(y);
    const Element* innerBottom = sums.ptr<Element>(y + bh);
    const Element* outerTop = sums.ptr<Element>(top);
    const Element* outerBottom = sums.ptr<Element>(top + oh);
    auto visit = [&](int32_t x, int32_t left) {
      const Value inner = Sums::Load(innerBottom + x + bw) - Sums::Load(innerBottom + x) -
                          Sums::Load(innerTop + x + bw) + Sums::Load(innerTop + x);
      const Value outer = Sums::Load(outerBottom + left + ow) - Sums::Load(outerBottom + left) -
                          Sums::Load(outerTop + left + ow) + Sums::Load(outerTop + left);
      if (ContrastDecision::Exceeds(inner, outer, threshold())) {
        out.AddTail(Detection{pass.id, x, y, bw, bh});
      }
    };
    // Columns where the left edge of the frame holds the outer box at 0,
    // where the outer box follows the inner box, and where the right edge of
    // the frame holds it at W - ow.
    int32_t x = 0;
    for (; x < xEnd && x < p; x += t) visit(x, 0);
    const int32_t followEnd = std::min(xEnd, maxLeft + p + 1);
    if (x < followEnd) {
      // The hot loop. Indexed by the outer box's left edge j = x - p, with
      // one base pointer per corner column, so that each corner is a single
      // indexed load.
      const Element* const a0 = innerTop + p;
      const Element* const a1 = innerTop + p + bw;
      const Element* const b0 = innerBottom + p;
      const Element* const b1 = innerBottom + p + bw;
      const Element* const c0 = outerTop;
      const Element* const c1 = outerTop + ow;
      const Element* const d0 = outerBottom;
      const Element* const d1 = outerBottom + ow;
      const int32_t jEnd = followEnd - p;
      int32_t j = x - p;
#if PF_HAVE_AVX2_SCAN
      if constexpr (std::is_same_v<Sums, Sums32>) {
        if (vector) {
          const FollowRow row{{a0, a1, b0, b1, c0, c1, d0, d1}, j, jEnd, t, p, y};
          j = ScanFollowRowAvx2(row, pass, threshold(), out);
        }
      }
#else
      (void)vector;
#endif
      for (; j < jEnd; j += t) {
        const Value inner =
            (Sums::Load(b1 + j) - Sums::Load(b0 + j)) - (Sums::Load(a1 + j) - Sums::Load(a0 + j));
        const Value outer =
            (Sums::Load(d1 + j) - Sums::Load(d0 + j)) - (Sums::Load(c1 + j) - Sums::Load(c0 + j));
        if (ContrastDecision::Exceeds(inner, outer, threshold())) {
          out.AddTail(Detection{pass.id, j + p, y, bw, bh});
        }
      }
      x = j + p;
    }
    for (; x < xEnd; x += t) visit(x, maxLeft);
  }
}

template <typename Sums>
void ScanShape(const cv::Mat& sums, int32_t boxWidth, int32_t boxHeight, int32_t shapeCode,
               const ContrastDecision& decision, bool vector, iList<Detection>& out) {
  const int32_t W = sums.cols - 1;
  const int32_t H = sums.rows - 1;
  const int64_t frameArea = static_cast<int64_t>(W) * H;
  const int32_t idHigh = (shapeCode & 0xFF) << 8;
  for (int32_t k = 1;; ++k) {
    // The scale factor is (k + 3) / 4; these products are exact.
    const int64_t bw = static_cast<int64_t>(boxWidth) * (k + 3) / 4;
    const int64_t bh = static_cast<int64_t>(boxHeight) * (k + 3) / 4;
    if (frameArea < 2 * bw * bh) break;
    // A box as wide or as high as the frame has no position in this pass.
    if (bw >= W || bh >= H) continue;

    Pass pass;
    pass.id = static_cast<int16_t>(idHigh | (k & 0xFF));
    pass.bw = static_cast<int32_t>(bw);
    pass.bh = static_cast<int32_t>(bh);
    pass.t = k + 3;
    // The positive root of m^2 + (bw + bh) m - bw bh = 0, truncated; the
    // integer under the root is exact in double precision.
    const int64_t sum = bw + bh;
    const double root = std::sqrt(static_cast<double>(sum * sum + 4 * bw * bh));
    pass.m = static_cast<int32_t>((root - static_cast<double>(sum)) * 0.5);

    // An outer box larger than the frame cannot be moved into it: every
    // position of the pass has the response 0.
    const bool outerFits = pass.bw + pass.m <= W && pass.bh + pass.m <= H;
    if (decision.ReportsAll()) {
      AddAllPositions(pass, W, H, out);
    } else if (outerFits) {
      if (decision.threshold() == LocationDetector::kShapeThreshold) {
        ScanPass<Sums>(sums, pass, ShapeThreshold(), vector, out);
      } else {
        ScanPass<Sums>(sums, pass, RuntimeThreshold{decision.threshold()}, vector, out);
      }
    }
  }
}

}  // namespace

bool LocationDetector::VectorScanAvailable() {
#if PF_HAVE_AVX2_SCAN
  static const bool available = ProcessorHasAvx2();
  return available;
#else
  return false;
#endif
}

bool LocationDetector::ComputeSums(const cv::Mat& image) {
  CV_CheckTypeEQ(image.type(), CV_8UC1, "LocationDetector needs an 8-bit one-channel image");
  if (image.empty()) return false;
  const int64_t pixels = static_cast<int64_t>(image.cols) * image.rows;
  // cv::integral re-allocates sumMatrix only when the size or type changes.
  cv::integral(image, sumMatrix, pixels <= kMaxPixelsFor32BitSums ? CV_32S : CV_64F);
  return true;
}

void LocationDetector::Scan(int32_t boxWidth, int32_t boxHeight, int32_t shapeCode,
                            int32_t threshold, iList<Detection>& out) const {
  if (boxWidth < 1 || boxHeight < 1) return;
  const ContrastDecision decision(threshold);
  if (decision.ReportsNone()) return;
  if (sumMatrix.depth() == CV_32S) {
    ScanShape<Sums32>(sumMatrix, boxWidth, boxHeight, shapeCode, decision, UsesVectorScan(), out);
  } else {
    ScanShape<Sums64>(sumMatrix, boxWidth, boxHeight, shapeCode, decision, false, out);
  }
}

iList<Detection> LocationDetector::Detect(const cv::Mat& image, int32_t boxWidth, int32_t boxHeight,
                                          int32_t shapeCode, int32_t threshold) {
  iList<Detection> result;
  if (ComputeSums(image)) Scan(boxWidth, boxHeight, shapeCode, threshold, result);
  return result;
}

iList<Detection> LocationDetector::DetectAllShapes(const cv::Mat& image) {
  iList<Detection> result;
  if (!ComputeSums(image)) return result;
  // Scan appends at the tail, so scanning every shape into one list gives the
  // seven lists joined in order without copying or moving a node.
  for (const BoxShape& shape : kShapes) {
    Scan(shape.width, shape.height, shape.code, kShapeThreshold, result);
  }
  return result;
}

}  // namespace placefinder
