// OpenPlayFile: opens the file a player is asked to play, by the name its
// command line gives, and works out where its output video goes.
//
// The player lower-cases its first argument whole, as its command line always
// has. File names here are case-sensitive, so the lower-cased name is tried
// first and the name as given after it. The output video is named after the
// lower-cased name up to ".avi"; when the file was found under its own
// spelling, the folder part stays as it was found and only the file's own
// name is lower-cased ("Dir/Clip.AVI" writes "Dir/clip_out.avi"). The file
// is opened through FFmpeg with the back end's messages kept off the console,
// and given the start-up seek (VideoSource::StartupSeek).

#ifndef VIDEO_PLAYFILE_H_
#define VIDEO_PLAYFILE_H_

#include <cstddef>
#include <string>

#include "VideoSource.h"

namespace placefinder {

// `lowered` is `given` with A to Z lower-cased, and ".avi" begins at `avi`
// in it. Returns false when neither name opens. `outputBase` gets the output
// video's name up to "_out.avi".
bool OpenPlayFile(VideoSource& video, const std::string& given, const std::string& lowered,
                  size_t avi, std::string* outputBase);

}  // namespace placefinder

#endif  // VIDEO_PLAYFILE_H_
