// Placetrace: runs the place recognition over videos without a window and
// prints one tab-separated line per frame, for scripts and evaluation. See
// kDescription below and README.md for what it prints and why.

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>
#include <optional>
#include <string>
#include <vector>

#include "CellString.h"
#include "FramePicture.h"
#include "FramePipeline.h"
#include "GroundTruth.h"
#include "OutputFile.h"
#include "PlaceMap.h"
#include "PlaybackPosition.h"
#include "PrCurvePlot.h"
#include "RunEvaluation.h"
#include "RunReport.h"
#include "VideoSource.h"

namespace {

using namespace placefinder;

const char kHeader[] =
    "video\tframe\tposition_ms\tdetections\truns\tlocation\tnew_location\tsimilarity\tids\n";

const char kUsage[] =
    "usage: Placetrace [--places FILE] [--query [--top K]] [--threshold T] [--frames N]\n"
    "                  [--threads N] [--best] [--min-detections N] [--width W]\n"
    "                  [--cells N] [--follow S] [--consistent K] [--precise]\n"
    "                  [--truth FILE [--sweep FILE] [--plot FILE.png]] [--report FILE.html]\n"
    "                  VIDEO...\n";

const char kDescription[] =
    "Runs the place recognition over every frame of each VIDEO (or its first N\n"
    "frames), the videos sharing one collection of places in the order given, and\n"
    "prints one tab-separated line per frame:\n"
    "video\tframe\tposition_ms\tdetections\truns\tlocation\tnew_location\tsimilarity\tids";

struct Options {
  std::string places;  // empty: no place map
  RecognitionOptions recognition;  // its threshold is the one asked for
  bool thresholdGiven = false;     // by --threshold, or chosen by --precise
  bool precise = false;
  bool widthGiven = false;
  bool cellsGiven = false;
  size_t top = 0;  // --top K: the K best places in the last column
  long long limit = -1;
  int threads = 0;  // 0: as many as the process has cores
  std::string truth;
  std::string sweep;
  std::string plot;
  std::string report;
  std::vector<std::string> videos;
};

int Usage(const std::string& problem) {
  std::fprintf(stderr, "Placetrace: %s\n%s(--help lists every option)\n", problem.c_str(), kUsage);
  return 2;
}

// A whole number from `low` to `high` in `text`, or none.
std::optional<long long> ParseWhole(const std::string& text, long long low, long long high) {
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0' || value < low || value > high) {
    return std::nullopt;
  }
  return value;
}

// A threshold in [0, 1] in `text`, or none.
std::optional<double> ParseThreshold(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || end == text.c_str() || *end != '\0' || !(value >= 0.0 && value <= 1.0)) {
    return std::nullopt;
  }
  return value;
}

// Returns -1 when the command line is good, otherwise the status to end with.
int ParseOptions(int argc, char** argv, Options& options) {
  CLI::App app("", "Placetrace");
  app.set_help_flag();  // --help is answered below, with the usage line first
  bool help = false;
  app.add_flag("-h,--help", help, "print this help and exit");
  std::string frames, threads, threshold, minDetections, width, cells, follow, consistent, top;
  bool best = false;
  bool precise = false;
  bool query = false;
  app.add_option("--places", options.places,
                 "load the places from FILE first (created when missing) and save them back to "
                 "it at the end")
      ->type_name("FILE");
  app.add_option("--threshold", threshold,
                 "the similarity a stored string needs to be recognised, in [0, 1]; default "
                 "0.67, or the threshold FILE was made with")
      ->type_name("T");
  app.add_option("--frames", frames, "read at most N frames of each video")->type_name("N");
  app.add_option("--threads", threads,
                 "use N threads (default: the cores this process may use); the output is the "
                 "same for every N")
      ->type_name("N");
  app.add_option("--truth", options.truth,
                 "count the recognitions against FILE (lines video<TAB>frame<TAB>place) and end "
                 "with the evaluation line")
      ->type_name("FILE");
  app.add_option("--sweep", options.sweep,
                 "also evaluate the thresholds 0.30 .. 0.99 and write their table to FILE")
      ->type_name("FILE");
  app.add_option("--plot", options.plot,
                 "draw the sweep's precision-recall curve into FILE, a PNG image")
      ->type_name("FILE.png");
  app.add_option("--report", options.report,
                 "write a page that shows the run (timelines, every place's picture, matches "
                 "side by side) to FILE, an HTML file")
      ->type_name("FILE.html");
  app.add_flag("--best", best,
               "recognise the most similar stored place at or over the threshold, not the first");
  app.add_option("--min-detections", minDetections,
                 "a frame with fewer than N detections shows no place: it is neither searched "
                 "nor recorded")
      ->type_name("N");
  app.add_option("--width", width,
                 "resize every frame to W pixels wide before detection (a map keeps its width "
                 "as it keeps its threshold)")
      ->type_name("W");
  app.add_option("--cells", cells,
                 "count each frame's boxes in every cell of an N x N grid, 1 to 6, so that "
                 "places also differ by where their boxes lie (a map keeps its grid)")
      ->type_name("N");
  app.add_option("--follow", follow,
                 "a frame right after one that went into a place is that place when its "
                 "similarity to it is at least S, even below the threshold")
      ->type_name("S");
  app.add_option("--consistent", consistent,
                 "accept a match only when the same place was the candidate of this frame and "
                 "the K-1 frames before it; otherwise the frame is held")
      ->type_name("K");
  app.add_flag("--precise", precise,
               "the settings the revisit benchmark finds best for recall at 100% precision "
               "(README)");
  app.add_flag("--query", query,
               "only search the map of --places: it is never changed and not saved");
  app.add_option("--top", top,
                 "with --query, add the column top: the K most similar places as "
                 "location:similarity")
      ->type_name("K");
  app.add_option("VIDEO", options.videos, "the videos, read one after the other");
  for (CLI::Option* option : app.get_options()) {
    option->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return Usage(e.what());
  }
  if (help) {
    // The usage line and what the program does, then CLI11's list of the
    // arguments and options without its own usage line.
    const std::string list = app.help();
    const size_t from = list.find("Positionals:");
    std::printf("%s%s\n\n%s", kUsage, kDescription,
                list.substr(from == std::string::npos ? 0 : from).c_str());
    return 0;
  }
  auto given = [&](const char* name) { return app.count(name) > 0; };
  if (given("--frames")) {
    const std::optional<long long> n = ParseWhole(frames, 1, LLONG_MAX);
    if (!n) return Usage("--frames needs a positive whole number");
    options.limit = *n;
  }
  if (given("--threads")) {
    const std::optional<long long> n = ParseWhole(threads, 1, 256);
    if (!n) return Usage("--threads needs a whole number from 1 to 256");
    options.threads = static_cast<int>(*n);
  }
  RecognitionOptions& recognition = options.recognition;
  if (precise) {
    recognition = RecognitionOptions::Precise();
    options.precise = true;
    options.thresholdGiven = true;
    options.widthGiven = recognition.width != 0;
    options.cellsGiven = recognition.cells != 1;
  }
  if (given("--threshold")) {
    const std::optional<double> t = ParseThreshold(threshold);
    if (!t) return Usage("--threshold needs a number from 0 to 1");
    recognition.threshold = *t;
    options.thresholdGiven = true;
  }
  if (best) recognition.best = true;
  if (given("--min-detections")) {
    const std::optional<long long> n = ParseWhole(minDetections, 0, INT32_MAX);
    if (!n) return Usage("--min-detections needs a whole number of at least 0");
    recognition.minDetections = static_cast<int32_t>(*n);
  }
  if (given("--width")) {
    const std::optional<long long> n = ParseWhole(width, 1, 1 << 16);
    if (!n) return Usage("--width needs a whole number from 1 to 65536");
    recognition.width = static_cast<int32_t>(*n);
    options.widthGiven = true;
  }
  if (given("--cells")) {
    const std::optional<long long> n = ParseWhole(cells, 1, CellString::kMaxCells);
    if (!n) return Usage("--cells needs a whole number from 1 to 6");
    recognition.cells = static_cast<int32_t>(*n);
    options.cellsGiven = true;
  }
  if (given("--follow")) {
    const std::optional<double> t = ParseThreshold(follow);
    if (!t) return Usage("--follow needs a number from 0 to 1");
    recognition.follow = *t;
  }
  if (given("--consistent")) {
    const std::optional<long long> n = ParseWhole(consistent, 1, 1000000);
    if (!n) return Usage("--consistent needs a whole number from 1 to 1000000");
    recognition.consistent = static_cast<int32_t>(*n);
  }
  if (query) {
    if (!given("--places")) return Usage("--query needs --places: the map it searches");
    recognition.query = true;
  }
  if (given("--top")) {
    if (!query) return Usage("--top needs --query");
    const std::optional<long long> n = ParseWhole(top, 1, 1000000);
    if (!n) return Usage("--top needs a whole number from 1 to 1000000");
    options.top = static_cast<size_t>(*n);
  }
  for (const char* name : {"--places", "--truth", "--sweep", "--plot", "--report"}) {
    if (given(name) && app.get_option(name)->as<std::string>().empty()) {
      return Usage(std::string(name) + " needs a file name");
    }
  }
  if (options.videos.empty()) return Usage("no video given");
  // The table is tab-separated, one line a frame: a name that holds a tab or
  // a line break would shift or split its columns.
  for (const std::string& video : options.videos) {
    if (video.find_first_of("\t\n\r") != std::string::npos) {
      return Usage("the video name '" + video +
                   "' holds a tab or a line break, which the table's video column cannot");
    }
  }
  if ((!options.sweep.empty() || !options.plot.empty()) && options.truth.empty()) {
    return Usage("--sweep and --plot need --truth");
  }
  // An output that is one of the inputs (by name, link or hard link) would
  // destroy it: that is refused before anything runs.
  std::vector<std::string> outputs, inputs, outputOptions, inputOptions;
  auto add = [](std::vector<std::string>& names, std::vector<std::string>& labels,
                const std::string& name, const std::string& label) {
    if (name.empty()) return;
    names.push_back(name);
    labels.push_back(label);
  };
  add(outputs, outputOptions, options.sweep, "--sweep");
  add(outputs, outputOptions, options.plot, "--plot");
  add(outputs, outputOptions, options.report, "--report");
  add(inputs, inputOptions, options.places, "--places");
  add(inputs, inputOptions, options.truth, "--truth");
  for (const std::string& video : options.videos) add(inputs, inputOptions, video, "the video");
  for (const OutputInput& pair : OutputsThatAreInputs(outputs, inputs)) {
    return Usage(outputOptions[pair.output] + " " + outputs[pair.output] + " is " +
                 inputOptions[pair.input] + " " + inputs[pair.input] +
                 ": an output may not overwrite an input");
  }
  for (size_t i = 0; i < outputs.size(); ++i) {
    for (size_t j = i + 1; j < outputs.size(); ++j) {
      if (outputs[i] == outputs[j] || SameFile(outputs[i], outputs[j])) {
        return Usage(outputOptions[i] + " and " + outputOptions[j] + " name the same file " +
                     outputs[i]);
      }
    }
  }
  return -1;
}

// The counts of one video or of the whole run.
struct Tally {
  long long frames = 0;
  long long recognised = 0;
  long long recorded = 0;
  long long blank = 0;  // too few detections
  long long held = 0;   // a match not yet confirmed
};

void PrintTally(const char* what, const Tally& tally, double seconds) {
  std::fprintf(stderr,
               "Placetrace: %s: %lld frames, %lld locations recorded, %lld frames recognised, "
               "%.1f frames per second\n",
               what, tally.frames, tally.recorded, tally.recognised,
               seconds > 0 ? tally.frames / seconds : 0.0);
}

// What a run is evaluated with; each part may be absent.
struct Evaluations {
  const GroundTruth* truth = nullptr;
  RunEvaluation* run = nullptr;
  ThresholdSweep* sweep = nullptr;
  RankedRecall* ranked = nullptr;
};

// What the run keeps of the frames themselves: the picture of each place it
// records (when a map file or the report will show them) and the report's
// sample.
struct Pictures {
  bool ofPlaces = false;
  RunReport* report = nullptr;
};

// The line of one frame.
void AppendOptional(std::string& line, const std::optional<uint32_t>& value) {
  line += '\t';
  if (value) {
    line += std::to_string(*value);
  } else {
    line += '-';
  }
}

void FormatLine(const std::string& video, long long frame, double positionMs,
                const AnalyzedFrame& analyzed, const Recognition& found, std::string& line) {
  line = video;
  line += '\t';
  line += std::to_string(frame);
  line += '\t';
  line += std::to_string(PositionMilliseconds(positionMs));
  line += '\t';
  line += std::to_string(analyzed.detectionCount());
  line += '\t';
  line += std::to_string(analyzed.frameString.RunCount());
  AppendOptional(line, found.location);
  AppendOptional(line, found.newLocation);
  line += '\t';
  if (found.similarity) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", *found.similarity);
    line += text;
  } else {
    line += '-';
  }
  line += '\t';
  const std::string& ids = analyzed.identifierLine;
  line.append(ids, 0, ids.empty() ? 0 : ids.size() - 1);
  line += '\n';
}

// The column top: "location:similarity" of each ranked place, best first,
// comma-separated; "-" for none. Replaces the line's newline.
void AppendTop(const std::vector<RankedPlace>& ranked, std::string& line) {
  line.back() = '\t';
  if (ranked.empty()) line += '-';
  for (size_t i = 0; i < ranked.size(); ++i) {
    char text[48];
    std::snprintf(text, sizeof text, "%s%u:%.6f", i > 0 ? "," : "", ranked[i].location,
                  ranked[i].similarity);
    line += text;
  }
  line += '\n';
}

// Reads every frame of one video (at most `limit`) into `places`, with
// `threads` threads, printing a line per frame. Returns false when the video
// cannot be read at all or a frame cannot be processed, after saying so;
// `stop` is then set when the run cannot go on.
bool TraceVideo(const std::string& video, const Options& options, int threads, PlaceMap& places,
                const Evaluations& evaluations, const Pictures& pictures, Tally& tally, bool& full,
                bool& stop) {
  VideoSource source;
  // FFmpeg reads every container the programs are meant for; other back ends
  // print to the console when they are handed what is no video.
  if (!source.OpenFile(video, cv::CAP_FFMPEG)) {
    std::fprintf(stderr, "Placetrace: cannot open %s as a video; going on without it\n",
                 video.c_str());
    return false;
  }
  // The same start-up seek as Placefinder, so both see the same frames.
  source.StartupSeek();
  const double reported = source.Get(cv::CAP_PROP_FRAME_COUNT);
  const long long claimed =
      reported >= 1 && reported < 1e12 ? static_cast<long long>(reported) : 0;
  long long total = claimed;
  const long long limit = options.limit;
  if (limit > 0 && (total == 0 || limit < total)) total = limit;

  const bool progress = isatty(STDERR_FILENO) != 0;
  const auto start = std::chrono::steady_clock::now();
  long long read = 0;
  long long frames = 0;
  std::string line;
  std::vector<RankedPlace> ranked;
  // The ranking the column shows, and at least the best place for recall@1.
  const size_t rank =
      evaluations.ranked != nullptr ? std::max<size_t>(options.top, 1) : options.top;
  const GroundTruth::VideoPlaces* truePlaces =
      evaluations.truth != nullptr ? evaluations.truth->PlacesOf(video) : nullptr;
  auto readFrame = [&](cv::Mat& frame, double& positionMs) {
    if (limit >= 0 && read >= limit) return false;
    if (!source.Read(frame)) return false;
    positionMs = source.Get(cv::CAP_PROP_POS_MSEC);
    ++read;
    return true;
  };
  if (pictures.report != nullptr) pictures.report->BeginVideo(video);
  auto consume = [&](const AnalyzedFrame& analyzed, double positionMs, const cv::Mat& frame) {
    const Recognition found = places.Recognise(analyzed.frameString, video, frames);
    if (found.newLocation && pictures.ofPlaces) {
      std::string why;
      places.SetThumbnail(*found.newLocation, EncodePicture(SmallPicture(frame)), &why);
    }
    FormatLine(video, frames, positionMs, analyzed, found, line);
    if (rank > 0) places.Rank(analyzed.frameString, rank, &ranked);
    if (options.top > 0) AppendTop(ranked, line);
    std::fputs(line.c_str(), stdout);
    const int32_t place = GroundTruth::PlaceIn(truePlaces, frames);
    if (evaluations.ranked != nullptr) evaluations.ranked->Count(place, ranked);
    bool falsePositive = false;
    if (evaluations.run != nullptr) {
      const int64_t wrong = evaluations.run->counts().fp;
      evaluations.run->Count(place, found);
      falsePositive = evaluations.run->counts().fp > wrong;
    }
    if (pictures.report != nullptr) pictures.report->Count(found, frames, frame, falsePositive);
    if (evaluations.sweep != nullptr) {
      evaluations.sweep->Count(analyzed.frameString, video, frames, place);
    }
    if (found.location) ++tally.recognised;
    if (found.newLocation) ++tally.recorded;
    if (found.blank) ++tally.blank;
    if (found.held) ++tally.held;
    if (found.full && !full) {
      full = true;
      std::fprintf(stderr,
                   "Placetrace: every location index is in use; frames of new places are no "
                   "longer recorded (from frame %lld of %s on)\n",
                   frames, video.c_str());
    }
    ++frames;
    if (progress && frames % 10 == 0) {
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      std::fprintf(stderr, "\r%s: frame %lld of %lld, %.1f frames per second ", video.c_str(),
                   frames, total, frames / seconds);
    }
  };
  try {
    FramePipeline::RunWithFrames(threads, readFrame, consume, places.width(), places.cells());
  } catch (const cv::Exception& e) {
    if (progress) std::fputs("\r\033[K", stderr);
    std::fprintf(stderr, "Placetrace: cannot process frame %lld of %s: %s\n", frames,
                 video.c_str(), e.what());
    tally.frames = frames;
    stop = true;
    return false;
  }
  if (progress) std::fputs("\r\033[K", stderr);
  tally.frames = frames;
  if (frames == 0) {
    std::fprintf(stderr, "Placetrace: no frame could be read from %s; going on without it\n",
                 video.c_str());
    return false;
  }
  // A file cut short or damaged ends early without an error from the decoder;
  // its header still tells how many frames it was meant to hold.
  if (frames < claimed && (limit < 0 || frames < limit)) {
    std::fprintf(stderr, "Placetrace: %s: %lld frames could be decoded of the %lld its header claims\n",
                 video.c_str(), frames, claimed);
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
  // Each output is written whole or not at all: a failed write leaves what
  // the name held before.
  std::string error;
  if (!options.sweep.empty() && !ReplaceFile(options.sweep, SweepTable(*sweep), &error)) {
    std::fprintf(stderr, "Placetrace: the sweep %s %s\n", options.sweep.c_str(), error.c_str());
    written = false;
  }
  if (!options.plot.empty()) {
    std::vector<uchar> png;
    bool encoded = false;
    try {
      encoded = cv::imencode(".png",
                             PrCurvePlot::Draw(sweep->Points(), threshold,
                                               "precision-recall, thresholds 0.30-0.99"),
                             png);
    } catch (const cv::Exception&) {
      encoded = false;
    }
    if (!encoded) {
      std::fprintf(stderr, "Placetrace: the plot %s cannot be drawn\n", options.plot.c_str());
      written = false;
    } else if (!ReplaceFile(options.plot, std::string(png.begin(), png.end()), &error)) {
      std::fprintf(stderr, "Placetrace: the plot %s %s\n", options.plot.c_str(), error.c_str());
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
  if (!options.truth.empty()) {
    std::string error;
    if (!truth.Load(options.truth, &error)) {
      std::fprintf(stderr, "Placetrace: the truth file %s %s\n", options.truth.c_str(),
                   error.c_str());
      return 2;
    }
  }

  // The map is opened, locked and read in full before the first frame, so
  // that a map that cannot be used costs no work and stays as it was.
  PlaceMap places(options.recognition);
  const bool query = options.recognition.query;
  if (!options.places.empty()) {
    std::string error;
    switch (places.Open(options.places, options.thresholdGiven, /*mayCreate=*/!query, &error,
                        options.widthGiven, options.cellsGiven)) {
      case PlaceMap::OpenResult::kOpened:
        break;
      case PlaceMap::OpenResult::kFailed:
        std::fprintf(stderr, "Placetrace: the place map %s %s\n", options.places.c_str(),
                     error.c_str());
        return 1;
      case PlaceMap::OpenResult::kOtherThreshold:
        std::fprintf(stderr,
                     "Placetrace: the place map %s was made with the threshold %g, not %g (leave "
                     "out --threshold to use the map's)\n",
                     options.places.c_str(), places.fileThreshold(), options.recognition.threshold);
        return 1;
      case PlaceMap::OpenResult::kOtherWidth:
        std::fprintf(stderr,
                     "Placetrace: the place map %s was made with frames %s, not %d pixels wide "
                     "(leave out --width to use the map's)\n",
                     options.places.c_str(),
                     places.fileWidth() == 0
                         ? "as they came"
                         : (std::to_string(places.fileWidth()) + " pixels wide").c_str(),
                     options.recognition.width);
        return 1;
      case PlaceMap::OpenResult::kOtherCells:
        std::fprintf(stderr,
                     "Placetrace: the place map %s was made with boxes counted %s, not over a "
                     "%d x %d grid (leave out --cells to use the map's)\n",
                     options.places.c_str(),
                     places.fileCells() == 1
                         ? "over the whole frame"
                         : ("over a " + std::to_string(places.fileCells()) + " x " +
                            std::to_string(places.fileCells()) + " grid")
                               .c_str(),
                     options.recognition.cells, options.recognition.cells);
        return 1;
    }
    // A map that is only searched is read whole and let go at once.
    if (query) places.Release();
  }

  std::optional<RunEvaluation> run;
  std::optional<ThresholdSweep> sweep;
  std::optional<RankedRecall> ranked;
  Evaluations evaluations;
  if (!options.truth.empty()) {
    evaluations.truth = &truth;
    run.emplace(truth);
    run->MarkSeen(places.origins());
    evaluations.run = &*run;
  }
  // The report draws the sweep's curve when there is a truth.
  const bool sweepAsked = !options.sweep.empty() || !options.plot.empty();
  if (sweepAsked || (!options.report.empty() && !options.truth.empty())) {
    // Every threshold starts from the map as it was loaded.
    sweep.emplace(truth, options.places.empty() ? nullptr : &places, options.recognition);
    evaluations.sweep = &*sweep;
  }
  if (query && !options.truth.empty()) {
    ranked.emplace(truth, places.origins());
    evaluations.ranked = &*ranked;
  }

  const int threads = options.threads > 0 ? options.threads : FramePipeline::UsableCores();
  // The pipeline's own threads use the cores; OpenCV's pool on top of them
  // would only contend for them.
  if (threads > 1) cv::setNumThreads(1);
  if (options.top > 0) {
    std::string header(kHeader);
    header.back() = '\t';
    std::fputs((header + "top\n").c_str(), stdout);
  } else {
    std::fputs(kHeader, stdout);
  }

  std::optional<RunReport> report;
  Pictures pictures;
  pictures.ofPlaces = (!options.places.empty() && !query) || !options.report.empty();
  if (!options.report.empty()) {
    report.emplace();
    pictures.report = &*report;
  }
  const std::time_t startedAt = std::time(nullptr);
  const auto start = std::chrono::steady_clock::now();
  Tally total;
  bool failed = false;
  bool full = false;
  bool stop = false;
  for (const std::string& video : options.videos) {
    const auto videoStart = std::chrono::steady_clock::now();
    Tally tally;
    if (!TraceVideo(video, options, threads, places, evaluations, pictures, tally, full, stop)) {
      failed = true;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - videoStart).count();
    std::fflush(stdout);
    if (tally.frames > 0) PrintTally(video.c_str(), tally, seconds);
    total.frames += tally.frames;
    total.recognised += tally.recognised;
    total.recorded += tally.recorded;
    total.blank += tally.blank;
    total.held += tally.held;
    if (stop) break;
  }
  std::fflush(stdout);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  PrintTally("total", total, seconds);
  if (total.blank > 0 || total.held > 0) {
    std::fprintf(stderr,
                 "Placetrace: %lld frames with too few detections, %lld frames held for "
                 "agreement\n",
                 total.blank, total.held);
  }
  if (run && !WriteEvaluation(options, *run, sweep && sweepAsked ? &*sweep : nullptr,
                              places.threshold())) {
    failed = true;
  }
  if (ranked) std::fprintf(stderr, "%s\n", ranked->Line(std::max<size_t>(options.top, 1)).c_str());

  if (report) {
    RunSummary summary;
    for (int i = 1; i < argc; ++i) {
      if (i > 1) summary.commandLine += ' ';
      summary.commandLine += argv[i];
    }
    char when[64];
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S %Z", std::localtime(&startedAt));
    summary.startedAt = when;
    summary.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    summary.frames = total.frames;
    summary.recorded = total.recorded;
    summary.recognised = total.recognised;
    summary.threshold = places.threshold();
    summary.width = places.width();
    summary.cells = places.cells();
    summary.placesFile = options.places;
    if (run) summary.evaluation = run->counts().Line();
    if (sweep) summary.curve = sweep->Points();
    std::string error;
    if (!ReplaceFile(options.report, report->Page(places, summary), &error)) {
      std::fprintf(stderr, "Placetrace: the report %s %s\n", options.report.c_str(), error.c_str());
      failed = true;
    }
  }

  if (query) {
    std::fprintf(stderr, "Placetrace: the place map %s was only searched (%zu places)\n",
                 options.places.c_str(), places.size());
  } else if (!options.places.empty()) {
    std::string error;
    if (!places.Save(&error)) {
      std::fprintf(stderr, "Placetrace: the place map %s %s; the map itself is left as it was\n",
                   options.places.c_str(), error.c_str());
      return 1;
    }
    std::fprintf(stderr,
                 "Placetrace: the place map %s holds %zu places (%zu loaded), location counter "
                 "%u\n",
                 options.places.c_str(), places.size(), places.loadedPlaces(),
                 places.locationCounter());
  }
  return failed || full ? 1 : 0;
}
