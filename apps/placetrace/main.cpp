// Placetrace: runs Placefinder's per-frame work over videos without a window
// and prints one tab-separated line per frame, for scripts and evaluation.
//
//   Placetrace [--places FILE] [--threshold T] [--frames N] [--threads N]
//              [--truth FILE [--sweep FILE] [--plot FILE.png]] VIDEO...
//
// The videos share one collection of known strings and one location counter,
// in the order given, as if they were one long video. With --places the
// collection and the counter are loaded from FILE before the first frame (an
// empty map is created when FILE does not exist) and saved back to it at the
// end, with where each place was recorded.
//
// Standard output: a header line, then per frame
//   video  frame  position_ms  detections  runs  location  new_location
//   similarity  ids
// where video is the name as given, frame counts from 0 in each video,
// location, new_location and similarity ("%.6f") are "-" when absent and ids
// is the identifier line without its final blank. Standard error: a progress
// line while it runs (only on a terminal), problems, and a summary per video
// and in total at the end.
//
// A video that cannot be opened or decodes nothing is reported and skipped;
// the run goes on with the others, saves what it learnt and ends with status
// 1. A place map that cannot be used stops the run before any frame is read,
// with status 1 and the map untouched. Usage errors give status 2.
//
// With --threads N (default: the cores the process may use) and N > 1,
// frames are detected on N threads while one more reads them and the main
// thread recognises them in frame order; the output is the same for every N.
//
// With --truth FILE (lines `video<TAB>frame<TAB>place`) the run's
// recognitions are counted against the ground truth and standard error ends
// with "evaluation: tp=N fp=N fn=N tn=N precision=X recall=Y f1=Z". --sweep
// FILE also runs every threshold 0.30, 0.31, ... 0.99 on the same detections
// and writes their counts to FILE; --plot FILE.png draws that sweep's
// precision-recall curve. A truth file that cannot be used is a usage error.

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "FramePipeline.h"
#include "FrameProcessor.h"
#include "GroundTruth.h"
#include "PlaceMapFile.h"
#include "PlaybackPosition.h"
#include "PrCurvePlot.h"
#include "RunEvaluation.h"
#include "VideoSource.h"

namespace {

const char kHeader[] =
    "video\tframe\tposition_ms\tdetections\truns\tlocation\tnew_location\tsimilarity\tids\n";

const char kUsage[] =
    "usage: Placetrace [--places FILE] [--threshold T] [--frames N] [--threads N]\n"
    "                  [--truth FILE [--sweep FILE] [--plot FILE.png]] VIDEO...\n"
    "Runs the place recognition over every frame of each VIDEO (or its first N\n"
    "frames), the videos sharing one collection of places in the order given, and\n"
    "prints one tab-separated line per frame:\n"
    "video\tframe\tposition_ms\tdetections\truns\tlocation\tnew_location\tsimilarity\tids\n"
    "  --places FILE   load the places from FILE first (created when missing) and\n"
    "                  save them back to it at the end\n"
    "  --threshold T   the similarity a stored string needs to be recognised, in\n"
    "                  [0, 1]; default 0.67, or the threshold FILE was made with\n"
    "  --frames N      read at most N frames of each video\n"
    "  --threads N     use N threads (default: the cores this process may use); the\n"
    "                  output is the same for every N\n"
    "  --truth FILE    count the recognitions against FILE (lines video<TAB>frame<TAB>\n"
    "                  place) and end with the evaluation line\n"
    "  --sweep FILE    also evaluate the thresholds 0.30 .. 0.99 and write the table\n"
    "  --plot FILE     draw the sweep's precision-recall curve as a PNG image\n";

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

// Parses a threshold in [0, 1]; returns false for anything else.
bool ParseThreshold(const char* text, double& threshold) {
  char* end = nullptr;
  errno = 0;
  threshold = std::strtod(text, &end);
  return errno == 0 && end != text && *end == '\0' && threshold >= 0.0 && threshold <= 1.0;
}

void AppendOptional(std::string& line, const std::optional<uint32_t>& value) {
  line += '\t';
  if (value) {
    line += std::to_string(*value);
  } else {
    line += '-';
  }
}

struct Options {
  const char* places = nullptr;
  double threshold = FrameProcessor::kMatchThreshold;
  bool thresholdGiven = false;
  long long limit = -1;
  int threads = 0;  // 0: as many as the process has cores
  const char* truth = nullptr;
  const char* sweep = nullptr;
  const char* plot = nullptr;
  std::vector<const char*> videos;
};

// The cores this process may run on.
int UsableCores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

// Returns -1 when the command line is good, otherwise the status to end with.
int ParseOptions(int argc, char** argv, Options& options) {
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (optionsEnded || arg[0] != '-' || arg[1] == '\0') {
      options.videos.push_back(arg);
    } else if (std::strcmp(arg, "--") == 0) {
      optionsEnded = true;
    } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (std::strcmp(arg, "--frames") == 0) {
      if (i + 1 >= argc) return Usage("--frames needs a number");
      if (!ParseCount(argv[++i], options.limit)) {
        return Usage("--frames needs a positive whole number");
      }
    } else if (std::strcmp(arg, "--threads") == 0) {
      long long threads = 0;
      if (i + 1 >= argc) return Usage("--threads needs a number");
      if (!ParseCount(argv[++i], threads) || threads > 256) {
        return Usage("--threads needs a whole number from 1 to 256");
      }
      options.threads = static_cast<int>(threads);
    } else if (std::strcmp(arg, "--threshold") == 0) {
      if (i + 1 >= argc) return Usage("--threshold needs a number");
      if (!ParseThreshold(argv[++i], options.threshold)) {
        return Usage("--threshold needs a number from 0 to 1");
      }
      options.thresholdGiven = true;
    } else if (std::strcmp(arg, "--truth") == 0 || std::strcmp(arg, "--sweep") == 0 ||
               std::strcmp(arg, "--plot") == 0) {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        return Usage((std::string(arg) + " needs a file name").c_str());
      }
      const char*& file = arg[2] == 't'   ? options.truth
                          : arg[3] == 'w' ? options.sweep
                                          : options.plot;
      file = argv[++i];
    } else if (std::strcmp(arg, "--places") == 0) {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') return Usage("--places needs a file name");
      options.places = argv[++i];
    } else {
      const std::string problem = std::string("unknown option ") + arg;
      return Usage(problem.c_str());
    }
  }
  if (options.videos.empty()) return Usage("no video given");
  if ((options.sweep != nullptr || options.plot != nullptr) && options.truth == nullptr) {
    return Usage("--sweep and --plot need --truth");
  }
  return -1;
}

// The counts of one video or of the whole run.
struct Tally {
  long long frames = 0;
  long long recognised = 0;
  long long recorded = 0;
};

void PrintTally(const char* what, const Tally& tally, double seconds) {
  std::fprintf(stderr,
               "Placetrace: %s: %lld frames, %lld locations recorded, %lld frames recognised, "
               "%.1f frames per second\n",
               what, tally.frames, tally.recorded, tally.recognised,
               seconds > 0 ? tally.frames / seconds : 0.0);
}

// Reads every frame of one video (at most `limit`) through `processor`, with
// `threads` threads, printing a line per frame. Returns false when the video
// cannot be read at all or a frame cannot be processed, after saying so.
// What a run is evaluated with; each part may be absent.
struct Evaluations {
  const GroundTruth* truth = nullptr;
  RunEvaluation* run = nullptr;
  ThresholdSweep* sweep = nullptr;
};

bool TraceVideo(const char* video, long long limit, int threads, FrameProcessor& processor,
                PlaceOrigins& origins, const Evaluations& evaluations, Tally& tally, bool& stop) {
  VideoSource source;
  if (!source.OpenFile(video, cv::CAP_FFMPEG) && !source.OpenFile(video, cv::CAP_ANY)) {
    std::fprintf(stderr, "Placetrace: cannot open %s as a video; going on without it\n", video);
    return false;
  }
  // The same start-up seek as Placefinder, so both see the same frames.
  source.StartupSeek();
  const double reported = source.Get(cv::CAP_PROP_FRAME_COUNT);
  long long total = reported >= 1 && reported < 1e12 ? static_cast<long long>(reported) : 0;
  if (limit > 0 && (total == 0 || limit < total)) total = limit;

  const bool progress = isatty(STDERR_FILENO) != 0;
  const auto start = std::chrono::steady_clock::now();
  long long read = 0;
  long long frames = 0;
  std::string line;
  const std::string name = video;
  const GroundTruth::VideoPlaces* places =
      evaluations.truth != nullptr ? evaluations.truth->PlacesOf(name) : nullptr;
  auto readFrame = [&](cv::Mat& frame, double& positionMs) {
    if (limit >= 0 && read >= limit) return false;
    if (!source.Read(frame)) return false;
    positionMs = source.Get(cv::CAP_PROP_POS_MSEC);
    ++read;
    return true;
  };
  auto printFrame = [&](const FrameProcessor& detected, double positionMs) {
    const FrameResult& result = processor.RecogniseDetected(detected);
    line = video;
    line += '\t';
    line += std::to_string(frames);
    line += '\t';
    line += std::to_string(PositionMilliseconds(positionMs));
    line += '\t';
    line += std::to_string(result.detections);
    line += '\t';
    line += std::to_string(result.runs);
    AppendOptional(line, result.location);
    AppendOptional(line, result.newLocation);
    line += '\t';
    if (result.similarity) {
      char text[32];
      std::snprintf(text, sizeof text, "%.6f", *result.similarity);
      line += text;
    } else {
      line += '-';
    }
    line += '\t';
    const std::string& ids = result.identifierLine;
    line.append(ids, 0, ids.empty() ? 0 : ids.size() - 1);
    line += '\n';
    std::fputs(line.c_str(), stdout);
    const int32_t place = GroundTruth::PlaceIn(places, frames);
    if (evaluations.run != nullptr) evaluations.run->Count(place, result, origins);
    if (evaluations.sweep != nullptr) evaluations.sweep->Count(detected, name, frames, place);
    if (result.location) ++tally.recognised;
    if (result.newLocation) {
      ++tally.recorded;
      origins.Record(*result.newLocation, video, frames);
    }
    ++frames;
    if (progress && frames % 10 == 0) {
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      std::fprintf(stderr, "\r%s: frame %lld of %lld, %.1f frames per second ", video, frames,
                   total, frames / seconds);
    }
  };
  try {
    FramePipeline::Run(threads, readFrame, printFrame);
  } catch (const cv::Exception& e) {
    if (progress) std::fputs("\r\033[K", stderr);
    std::fprintf(stderr, "Placetrace: cannot process frame %lld of %s: %s\n", frames, video,
                 e.what());
    tally.frames = frames;
    stop = true;
    return false;
  }
  if (progress) std::fputs("\r\033[K", stderr);
  tally.frames = frames;
  if (frames == 0) {
    std::fprintf(stderr, "Placetrace: no frame could be read from %s; going on without it\n",
                 video);
    return false;
  }
  return true;
}

// Reports the evaluation on standard error and writes the sweep's table and
// plot. Returns false when a file could not be written, after saying so.
bool WriteEvaluation(const Options& options, const RunEvaluation& run, const ThresholdSweep* sweep,
                     double threshold) {
  std::fprintf(stderr, "evaluation: %s\n", run.counts().Line().c_str());
  if (sweep == nullptr) return true;
  bool written = true;
  double recall = 0;
  double at = 0;
  if (RecallAtFullPrecision(*sweep, &recall, &at)) {
    std::fprintf(stderr, "recall at 100%% precision: %s (threshold %.2f)\n",
                 FormatRatio(recall).c_str(), at);
  } else {
    std::fputs("recall at 100% precision: none (no threshold reaches 100% precision)\n", stderr);
  }
  if (options.sweep != nullptr) {
    const std::string table = SweepTable(*sweep);
    FILE* out = std::fopen(options.sweep, "wb");
    bool ok = out != nullptr && std::fwrite(table.data(), 1, table.size(), out) == table.size();
    if (out != nullptr && std::fclose(out) != 0) ok = false;
    if (!ok) {
      std::fprintf(stderr, "Placetrace: cannot write the sweep to %s: %s\n", options.sweep,
                   std::strerror(errno));
      written = false;
    }
  }
  if (options.plot != nullptr) {
    std::vector<PrPoint> points;
    for (size_t i = 0; i < sweep->size(); ++i) {
      const EvaluationCounts& c = sweep->counts(i);
      points.push_back({sweep->threshold(i), c.Precision(), c.Recall()});
    }
    bool ok = false;
    try {
      ok = cv::imwrite(options.plot, PrCurvePlot::Draw(points, threshold,
                                                       "precision-recall, thresholds 0.30-0.99"));
    } catch (const cv::Exception&) {
      ok = false;
    }
    if (!ok) {
      std::fprintf(
          stderr,
          "Placetrace: cannot write the plot to %s (a .png name in a folder that can be written)\n",
          options.plot);
      written = false;
    }
  }
  return written;
}

}  // namespace

int main(int argc, char** argv) {
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  setenv("OPENCV_FFMPEG_LOGLEVEL", "-8", 0);  // the decoder's own messages too

  Options options;
  const int status = ParseOptions(argc, argv, options);
  if (status >= 0) return status;

  GroundTruth truth;
  if (options.truth != nullptr) {
    std::string error;
    if (!truth.Load(options.truth, &error)) {
      std::fprintf(stderr, "Placetrace: the truth file %s %s\n", options.truth, error.c_str());
      return 2;
    }
  }

  // The map is opened, locked and read in full before the first frame, so
  // that a map that cannot be used costs no work and stays as it was.
  PlaceMapFile mapFile;
  PlaceMapContents map;
  double threshold = options.threshold;
  size_t loadedPlaces = 0;
  if (options.places != nullptr) {
    std::string error;
    if (!mapFile.Open(options.places, options.threshold, &error) || !mapFile.Load(&map, &error)) {
      std::fprintf(stderr, "Placetrace: the place map %s %s\n", options.places, error.c_str());
      return 1;
    }
    // A map holds places found with one threshold; mixing thresholds in one
    // map would make its places depend on how the runs were split.
    if (options.thresholdGiven && map.threshold != options.threshold) {
      std::fprintf(stderr,
                   "Placetrace: the place map %s was made with the threshold %g, not %g (leave "
                   "out --threshold to use the map's)\n",
                   options.places, map.threshold, options.threshold);
      return 1;
    }
    threshold = map.threshold;
    loadedPlaces = static_cast<size_t>(map.strings->entries->count);
  }

  std::optional<RunEvaluation> run;
  std::optional<ThresholdSweep> sweep;
  Evaluations evaluations;
  if (options.truth != nullptr) {
    evaluations.truth = &truth;
    run.emplace(truth);
    run->MarkSeen(map.origins);
    evaluations.run = &*run;
  }
  if (options.sweep != nullptr || options.plot != nullptr) {
    sweep.emplace(truth);
    // Every threshold starts from the map as it was saved.
    for (size_t i = 0; options.places != nullptr && i < sweep->size(); ++i) {
      PlaceMapContents copy;
      std::string error;
      if (!mapFile.Load(&copy, &error)) {
        std::fprintf(stderr, "Placetrace: the place map %s %s\n", options.places, error.c_str());
        return 1;
      }
      sweep->Restore(i, std::move(copy.strings), copy.locationCounter, std::move(copy.origins));
    }
    evaluations.sweep = &*sweep;
  }

  const int threads = options.threads > 0 ? options.threads : UsableCores();
  // The pipeline's own threads use the cores; OpenCV's pool on top of them
  // would only contend for them.
  if (threads > 1) cv::setNumThreads(1);
  FrameProcessor processor(/*annotate=*/false, threshold);  // nothing is shown, so nothing is drawn
  if (options.places != nullptr) {
    processor.RestoreKnownStrings(std::move(map.strings), map.locationCounter);
  }
  std::fputs(kHeader, stdout);

  const auto start = std::chrono::steady_clock::now();
  Tally total;
  bool failed = false;
  bool stop = false;
  for (const char* video : options.videos) {
    const auto videoStart = std::chrono::steady_clock::now();
    Tally tally;
    if (!TraceVideo(video, options.limit, threads, processor, map.origins, evaluations, tally,
                    stop)) {
      failed = true;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - videoStart).count();
    std::fflush(stdout);
    if (tally.frames > 0) PrintTally(video, tally, seconds);
    total.frames += tally.frames;
    total.recognised += tally.recognised;
    total.recorded += tally.recorded;
    if (stop) break;
  }
  std::fflush(stdout);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  PrintTally("total", total, seconds);
  if (run && !WriteEvaluation(options, *run, sweep ? &*sweep : nullptr, threshold)) failed = true;

  if (options.places != nullptr) {
    std::string error;
    const LocationDetector::KnownStrings& strings = processor.knownStrings();
    if (!mapFile.Save(strings, processor.locationCounter(), threshold, map.origins, &error)) {
      std::fprintf(stderr, "Placetrace: the place map %s %s; it is left as it was\n",
                   options.places, error.c_str());
      return 1;
    }
    std::fprintf(stderr,
                 "Placetrace: the place map %s holds %d places (%zu loaded), location counter "
                 "%u\n",
                 options.places, strings.entries->count, loadedPlaces, processor.locationCounter());
  }
  return failed ? 1 : 0;
}
