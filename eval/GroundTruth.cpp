#include "GroundTruth.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace placefinder {

bool GroundTruth::Load(const std::string& path, std::string* error) {
  videos_.clear();
  names_.clear();
  struct stat info;
  if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    *error = "is a directory, not a file";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = std::string("cannot be read: ") + std::strerror(errno);
    return false;
  }
  std::unordered_map<std::string, int32_t> numbers;
  std::string line;
  int64_t lineNumber = 0;
  auto fail = [&](const std::string& what) {
    *error = "is refused at line " + std::to_string(lineNumber) + ": " + what;
    videos_.clear();
    names_.clear();
    return false;
  };
  while (std::getline(in, line)) {
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (lineNumber == 1 && line == "video\tframe\tplace") continue;
    const size_t first = line.find('\t');
    const size_t second = first == std::string::npos ? first : line.find('\t', first + 1);
    if (second == std::string::npos || line.find('\t', second + 1) != std::string::npos) {
      return fail("not three tab-separated fields (video, frame, place)");
    }
    const std::string video = line.substr(0, first);
    const std::string frameText = line.substr(first + 1, second - first - 1);
    const std::string place = line.substr(second + 1);
    if (video.empty()) return fail("the video is empty");
    if (place.empty()) return fail("the place is empty");
    char* end = nullptr;
    errno = 0;
    const long long frame = std::strtoll(frameText.c_str(), &end, 10);
    if (frameText.empty() || frameText[0] < '0' || frameText[0] > '9' || *end != '\0' ||
        errno != 0) {
      return fail("the frame '" + frameText + "' is not a whole number from 0");
    }
    const auto named = numbers.emplace(place, static_cast<int32_t>(names_.size()));
    if (named.second) names_.push_back(place);
    if (!videos_[video].emplace(frame, named.first->second).second) {
      return fail("frame " + frameText + " of " + video + " has a line already");
    }
  }
  if (in.bad()) {
    *error = "cannot be read to its end";
    videos_.clear();
    names_.clear();
    return false;
  }
  return true;
}

const GroundTruth::VideoPlaces* GroundTruth::PlacesOf(const std::string& video) const {
  const auto it = videos_.find(video);
  return it == videos_.end() ? nullptr : &it->second;
}

int32_t GroundTruth::PlaceIn(const VideoPlaces* places, int64_t frame) {
  if (places == nullptr) return -1;
  const auto it = places->find(frame);
  return it == places->end() ? -1 : it->second;
}

int32_t GroundTruth::PlaceOf(const std::string& video, int64_t frame) const {
  return PlaceIn(PlacesOf(video), frame);
}

}  // namespace placefinder
