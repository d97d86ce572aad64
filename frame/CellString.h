// CellString: an identifier string that also says where in the frame each
// box lies.
//
// A frame's plain identifier string counts the boxes of each id (shape and
// pass) over the whole frame, so two scenes of alike texture at alike scales
// give alike strings wherever their boxes are. A cell string splits the frame
// into a grid of cells x cells and counts the boxes of each id in each cell
// (by the box's centre) as runs of their own, so that the similarity of two
// strings also compares the layout of the scenes. Its length is the frame's
// box count, as for the plain string, and it compares with other cell
// strings of the same grid only.
//
// A run's id packs the cell and the box id into 16 bits: the cell number
// (row by row) times 1792, plus the shape's place in the detector's order
// (0 to 6) times 256, plus the pass (the low byte of the box id), offset by
// -32768 so that it is an int16.

#ifndef FRAME_CELLSTRING_H_
#define FRAME_CELLSTRING_H_

#include <cstdint>
#include <vector>

#include "Detection.h"
#include "iList.h"
#include "iMarkrun.h"

namespace placefinder {

class CellString {
 public:
  // The grids a string may have: up to 36 cells fit the 16-bit ids.
  static constexpr int32_t kMaxCells = 6;

  // The run id of box id `boxId` in cell `cell`. REQUIRES: the box id's high
  // byte is a shape code of the detector (0 or a power of two up to 32),
  // 0 <= cell < kMaxCells * kMaxCells.
  static int16_t RunId(int16_t boxId, int32_t cell);

  // Makes `out` the string of `detections`, boxes of a frame `width` x
  // `height` pixels, over a grid of `cells` x `cells`. With one cell it is the
  // plain string (iMarkrun::SetIds). REQUIRES: 1 <= cells <= kMaxCells, every
  // box inside the frame.
  void Build(const iList<Detection>& detections, int32_t width, int32_t height, int32_t cells,
             iMarkrun<int16_t>& out);

 private:
  std::vector<int32_t> counts_;  // by run id + 32768; zero between calls
  std::vector<int32_t> used_;    // the indices of counts_ this call touched
};

}  // namespace placefinder

#endif  // FRAME_CELLSTRING_H_
