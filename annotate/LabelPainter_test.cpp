#include "LabelPainter.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>
#include <random>

#include "DetectionLabel.h"

namespace placefinder {

namespace {

// Paints the same labels with LabelPainter and with cv::putText on the same
// noisy image and expects identical pixels. Origins cover the whole image and
// a band beyond every border, so labels cut by each border are included. Both
// stamp widths are checked (the wide one where the processor has it).
TEST(LabelPainterTest, PaintsExactlyThePixelsOfPutText) {
  for (const bool plain : {false, true}) {
    SCOPED_TRACE(plain ? "plain stamps" : "wide stamps");
    std::mt19937 rng(7);
    LabelPainter painter;  // reused across frames of different sizes
    painter.SetPlainStamps(plain);
    for (const cv::Size size :
         {cv::Size(160, 120), cv::Size(97, 61), cv::Size(30, 14), cv::Size(720, 64)}) {
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
        FormatLabel(id, text);
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
}

// One label at a time, at every origin from beyond each border to well
// inside, on images too small to hold a label whole and larger ones: each
// label cut by a border has exactly the pixels cv::putText gives it. The
// painter is reused, so labels met again come from its store of cut glyphs.
TEST(LabelPainterTest, LabelsCutByTheBordersHaveThePixelsOfPutText) {
  LabelPainter painter;
  const uint16_t ids[] = {0x0001, 0x20FF, 0x0808, 0xABCD};
  int compared = 0;
  for (const cv::Size size : {cv::Size(97, 61), cv::Size(40, 9), cv::Size(1, 1)}) {
    SCOPED_TRACE(size);
    const cv::Mat blank(size, CV_8UC3, cv::Scalar::all(0));
    cv::Mat expected;
    cv::Mat actual;
    for (int pass = 0; pass < 2; ++pass) {
      for (const uint16_t id : ids) {
        for (int y = -20; y < size.height + 20; ++y) {
          for (int x = -70; x < size.width + 6; ++x) {
            const bool nearBorder = x < 2 || y < 16 || x > size.width - 64 || y > size.height - 8;
            if (!nearBorder) continue;
            blank.copyTo(expected);
            blank.copyTo(actual);
            char text[6];
            FormatLabel(id, text);
            cv::putText(expected, text, cv::Point(x, y), cv::FONT_HERSHEY_PLAIN, 1.0,
                        LabelPainter::kColour, 1, cv::LINE_8);
            painter.Begin(actual);
            painter.Add(id, x, y);
            painter.Finish();
            ++compared;
            if (cv::norm(expected, actual, cv::NORM_INF) != 0) {
              ADD_FAILURE() << "label " << text << "at (" << x << ", " << y << ")";
              return;
            }
          }
        }
      }
    }
  }
  EXPECT_GT(compared, 20000);
}

TEST(LabelPainterTest, FormatsFourUpperCaseHexDigitsAndABlank) {
  const struct {
    uint16_t id;
    const char* text;
  } cases[] = {{0x0101, "0101 "}, {0x0001, "0001 "}, {0x20FF, "20FF "}, {0xABCD, "ABCD "}};
  for (const auto& c : cases) {
    char text[6];
    FormatLabel(c.id, text);
    EXPECT_STREQ(text, c.text);
  }
}

}  // namespace

}  // namespace placefinder
