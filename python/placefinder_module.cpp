// The extension of the Python package `placefinder` (placefinder._placefinder,
// whose names the package re-exports): box detection and place recognition
// on numpy images, as OpenCV's Python binding reads them.
//
//   detect(gray)                  the frame's boxes as a structured array
//   Recogniser(threshold=0.67, best=False, min_detections=0, width=0,
//              consistent=1, query=False, precise=False, top=0, cells=0,
//              follow=None)
//                                 recognition from frame to frame, with
//                                 Placetrace's options; process(frame),
//                                 load(path) and save(path) of place maps
//   analyze(frame), PlaceMap      the same work in two halves: the analysis of
//                                 one frame (anywhere) and its recognition in
//                                 order (Bindings.h)
//
// Detection and recognition run with the GIL released, so Python threads can
// work on frames in parallel. A LocationDetector is not thread-safe, so
// detect() uses one detector per thread (kept, with its integral image, for
// the thread's next call), and a Recogniser lets one thread at a time into
// its frame processor; use one Recogniser per stream of frames.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <cstring>
#include <mutex>
#include <opencv2/core.hpp>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Bindings.h"
#include "Detection.h"
#include "FrameAnalyzer.h"
#include "LocationDetector.h"
#include "NumpyImage.h"
#include "PlaceMap.h"

namespace py = pybind11;

namespace {

using namespace placefinder;

// The numpy record of one detection has Detection's own packed layout
// (id int16 at 0, x, y, width, height int32 at 2, 6, 10, 14; 18 bytes), so the
// list's records are copied straight into the array.
py::array DetectionArray(const iList<Detection>& list) {
  py::array_t<Detection> out(static_cast<py::ssize_t>(list.count));
  char* record = reinterpret_cast<char*>(out.mutable_data());
  for (const iListNode<Detection>* node = list.head; node != nullptr; node = node->next) {
    std::memcpy(record, &node->value, sizeof(Detection));
    record += sizeof(Detection);
  }
  return std::move(out);
}

py::array Detect(const py::object& gray) {
  const NumpyImage image(gray, "gray", /*allowColour=*/false);
  iList<Detection> list;
  {
    py::gil_scoped_release unlocked;
    thread_local LocationDetector detector;
    list = detector.DetectAllShapes(image.mat());
  }
  return DetectionArray(list);
}

// What Recogniser.process() found in one frame: the frame's analysis and its
// recognition together, as Placetrace prints them.
struct FrameResult {
  int32_t detections = 0;
  int32_t runs = 0;
  std::optional<uint32_t> location;
  std::optional<uint32_t> newLocation;
  std::optional<double> similarity;
  std::string identifierLine;
  // The `top` most similar places as (location, similarity), best first.
  std::vector<std::pair<uint32_t, double>> top;
};

// Recognises places frame after frame, as the programs do: every frame's
// identifier string is looked up in a place map and recorded as a new place
// when none is similar enough.
class Recogniser {
 public:
  // Placetrace's options: --precise first, then the others on top of it, a
  // threshold of None leaving the chosen one.
  Recogniser(std::optional<double> threshold, bool best, int32_t minDetections, int32_t width,
             int32_t consistent, bool query, bool precise, size_t top, int32_t cells,
             std::optional<double> follow)
      : top_(top) {
    RecognitionOptions options = precise ? RecognitionOptions::Precise() : RecognitionOptions();
    if (threshold) options.threshold = CheckedThreshold(*threshold);
    options.best = options.best || best;
    if (minDetections < 0) throw py::value_error("min_detections must be at least 0");
    if (minDetections > 0) options.minDetections = minDetections;
    if (width < 0 || width > 65536) throw py::value_error("width must be from 0 to 65536");
    if (width > 0) options.width = width;
    if (consistent < 1) throw py::value_error("consistent must be at least 1");
    options.consistent = consistent;
    options.query = query;
    if (cells < 0 || cells > CellString::kMaxCells)
      throw py::value_error("cells must be from 0 to 6");
    if (cells > 0) options.cells = cells;
    if (follow) options.follow = CheckedThreshold(*follow, "follow");
    places_ = std::make_unique<PlaceMap>(options);
    analyzer_.SetWidth(options.width);
    analyzer_.SetCells(options.cells);
  }

  FrameResult Process(const py::object& frame, const std::string& video) {
    const NumpyImage image(frame, "frame", /*allowColour=*/true);
    py::gil_scoped_release unlocked;
    std::lock_guard<std::mutex> lock(mutex_);
    const AnalyzedFrame& analyzed = analyzer_.Analyze(image.mat());
    int64_t& number = frames_[video];
    const Recognition found = places_->Recognise(analyzed.frameString, video, number);
    ++number;
    FrameResult result;
    if (top_ > 0) {
      places_->Rank(analyzed.frameString, top_, &ranked_);
      for (const RankedPlace& r : ranked_) result.top.emplace_back(r.location, r.similarity);
    }
    result.detections = analyzed.detectionCount();
    result.runs = analyzed.frameString.RunCount();
    result.location = found.location;
    result.newLocation = found.newLocation;
    result.similarity = found.similarity;
    result.identifierLine = analyzed.identifierLine;
    return result;
  }

  // Replaces the known places by those of the map at `path`, which must have
  // been made with this recogniser's threshold.
  void Load(const std::string& path) {
    std::string error;
    {
      py::gil_scoped_release unlocked;
      std::lock_guard<std::mutex> lock(mutex_);
      auto loaded = std::make_unique<PlaceMap>(places_->options());
      switch (loaded->Open(path, /*requireThreshold=*/true, /*mayCreate=*/false, &error,
                           /*requireWidth=*/true, /*requireCells=*/true)) {
        case PlaceMap::OpenResult::kOtherWidth:
          error =
              "was made with frames " +
              (loaded->fileWidth() == 0 ? std::string("as they came")
                                        : std::to_string(loaded->fileWidth()) + " pixels wide") +
              "; use Recogniser(width=" + std::to_string(loaded->fileWidth()) + ")";
          break;
        case PlaceMap::OpenResult::kOtherCells:
          error = "was made with boxes counted over " +
                  (loaded->fileCells() == 1 ? std::string("the whole frame")
                                            : "a " + std::to_string(loaded->fileCells()) + " x " +
                                                  std::to_string(loaded->fileCells()) + " grid") +
                  "; use Recogniser(cells=" + std::to_string(loaded->fileCells()) + ")";
          break;
        case PlaceMap::OpenResult::kOpened:
          loaded->Release();  // read whole; the file is not kept locked
          places_ = std::move(loaded);
          frames_.clear();
          return;
        case PlaceMap::OpenResult::kFailed:
          break;
        case PlaceMap::OpenResult::kOtherThreshold: {
          // The map's threshold exactly, so that the advice works when taken.
          char text[64];
          std::snprintf(text, sizeof text, "%.17g", loaded->fileThreshold());
          error = std::string("was made with the threshold ") + text +
                  "; use Recogniser(threshold=" + text + ")";
          break;
        }
      }
    }
    throw py::value_error("the place map " + path + " " + error);
  }

  // Saves the known places, with the video and frame number that recorded
  // each, to the map at `path` (created when missing, replaced otherwise).
  void Save(const std::string& path) {
    std::string error;
    {
      py::gil_scoped_release unlocked;
      std::lock_guard<std::mutex> lock(mutex_);
      if (places_->SaveAs(path, &error)) return;
    }
    throw py::value_error("the place map " + path + " " + error);
  }

  double threshold() const { return places_->threshold(); }
  int32_t width() const { return places_->width(); }
  int32_t cells() const { return places_->cells(); }

 private:

  std::mutex mutex_;  // one frame at a time: the analyzer and the map are not thread-safe
  FrameAnalyzer analyzer_;
  std::unique_ptr<PlaceMap> places_;
  size_t top_ = 0;
  std::vector<RankedPlace> ranked_;
  std::unordered_map<std::string, int64_t> frames_;  // frames processed, by video name
};

}  // namespace

PYBIND11_MODULE(_placefinder, m) {
  m.doc() = "Box detection and place recognition on video frames (numpy arrays).";
  PYBIND11_NUMPY_DTYPE(placefinder::Detection, id, x, y, width, height);

  py::register_exception_translator([](std::exception_ptr error) {
    try {
      if (error) std::rethrow_exception(error);
    } catch (const cv::Exception& e) {
      PyErr_SetString(PyExc_RuntimeError, e.what());
    }
  });

  m.def("detect", &Detect, py::arg("gray"),
        "Returns the boxes of a gray frame (a 2-D uint8 array, any strides) as a numpy\n"
        "structured array (id, x, y, width, height): the boxes much\n"
        "brighter or darker than a ring around them, in the seven box shapes, and\n"
        "returns them in the detector's list order. The frame is used as given (not\n"
        "flipped). Releases the GIL while it detects.");

  py::class_<FrameResult>(m, "FrameResult", "What Recogniser.process() found in one frame.")
      .def_readonly("detections", &FrameResult::detections, "number of boxes found")
      .def_readonly("runs", &FrameResult::runs, "runs of the frame's identifier string")
      .def_readonly("location", &FrameResult::location, "the recognised place, or None")
      .def_readonly("new_location", &FrameResult::newLocation,
                    "the place recorded for this frame, or None")
      .def_readonly("similarity", &FrameResult::similarity,
                    "similarity of the recognised place's string, or None")
      .def_readonly("identifier_line", &FrameResult::identifierLine,
                    "the first 20 box ids, each as 4 hex digits and a blank")
      .def_readonly("top", &FrameResult::top,
                    "with Recogniser(top=K): the K most similar places as (location, "
                    "similarity), best first")
      .def("__repr__", [](const FrameResult& r) {
        auto optional = [](const auto& value) {
          return value ? std::string(py::repr(py::cast(*value))) : std::string("None");
        };
        return "FrameResult(detections=" + std::to_string(r.detections) +
               ", runs=" + std::to_string(r.runs) + ", location=" + optional(r.location) +
               ", new_location=" + optional(r.newLocation) +
               ", similarity=" + optional(r.similarity) +
               ", identifier_line=" + std::string(py::repr(py::cast(r.identifierLine))) + ")";
      });

  py::class_<Recogniser>(m, "Recogniser",
                         "Recognises places frame after frame by the pattern of boxes in each.")
      .def(py::init<std::optional<double>, bool, int32_t, int32_t, int32_t, bool, bool, size_t,
                    int32_t, std::optional<double>>(),
           py::arg("threshold") = py::none(), py::arg("best") = false,
           py::arg("min_detections") = 0, py::arg("width") = 0, py::arg("consistent") = 1,
           py::arg("query") = false, py::arg("precise") = false, py::arg("top") = 0,
           py::arg("cells") = 0, py::arg("follow") = py::none(),
           "A stored frame string is accepted when its similarity to a frame's string\n"
           "is at least threshold (0 to 1; default 0.67, or --precise's). The other\n"
           "options are Placetrace's: best (the most similar place wins, not the\n"
           "first), min_detections (a frame with fewer boxes shows no place),\n"
           "width (frames resized to this width before detection; a loaded map must\n"
           "have it), consistent (a match needs the same place in that many\n"
           "consecutive frames), query (nothing is recorded), precise (the\n"
           "benchmark's choice, README), top (FrameResult.top lists that many\n"
           "most similar places), cells (boxes counted over a cells x cells grid,\n"
           "1 to 6; 0 leaves the chosen grid; a loaded map must have it) and follow (a\n"
           "frame right after one that went into a place is that place at this\n"
           "similarity).")
      .def("process", &Recogniser::Process, py::arg("frame"), py::arg("video") = "",
           "Runs the per-frame work on a frame as OpenCV's VideoCapture.read() gives it\n"
           "(a uint8 array: BGR (rows, columns, 3), BGRA, or gray (rows, columns)); like\n"
           "the programs, it flips the rows first. Recognises the frame among the earlier\n"
           "frames or records it as a new place. Releases the GIL while it works. A new\n"
           "place is stored with `video` and the number of frames of that video this\n"
           "recogniser processed before, as where it came from.")
      .def("load", &Recogniser::Load, py::arg("path"),
           "Replaces the known places by those of the place map at path, made with this\n"
           "recogniser's threshold (as Placetrace --places makes them). Raises ValueError\n"
           "when the map cannot be used; the recogniser is then unchanged.")
      .def("save", &Recogniser::Save, py::arg("path"),
           "Saves the known places to the place map at path, created when missing and\n"
           "replaced whole otherwise. Raises ValueError when it cannot be written.")
      .def_property_readonly("threshold", &Recogniser::threshold)
      .def_property_readonly("width", &Recogniser::width)
      .def_property_readonly("cells", &Recogniser::cells);

  BindAnalysis(m);
  BindPlaceMap(m);
}
