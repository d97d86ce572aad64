// The reference detector: the box search written out plainly, slow and meant
// to be obviously right. The detector's tests and its fuzz target compare
// LocationDetector's lists with it. For pass k = 1, 2, ... of a base shape:
//   - the scale s = 0.25 k + 0.75 in single precision; the box is the base
//     width and height times s, truncated; the step is 4 s, truncated;
//   - the pass runs while W * H >= 2 * bw * bh, and the first failure ends
//     the search;
//   - the ring margin m is the truncated positive root of
//     m^2 + (bw + bh) m - bw bh = 0, in double precision;
//   - positions are x = 0, t, ... < W - bw and y = 0, t, ... < H - bh;
//   - the outer box of (bw + m) x (bh + m) starts floor(m / 2) pixels left of
//     and above the box, clamped at 0, and is shifted left and up into the
//     frame; where it cannot be, the response is 0;
//   - with inner and ring (outer minus inner) sums, the response is
//     32767 - trunc(32767 ring / inner) when inner > ring,
//     trunc(32767 inner / ring) - 32767 when ring != 0, and 0 otherwise.
// A position is reported when |response| > threshold.

#ifndef DETECT_REFERENCEDETECTOR_H_
#define DETECT_REFERENCEDETECTOR_H_

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <opencv2/core.hpp>
#include <vector>

#include "Detection.h"
#include "LocationDetector.h"

namespace placefinder {

// A visited box position with its response.
struct Scored {
  Detection detection;
  int32_t response;
};

// The search written out step by step from its definition, independent of
// the detector: the scale factor in single precision, the outer box
// moved into the frame by the explicit shifts, the response from a
// double-precision quotient. Box sums come from `boxSum(left, top, right,
// bottom)` (exclusive right and bottom edges).
template <typename BoxSum>
inline std::vector<Scored> ReferenceScan(int32_t W, int32_t H, int32_t boxWidth, int32_t boxHeight,
                                         int32_t code, int32_t threshold, const BoxSum& boxSum) {
  std::vector<Scored> out;
  for (int32_t k = 1;; ++k) {
    const float s = 0.25f * static_cast<float>(k) + 0.75f;
    const int32_t bw = static_cast<int32_t>(static_cast<float>(boxWidth) * s);
    const int32_t bh = static_cast<int32_t>(static_cast<float>(boxHeight) * s);
    const int32_t t = static_cast<int32_t>(4 * s);
    if (static_cast<int64_t>(W) * H < 2 * static_cast<int64_t>(bw) * bh) break;
    const double sum = bw + bh;
    const int32_t m = static_cast<int32_t>(
        (std::sqrt(sum * sum + 4.0 * static_cast<double>(bw) * bh) - sum) * 0.5);
    const int32_t p = m / 2;
    const int16_t id = static_cast<int16_t>((code & 0xFF) * 256 + (k & 0xFF));
    for (int32_t y = 0; y < H - bh; y += t) {
      for (int32_t x = 0; x < W - bw; x += t) {
        int32_t r = 0;
        bool fits = x + bw <= W && y + bh <= H;
        int32_t left = std::max(x - p, 0);
        int32_t top = std::max(y - p, 0);
        int32_t right = left + bw + m;
        int32_t bottom = top + bh + m;
        if (fits && right > W) {
          const int32_t d = right - W;
          if (d > left) {
            fits = false;
          } else {
            left -= d;
            right = W;
          }
        }
        if (fits && bottom > H) {
          const int32_t d = bottom - H;
          if (d > top) {
            fits = false;
          } else {
            top -= d;
            bottom = H;
          }
        }
        if (fits) {
          const int64_t inner = boxSum(x, y, x + bw, y + bh);
          const int64_t ring = boxSum(left, top, right, bottom) - inner;
          if (inner > ring) {
            r = 32767 - static_cast<int32_t>(static_cast<double>(ring) * 32767 / inner);
          } else if (ring != 0) {
            r = static_cast<int32_t>(static_cast<double>(inner) * 32767 / ring) - 32767;
          }
        }
        if (std::abs(r) > threshold) out.push_back({Detection{id, x, y, bw, bh}, r});
      }
    }
  }
  return out;
}

// The sum of the pixels of a box, by cv::sum over its rectangle: exact for
// 8-bit images, whose sums stay far below 2^53.
struct PixelSum {
  const cv::Mat& image;
  int64_t operator()(int32_t left, int32_t top, int32_t right, int32_t bottom) const {
    if (right <= left || bottom <= top) return 0;
    return static_cast<int64_t>(cv::sum(image(cv::Rect(left, top, right - left, bottom - top)))[0]);
  }
};

// The positions whose |response| exceeds `threshold`, in order.
inline std::vector<Detection> Select(const std::vector<Scored>& scored, int32_t threshold) {
  std::vector<Detection> out;
  for (const Scored& s : scored) {
    if (std::abs(s.response) > threshold) out.push_back(s.detection);
  }
  return out;
}

// One shape on `image`, reported at `threshold`, as Detect() reports it.
inline std::vector<Detection> BruteForce(const cv::Mat& image, int32_t width, int32_t height,
                                         int32_t code, int32_t threshold) {
  return Select(ReferenceScan(image.cols, image.rows, width, height, code, -1, PixelSum{image}),
                threshold);
}

// The seven shapes on `image` at DetectAllShapes()' threshold, joined in
// order, as DetectAllShapes() reports them.
inline std::vector<Detection> BruteForceAllShapes(const cv::Mat& image) {
  std::vector<Detection> out;
  for (const BoxShape& shape : LocationDetector::kShapes) {
    const std::vector<Detection> one =
        BruteForce(image, shape.width, shape.height, shape.code, LocationDetector::kShapeThreshold);
    out.insert(out.end(), one.begin(), one.end());
  }
  return out;
}

}  // namespace placefinder

#endif  // DETECT_REFERENCEDETECTOR_H_
