#include "LabelPainter.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>
#include <random>

namespace {

// Paints the same labels with LabelPainter and with cv::putText on the same
// noisy image and expects identical pixels. Origins cover the whole image and
// a band beyond every border, so labels cut by each border are included.
TEST(LabelPainterTest, PaintsExactlyThePixelsOfPutText) {
  std::mt19937 rng(7);
  LabelPainter painter;  // reused across frames of different sizes
  for (const cv::Size size : {cv::Size(160, 120), cv::Size(97, 61), cv::Size(30, 14)}) {
    SCOPED_TRACE(size);
    cv::Mat background(size, CV_8UC3);
    cv::randu(background, 0, 256);
    cv::Mat expected = background.clone();
    cv::Mat actual = background.clone();
    painter.Begin(actual);
    for (int i = 0; i < 3000; ++i) {
      // Ids of every shape byte, and a few arbitrary 16-bit values.
      const uint16_t id = static_cast<uint16_t>(
          i % 7 == 0 ? rng() : ((1u << (rng() % 7)) >> 1) << 8 | (rng() % 256));
      const int x = static_cast<int>(rng() % (size.width + 80)) - 60;
      const int y = static_cast<int>(rng() % (size.height + 40)) - 10;
      char text[6];
      LabelPainter::FormatLabel(id, text);
      cv::putText(expected, text, cv::Point(x, y), cv::FONT_HERSHEY_PLAIN, 1.0,
                  LabelPainter::kColour, 1, cv::LINE_8);
      painter.Add(id, x, y);
    }
    painter.Finish();
    cv::Mat diff;
    cv::absdiff(expected, actual, diff);
    EXPECT_EQ(cv::countNonZero(diff.reshape(1)), 0);
  }
}

TEST(LabelPainterTest, FormatsFourUpperCaseHexDigitsAndABlank) {
  const struct {
    uint16_t id;
    const char* text;
  } cases[] = {{0x0101, "0101 "}, {0x0001, "0001 "}, {0x20FF, "20FF "}, {0xABCD, "ABCD "}};
  for (const auto& c : cases) {
    char text[6];
    LabelPainter::FormatLabel(c.id, text);
    EXPECT_STREQ(text, c.text);
  }
}

}  // namespace
