// BruteForceDetector: the rectangle-feature search written out step by step,
// with every box sum taken pixel by pixel. It is slow and meant to be plainly
// right; the fuzz targets and their regression tests compare LocationDetector
// against it.
//
// BruteForceScan() lists every position the search for one base shape visits,
// in the order of the search (pass, then row, then column), with the
// position's contrast response. For pass k:
//   - the scale s = 0.25 k + 0.75; the box is boxWidth x boxHeight (each first
//     converted to float) times s, truncated; the step is 4 s, truncated;
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
// A position is detected when |response| > threshold.
//
// Precondition: a CV_8UC1 image. A base box under one pixel wide or high
// gives an empty list.

#ifndef FUZZ_BRUTEFORCEDETECTOR_H_
#define FUZZ_BRUTEFORCEDETECTOR_H_

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <opencv2/core.hpp>
#include <vector>

#include "Detection.h"

struct ScoredBox {
  Detection detection;
  int32_t response;
};

// The sum of the pixels in columns left .. right - 1 and rows top .. bottom - 1.
inline int64_t BruteForceBoxSum(const cv::Mat& image, int32_t left, int32_t top, int32_t right,
                                int32_t bottom) {
  int64_t sum = 0;
  for (int32_t y = top; y < bottom; ++y) {
    const uint8_t* row = image.ptr<uint8_t>(y);
    for (int32_t x = left; x < right; ++x) sum += row[x];
  }
  return sum;
}

// The response of the box at (x, y) of size bw x bh with ring margin m.
inline int32_t BruteForceResponse(const cv::Mat& image, int32_t x, int32_t y, int32_t bw,
                                  int32_t bh, int32_t m) {
  const int32_t W = image.cols;
  const int32_t H = image.rows;
  if (x + bw > W || y + bh > H) return 0;
  const int32_t p = m / 2;
  int32_t left = std::max(x - p, 0);
  int32_t top = std::max(y - p, 0);
  int32_t right = left + bw + m;
  int32_t bottom = top + bh + m;
  if (right > W) {
    const int32_t d = right - W;
    if (d > left) return 0;
    left -= d;
    right = W;
  }
  if (bottom > H) {
    const int32_t d = bottom - H;
    if (d > top) return 0;
    top -= d;
    bottom = H;
  }
  const int64_t inner = BruteForceBoxSum(image, x, y, x + bw, y + bh);
  const int64_t ring = BruteForceBoxSum(image, left, top, right, bottom) - inner;
  if (inner > ring) {
    return 32767 -
           static_cast<int32_t>(static_cast<double>(ring) * 32767.0 / static_cast<double>(inner));
  }
  if (ring != 0) {
    return static_cast<int32_t>(static_cast<double>(inner) * 32767.0 / static_cast<double>(ring)) -
           32767;
  }
  return 0;
}

inline std::vector<ScoredBox> BruteForceScan(const cv::Mat& image, int32_t boxWidth,
                                             int32_t boxHeight, int32_t shapeCode) {
  std::vector<ScoredBox> out;
  if (boxWidth < 1 || boxHeight < 1) return out;
  const int32_t W = image.cols;
  const int32_t H = image.rows;
  for (int32_t k = 1;; ++k) {
    const double s = 0.25 * k + 0.75;
    const int32_t bw = static_cast<int32_t>(static_cast<float>(boxWidth) * s);
    const int32_t bh = static_cast<int32_t>(static_cast<float>(boxHeight) * s);
    const int32_t t = static_cast<int32_t>(4 * s);
    if (static_cast<int64_t>(W) * H < 2 * static_cast<int64_t>(bw) * bh) break;
    const double sides = static_cast<double>(bw) + bh;
    const int32_t m = static_cast<int32_t>(
        (std::sqrt(sides * sides + 4.0 * static_cast<double>(bw) * bh) - sides) * 0.5);
    const int16_t id = static_cast<int16_t>((shapeCode & 0xFF) * 256 + (k & 0xFF));
    for (int32_t y = 0; y < H - bh; y += t) {
      for (int32_t x = 0; x < W - bw; x += t) {
        out.push_back({Detection{id, x, y, bw, bh}, BruteForceResponse(image, x, y, bw, bh, m)});
      }
    }
  }
  return out;
}

inline std::vector<Detection> BruteForceSelect(const std::vector<ScoredBox>& scored,
                                               int32_t threshold) {
  std::vector<Detection> out;
  for (const ScoredBox& box : scored) {
    if (std::abs(box.response) > threshold) out.push_back(box.detection);
  }
  return out;
}

// The seven shapes of the full search: code, base width, base height.
constexpr int32_t kBruteForceShapes[7][3] = {{0, 16, 16}, {1, 32, 16},   {2, 16, 32},  {4, 64, 16},
                                             {8, 16, 64}, {16, 128, 16}, {32, 16, 128}};

#endif  // FUZZ_BRUTEFORCEDETECTOR_H_
