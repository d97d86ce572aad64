// Placetrace: runs Placefinder's per-frame work over a video without a window
// and prints one tab-separated line per frame, for scripts and evaluation.
//
//   Placetrace VIDEO [--frames N]
//
// Standard output: a header line, then per frame
//   frame  position_ms  detections  runs  location  new_location  ids
// where location and new_location are "-" when absent and ids is the
// identifier line without its final blank. Standard error: a progress line
// while it runs (only on a terminal) and a summary at the end.

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/videoio.hpp>
#include <optional>
#include <string>

#include "FrameProcessor.h"
#include "PlaybackPosition.h"

namespace {

const char kUsage[] =
    "usage: Placetrace VIDEO [--frames N]\n"
    "Runs the place recognition over every frame of VIDEO (or its first N frames)\n"
    "and prints one tab-separated line per frame:\n"
    "frame\tposition_ms\tdetections\truns\tlocation\tnew_location\tids\n";

int Usage(const char* problem) {
  std::fprintf(stderr, "Placetrace: %s\n%s", problem, kUsage);
  return 2;
}

// Parses a positive frame count; returns false for anything else.
bool ParseCount(const char* text, long long& count) {
  char* end = nullptr;
  errno = 0;
  count = std::strtoll(text, &end, 10);
  return errno == 0 && end != text && *end == '\0' && count > 0;
}

void AppendOptional(std::string& line, const std::optional<uint32_t>& value) {
  line += '\t';
  if (value) {
    line += std::to_string(*value);
  } else {
    line += '-';
  }
}

}  // namespace

int main(int argc, char** argv) {
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  setenv("OPENCV_FFMPEG_LOGLEVEL", "-8", 0);  // the decoder's own messages too

  const char* video = nullptr;
  long long limit = -1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--frames") == 0) {
      if (i + 1 >= argc) return Usage("--frames needs a number");
      if (!ParseCount(argv[++i], limit)) return Usage("--frames needs a positive whole number");
    } else if (video == nullptr) {
      video = argv[i];
    } else {
      return Usage("more than one video given");
    }
  }
  if (video == nullptr) return Usage("no video given");

  cv::VideoCapture capture;
  bool opened = false;
  try {
    opened = capture.open(video, cv::CAP_FFMPEG) || capture.open(video);
  } catch (const cv::Exception&) {
    opened = false;
  }
  if (!opened) {
    std::fprintf(stderr, "Placetrace: cannot open %s as a video\n", video);
    return 1;
  }
  // The same start-up seek as Placefinder, so both see the same frames.
  capture.set(cv::CAP_PROP_POS_AVI_RATIO, 1.0);
  capture.set(cv::CAP_PROP_POS_AVI_RATIO, 0.0);
  const double reported = capture.get(cv::CAP_PROP_FRAME_COUNT);
  long long total = reported >= 1 && reported < 1e12 ? static_cast<long long>(reported) : 0;
  if (limit > 0 && (total == 0 || limit < total)) total = limit;

  const bool progress = isatty(STDERR_FILENO) != 0;
  const auto start = std::chrono::steady_clock::now();
  auto seconds = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };

  std::fputs("frame\tposition_ms\tdetections\truns\tlocation\tnew_location\tids\n", stdout);
  FrameProcessor processor(/*annotate=*/false);  // nothing is shown, so nothing is drawn
  cv::Mat frame;
  std::string line;
  long long frames = 0;
  long long recognised = 0;
  while (limit < 0 || frames < limit) {
    if (!capture.grab() || !capture.retrieve(frame) || frame.empty()) break;
    const FrameResult* result = nullptr;
    try {
      result = &processor.Process(frame);
    } catch (const cv::Exception& e) {
      std::fprintf(stderr, "\nPlacetrace: cannot process frame %lld: %s\n", frames, e.what());
      return 1;
    }
    const uint32_t position = PositionMilliseconds(capture.get(cv::CAP_PROP_POS_MSEC));
    line = std::to_string(frames);
    line += '\t';
    line += std::to_string(position);
    line += '\t';
    line += std::to_string(result->detections);
    line += '\t';
    line += std::to_string(result->runs);
    AppendOptional(line, result->location);
    AppendOptional(line, result->newLocation);
    line += '\t';
    const std::string& ids = result->identifierLine;
    line.append(ids, 0, ids.empty() ? 0 : ids.size() - 1);
    line += '\n';
    std::fputs(line.c_str(), stdout);
    if (result->location) ++recognised;
    ++frames;
    if (progress && frames % 10 == 0) {
      std::fprintf(stderr, "\rframe %lld of %lld, %.1f frames per second ", frames, total,
                   frames / seconds());
    }
  }
  const double elapsed = seconds();
  if (progress) std::fputs("\r\033[K", stderr);
  if (frames == 0) {
    std::fprintf(stderr, "Placetrace: no frame could be read from %s\n", video);
    return 1;
  }
  std::fflush(stdout);
  std::fprintf(stderr,
               "Placetrace: %lld frames, %u locations recorded, %lld frames recognised, "
               "%.1f frames per second\n",
               frames, processor.locationCounter(), recognised, frames / elapsed);
  return 0;
}
