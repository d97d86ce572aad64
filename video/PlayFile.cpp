#include "PlayFile.h"

#include <opencv2/videoio.hpp>

#include "Quietly.h"

namespace placefinder {

bool OpenPlayFile(VideoSource& video, const std::string& given, const std::string& lowered,
                  size_t avi, std::string* outputBase) {
  const auto open = [&](const std::string& name) {
    return Quietly([&] { return video.OpenFile(name, cv::CAP_FFMPEG); });
  };
  *outputBase = lowered.substr(0, avi);
  if (!open(lowered)) {
    if (given == lowered || !open(given)) return false;
    // The two names differ only in case, so ".avi" and the last '/' stand at
    // the same places in both.
    const size_t folder = outputBase->rfind('/') + 1;  // 0 when there is none
    outputBase->replace(0, folder, given, 0, folder);
  }
  video.StartupSeek();
  return true;
}

}  // namespace placefinder
