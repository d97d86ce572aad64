#include "Thumbnail.h"

#include <cstdint>

namespace placefinder {

bool CheckThumbnail(const void* bytes, size_t size, std::string* why, int* width, int* height) {
  const auto* p = static_cast<const unsigned char*>(bytes);
  if (size > kMaxThumbnailBytes) {
    *why =
        "it is " + std::to_string(size) + " bytes, more than " + std::to_string(kMaxThumbnailBytes);
    return false;
  }
  if (size < 4 || p[0] != 0xFF || p[1] != 0xD8 || p[2] != 0xFF) {
    *why = "it does not start as a JPEG file does";
    return false;
  }
  if (p[size - 2] != 0xFF || p[size - 1] != 0xD9) {
    *why = "it does not end as a whole JPEG file does";
    return false;
  }
  // The segments after the start marker, up to the frame header (SOF), each
  // a marker and a big-endian length that counts itself.
  size_t at = 2;
  while (at + 4 <= size) {
    if (p[at] != 0xFF) break;
    const unsigned char marker = p[at + 1];
    if (marker == 0xFF) {  // a fill byte before a marker
      ++at;
      continue;
    }
    const size_t length = static_cast<size_t>(p[at + 2]) << 8 | p[at + 3];
    if (length < 2 || at + 2 + length > size) break;
    const bool frameHeader =
        marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (frameHeader) {
      if (length < 8) break;
      const int h = p[at + 5] << 8 | p[at + 6];
      const int w = p[at + 7] << 8 | p[at + 8];
      const int channels = p[at + 9];
      if (channels != 1 && channels != 3) {
        *why = "it has " + std::to_string(channels) + " channels, not 1 or 3";
        return false;
      }
      if (w < 1 || h < 1 || w > kMaxThumbnailSide || h > kMaxThumbnailSide) {
        *why = "it is " + std::to_string(w) + " x " + std::to_string(h) + " pixels, not 1 to " +
               std::to_string(kMaxThumbnailSide) + " on each side";
        return false;
      }
      if (width != nullptr) *width = w;
      if (height != nullptr) *height = h;
      return true;
    }
    // The coded data start (SOS) or the image ends (EOI) before any frame
    // header: no picture size to be had.
    if (marker == 0xDA || marker == 0xD9) break;
    at += 2 + length;
  }
  *why = "it has no readable JPEG frame header";
  return false;
}

}  // namespace placefinder
