// MarkrunRandom: the self-check's one pseudo-random generator.
//
// A linear congruential generator with a fixed start: the state begins at 1,
// each draw sets state = state * 214013 + 2531011 (mod 2^32) and returns bits
// 16 to 30 of the new state, a value from 0 to 32767. Every run of the
// self-check therefore makes the same draws and prints the same report, on any
// platform and build.

#ifndef APPS_MARKRUN_MARKRUN_RANDOM_H_
#define APPS_MARKRUN_MARKRUN_RANDOM_H_

#include <cstdint>

namespace placefinder {

class MarkrunRandom {
 public:
  uint32_t state = 1;

  uint32_t Draw() {
    state = state * 214013u + 2531011u;
    return (state >> 16) & 0x7FFFu;
  }
};

}  // namespace placefinder

#endif  // APPS_MARKRUN_MARKRUN_RANDOM_H_
