#include "LabelPainter.h"

#include <algorithm>
#include <cstring>
#include <opencv2/imgproc.hpp>

#include "DetectionLabel.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#define PF_WIDE_STAMPS 1
#include <immintrin.h>
namespace placefinder {

#else
#define PF_WIDE_STAMPS 0
#endif

namespace {

constexpr int kFont = cv::FONT_HERSHEY_PLAIN;
constexpr double kScale = 1.0;
constexpr int kThickness = 1;
constexpr int kLineType = cv::LINE_8;

// ORs kMaxRows glyph rows into the two word columns `low` and `high` (see
// Stamp). Always writing the same number of rows, the zero ones below the
// glyph included, makes a stamp a fixed handful of vector operations.
inline void StampPlain(const uint64_t* __restrict rows, uint64_t* __restrict low,
                       uint64_t* __restrict high, unsigned shift) {
#if defined(__SSE2__)
  // A packed shift by 64 or more gives 0, which is what the spill needs for a
  // shift of 0.
  const __m128i up = _mm_cvtsi32_si128(static_cast<int>(shift));
  const __m128i down = _mm_cvtsi32_si128(static_cast<int>(64 - shift));
  for (int r = 0; r < 10; r += 2) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows + r));
    __m128i* l = reinterpret_cast<__m128i*>(low + r);
    __m128i* h = reinterpret_cast<__m128i*>(high + r);
    _mm_storeu_si128(l, _mm_or_si128(_mm_loadu_si128(l), _mm_sll_epi64(v, up)));
    _mm_storeu_si128(h, _mm_or_si128(_mm_loadu_si128(h), _mm_srl_epi64(v, down)));
  }
#else
  for (int r = 0; r < 10; ++r) {
    low[r] |= rows[r] << shift;
    // (v >> 1) >> (63 - shift) is v >> (64 - shift), and 0 for a shift of 0.
    high[r] |= (rows[r] >> 1) >> (63 - shift);
  }
#endif
}

#if PF_WIDE_STAMPS
// The same with 256-bit vectors: 12 rows, the last two of them zero.
__attribute__((target("avx2"))) void StampWide(const uint64_t* __restrict rows,
                                               uint64_t* __restrict low, uint64_t* __restrict high,
                                               unsigned shift) {
  const __m128i up = _mm_cvtsi32_si128(static_cast<int>(shift));
  const __m128i down = _mm_cvtsi32_si128(static_cast<int>(64 - shift));
  for (int r = 0; r < 12; r += 4) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows + r));
    __m256i* l = reinterpret_cast<__m256i*>(low + r);
    __m256i* h = reinterpret_cast<__m256i*>(high + r);
    _mm256_storeu_si256(l, _mm256_or_si256(_mm256_loadu_si256(l), _mm256_sll_epi64(v, up)));
    _mm256_storeu_si256(h, _mm256_or_si256(_mm256_loadu_si256(h), _mm256_srl_epi64(v, down)));
  }
}
#endif

}  // namespace

bool LabelPainter::WideStampsAvailable() {
#if PF_WIDE_STAMPS
  static const bool available = __builtin_cpu_supports("avx2");
  return available;
#else
  return false;
#endif
}

const cv::Scalar LabelPainter::kColour(128, 128, 255, 0);

LabelPainter::LabelPainter() : slots_(65536, 0) {}

LabelPainter::Glyph LabelPainter::Render(uint16_t id, cv::Size canvas, cv::Point origin) {
  char text[6];
  FormatLabel(id, text);
  scratch_.create(canvas, CV_8UC1);
  scratch_.setTo(0);
  cv::putText(scratch_, text, origin, kFont, kScale, cv::Scalar(255), kThickness, kLineType);
  // The bounding box of the painted pixels, found by a plain scan
  // (cv::boundingRect has been seen to miss a column on narrow canvases).
  int x0 = canvas.width, x1 = -1, y0 = canvas.height, y1 = -1;
  for (int r = 0; r < canvas.height; ++r) {
    const uint8_t* row = scratch_.ptr<uint8_t>(r);
    for (int c = 0; c < canvas.width; ++c) {
      if (row[c] == 0) continue;
      x0 = std::min(x0, c);
      x1 = std::max(x1, c);
      y0 = std::min(y0, r);
      y1 = r;
    }
  }
  const cv::Rect box = x1 < 0 ? cv::Rect() : cv::Rect(x0, y0, x1 - x0 + 1, y1 - y0 + 1);
  Glyph glyph;
  if (box.empty()) {
    glyph.fits = true;  // nothing to draw
    return glyph;
  }
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
  return glyph;
}

const LabelPainter::Glyph& LabelPainter::BuildGlyph(uint16_t id) {
  // Far from every border of the canvas, so nothing is clipped.
  glyphs_.push_back(
      Render(id, cv::Size(3 * kMargin, 3 * kMargin), cv::Point(kMargin, 2 * kMargin)));
  slots_[id] = static_cast<uint16_t>(glyphs_.size());
  return glyphs_.back();
}

const LabelPainter::Glyph& LabelPainter::EdgeGlyphOf(uint16_t id, int x, int y) {
  // The canvas is the image seen from the origin, cut at kMargin pixels on
  // every side: its borders are the image's where those are near, and too
  // far to clip anything elsewhere.
  const int64_t m = kMargin;
  const int left = static_cast<int>(std::min<int64_t>(x, m));
  const int top = static_cast<int>(std::min<int64_t>(y, m));
  const int right = static_cast<int>(std::min<int64_t>(int64_t{image_->cols} - x, m));
  const int bottom = static_cast<int>(std::min<int64_t>(int64_t{image_->rows} - y, m));
  // A label more than kMargin pixels beyond a border draws nothing, so all
  // such distances give the same, empty glyph.
  const auto code = [](int d) { return static_cast<uint64_t>(std::max(d, -kMargin) + kMargin); };
  const uint64_t key =
      uint64_t{id} | code(left) << 16 | code(top) << 24 | code(right) << 32 | code(bottom) << 40;
  auto found = edgeGlyphs_.find(key);
  if (found != edgeGlyphs_.end()) return found->second;
  Glyph glyph;
  if (left > -kMargin && top > -kMargin && right > -kMargin && bottom > -kMargin &&
      left + right > 0 && top + bottom > 0) {
    // Canvas columns [0, left + right) are image columns [x - left, x + right).
    glyph = Render(id, cv::Size(left + right, top + bottom), cv::Point(left, top));
  } else {
    glyph.fits = true;  // wholly outside the image: nothing to draw
  }
  return edgeGlyphs_.emplace(key, glyph).first->second;
}

void LabelPainter::Begin(cv::Mat& image) {
  CV_Assert(image.type() == CV_8UC3);
  image_ = &image;
  if (edgeGlyphs_.size() > kMaxEdgeGlyphs) edgeGlyphs_.clear();
  words_ = (image.cols + 63) / 64 + 1;  // one spare word for a pattern's overflow
  stride_ = image.rows + kSpan;         // room for a stamp's zero rows below the glyph
  const size_t size = static_cast<size_t>(words_) * stride_;
  if (coverage_.size() != size) coverage_.assign(size, 0);
  dirtyTop_ = image.rows;
  dirtyBottom_ = 0;
}

void LabelPainter::Add(uint16_t id, int x, int y) {
  const Glyph* glyph = &GlyphOf(id);
  if (glyph->height == 0 && glyph->fits) return;
  const int left = x + glyph->left;
  const int top = y + glyph->top;
  const int bottom = top + glyph->height;
  // A one-pixel margin keeps every stroke end point inside the image, even one
  // that the rasteriser leaves unpainted.
  const bool inside =
      left >= 1 && x + glyph->right < image_->cols - 1 && top >= 1 && bottom < image_->rows;
  if (!inside && glyph->fits) {
    glyph = &EdgeGlyphOf(id, x, y);
    if (glyph->height == 0 && glyph->fits) return;
  }
  if (!glyph->fits) {
    char text[6];
    FormatLabel(id, text);
    cv::putText(*image_, text, cv::Point(x, y), kFont, kScale, kColour, kThickness, kLineType);
    return;
  }
  Stamp(*glyph, x, y);
}

void LabelPainter::Stamp(const Glyph& glyph, int x, int y) {
  const int left = x + glyph.left;
  const int top = y + glyph.top;
  const unsigned shift = static_cast<unsigned>(left) & 63;
  static_assert(kMaxRows == 10 && kSpan == 12, "the stamp loops write 10 and 12 rows");
  // The glyph's rows go into two contiguous word columns: shifted left into
  // the word of its first column, and the bits that spill over into the next.
  uint64_t* low = coverage_.data() + static_cast<size_t>(left >> 6) * stride_ + top;
  uint64_t* high = low + stride_;
#if PF_WIDE_STAMPS
  if (wideStamps_) {
    StampWide(glyph.rows, low, high, shift);
  } else {
    StampPlain(glyph.rows, low, high, shift);
  }
#else
  StampPlain(glyph.rows, low, high, shift);
#endif
  dirtyTop_ = std::min(dirtyTop_, top);
  dirtyBottom_ = std::max(dirtyBottom_, top + static_cast<int>(glyph.height));
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
    uint64_t* word = coverage_.data() + y;
    uint8_t* pixels = image_->ptr<uint8_t>(y);
    for (int w = 0; w < words_; ++w, word += stride_) {
      uint64_t bits = *word;
      if (bits == 0) continue;
      *word = 0;
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

}  // namespace placefinder
