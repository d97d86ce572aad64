// PlaceMap: the half of the per-frame work that must run in frame order
// against one place map, for frames analyzed anywhere (analyze()): each
// frame's FrameString is recognised or recorded, exactly as the programs do.
// A map opened from a file stays locked until it is saved or released, with
// the rules of Placetrace --places.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "Bindings.h"
#include "FrameString.h"
#include "PlaceMap.h"
#include "PlaybackPosition.h"

namespace py = pybind11;

namespace {

using placefinder::PlaceMap;

// A place map that cannot be used; the message names the file.
struct MapError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// A map file made with another threshold than the one required.
struct ThresholdError : MapError {
  using MapError::MapError;
};

struct RecognitionResult {
  std::optional<uint32_t> location;
  std::optional<uint32_t> newLocation;
  std::optional<double> similarity;
  std::optional<std::pair<std::string, int64_t>> origin;
  bool full = false;
};

std::string Formatted(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

class PyPlaceMap {
 public:
  explicit PyPlaceMap(double threshold) : map_(std::make_unique<PlaceMap>(CheckedThreshold(threshold))) {}

  RecognitionResult Recognise(const FrameString& s, const std::string& video, int64_t frame) {
    RecognitionResult result;
    py::gil_scoped_release unlocked;
    std::lock_guard<std::mutex> lock(mutex_);
    s.Into(scratch_);
    const placefinder::Recognition found = map_->Recognise(scratch_, video, frame);
    result.location = found.location;
    result.newLocation = found.newLocation;
    result.similarity = found.similarity;
    if (found.origin != nullptr) result.origin.emplace(found.origin->video, found.origin->frame);
    result.full = found.full;
    return result;
  }

  // Placetrace's rules: the file is read whole and stays locked; a map that
  // cannot be used leaves this one as it was.
  void Open(const std::string& path, bool requireThreshold, bool mayCreate) {
    std::string error;
    {
      py::gil_scoped_release unlocked;
      std::lock_guard<std::mutex> lock(mutex_);
      auto opened = std::make_unique<PlaceMap>(map_->threshold());
      switch (opened->Open(path, requireThreshold, mayCreate, &error)) {
        case PlaceMap::OpenResult::kOpened:
          map_ = std::move(opened);
          path_ = path;
          return;
        case PlaceMap::OpenResult::kFailed:
          break;
        case PlaceMap::OpenResult::kOtherThreshold:
          throw ThresholdError("the place map " + path + " was made with the threshold " +
                               Formatted("%g", opened->fileThreshold()) + ", not " +
                               Formatted("%g", map_->threshold()));
        case PlaceMap::OpenResult::kOtherWidth:  // only when a width is asked for, never here
          error = "was made with another frame width";
          break;
        case PlaceMap::OpenResult::kOtherCells:  // only when a grid is asked for, never here
          error = "was made with another grid";
          break;
      }
    }
    throw MapError("the place map " + path + " " + error);
  }

  void Release() {
    py::gil_scoped_release unlocked;
    std::lock_guard<std::mutex> lock(mutex_);
    map_->Release();
    path_.clear();
  }

  void Save() {
    std::string error;
    {
      py::gil_scoped_release unlocked;
      std::lock_guard<std::mutex> lock(mutex_);
      if (path_.empty()) throw MapError("the place map has no file: open() one first");
      if (map_->Save(&error)) {
        path_.clear();
        return;
      }
    }
    throw MapError("the place map " + path_ + " " + error);
  }

  void SaveAs(const std::string& path) {
    std::string error;
    {
      py::gil_scoped_release unlocked;
      std::lock_guard<std::mutex> lock(mutex_);
      if (map_->SaveAs(path, &error)) return;
    }
    throw MapError("the place map " + path + " " + error);
  }

  // The picture of the place `location` as an HxWx3 uint8 BGR array, or
  // None when the map holds no picture of it.
  py::object Thumbnail(uint32_t location) {
    std::shared_ptr<const std::string> jpeg;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const placefinder::PlaceOrigin* origin = map_->origins().Find(location);
      if (origin != nullptr) jpeg = origin->thumbnail;
    }
    if (jpeg == nullptr) return py::none();
    cv::Mat picture;
    {
      py::gil_scoped_release unlocked;
      // Loading checked the picture's headers; its coded data is read only here.
      const cv::Mat bytes(1, static_cast<int>(jpeg->size()), CV_8UC1,
                          const_cast<char*>(jpeg->data()));
      try {
        picture = cv::imdecode(bytes, cv::IMREAD_COLOR);
      } catch (const cv::Exception&) {
        picture.release();
      }
    }
    if (picture.empty()) {
      throw MapError("the picture of place " + std::to_string(location) +
                     " is damaged: it cannot be decoded");
    }
    py::array_t<uint8_t> array({picture.rows, picture.cols, 3});
    for (int y = 0; y < picture.rows; ++y) {
      std::memcpy(array.mutable_data(y, 0, 0), picture.ptr(y),
                  static_cast<size_t>(picture.cols) * 3);
    }
    return std::move(array);
  }

  double threshold() const { return map_->threshold(); }
  uint32_t locationCounter() const { return map_->locationCounter(); }
  size_t size() const { return map_->size(); }
  size_t loadedPlaces() const { return map_->loadedPlaces(); }
  bool created() const { return map_->created(); }

 private:

  std::mutex mutex_;  // one call at a time: a map is not thread-safe
  std::unique_ptr<PlaceMap> map_;
  placefinder::iMarkrun<int16_t> scratch_;  // the frame string being recognised
  std::string path_;                        // the open file, empty when none
};

}  // namespace

void BindPlaceMap(py::module_& m) {
  static py::exception<MapError> mapError(m, "PlaceMapError", PyExc_ValueError);
  static py::exception<ThresholdError> thresholdError(m, "PlaceMapThresholdError", mapError.ptr());
  py::register_exception_translator([](std::exception_ptr error) {
    try {
      if (error) std::rethrow_exception(error);
    } catch (const ThresholdError& e) {
      PyErr_SetString(thresholdError.ptr(), e.what());
    } catch (const MapError& e) {
      PyErr_SetString(mapError.ptr(), e.what());
    }
  });

  py::class_<RecognitionResult>(m, "Recognition", "What PlaceMap.recognise() found for a frame.")
      .def_readonly("location", &RecognitionResult::location, "the recognised place, or None")
      .def_readonly("new_location", &RecognitionResult::newLocation,
                    "the place recorded for the frame, or None")
      .def_readonly("similarity", &RecognitionResult::similarity,
                    "similarity of the accepted stored string, or None")
      .def_readonly("origin", &RecognitionResult::origin,
                    "(video, frame) that recorded the recognised place, when known, or None")
      .def_readonly("full", &RecognitionResult::full,
                    "True when the frame was not recorded because every location index is used")
      .def("__repr__", [](const RecognitionResult& r) {
        return "Recognition(location=" + std::string(py::repr(py::cast(r.location))) +
               ", new_location=" + std::string(py::repr(py::cast(r.newLocation))) +
               ", similarity=" + std::string(py::repr(py::cast(r.similarity))) +
               ", origin=" + std::string(py::repr(py::cast(r.origin))) + ")";
      });

  py::class_<PyPlaceMap>(m, "PlaceMap",
                         "The known places, recognising frame strings one at a time in order.")
      .def(py::init<double>(), py::arg("threshold") = PlaceMap::kDefaultThreshold,
           "An empty map: a stored string is accepted when its similarity to a frame's\n"
           "string is at least threshold (0 to 1).")
      .def("recognise", &PyPlaceMap::Recognise, py::arg("frame_string"), py::arg("video") = "",
           py::arg("frame") = 0,
           "Recognises frame `frame` (from 0) of `video` by its FrameString among the\n"
           "stored places, or records it as a new place with that origin. Releases the\n"
           "GIL while it works.")
      .def("open", &PyPlaceMap::Open, py::arg("path"), py::arg("require_threshold") = false,
           py::arg("may_create") = true,
           "Replaces the places by those of the place map file at path (an empty one is\n"
           "created there when nothing is and may_create is set), which stays locked\n"
           "until save() or release(). The file's threshold becomes the map's, unless\n"
           "require_threshold is set: a file made with another then raises\n"
           "PlaceMapThresholdError. A map that cannot be used raises PlaceMapError (a\n"
           "ValueError) naming the file and what is wrong; the map and the file are then\n"
           "left as they were.")
      .def("release", &PyPlaceMap::Release, "Lets go of the open file without writing it.")
      .def("save", &PyPlaceMap::Save,
           "Writes the map back to the file open() opened, in one transaction, and lets\n"
           "go of it. Raises PlaceMapError when it cannot; the file is then as it was.")
      .def("save_as", &PyPlaceMap::SaveAs, py::arg("path"),
           "Writes the map to the file at path, created when missing and replaced whole\n"
           "otherwise.")
      .def("thumbnail", &PyPlaceMap::Thumbnail, py::arg("location"),
           "The picture of the place with that location index (the frame that recorded\n"
           "or last replaced it, its longest side at most 160 pixels) as a numpy array of\n"
           "shape (height, width, 3), dtype uint8, BGR as OpenCV has it; None when the\n"
           "map holds no picture of it (no such place, or one recorded without a\n"
           "picture: by a map of format 1 or 2, or through Python). Raises PlaceMapError\n"
           "for a picture that cannot be decoded.")
      .def_property_readonly("threshold", &PyPlaceMap::threshold)
      .def_property_readonly("location_counter", &PyPlaceMap::locationCounter,
                             "the next location index to hand out")
      .def_property_readonly("loaded_places", &PyPlaceMap::loadedPlaces,
                             "the number of places open() read")
      .def_property_readonly("created", &PyPlaceMap::created,
                             "True when open() created the file, while it is open")
      .def("__len__", &PyPlaceMap::size, "the number of stored places");

  m.def(
      "position_ms", [](double position) { return placefinder::PositionMilliseconds(position); },
      py::arg("position"),
      "A capture position in milliseconds as the programs print it: truncated toward\n"
      "zero to a signed 32-bit integer and taken as unsigned; 0 when it does not fit.");
}

double CheckedThreshold(double threshold, const char* name) {
  if (!(threshold >= 0.0 && threshold <= 1.0)) {
    throw py::value_error(std::string(name) + " must be between 0 and 1, not " +
                          std::string(py::str(py::float_(threshold))));
  }
  return threshold;
}
