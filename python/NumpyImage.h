// NumpyImage: an 8-bit image handed in from Python as a numpy array, seen as a
// cv::Mat without copying the pixels where that is possible.
//
// The array must be a numpy.ndarray of dtype uint8 with at least one pixel,
// 2-D (rows, columns) or, where colour is allowed, 3-D (rows, columns,
// channels) with 1, 3 or 4 channels; anything else throws TypeError or
// ValueError with a message naming the argument. Any strides work: when each
// row's pixels lie densely in memory and the rows follow each other at a
// positive distance (a C-ordered array, a crop of one), the matrix points at
// the array's own pixels; otherwise (reversed rows, every other column, a
// transposed or broadcast array) the pixels are first copied into a C-ordered
// array.
//
// `mat` is valid as long as this object lives, which holds a reference to the
// array. The matrix is only ever read; it points at the array's memory even
// when the array is read-only. Built with the GIL held.

#ifndef PYTHON_NUMPYIMAGE_H_
#define PYTHON_NUMPYIMAGE_H_

#include <pybind11/numpy.h>

#include <opencv2/core.hpp>

class NumpyImage {
 public:
  // `name` is the argument's name in the messages.
  NumpyImage(const pybind11::object& object, const char* name, bool allowColour);

  const cv::Mat& mat() const { return mat_; }

 private:
  pybind11::array array_;  // keeps the pixels alive
  cv::Mat mat_;
};

#endif  // PYTHON_NUMPYIMAGE_H_
