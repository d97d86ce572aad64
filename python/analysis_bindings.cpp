// analyze(frame): the half of the per-frame work that needs nothing but the
// frame (flip, gray copy, detection, identifier string and line), giving a
// small picklable AnalyzedFrame, so that frames can be analyzed in other
// processes or on other hosts and recognised in order in one place
// (PlaceMap.recognise).

#include <pybind11/operators.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <utility>

#include "Bindings.h"
#include "FrameAnalyzer.h"
#include "FrameString.h"
#include "NumpyImage.h"

namespace py = pybind11;

namespace {

// What the analysis of one frame gives, without its detection list.
struct FrameAnalysis {
  int32_t detections = 0;
  std::string identifierLine;
  FrameString frameString;
};

FrameString MakeFrameString(int64_t length, const py::bytes& runs) {
  FrameString s;
  std::string why;
  if (!FrameString::From(length, std::string(runs), &s, &why)) {
    throw py::value_error("not a frame string: " + why);
  }
  return s;
}

FrameAnalysis Analyze(const py::object& frame) {
  const NumpyImage image(frame, "frame", /*allowColour=*/true);
  FrameAnalysis out;
  py::gil_scoped_release unlocked;
  // One analyzer per thread, kept with its buffers for the thread's next frame.
  thread_local placefinder::FrameAnalyzer analyzer;
  const placefinder::AnalyzedFrame& analyzed = analyzer.Analyze(image.mat());
  out.detections = analyzed.detectionCount();
  out.identifierLine = analyzed.identifierLine;
  out.frameString = FrameString::Of(analyzed.frameString);
  return out;
}

}  // namespace

void BindAnalysis(py::module_& m) {
  py::class_<FrameString>(
      m, "FrameString", "A frame's identifier string: for each box id, how many boxes carried it.")
      .def(py::init(&MakeFrameString), py::arg("length") = 0, py::arg("runs") = py::bytes(),
           "The string built from `length` ids with the runs `runs`: 6 bytes a run (the id\n"
           "as a 16-bit and the count as a 32-bit little-endian integer), ids ascending,\n"
           "counts of at least 1 adding up to at most `length`, as a place map file\n"
           "stores them. Raises ValueError otherwise.")
      .def_readonly("length", &FrameString::length, "the number of ids it was built from")
      .def_property_readonly(
          "runs", [](const FrameString& s) { return py::bytes(s.runs); }, "its runs, 6 bytes each")
      .def_property_readonly("run_count", &FrameString::RunCount)
      .def(py::self == py::self)
      .def("__hash__",
           [](const FrameString& s) {
             return py::hash(py::make_tuple(s.length, py::bytes(s.runs)));
           })
      .def("__repr__",
           [](const FrameString& s) {
             return "FrameString(length=" + std::to_string(s.length) + ", runs=<" +
                    std::to_string(s.RunCount()) + " runs>)";
           })
      .def(py::pickle(
          [](const FrameString& s) { return py::make_tuple(s.length, py::bytes(s.runs)); },
          [](const py::tuple& state) {
            if (state.size() != 2) throw py::value_error("not a frame string's state");
            return MakeFrameString(state[0].cast<int64_t>(), state[1].cast<py::bytes>());
          }));

  py::class_<FrameAnalysis>(m, "AnalyzedFrame", "What analyze() found in one frame.")
      .def_readonly("detections", &FrameAnalysis::detections, "number of boxes found")
      .def_property_readonly(
          "runs", [](const FrameAnalysis& a) { return a.frameString.RunCount(); },
          "runs of the frame's identifier string")
      .def_readonly("identifier_line", &FrameAnalysis::identifierLine,
                    "the first 20 box ids, each as 4 hex digits and a blank")
      .def_readonly("frame_string", &FrameAnalysis::frameString,
                    "the identifier string, for PlaceMap.recognise()")
      .def("__repr__",
           [](const FrameAnalysis& a) {
             return "AnalyzedFrame(detections=" + std::to_string(a.detections) +
                    ", runs=" + std::to_string(a.frameString.RunCount()) +
                    ", identifier_line=" + std::string(py::repr(py::cast(a.identifierLine))) + ")";
           })
      .def(py::pickle(
          [](const FrameAnalysis& a) {
            return py::make_tuple(a.detections, a.identifierLine, a.frameString.length,
                                  py::bytes(a.frameString.runs));
          },
          [](const py::tuple& state) {
            if (state.size() != 4) throw py::value_error("not an analyzed frame's state");
            FrameAnalysis a;
            a.detections = state[0].cast<int32_t>();
            a.identifierLine = state[1].cast<std::string>();
            a.frameString = MakeFrameString(state[2].cast<int64_t>(), state[3].cast<py::bytes>());
            return a;
          }));

  m.def("analyze", &Analyze, py::arg("frame"),
        "Analyzes a frame as OpenCV's VideoCapture.read() gives it (a uint8 array: BGR\n"
        "(rows, columns, 3), BGRA, or gray (rows, columns)) as the programs do: flips\n"
        "its rows, detects its boxes and makes its identifier string and line.\n"
        "Recognising it is PlaceMap.recognise()'s part. Releases the GIL while it\n"
        "works; threads may analyze frames at the same time.");
}
