#include "LabelPainter.h"

#include <algorithm>
#include <cstring>
#include <opencv2/imgproc.hpp>

namespace {

constexpr int kFont = cv::FONT_HERSHEY_PLAIN;
constexpr double kScale = 1.0;
constexpr int kThickness = 1;
constexpr int kLineType = cv::LINE_8;

// The scratch canvas leaves this margin around the origin on every side, far
// more than a five-character label at scale 1.0 needs, so nothing is clipped.
constexpr int kMargin = 64;

}  // namespace

const cv::Scalar LabelPainter::kColour(128, 128, 255, 0);

LabelPainter::LabelPainter() : slots_(65536, 0) {}

void LabelPainter::FormatLabel(uint16_t id, char* text) {
  static const char kHex[] = "0123456789ABCDEF";
  text[0] = kHex[(id >> 12) & 0xF];
  text[1] = kHex[(id >> 8) & 0xF];
  text[2] = kHex[(id >> 4) & 0xF];
  text[3] = kHex[id & 0xF];
  text[4] = ' ';
  text[5] = '\0';
}

const LabelPainter::Glyph& LabelPainter::BuildGlyph(uint16_t id) {
  char text[6];
  FormatLabel(id, text);
  scratch_.create(3 * kMargin, 3 * kMargin, CV_8UC1);
  scratch_.setTo(0);
  const cv::Point origin(kMargin, 2 * kMargin);
  cv::putText(scratch_, text, origin, kFont, kScale, cv::Scalar(255), kThickness, kLineType);
  const cv::Rect box = cv::boundingRect(scratch_);
  Glyph glyph;
  if (box.empty()) {
    glyph.fits = true;  // nothing to draw
  } else {
    glyph.left = static_cast<int16_t>(box.x - origin.x);
    glyph.right = static_cast<int16_t>(box.x + box.width - 1 - origin.x);
    glyph.top = static_cast<int16_t>(box.y - origin.y);
    glyph.height = static_cast<int16_t>(box.height);
    glyph.fits = box.width <= 64 && box.height <= kMaxRows;
    for (int r = 0; glyph.fits && r < box.height; ++r) {
      const uint8_t* row = scratch_.ptr<uint8_t>(box.y + r);
      for (int c = 0; c < box.width; ++c) {
        if (row[box.x + c] != 0) glyph.rows[r] |= uint64_t{1} << c;
      }
    }
  }
  glyphs_.push_back(glyph);
  slots_[id] = static_cast<uint16_t>(glyphs_.size());
  return glyphs_.back();
}

void LabelPainter::Begin(cv::Mat& image) {
  CV_Assert(image.type() == CV_8UC3);
  image_ = &image;
  words_ = (image.cols + 63) / 64 + 1;  // one spare word for a pattern's overflow
  const size_t size = static_cast<size_t>(words_) * image.rows;
  if (coverage_.size() != size) coverage_.assign(size, 0);
  dirtyTop_ = image.rows;
  dirtyBottom_ = 0;
}

void LabelPainter::Add(uint16_t id, int x, int y) {
  const Glyph& glyph = GlyphOf(id);
  if (glyph.height == 0 && glyph.fits) return;
  const int left = x + glyph.left;
  const int top = y + glyph.top;
  const int bottom = top + glyph.height;
  // A one-pixel margin keeps every stroke end point inside the image, even one
  // that the rasteriser leaves unpainted.
  const bool inside =
      left >= 1 && x + glyph.right < image_->cols - 1 && top >= 1 && bottom < image_->rows;
  if (!glyph.fits || !inside) {
    char text[6];
    FormatLabel(id, text);
    cv::putText(*image_, text, cv::Point(x, y), kFont, kScale, kColour, kThickness, kLineType);
    return;
  }
  const int shift = left & 63;
  uint64_t* row = coverage_.data() + static_cast<size_t>(top) * words_ + (left >> 6);
  if (shift == 0) {
    for (int r = 0; r < glyph.height; ++r, row += words_) row[0] |= glyph.rows[r];
  } else {
    for (int r = 0; r < glyph.height; ++r, row += words_) {
      row[0] |= glyph.rows[r] << shift;
      row[1] |= glyph.rows[r] >> (64 - shift);
    }
  }
  dirtyTop_ = std::min(dirtyTop_, top);
  dirtyBottom_ = std::max(dirtyBottom_, bottom);
}

void LabelPainter::Finish() {
  // 64 pixels of the label colour: a run of covered pixels is one copy of its
  // first 3 * length bytes.
  uint8_t colour[3 * 64];
  for (int i = 0; i < 64; ++i) {
    colour[3 * i] = static_cast<uint8_t>(kColour[0]);
    colour[3 * i + 1] = static_cast<uint8_t>(kColour[1]);
    colour[3 * i + 2] = static_cast<uint8_t>(kColour[2]);
  }
  for (int y = dirtyTop_; y < dirtyBottom_; ++y) {
    uint64_t* row = coverage_.data() + static_cast<size_t>(y) * words_;
    uint8_t* pixels = image_->ptr<uint8_t>(y);
    for (int w = 0; w < words_; ++w) {
      uint64_t bits = row[w];
      if (bits == 0) continue;
      row[w] = 0;
      uint8_t* base = pixels + 3 * 64 * w;
      while (bits != 0) {
        const int start = __builtin_ctzll(bits);
        const uint64_t rest = ~(bits >> start);  // zero bits mark the run
        const int length = rest == 0 ? 64 - start : __builtin_ctzll(rest);
        std::memcpy(base + 3 * start, colour, 3 * static_cast<size_t>(length));
        const int end = start + length;
        bits = end >= 64 ? 0 : bits & (~uint64_t{0} << end);
      }
    }
  }
  dirtyTop_ = image_->rows;
  dirtyBottom_ = 0;
  image_ = nullptr;
}
