#include "LocationDetector.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "Contrast.h"

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

struct Shape {
  int32_t code;
  int32_t width;
  int32_t height;
};

constexpr Shape kShapes[] = {{0, 16, 16}, {1, 32, 16},   {2, 16, 32},  {4, 64, 16},
                             {8, 16, 64}, {16, 128, 16}, {32, 16, 128}};

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

// Appends the positions of the pass whose contrast exceeds the threshold
// (see ContrastDecision::Exceeds). The outer box fits in the frame.
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
               const ContrastDecision& decision, iList<Detection>& out) {
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
        ScanPass<Sums>(sums, pass, ShapeThreshold(), out);
      } else {
        ScanPass<Sums>(sums, pass, RuntimeThreshold{decision.threshold()}, out);
      }
    }
  }
}

}  // namespace

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
    ScanShape<Sums32>(sumMatrix, boxWidth, boxHeight, shapeCode, decision, out);
  } else {
    ScanShape<Sums64>(sumMatrix, boxWidth, boxHeight, shapeCode, decision, out);
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
  for (const Shape& shape : kShapes) {
    Scan(shape.width, shape.height, shape.code, kShapeThreshold, result);
  }
  return result;
}
