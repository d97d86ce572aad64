#include "LocationDetector.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <opencv2/imgproc.hpp>
#include <type_traits>
#include <vector>

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
// sums live on the stack.
constexpr int32_t kBlock = 256;
// The largest box width, in steps, for which the vector scan off the grid
// reuses the strips of the box's left edge as those of its right edge.
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

// Eight consecutive 32-bit elements from anywhere.
__attribute__((target("avx2"))) inline __m256i Load8(const int32_t* at) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
}

// Reported positions a pass of the vector scan holds before it makes them
// detections (a multiple of 8, at least kBlock).
constexpr int32_t kPending = 2048;

// Every t-th row and column of a sums matrix, G[j][i] = sums(j t, i t) for
// j = 0 .. floor(H / t), i = 0 .. floor(W / t), each row padded with zeros to
// `stride` = floor(W / t) + 9 elements, so that eight elements can be read
// from any column of the grid.
struct SumsGrid {
  std::vector<int32_t> cells;
  size_t stride = 0;
  bool built = false;  // holds the current sums matrix
};
#endif

}  // namespace

// The grids of the steps used so far on the current integral image (index
// t): every shape of the full search whose box is a whole number of steps
// wide and high reads its inner box's corners from them.
struct ScanScratch {
#if PF_HAVE_AVX2_SCAN
  std::vector<SumsGrid> grids;
#endif
  // Marks every grid as not built; their memory stays for the next frame.
  void Forget() {
#if PF_HAVE_AVX2_SCAN
    for (SumsGrid& grid : grids) grid.built = false;
#endif
  }
};

namespace {

#if PF_HAVE_AVX2_SCAN
// The grid of step t of `sums`, built on first use.
const SumsGrid& GridOf(const cv::Mat& sums, int32_t t, ScanScratch& scratch) {
  if (scratch.grids.size() <= static_cast<size_t>(t)) scratch.grids.resize(t + 1);
  SumsGrid& grid = scratch.grids[t];
  if (grid.built) return grid;
  const int32_t columns = (sums.cols - 1) / t + 1;
  const int32_t rows = (sums.rows - 1) / t + 1;
  grid.stride = static_cast<size_t>(columns) + 9;
  grid.cells.resize(grid.stride * static_cast<size_t>(rows));
  for (int32_t j = 0; j < rows; ++j) {
    const int32_t* const source = sums.ptr<int32_t>(j * t);
    int32_t* const target = grid.cells.data() + grid.stride * static_cast<size_t>(j);
#pragma GCC unroll 4
    for (int32_t i = 0; i < columns; ++i) target[i] = source[i * t];
    std::fill(target + columns, target + grid.stride, 0);
  }
  grid.built = true;
  return grid;
}

// Scans one pass over 32-bit sums with AVX2 and appends what it reports, in
// the order of the scalar scan (ScanPass) and with the same test, so the two
// give the same lists. The outer box fits in the frame; 0 <= threshold <=
// 32766.
//
// A row's positions x = i t go in blocks of up to kBlock, each in two steps,
// and every position of the row goes through them, the edges of the frame
// included, so that neither step has a branch that depends on the image.
//
// First the sums, formed modulo 2^32 as in the scalar scan, so that they
// come out exact (below 2^31). The outer sums take scalar loads (on the
// processor this was tuned on, a gather costs more than the eight loads it
// replaces), in three stretches of the row: where the frame's left edge
// holds the outer box at 0 and where its right edge holds it at W - ow,
// every position has the same outer sum; in between the outer box follows
// the inner box. When the box is a whole number of steps wide and high, q t
// x r t (every shape of the full search), all the inner box's corners lie on
// the grid of every t-th row and column, which is copied once per integral
// image and step into a compact array (see GridOf) and shared by all the
// shapes: the inner sums of eight positions are then four vector loads from
// rows j and j + r of the grid. Otherwise, for a box q t wide, the inner sum
// is the difference of two column strips (bottom minus top row) q positions
// apart, and for other widths it is formed from its four corners.
//
// Then the test, on eight positions at once; the lanes past the row's last
// position are masked off, and the columns of the reported lanes are packed,
// in order, into the pending positions, with their row. The pending
// positions become detections when the pass ends or when the next block
// might not fit, so that the appending loop runs seldom and long.
__attribute__((target("avx2"))) void ScanPassAvx2(const cv::Mat& sums, const Pass& pass,
                                                  int32_t threshold, ScanScratch& scratch,
                                                  iList<Detection>& out) {
  alignas(32) int32_t strips[kBlock + kMaxReuse + 8];
  alignas(32) int32_t outerSums[kBlock + 8];
  alignas(32) int32_t pendingX[kPending];
  alignas(32) int32_t pendingY[kPending];
  const int32_t W = sums.cols - 1;
  const int32_t H = sums.rows - 1;
  const int32_t bw = pass.bw;
  const int32_t bh = pass.bh;
  const int32_t t = pass.t;
  const int32_t ow = bw + pass.m;
  const int32_t oh = bh + pass.m;
  const int32_t p = pass.m / 2;
  const int32_t maxLeft = W - ow;
  const int32_t maxTop = H - oh;
  const int32_t positions = (W - bw + t - 1) / t;  // x = 0, t, ... < W - bw
  const int32_t rows = (H - bh + t - 1) / t;       // y = 0, t, ... < H - bh
  // The box is q t x r t on the grid; off it, q t wide (q <= kMaxReuse) for
  // the strips, or q = 0.
  const bool onGrid = bw % t == 0 && bh % t == 0;
  const int32_t q = bw % t == 0 && (onGrid || bw / t <= kMaxReuse) ? bw / t : 0;
  const int32_t r = onGrid ? bh / t : 0;

  // Positions 0 .. followFirst - 1 have x < p (the outer box held at 0),
  // positions followEnd .. positions - 1 have x - p > maxLeft (held at
  // maxLeft); in between the outer box's left edge is x - p.
  const int32_t followFirst = std::min(positions, (p + t - 1) / t);
  const int32_t followEnd = std::max(followFirst, std::min(positions, (maxLeft + p) / t + 1));
  // Rows j and j + r of the grid hold the inner box's corners in row j of
  // the pass (j + r <= (yLast + bh) / t, i + q <= (xLast + bw) / t).
  const SumsGrid* const grid = onGrid ? &GridOf(sums, t, scratch) : nullptr;

  const __m256i left = _mm256_set1_epi32(threshold);
  const __m256i right = _mm256_set1_epi32(2 * ContrastDecision::kMaxResponse - threshold);
  const __m256i laneX =
      _mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), _mm256_set1_epi32(t));
  const __m256i groupStep = _mm256_set1_epi32(8 * t);
  const __m256i zero = _mm256_setzero_si256();
  int32_t pending = 0;
  auto flush = [&] {
    for (int32_t k = 0; k < pending; ++k) {
      out.AddTail(Detection{pass.id, pendingX[k], pendingY[k], bw, bh});
    }
    pending = 0;
  };

  for (int32_t j = 0; j < rows; ++j) {
    const int32_t y = j * t;
    const int32_t top = std::min(std::max(y - p, 0), maxTop);
    const uint32_t* const a = reinterpret_cast<const uint32_t*>(sums.ptr<int32_t>(y));
    const uint32_t* const b = reinterpret_cast<const uint32_t*>(sums.ptr<int32_t>(y + bh));
    const uint32_t* const c0 = reinterpret_cast<const uint32_t*>(sums.ptr<int32_t>(top));
    const uint32_t* const d0 = reinterpret_cast<const uint32_t*>(sums.ptr<int32_t>(top + oh));
    const uint32_t* const c1 = c0 + ow;
    const uint32_t* const d1 = d0 + ow;
    const int32_t outerAtLeft = static_cast<int32_t>((d1[0] - d0[0]) - (c1[0] - c0[0]));
    const int32_t outerAtRight =
        static_cast<int32_t>((d1[maxLeft] - d0[maxLeft]) - (c1[maxLeft] - c0[maxLeft]));
    const int32_t* const gridTop =
        onGrid ? grid->cells.data() + grid->stride * static_cast<size_t>(j) : nullptr;
    const int32_t* const gridBottom =
        onGrid ? grid->cells.data() + grid->stride * static_cast<size_t>(j + r) : nullptr;
    const __m256i row = _mm256_set1_epi32(y);
    for (int32_t first = 0; first < positions; first += kBlock) {
      const int32_t n = std::min(kBlock, positions - first);
      // The outer sums, in the three stretches.
      const int32_t end = first + n;
      const int32_t leftEnd = std::min(end, std::max(first, followFirst));
      const int32_t middleEnd = std::min(end, std::max(leftEnd, followEnd));
      int32_t i = first;
      for (; i < leftEnd; ++i) outerSums[i - first] = outerAtLeft;
#pragma GCC unroll 2
      for (int32_t at = i * t - p; i < middleEnd; ++i, at += t) {
        outerSums[i - first] = static_cast<int32_t>((d1[at] - d0[at]) - (c1[at] - c0[at]));
      }
      for (; i < end; ++i) outerSums[i - first] = outerAtRight;
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(outerSums + n), zero);
      // Off the grid, the inner sums: strips for q != 0 (the n positions and
      // the q after them, whose columns reach xLast + bw < W), else the sums
      // themselves.
      if (!onGrid) {
        const uint32_t* const a0 = a + first * t;
        const uint32_t* const b0 = b + first * t;
        if (q != 0) {
          for (int32_t k = 0; k < n + q; ++k) {
            strips[k] = static_cast<int32_t>(b0[k * t] - a0[k * t]);
          }
          _mm256_storeu_si256(reinterpret_cast<__m256i*>(strips + n + q), zero);
        } else {
          for (int32_t k = 0; k < n; ++k) {
            const int32_t x = k * t;
            strips[k] = static_cast<int32_t>((b0[x + bw] - a0[x + bw]) - (b0[x] - a0[x]));
          }
          _mm256_storeu_si256(reinterpret_cast<__m256i*>(strips + n), zero);
        }
      }
      // The test, eight positions at a time, and the packing of the columns.
      if (pending > kPending - kBlock) flush();
      __m256i x = _mm256_add_epi32(_mm256_set1_epi32(first * t), laneX);
      for (int32_t k = 0; k < n; k += 8) {
        __m256i inner;
        if (onGrid) {
          const int32_t* const gt = gridTop + first + k;
          const int32_t* const gb = gridBottom + first + k;
          inner = _mm256_sub_epi32(_mm256_sub_epi32(Load8(gb + q), Load8(gb)),
                                   _mm256_sub_epi32(Load8(gt + q), Load8(gt)));
        } else if (q != 0) {
          inner =
              _mm256_sub_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(strips + k + q)),
                               _mm256_load_si256(reinterpret_cast<const __m256i*>(strips + k)));
        } else {
          inner = _mm256_load_si256(reinterpret_cast<const __m256i*>(strips + k));
        }
        const int32_t rest = n - k;
        const uint32_t valid = rest >= 8 ? 0xFFu : (1u << rest) - 1;
        const uint32_t bits =
            ExceedsAvx2(inner, _mm256_load_si256(reinterpret_cast<const __m256i*>(outerSums + k)),
                        left, right) &
            valid;
        const __m256i order = _mm256_cvtepu8_epi32(
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kLanePacking.lanes[bits])));
        // Writes eight entries, of which the reported ones count; at most k
        // were reported before in this block, so they stay within kPending.
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(pendingX + pending),
                            _mm256_permutevar8x32_epi32(x, order));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(pendingY + pending), row);
        pending += __builtin_popcount(bits);
        x = _mm256_add_epi32(x, groupStep);
      }
    }
  }
  flush();
}

bool ProcessorHasAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}
#endif

// Appends the positions of the pass whose contrast exceeds the threshold
// (see ContrastDecision::Exceeds), scalar: the reference the vector scan
// (ScanPassAvx2) matches. The outer box fits in the frame.
template <typename Sums, typename Threshold>
void ScanPass(const cv::Mat& sums, const Pass& pass, Threshold threshold, iList<Detection>& out) {
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
               const ContrastDecision& decision, bool vector, ScanScratch& scratch,
               iList<Detection>& out) {
  const int32_t W = sums.cols - 1;
  const int32_t H = sums.rows - 1;
  const int64_t frameArea = static_cast<int64_t>(W) * H;
  const int32_t idHigh = (shapeCode & 0xFF) << 8;
  (void)scratch;
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
#if PF_HAVE_AVX2_SCAN
      if constexpr (std::is_same_v<Sums, Sums32>) {
        if (vector) {
          ScanPassAvx2(sums, pass, decision.threshold(), scratch, out);
          continue;
        }
      }
#endif
      if (decision.threshold() == LocationDetector::kShapeThreshold) {
        ScanPass<Sums>(sums, pass, ShapeThreshold(), out);
      } else {
        ScanPass<Sums>(sums, pass, RuntimeThreshold{decision.threshold()}, out);
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

ScanScratch& LocationDetector::FreshScratch() {
  if (!scratch_) scratch_ = std::make_shared<ScanScratch>();
  scratch_->Forget();
  return *scratch_;
}

void LocationDetector::Scan(int32_t boxWidth, int32_t boxHeight, int32_t shapeCode,
                            int32_t threshold, ScanScratch& scratch, iList<Detection>& out) const {
  if (boxWidth < 1 || boxHeight < 1) return;
  const ContrastDecision decision(threshold);
  if (decision.ReportsNone()) return;
  if (sumMatrix.depth() == CV_32S) {
    ScanShape<Sums32>(sumMatrix, boxWidth, boxHeight, shapeCode, decision, UsesVectorScan(),
                      scratch, out);
  } else {
    ScanShape<Sums64>(sumMatrix, boxWidth, boxHeight, shapeCode, decision, false, scratch, out);
  }
}

iList<Detection> LocationDetector::Detect(const cv::Mat& image, int32_t boxWidth, int32_t boxHeight,
                                          int32_t shapeCode, int32_t threshold) {
  iList<Detection> result;
  if (ComputeSums(image)) {
    Scan(boxWidth, boxHeight, shapeCode, threshold, FreshScratch(), result);
  }
  return result;
}

iList<Detection> LocationDetector::DetectAllShapes(const cv::Mat& image) {
  iList<Detection> result;
  if (!ComputeSums(image)) return result;
  // Scan appends at the tail, so scanning every shape into one list gives the
  // seven lists joined in order without copying or moving a node.
  ScanScratch& scratch = FreshScratch();
  for (const BoxShape& shape : kShapes) {
    Scan(shape.width, shape.height, shape.code, kShapeThreshold, scratch, result);
  }
  return result;
}

}  // namespace placefinder
