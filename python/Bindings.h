// The parts of the Python module `placefinder` (its extension,
// placefinder._placefinder), each adding its names to the module.

#ifndef PYTHON_BINDINGS_H_
#define PYTHON_BINDINGS_H_

#include <pybind11/pybind11.h>

// analyze(frame) and what it gives: AnalyzedFrame and FrameString, picklable.
void BindAnalysis(pybind11::module_& m);

// PlaceMap, the recognition of FrameStrings in order, and its Recognition.
void BindPlaceMap(pybind11::module_& m);

// `threshold` when it lies in [0, 1]; otherwise raises ValueError naming
// `name` (for the constructors that take a similarity).
double CheckedThreshold(double threshold, const char* name = "threshold");

#endif  // PYTHON_BINDINGS_H_
