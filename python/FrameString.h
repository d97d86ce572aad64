// FrameString: a frame's identifier string as plain values that can be
// pickled and sent between processes: the number of ids it was built from
// and its runs, 6 bytes each (the id as a 16-bit and the count as a 32-bit
// little-endian integer) in ascending id order, the layout of the `runs`
// column of a place map file.
//
// Strings arrive from other processes (pickles), so From() checks what
// a place map's loading checks of a stored string: whole runs, ids strictly
// ascending, counts of at least 1 that add up to at most the length.

#ifndef PYTHON_FRAMESTRING_H_
#define PYTHON_FRAMESTRING_H_

#include <cstdint>
#include <string>

#include "iMarkrun.h"

struct FrameString {
  static constexpr int kRunBytes = 6;

  int32_t length = 0;
  std::string runs;

  int32_t RunCount() const { return static_cast<int32_t>(runs.size() / kRunBytes); }

  // The runs of `s`, which keeps one run per id in ascending id order.
  static FrameString Of(const placefinder::iMarkrun<int16_t>& s);

  // The string (length, runs), or false with the reason in `why` when it is
  // not a well-formed string.
  static bool From(int64_t length, std::string runs, FrameString* out, std::string* why);

  // Rebuilds `s` as this string (its earlier runs are dropped), laid out as
  // the analysis lays out a string built from ascending ids.
  void Into(placefinder::iMarkrun<int16_t>& s) const;

  bool operator==(const FrameString& other) const {
    return length == other.length && runs == other.runs;
  }
};

#endif  // PYTHON_FRAMESTRING_H_
