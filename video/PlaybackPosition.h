// Formatting of the playback position that the programs print per frame.

#ifndef FRAME_PLAYBACKPOSITION_H_
#define FRAME_PLAYBACKPOSITION_H_

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

namespace placefinder {

// The capture position in milliseconds as the position line uses it: truncated
// toward zero to a signed 32-bit integer and taken as unsigned. Positions that
// do not fit in 32 bits (or are not numbers) count as 0.
inline uint32_t PositionMilliseconds(double position) {
  if (!(position > -2147483649.0 && position < 2147483648.0)) return 0;
  return static_cast<uint32_t>(static_cast<int32_t>(position));
}

// "==> film current position: HH:MM:SS.mmm\n" for a position in milliseconds.
inline std::string PositionLine(uint32_t ms) {
  char line[64];
  std::snprintf(line, sizeof line, "==> film current position: %2.2u:%2.2u:%2.2u.%3.3u\n",
                ms / 3600000u, (ms % 3600000u) / 60000u, (ms % 60000u) / 1000u, ms % 1000u);
  return line;
}

}  // namespace placefinder

#endif  // FRAME_PLAYBACKPOSITION_H_
