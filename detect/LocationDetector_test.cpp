#include "LocationDetector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <opencv2/imgproc.hpp>
#include <ostream>
#include <random>
#include <vector>

#include "ReferenceDetector.h"

namespace placefinder {

bool operator==(const Detection& a, const Detection& b) {
  return a.id == b.id && a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

void PrintTo(const Detection& d, std::ostream* os) {
  *os << "{id 0x" << std::hex << d.id << std::dec << " x " << d.x << " y " << d.y << " " << d.width
      << "x" << d.height << "}";
}

namespace {

// Copies the list into a vector, checking its links on the way: a list handed
// over whole has consistent next/prev links, a matching count and no cursor.
std::vector<Detection> ToVector(const iList<Detection>& list) {
  std::vector<Detection> out;
  const iListNode<Detection>* previous = nullptr;
  for (const iListNode<Detection>* node = list.head; node != nullptr; node = node->next) {
    EXPECT_EQ(node->prev, previous);
    out.push_back(node->value);
    previous = node;
  }
  EXPECT_EQ(list.tail, previous);
  EXPECT_EQ(list.count, static_cast<int32_t>(out.size()));
  EXPECT_EQ(list.current, nullptr);
  return out;
}

std::vector<Detection> Detect(LocationDetector& detector, const cv::Mat& image, int32_t width,
                              int32_t height, int32_t code, int32_t threshold) {
  return ToVector(detector.Detect(image, width, height, code, threshold));
}

std::vector<Detection> DetectFresh(const cv::Mat& image, int32_t width, int32_t height,
                                   int32_t code, int32_t threshold) {
  LocationDetector detector;
  return Detect(detector, image, width, height, code, threshold);
}

std::vector<Detection> WithId(const std::vector<Detection>& all, int16_t id) {
  std::vector<Detection> out;
  for (const Detection& d : all) {
    if (d.id == id) out.push_back(d);
  }
  return out;
}

bool Contains(const std::vector<Detection>& all, const Detection& wanted) {
  return std::find(all.begin(), all.end(), wanted) != all.end();
}

// A frame with a square of `inside` at (x, y) on `outside`.
cv::Mat Square(int32_t W, int32_t H, int32_t x, int32_t y, int32_t side, uint8_t inside,
               uint8_t outside) {
  cv::Mat image(H, W, CV_8UC1, cv::Scalar(outside));
  image(cv::Rect(x, y, side, side)).setTo(inside);
  return image;
}

// Random rectangles of random gray on a random ground, plus noise: enough
// contrast for detections at every threshold.
cv::Mat Blocks(std::mt19937& random, int32_t W, int32_t H, int32_t blocks) {
  cv::Mat image(H, W, CV_8UC1, cv::Scalar(random() % 256));
  for (int32_t i = 0; i < blocks; ++i) {
    const int32_t x = random() % W;
    const int32_t y = random() % H;
    const int32_t w = 1 + random() % std::max(1, W / 3);
    const int32_t h = 1 + random() % std::max(1, H / 3);
    image(cv::Rect(x, y, std::min(w, W - x), std::min(h, H - y))).setTo(random() % 256);
  }
  cv::Mat noise(H, W, CV_8UC1);
  cv::randu(noise, 0, 24);
  cv::add(image, noise, image);  // saturates at 255
  return image;
}

// --- Worked examples -------------------------------------------------------

// A uniform frame has the same response at every position of a pass, because
// the outer box always keeps its full size: it shows at thresholds r - 1 and r.
TEST(LocationDetectorTest, UniformFrameResponses) {
  struct Case {
    int32_t width, height, response;
  };
  const Case cases[] = {{16, 16, 3584}, {32, 16, 4096}, {64, 16, 736}, {128, 16, 112}};
  for (uint8_t value : {1, 128, 255}) {
    const cv::Mat image(240, 320, CV_8UC1, cv::Scalar(value));
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " of " << int{value});
      const std::vector<Detection> all = WithId(DetectFresh(image, c.width, c.height, 0, -1), 1);
      ASSERT_FALSE(all.empty());
      EXPECT_EQ(WithId(DetectFresh(image, c.width, c.height, 0, c.response - 1), 1), all);
      EXPECT_TRUE(WithId(DetectFresh(image, c.width, c.height, 0, c.response), 1).empty());
    }
    LocationDetector detector;
    EXPECT_EQ(detector.DetectAllShapes(image).count, 0);
  }
}

// One 16 x 16 square at (40, 40): its response in pass 1, seen at thresholds
// |r| - 1 (reported) and |r| (not reported). The sign is not kept.
TEST(LocationDetectorTest, SquareResponses) {
  struct Case {
    uint8_t inside, outside;
    int32_t magnitude;
  };
  const Case cases[] = {{200, 100, 18176}, {100, 200, 14372}, {255, 0, 32767}, {0, 255, 32767}};
  const Detection expected{0x0001, 40, 40, 16, 16};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << int{c.inside} << " in " << int{c.outside});
    const cv::Mat image = Square(96, 80, 40, 40, 16, c.inside, c.outside);
    EXPECT_TRUE(Contains(DetectFresh(image, 16, 16, 0, 12000), expected));
    EXPECT_TRUE(Contains(DetectFresh(image, 16, 16, 0, c.magnitude - 1), expected));
    EXPECT_FALSE(Contains(DetectFresh(image, 16, 16, 0, c.magnitude), expected));
  }
}

// The white square on black in a 96 x 80 frame, through all seven shapes.
TEST(LocationDetectorTest, WhiteSquareAllShapes) {
  const cv::Mat image = Square(96, 80, 40, 40, 16, 255, 0);
  LocationDetector detector;
  const std::vector<Detection> all = ToVector(detector.DetectAllShapes(image));
  EXPECT_EQ(all.size(), 947u);
  std::map<int32_t, int32_t> perCode;
  for (const Detection& d : all) ++perCode[d.id >> 8];
  const std::map<int32_t, int32_t> expected = {{0, 326}, {1, 293}, {2, 204}, {4, 92}, {8, 32}};
  EXPECT_EQ(perCode, expected);
  EXPECT_TRUE(Contains(all, Detection{0x0001, 40, 40, 16, 16}));
  EXPECT_TRUE(Contains(all, Detection{0x0002, 40, 40, 20, 20}));
  EXPECT_TRUE(Contains(all, Detection{0x0005, 40, 40, 32, 32}));
  for (size_t i = 1; i < all.size(); ++i) ASSERT_LE(all[i - 1].id, all[i].id) << i;

  // The same list as seven separate searches joined in order.
  std::vector<Detection> joined;
  for (const BoxShape& shape : LocationDetector::kShapes) {
    const std::vector<Detection> one =
        Detect(detector, image, shape.width, shape.height, shape.code, 12000);
    joined.insert(joined.end(), one.begin(), one.end());
  }
  EXPECT_EQ(all, joined);
}

// The scan stops short of the right edge: in a frame 48 pixels wide, pass 1
// of a 16 x 16 box visits x = 0, 4, ..., 28 (never 32 = W - bw), likewise
// for rows.
TEST(LocationDetectorTest, PositionBoundsAreStrict) {
  const cv::Mat image(40, 48, CV_8UC1, cv::Scalar(90));
  std::vector<Detection> expected;
  for (int32_t y = 0; y < 24; y += 4) {
    for (int32_t x = 0; x <= 28; x += 4) expected.push_back({0x0001, x, y, 16, 16});
  }
  EXPECT_EQ(WithId(DetectFresh(image, 16, 16, 0, -1), 1), expected);
}

// A 640 x 480 frame: the seven shapes visit 392,106 positions in all (every
// one is reported at a negative threshold).
TEST(LocationDetectorTest, PositionCountOf640x480) {
  const cv::Mat image(480, 640, CV_8UC1, cv::Scalar(0));
  LocationDetector detector;
  int64_t positions = 0;
  for (const BoxShape& shape : LocationDetector::kShapes) {
    positions += detector.Detect(image, shape.width, shape.height, shape.code, -1).count;
  }
  EXPECT_EQ(positions, 392106);
}

// The area test W * H >= 2 * bw * bh ends the series; a box that is as wide
// or high as the frame only leaves its pass empty.
TEST(LocationDetectorTest, AreaTest) {
  struct Case {
    int32_t W, H, width, height;
    size_t positions;
  };
  const Case cases[] = {
      {31, 16, 16, 16, 0},  // 496 < 512: no pass at all
      {32, 16, 16, 16, 0},  // pass 1 runs, but bh == H leaves no row
      {40, 20, 16, 16, 6},  // pass 1: x = 0 .. 20, y = 0; pass 2 has no row; pass 3 fails
      {17, 17, 1, 1, 112},  // 1 x 1 boxes: 48 passes, while 2 bw bh <= 289
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.W << "x" << c.H);
    const cv::Mat image(c.H, c.W, CV_8UC1, cv::Scalar(50));
    const std::vector<Detection> all = DetectFresh(image, c.width, c.height, 0, -1);
    EXPECT_EQ(all.size(), c.positions);
    EXPECT_EQ(all, BruteForce(image, c.width, c.height, 0, -1));
  }
}

// In a 160 x 120 frame the 16 x 128 box is higher than the frame in every
// pass the area test admits: that shape finds nothing, the others do.
TEST(LocationDetectorTest, TallShapeFindsNothingIn160x120) {
  std::mt19937 random(7);
  const cv::Mat image = Blocks(random, 160, 120, 12);
  EXPECT_TRUE(DetectFresh(image, 16, 128, 32, -1).empty());
  LocationDetector detector;
  std::map<int32_t, int32_t> perCode;
  for (const Detection& d : ToVector(detector.DetectAllShapes(image))) ++perCode[d.id >> 8];
  EXPECT_EQ(perCode.count(32), 0u);
  EXPECT_GT(perCode[0], 0);
}

// An outer box wider than the frame cannot be moved into it: every position
// of the pass has the response 0, reported only at negative thresholds.
TEST(LocationDetectorTest, OuterBoxWiderThanFrame) {
  std::mt19937 random(11);
  const cv::Mat image = Blocks(random, 20, 200, 8);  // 16 + 6 > 20 in every pass
  const std::vector<Detection> all = DetectFresh(image, 16, 16, 0, -1);
  EXPECT_EQ(all.size(), 46u);  // pass 1: x = 0, y = 0 .. 180
  EXPECT_TRUE(DetectFresh(image, 16, 16, 0, 0).empty());
}

// Pass 257 gives the id of pass 1 (and pass 256 the low byte 0). In a 1471 x 1471 frame the 16 x 16
// series runs 257 passes; the last, with 1040 x 1040 boxes and step 260, visits (0, 0), (260, 0),
// (0, 260) and (260, 260).
TEST(LocationDetectorTest, ScaleIndexKeepsLowEightBits) {
  const cv::Mat image(1471, 1471, CV_8UC1, cv::Scalar(30));
  const std::vector<Detection> all = DetectFresh(image, 16, 16, 0, -1);
  ASSERT_GT(all.size(), 5u);
  const std::vector<Detection> last(all.end() - 5, all.end());
  const std::vector<Detection> expected = {{0x0000, 259, 259, 1036, 1036},
                                           {0x0001, 0, 0, 1040, 1040},
                                           {0x0001, 260, 0, 1040, 1040},
                                           {0x0001, 0, 260, 1040, 1040},
                                           {0x0001, 260, 260, 1040, 1040}};
  EXPECT_EQ(last, expected);
}

TEST(LocationDetectorTest, ShapeCodeKeepsLowEightBits) {
  const cv::Mat image = Square(96, 80, 40, 40, 16, 255, 0);
  std::vector<Detection> expected = DetectFresh(image, 16, 16, 0x7F, 12000);
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(DetectFresh(image, 16, 16, 0x37F, 12000), expected);
  for (Detection& d : expected) d.id = static_cast<int16_t>(0xFF00 | (d.id & 0xFF));
  EXPECT_EQ(DetectFresh(image, 16, 16, -1, 12000), expected);
}

// --- Differential test -----------------------------------------------------

// The differential tests run once on each scan: the vector scan (skipped on
// a processor without AVX2) and the scalar one.
class ScanTest : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (!GetParam() && !LocationDetector::VectorScanAvailable()) {
      GTEST_SKIP() << "the processor has no AVX2: only the scalar scan runs";
    }
    detector.SetScalarScan(GetParam());
    ASSERT_EQ(detector.UsesVectorScan(), !GetParam());
  }
  LocationDetector detector;
};

INSTANTIATE_TEST_SUITE_P(BothScans, ScanTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "Scalar" : "Vector";
                         });

// Small random frames (some narrower or lower than an outer box), the seven
// shapes and a few odd ones, thresholds from negative to beyond the largest
// response, against the reference with pixel-by-pixel sums. One detector runs
// them all, so its sum matrix also changes size from frame to frame.
TEST_P(ScanTest, MatchesBruteForceOnRandomFrames) {
  std::mt19937 random(20240611);
  const int32_t thresholds[] = {-7, -1, 0, 1, 3000, 12000, 20000, 32766, 32767};
  const int32_t extraShapes[][3] = {{3, 1, 1}, {5, 5, 3}, {6, 7, 13}, {0x1FF, 24, 9}};
  int64_t compared = 0;
  for (int32_t frame = 0; frame < 30; ++frame) {
    const int32_t W = 8 + random() % 65;
    const int32_t H = 8 + random() % 65;
    const cv::Mat image =
        frame == 0 ? cv::Mat(H, W, CV_8UC1, cv::Scalar(0)) : Blocks(random, W, H, random() % 10);
    SCOPED_TRACE(testing::Message() << "frame " << frame << ": " << W << "x" << H);
    std::vector<Detection> allShapes;
    auto check = [&](int32_t code, int32_t width, int32_t height, bool program) {
      const std::vector<Scored> scored =
          ReferenceScan(W, H, width, height, code, -1, PixelSum{image});
      for (int32_t threshold : thresholds) {
        const std::vector<Detection> expected = Select(scored, threshold);
        ASSERT_EQ(Detect(detector, image, width, height, code, threshold), expected)
            << width << "x" << height << " threshold " << threshold;
        compared += expected.size();
        if (program && threshold == 12000) {
          allShapes.insert(allShapes.end(), expected.begin(), expected.end());
        }
      }
    };
    for (const BoxShape& shape : LocationDetector::kShapes) {
      check(shape.code, shape.width, shape.height, true);
    }
    for (const auto& shape : extraShapes) check(shape[0], shape[1], shape[2], false);
    EXPECT_EQ(ToVector(detector.DetectAllShapes(image)), allShapes);
    EXPECT_EQ(detector.sumMatrix.rows, H + 1);
    EXPECT_EQ(detector.sumMatrix.cols, W + 1);
  }
  EXPECT_GT(compared, 10000);  // the frames do produce detections
}

// Rows of more positions than the vector scan takes in one block, with
// the box widths a whole number of steps (the seven shapes) and not (odd
// shapes), against the reference.
TEST_P(ScanTest, MatchesBruteForceOnWideFrames) {
  std::mt19937 random(5);
  const int32_t shapes[][3] = {{0, 16, 16}, {1, 32, 16}, {4, 64, 16}, {6, 7, 5}, {9, 18, 6}};
  for (int32_t W : {1100, 2101}) {
    const cv::Mat image = Blocks(random, W, 44, 40);
    for (const auto& shape : shapes) {
      SCOPED_TRACE(testing::Message() << W << " wide, " << shape[1] << "x" << shape[2]);
      const std::vector<Scored> scored =
          ReferenceScan(W, 44, shape[1], shape[2], shape[0], -1, PixelSum{image});
      for (int32_t threshold : {0, 3000, 12000}) {
        const std::vector<Detection> expected = Select(scored, threshold);
        ASSERT_FALSE(expected.empty());
        EXPECT_EQ(Detect(detector, image, shape[1], shape[2], shape[0], threshold), expected);
      }
    }
  }
}

// Every frame size up to 48 x 48 in one dimension with the other at 20 or 48:
// tiny frames, frames where the outer box fits in neither, one or both
// dimensions, rows whose positions all lie where the frame's edges hold the
// outer box, and rows of every length around a group of eight. Shapes on the
// grid of steps (the seven), a whole number of steps wide only (24 x 9) and
// neither (7 x 5).
TEST_P(ScanTest, MatchesBruteForceOnEverySmallFrameSize) {
  std::mt19937 random(41);
  const int32_t shapes[][3] = {{0, 16, 16}, {1, 32, 16}, {2, 16, 32}, {4, 64, 16},
                               {8, 16, 64}, {3, 24, 9},  {5, 7, 5}};
  for (int32_t other : {20, 48}) {
    for (int32_t size = 1; size <= 48; ++size) {
      for (const bool wide : {true, false}) {
        const int32_t W = wide ? size : other;
        const int32_t H = wide ? other : size;
        const cv::Mat image = Blocks(random, W, H, 4);
        SCOPED_TRACE(testing::Message() << W << "x" << H);
        for (const auto& shape : shapes) {
          const std::vector<Scored> scored =
              ReferenceScan(W, H, shape[1], shape[2], shape[0], -1, PixelSum{image});
          for (int32_t threshold : {0, 12000}) {
            ASSERT_EQ(Detect(detector, image, shape[1], shape[2], shape[0], threshold),
                      Select(scored, threshold))
                << shape[1] << "x" << shape[2] << " threshold " << threshold;
          }
        }
      }
    }
  }
}

// Rows of one position less, as many and one more than the vector scan's
// block of 256 (pass 1 of a 16-pixel-wide box, step 4, in frames 1036 to 1044
// wide), and of two blocks and more.
TEST_P(ScanTest, MatchesBruteForceAroundTheBlockSize) {
  std::mt19937 random(43);
  const int32_t shapes[][3] = {{0, 16, 16}, {1, 32, 16}, {3, 24, 9}, {5, 7, 5}};
  for (int32_t W : {1035, 1036, 1037, 1040, 1041, 1044, 2065}) {
    const cv::Mat image = Blocks(random, W, 30, 30);
    for (const auto& shape : shapes) {
      SCOPED_TRACE(testing::Message() << W << " wide, " << shape[1] << "x" << shape[2]);
      const std::vector<Scored> scored =
          ReferenceScan(W, 30, shape[1], shape[2], shape[0], -1, PixelSum{image});
      for (int32_t threshold : {0, 12000}) {
        EXPECT_EQ(Detect(detector, image, shape[1], shape[2], shape[0], threshold),
                  Select(scored, threshold));
      }
    }
  }
}

// A pass that reports more boxes than the vector scan holds before it turns
// them into detections (2048): pass 1 of the 16 x 16 box on a noisy frame at
// threshold 0 reports nearly all of its 3,252 positions.
TEST_P(ScanTest, MatchesBruteForceWhenOnePassReportsThousands) {
  std::mt19937 random(47);
  const cv::Mat image = Blocks(random, 1100, 64, 60);
  const std::vector<Detection> expected =
      Select(ReferenceScan(1100, 64, 16, 16, 0, -1, PixelSum{image}), 0);
  ASSERT_GT(
      std::count_if(expected.begin(), expected.end(), [](const Detection& d) { return d.id == 1; }),
      3000);
  EXPECT_EQ(Detect(detector, image, 16, 16, 0, 0), expected);
}

// One detector over frames of one size and then another: each frame's list is
// the one a fresh detector gives, so nothing of an earlier frame's integral
// image is kept by the scan.
TEST_P(ScanTest, ReusedDetectorMatchesAFreshOneOnEveryFrame) {
  std::mt19937 random(53);
  for (int32_t frame = 0; frame < 6; ++frame) {
    const int32_t W = frame < 3 ? 320 : 200;
    const int32_t H = frame < 3 ? 240 : 150;
    const cv::Mat image = Blocks(random, W, H, 30);
    LocationDetector fresh;
    fresh.SetScalarScan(true);
    const std::vector<Detection> all = ToVector(detector.DetectAllShapes(image));
    EXPECT_FALSE(all.empty()) << "frame " << frame;
    EXPECT_EQ(all, ToVector(fresh.DetectAllShapes(image))) << "frame " << frame;
    EXPECT_EQ(Detect(detector, image, 32, 16, 1, 3000), Detect(fresh, image, 32, 16, 1, 3000))
        << "frame " << frame;
  }
}

// Frames of the size the program sees: both scans give the same lists, the
// whole search and single shapes at other thresholds.
TEST(LocationDetectorTest, VectorAndScalarScansAgree) {
  if (!LocationDetector::VectorScanAvailable()) GTEST_SKIP() << "the processor has no AVX2";
  std::mt19937 random(17);
  LocationDetector vector;
  LocationDetector scalar;
  scalar.SetScalarScan(true);
  for (int32_t frame = 0; frame < 4; ++frame) {
    const cv::Mat image = Blocks(random, 640 + 17 * frame, 480 - 9 * frame, 60);
    const std::vector<Detection> all = ToVector(vector.DetectAllShapes(image));
    EXPECT_GT(all.size(), 1000u);
    EXPECT_EQ(all, ToVector(scalar.DetectAllShapes(image)));
    for (int32_t threshold : {0, 1, 5000, 20000, 32766}) {
      EXPECT_EQ(Detect(vector, image, 16, 16, 0, threshold),
                Detect(scalar, image, 16, 16, 0, threshold));
      EXPECT_EQ(Detect(vector, image, 21, 11, 3, threshold),
                Detect(scalar, image, 21, 11, 3, threshold));
    }
  }
}

// A frame of another size re-creates the sum matrix for its size; the results
// are those of a fresh detector.
TEST(LocationDetectorTest, FrameSizeChanges) {
  std::mt19937 random(3);
  const cv::Mat small = Blocks(random, 64, 48, 6);
  const cv::Mat large = Blocks(random, 200, 150, 20);
  LocationDetector detector;
  for (const cv::Mat* image : {&small, &large, &small}) {
    LocationDetector fresh;
    EXPECT_EQ(ToVector(detector.DetectAllShapes(*image)), ToVector(fresh.DetectAllShapes(*image)));
    EXPECT_EQ(detector.sumMatrix.size(), cv::Size(image->cols + 1, image->rows + 1));
    EXPECT_EQ(detector.sumMatrix.type(), CV_32SC1);
  }
}

TEST(LocationDetectorTest, RejectsOrIgnoresUnusableInput) {
  LocationDetector detector;
  const cv::Mat colour(40, 40, CV_8UC3, cv::Scalar(10, 20, 30));
  EXPECT_THROW(detector.Detect(colour, 16, 16, 0, -1), cv::Exception);
  EXPECT_THROW(detector.DetectAllShapes(cv::Mat(40, 40, CV_16UC1)), cv::Exception);
  EXPECT_EQ(detector.Detect(cv::Mat(), 16, 16, 0, -1).count, 0);
  EXPECT_EQ(detector.DetectAllShapes(cv::Mat()).count, 0);
  const cv::Mat gray(40, 40, CV_8UC1, cv::Scalar(10));
  const int32_t boxes[][2] = {{0, 16}, {16, 0}, {-16, 16}, {-16, -16}, {16, -1}};
  for (const auto& box : boxes) {
    EXPECT_EQ(detector.Detect(gray, box[0], box[1], 0, -1).count, 0) << box[0] << "x" << box[1];
  }
}

// --- Frames too large for 32-bit sums ------------------------------------

TEST(LocationDetectorTest, SumDepthFollowsFrameSize) {
  LocationDetector detector;
  // 3133 x 2688 = 8,421,504 pixels: all white, the last sum is 2^31 - 128.
  const cv::Mat limit(2688, 3133, CV_8UC1, cv::Scalar(255));
  detector.Detect(limit, 16, 16, 0, 32767);
  ASSERT_EQ(detector.sumMatrix.type(), CV_32SC1);
  EXPECT_EQ(detector.sumMatrix.at<int32_t>(2688, 3133), 255 * 8421504);
  const cv::Mat above(2689, 3133, CV_8UC1, cv::Scalar(255));
  detector.Detect(above, 16, 16, 0, 32767);
  ASSERT_EQ(detector.sumMatrix.type(), CV_64FC1);
  EXPECT_EQ(detector.sumMatrix.at<double>(2689, 3133), 255.0 * 3133 * 2689);
}

// A bright 4096 x 2304 frame: the integral passes 2^31 over most of the lower
// right part. The result must match the reference, whose sums come from a
// 64-bit integral image built here by plain loops.
TEST(LocationDetectorTest, ExactOnFramesBeyond32BitSums) {
  const int32_t W = 4096;
  const int32_t H = 2304;
  std::mt19937 random(99);
  cv::Mat image(H, W, CV_8UC1, cv::Scalar(245));
  for (int32_t i = 0; i < 300; ++i) {
    const int32_t w = 4 + random() % 100;
    const int32_t h = 4 + random() % 100;
    const int32_t x = random() % (W - w);
    const int32_t y = random() % (H - h);
    image(cv::Rect(x, y, w, h)).setTo(random() % 256);
  }
  cv::Mat noise(H, W, CV_8UC1);
  cv::randu(noise, 0, 11);
  cv::add(image, noise, image);

  std::vector<int64_t> integral(static_cast<size_t>(W + 1) * (H + 1), 0);
  for (int32_t y = 0; y < H; ++y) {
    int64_t row = 0;
    for (int32_t x = 0; x < W; ++x) {
      row += image.at<uint8_t>(y, x);
      integral[(y + 1) * size_t{W + 1} + x + 1] = integral[y * size_t{W + 1} + x + 1] + row;
    }
  }
  ASSERT_GT(integral.back(), int64_t{1} << 31);
  auto boxSum = [&](int32_t left, int32_t top, int32_t right, int32_t bottom) {
    const size_t stride = W + 1;
    return integral[bottom * stride + right] - integral[bottom * stride + left] -
           integral[top * stride + right] + integral[top * stride + left];
  };
  // Spot-check the reference sums against pixel sums.
  EXPECT_EQ(boxSum(4000, 2200, 4096, 2304), PixelSum{image}(4000, 2200, 4096, 2304));
  EXPECT_EQ(boxSum(0, 0, W, H), PixelSum{image}(0, 0, W, H));

  LocationDetector detector;
  std::vector<Detection> expected;
  for (const BoxShape& shape : LocationDetector::kShapes) {
    const std::vector<Scored> scored =
        ReferenceScan(W, H, shape.width, shape.height, shape.code, 12000, boxSum);
    for (const Scored& s : scored) expected.push_back(s.detection);
  }
  const std::vector<Detection> all = ToVector(detector.DetectAllShapes(image));
  ASSERT_EQ(detector.sumMatrix.type(), CV_64FC1);
  EXPECT_GT(expected.size(), 1000u);
  EXPECT_EQ(all, expected);
  // A lower threshold on one shape, with detections in the overflowing part.
  const std::vector<Scored> scored = ReferenceScan(W, H, 64, 16, 4, 3000, boxSum);
  std::vector<Detection> lower;
  for (const Scored& s : scored) lower.push_back(s.detection);
  EXPECT_TRUE(std::any_of(lower.begin(), lower.end(),
                          [](const Detection& d) { return d.x > 3000 && d.y > 2000; }));
  EXPECT_EQ(Detect(detector, image, 64, 16, 4, 3000), lower);
}

}  // namespace

}  // namespace placefinder
