#include "NumpyImage.h"

#include <climits>
#include <string>

namespace py = pybind11;

namespace {

std::string ShapeText(const py::array& array) {
  std::string text = "(";
  for (py::ssize_t i = 0; i < array.ndim(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(array.shape(i));
  }
  return text + (array.ndim() == 1 ? ",)" : ")");
}

// The distance in bytes between neighbours along `axis`. A dimension of
// length 1 has no neighbours, and numpy may give it any stride, so it counts
// as dense (`dense` bytes).
py::ssize_t Stride(const py::array& array, int axis, py::ssize_t dense) {
  return array.shape(axis) == 1 ? dense : array.strides(axis);
}

}  // namespace

NumpyImage::NumpyImage(const py::object& object, const char* name, bool allowColour) {
  const std::string what = name;
  if (!py::isinstance<py::array>(object)) {
    throw py::type_error(what + " must be a numpy.ndarray of dtype uint8, not " +
                         std::string(py::str(py::type::of(object).attr("__name__"))));
  }
  array_ = py::reinterpret_borrow<py::array>(object);
  if (!py::isinstance<py::array_t<uint8_t>>(array_)) {
    throw py::type_error(what + " must have dtype uint8, not " +
                         std::string(py::str(array_.dtype())));
  }
  const py::ssize_t ndim = array_.ndim();
  if (allowColour ? (ndim != 2 && ndim != 3) : ndim != 2) {
    throw py::value_error(what + " must be " +
                          (allowColour ? "2-D (rows, columns) or 3-D (rows, columns, channels)"
                                       : "2-D (rows, columns)") +
                          ", not " + std::to_string(ndim) + "-D with shape " + ShapeText(array_));
  }
  const py::ssize_t channels = ndim == 3 ? array_.shape(2) : 1;
  if (channels != 1 && channels != 3 && channels != 4) {
    throw py::value_error(what + " must have 1, 3 or 4 channels, not shape " + ShapeText(array_));
  }
  if (array_.size() == 0) throw py::value_error(what + " is empty: shape " + ShapeText(array_));
  const py::ssize_t rows = array_.shape(0);
  const py::ssize_t cols = array_.shape(1);
  if (rows > INT_MAX || cols > INT_MAX) {
    throw py::value_error(what + " is too large: shape " + ShapeText(array_));
  }

  const py::ssize_t rowBytes = cols * channels;
  const bool dense = (ndim == 2 || Stride(array_, 2, 1) == 1) &&
                     Stride(array_, 1, channels) == channels &&
                     Stride(array_, 0, rowBytes) >= rowBytes;
  if (!dense) array_ = py::array_t<uint8_t, py::array::c_style>::ensure(array_);
  if (!array_) throw py::error_already_set();
  const size_t step = static_cast<size_t>(dense ? Stride(array_, 0, rowBytes) : rowBytes);
  // cv::Mat wants a mutable pointer; nothing here writes through it.
  mat_ = cv::Mat(static_cast<int>(rows), static_cast<int>(cols), CV_8UC(static_cast<int>(channels)),
                 const_cast<void*>(array_.data()), step);
}
