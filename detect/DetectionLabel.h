// The text of a detection's label, as the window draws it at the box and the
// identifier line lists it: the id as four upper-case hexadecimal digits and
// a blank.

#ifndef DETECT_DETECTIONLABEL_H_
#define DETECT_DETECTIONLABEL_H_

#include <cstdint>

namespace placefinder {

// Writes the label of `id` into `text`, which must hold at least 6 bytes
// (the label and its terminating NUL).
inline void FormatLabel(uint16_t id, char* text) {
  static const char kHex[] = "0123456789ABCDEF";
  text[0] = kHex[(id >> 12) & 0xF];
  text[1] = kHex[(id >> 8) & 0xF];
  text[2] = kHex[(id >> 4) & 0xF];
  text[3] = kHex[id & 0xF];
  text[4] = ' ';
  text[5] = '\0';
}

}  // namespace placefinder

#endif  // DETECT_DETECTIONLABEL_H_
