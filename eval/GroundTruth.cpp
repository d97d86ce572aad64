#include "GroundTruth.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace placefinder {

namespace {

// Reads the next line of `file` into `line`, without its '\n'. Returns false
// at the end of the file; sets `tooLong` (and stops) when a line has more
// than GroundTruth::kMaxLineBytes bytes, so that a file without line ends
// (/dev/zero) costs no more memory than one line.
bool ReadLine(FILE* file, std::string& line, bool* tooLong) {
  line.clear();
  int c;
  while ((c = getc_unlocked(file)) != EOF) {
    if (c == '\n') return true;
    if (line.size() == GroundTruth::kMaxLineBytes) {
      *tooLong = true;
      return false;
    }
    line.push_back(static_cast<char>(c));
  }
  return !line.empty();
}

}  // namespace

bool GroundTruth::Load(const std::string& path, std::string* error) {
  videos_.clear();
  names_.clear();
  if (path.find('\0') != std::string::npos) {
    *error = "cannot be read: the name contains a NUL byte";
    return false;
  }
  struct stat info;
  if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    *error = "is a directory, not a file";
    return false;
  }
  const std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (file == nullptr) {
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
  bool tooLong = false;
  int64_t blankLine = 0;  // a blank line is allowed only as the last one
  while (ReadLine(file.get(), line, &tooLong)) {
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // Editors on some systems start a UTF-8 file with a byte-order mark.
    if (lineNumber == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    if (blankLine != 0) {
      lineNumber = blankLine;
      return fail("a blank line (only the last line may be blank)");
    }
    if (line.empty()) {
      blankLine = lineNumber;
      continue;
    }
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
  if (tooLong) {
    ++lineNumber;
    return fail("the line is longer than " + std::to_string(kMaxLineBytes) + " bytes");
  }
  if (std::ferror(file.get())) {
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
