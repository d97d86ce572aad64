// LocationDetector: finds boxes that are much brighter or much darker than a
// ring around them in an 8-bit gray frame, over a growing series of scales.
//
// Detect() searches one base box shape. Pass k = 1, 2, ... uses the box
// bw x bh = floor(boxWidth * (k + 3) / 4) x floor(boxHeight * (k + 3) / 4)
// and the scan step k + 3, and runs while W * H >= 2 * bw * bh (W x H is the
// frame size). A pass whose box is as wide or as high as the frame visits no
// position, and the series goes on. The ring margin m is the truncated
// positive root of m^2 + (bw + bh) m - bw bh = 0; the outer box of
// (bw + m) x (bh + m) pixels reaches floor(m / 2) pixels left of and above
// the inner box, and is moved into the frame whole, never cut. A pass whose
// outer box is wider or higher than the frame gives every position the
// response 0. Positions are x = 0, t, 2t, ... < W - bw and
// y = 0, t, 2t, ... < H - bh. See ContrastDecision for the response and the
// threshold test.
//
// Each reported box becomes a Detection with id = (shapeCode & 0xFF) << 8 |
// (k & 0xFF). The list is ordered by pass, then row, then column.
//
// DetectAllShapes() searches the seven shapes below with the threshold 12000
// and joins their lists in that order, so ids never decrease along it (as
// long as no shape runs more than 255 passes):
//   code 0: 16 x 16,  code 1: 32 x 16,  code 2: 16 x 32,  code 4: 64 x 16,
//   code 8: 16 x 64,  code 16: 128 x 16, code 32: 16 x 128.
//
// sumMatrix holds the integral image: (H + 1) x (W + 1), element (Y, X) the
// sum of all pixels above row Y and left of column X. It is allocated for the
// first frame and reused; a frame of another size re-allocates it, so frames
// of any size may follow each other. It is CV_32SC1 for frames of up to
// 8,421,504 pixels, where 255 * W * H still fits in 31 bits. Larger frames
// would overflow 32-bit sums, so for them it is CV_64FC1, whose sums are exact
// integers below 2^53; the detections stay exact (for frames below 2^38
// pixels, where the contrast test's products still fit 64 bits).
//
// REQUIRES: the image is CV_8UC1 (anything else throws cv::Exception). A
// base box narrower or lower than one pixel yields an empty list. An empty
// image yields an empty list.
//
// The identifier strings of the places seen so far are not the detector's:
// the place map (PlaceMap) keeps them.
//
// The scan of frames with 32-bit sums has two implementations that give the
// same lists: a vector scan, used where the processor has AVX2 (checked at run
// time, so the binary also runs where it does not), and a scalar one. A
// detector takes the vector scan when it can; SetScalarScan(true) keeps it on
// the scalar one, which lets tests compare the two on one machine.
//
// Not thread-safe: a detection writes sumMatrix and the vector scan's working
// memory (kept from frame to frame, like sumMatrix).

#ifndef DETECT_LOCATIONDETECTOR_H_
#define DETECT_LOCATIONDETECTOR_H_

#include <cstdint>
#include <memory>
#include <opencv2/core.hpp>

#include "Detection.h"
#include "iList.h"

namespace placefinder {

// Working memory of the vector scan (defined in LocationDetector.cpp).
struct ScanScratch;

// A base box shape of the search: its code (the high byte of its ids) and
// its base width and height.
struct BoxShape {
  int32_t code;
  int32_t width;
  int32_t height;
};

class LocationDetector {
 public:
  // The seven shapes DetectAllShapes() searches, in its order.
  static constexpr BoxShape kShapes[7] = {{0, 16, 16}, {1, 32, 16},   {2, 16, 32},  {4, 64, 16},
                                          {8, 16, 64}, {16, 128, 16}, {32, 16, 128}};
  // Frames with more pixels than this get 64-bit sums.
  static constexpr int64_t kMaxPixelsFor32BitSums = 8421504;
  // The threshold DetectAllShapes() uses for every shape.
  static constexpr int32_t kShapeThreshold = 12000;

  cv::Mat sumMatrix;

  LocationDetector() = default;
  LocationDetector(const LocationDetector&) = delete;
  LocationDetector& operator=(const LocationDetector&) = delete;

  // Searches one base shape. The caller owns the returned list.
  iList<Detection> Detect(const cv::Mat& image, int32_t boxWidth, int32_t boxHeight,
                          int32_t shapeCode, int32_t threshold);

  // Searches the seven shapes on one integral image and returns their joined
  // list. Gives the same list as seven Detect() calls joined in order.
  iList<Detection> DetectAllShapes(const cv::Mat& image);

  // True when the processor runs the vector scan.
  static bool VectorScanAvailable();
  // Keeps this detector on the scalar scan (true) or lets it take the vector
  // scan where the processor has it (false, the default).
  void SetScalarScan(bool scalar) { scalarScan_ = scalar; }
  // True when this detector's scans of 32-bit sums use the vector scan.
  bool UsesVectorScan() const { return !scalarScan_ && VectorScanAvailable(); }

 private:
  // Fills sumMatrix with the integral image of `image`. Returns false when
  // there is nothing to search (empty image).
  bool ComputeSums(const cv::Mat& image);
  // The working memory of the scans of a new integral image: kept from frame
  // to frame, so that a frame allocates nothing once the first one of its size
  // has been searched, but holding nothing of the last frame.
  ScanScratch& FreshScratch();
  // Scans sumMatrix for one shape and appends the detections to `out`.
  // `scratch` serves every scan of one integral image.
  void Scan(int32_t boxWidth, int32_t boxHeight, int32_t shapeCode, int32_t threshold,
            ScanScratch& scratch, iList<Detection>& out) const;

  bool scalarScan_ = false;
  std::shared_ptr<ScanScratch> scratch_;  // shared_ptr: the type is complete only in the .cpp
};

}  // namespace placefinder

#endif  // DETECT_LOCATIONDETECTOR_H_
