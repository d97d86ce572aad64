// LabelPainter: draws detection labels ("%4.4X " of the id) on a BGR image
// exactly as cv::putText draws them with FONT_HERSHEY_PLAIN, scale 1.0,
// thickness 1 and LINE_8, but fast enough for tens of thousands of labels a
// frame.
//
// With scale 1.0 every stroke point of a Hershey glyph is an integer pixel
// offset from the text origin, so the pixels of a label that lies wholly
// inside the image are the pixels of the same label at any other origin,
// shifted. Each distinct label is therefore rendered once with cv::putText
// into a scratch mask, kept as one 64-bit pattern per pixel row, and stamped
// into a one-bit-per-pixel coverage map; Finish() then paints every covered
// pixel in the label colour. All labels share one colour and are opaque, so
// the order of painting does not matter.
//
// cv::putText clips each stroke to the image before rasterising it, which can
// move the pixels of a stroke that crosses the border. Clipping and
// rasterising are the same when the label and the image's borders move
// together by whole pixels, so the pixels of a label that crosses a border
// depend only on the label and its distances to the borders near it. Such a
// label is rendered once per label and distances with cv::putText, on a
// scratch canvas whose borders stand at those distances, and stamped like the
// others. Its distances to borders farther than kMargin (more than any label
// reaches) are taken as kMargin.
//
// Usage per frame: Begin(image), Add() per label, Finish().

#ifndef FRAME_LABELPAINTER_H_
#define FRAME_LABELPAINTER_H_

#include <cstdint>
#include <opencv2/core.hpp>
#include <unordered_map>
#include <vector>

namespace placefinder {

class LabelPainter {
 public:
  // The label colour, in blue, green, red order: light red.
  static const cv::Scalar kColour;

  LabelPainter();

  // Starts a frame on `image` (8-bit, 3 channels), which must stay alive and
  // unchanged in size until Finish().
  void Begin(cv::Mat& image);
  // Draws the label of `id` with its text origin (lower left corner) at
  // (x, y).
  void Add(uint16_t id, int x, int y);
  // Paints the stamped labels onto the image.
  void Finish();

  // Stamps with plain 128-bit vectors (true) or, where the processor has
  // AVX2, with 256-bit ones (false, the default); both give the same pixels,
  // and tests compare them.
  void SetPlainStamps(bool plain) { wideStamps_ = !plain && WideStampsAvailable(); }
  static bool WideStampsAvailable();


 private:
  // Every label of this font is at most 10 rows high; a taller one would be
  // drawn by cv::putText.
  static constexpr int kMaxRows = 10;
  // Rows a stamp may write: a glyph's rows and zero rows up to a whole number
  // of 256-bit vectors.
  static constexpr int kSpan = 12;

  // One label's pixels: row patterns relative to the text origin. rows[r] is
  // row top + r, and bit b of it covers column left + b; the rows below the
  // glyph are zero. A label that does not fit in kMaxRows rows of
  // 64 columns is drawn with cv::putText instead.
  struct Glyph {
    bool fits = false;
    int16_t left = 0;   // leftmost column, relative to the origin
    int16_t right = 0;  // rightmost column, relative to the origin
    int16_t top = 0;    // first row, relative to the origin
    int16_t height = 0;
    uint64_t rows[kSpan] = {};
  };

  // Every stroke of a label at scale 1.0 lies within this many pixels of its
  // origin, with room to spare.
  static constexpr int kMargin = 64;

  const Glyph& GlyphOf(uint16_t id) {
    const uint16_t slot = slots_[id];
    return slot != 0 ? glyphs_[slot - 1] : BuildGlyph(id);
  }
  const Glyph& BuildGlyph(uint16_t id);
  // The glyph of `id` at origin (x, y) of the current image, clipped by its
  // borders as cv::putText clips it.
  const Glyph& EdgeGlyphOf(uint16_t id, int x, int y);
  // Renders the label of `id` with cv::putText on a canvas of `canvas` size at
  // `origin`, and returns its pixels relative to the origin.
  Glyph Render(uint16_t id, cv::Size canvas, cv::Point origin);
  // ORs the glyph's rows into the coverage map with the origin at (x, y). The
  // glyph's pixels must lie inside the image.
  void Stamp(const Glyph& glyph, int x, int y);

  cv::Mat* image_ = nullptr;
  // The coverage map holds one bit per pixel, column-major by 64-pixel word:
  // word w of row y is coverage_[w * stride_ + y], so the rows of one stamp
  // are contiguous.
  int words_ = 0;   // words per image row
  int stride_ = 0;  // rows per word column: the image's rows and kSpan spare
  std::vector<uint64_t> coverage_;
  bool wideStamps_ = WideStampsAvailable();
  int dirtyTop_ = 0;  // rows [dirtyTop_, dirtyBottom_) may hold bits
  int dirtyBottom_ = 0;
  std::vector<uint16_t> slots_;  // by id: 1 + index into glyphs_, or 0 when not built
  std::vector<Glyph> glyphs_;    // in order of first use
  // Clipped glyphs by label and border distances (see EdgeGlyphOf). A frame
  // meets a few hundred; past kMaxEdgeGlyphs they are started afresh.
  static constexpr size_t kMaxEdgeGlyphs = 1 << 16;
  std::unordered_map<uint64_t, Glyph> edgeGlyphs_;
  cv::Mat scratch_;
};

}  // namespace placefinder

#endif  // FRAME_LABELPAINTER_H_
