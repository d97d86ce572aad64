// Thumbnail: the small picture a place map keeps of each place, a JPEG
// image of the frame that recorded (or last replaced) the place, its longest
// side at most kMaxThumbnailSide pixels.
//
// A map file is not trusted, so a picture is checked like any other stored
// value before it is kept. The check reads the JPEG's own headers (the start
// marker, the frame header with the picture's size, the end marker) rather
// than decoding the picture: it costs next to nothing per place, so a map of
// many places loads as fast as one without pictures. A picture whose coded
// data is damaged between those headers passes; whatever shows it decodes it
// and must expect that.

#ifndef PLACEMAP_THUMBNAIL_H_
#define PLACEMAP_THUMBNAIL_H_

#include <cstddef>
#include <string>

namespace placefinder {

constexpr int kMaxThumbnailSide = 160;
// A 160-pixel picture of ordinary quality takes 3 to 10 KiB; this leaves
// room for any quality and still bounds what a map can make a program hold.
constexpr size_t kMaxThumbnailBytes = 64 * 1024;

// Whether `size` bytes at `bytes` are a whole baseline or progressive JPEG
// image, 1 or 3 channels, both sides from 1 to kMaxThumbnailSide, of at most
// kMaxThumbnailBytes; otherwise false with the reason in `why` ("it is
// 70000 bytes, more than 65536"). `width` and `height`, when given, get the
// picture's size.
bool CheckThumbnail(const void* bytes, size_t size, std::string* why, int* width = nullptr,
                    int* height = nullptr);

}  // namespace placefinder

#endif  // PLACEMAP_THUMBNAIL_H_
