// BowBaseline: a bag-of-words place recogniser run on the revisit benchmark
// beside Placetrace, counted by the same rules against the same truth.
//
//   BowBaseline --truth FILE --map VIDEO [--map VIDEO]... [--vocabulary FILE]
//               [--threshold T] [--sweep FILE] [--query] [VIDEO...]
//
// Every frame is read as Placetrace reads it, grayed and flipped as it flips
// it, and described by 500 ORB features. Their descriptors are quantised to
// the nearest of 1,000 binary words learnt from the map recordings' features
// (k-majority, see BowVocabulary.h), and the frame becomes a TF-IDF vector
// (idf from the map recordings' frames), L1-normalised, compared by the L1
// score 1 - |v1 - v2|_1 / 2.
//
// Online (the default): the frames of the map recordings and then of the
// other videos, in the order given, go through one collection, as through
// Placetrace's: a frame whose best score over the stored places reaches the
// threshold (default 0.30) is recognised as that place (of equal scores, the
// place stored first), any other is stored as a new place. The run is counted
// at T ("evaluation: ...") and at every threshold 0.01, 0.02, ... 0.99, each
// with a collection of its own; --sweep FILE writes that table. Prints the
// best F1 and the recall at 100 % precision.
//
// --query: every frame of the map recordings is stored; the other videos'
// frames are searched and never stored. Prints recall@1, @5 and @10: the
// share of the query frames whose place is among the places of the 1, 5, 10
// best stored frames, of those query frames whose place a stored frame shows.
//
// Both print the time a frame takes: ORB (with graying and flipping),
// quantisation (with weighing) and search in the collection at T (or the
// database), measured on each frame; decoding is timed apart, and the sweep's
// other thresholds are not part of it.
//
// --vocabulary FILE caches the words: used when it was learnt from the same
// map recordings (by content) with the same settings, otherwise learnt and
// written there. A FILE that is not a vocabulary file is refused.
//
// A video that cannot be opened or decodes nothing is reported and skipped,
// and the run ends with status 1. Usage errors, and truth or vocabulary files
// that cannot be used, give status 2.

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <string>
#include <vector>

#include "BowProtocol.h"
#include "BowVector.h"
#include "BowVocabulary.h"
#include "GroundTruth.h"
#include "PlaceEvaluation.h"

namespace {

using namespace placefinder;

constexpr int kFeatures = 500;
constexpr int kWords = 1000;
constexpr int kIterations = 10;
constexpr uint64_t kSeed = 20261210;
constexpr double kDefaultThreshold = 0.30;

const char kUsage[] =
    "usage: BowBaseline --truth FILE --map VIDEO [--map VIDEO]... [--vocabulary FILE]\n"
    "                   [--threshold T] [--sweep FILE] [--query] [VIDEO...]\n";

struct Options {
  const char* truth = nullptr;
  const char* vocabulary = nullptr;
  const char* sweep = nullptr;
  double threshold = kDefaultThreshold;
  bool query = false;
  std::vector<std::string> maps;
  std::vector<std::string> videos;
};

int Usage(const std::string& problem) {
  std::fprintf(stderr, "BowBaseline: %s\n%s", problem.c_str(), kUsage);
  return 2;
}

// Returns -1 when the options are good, otherwise the exit status.
int ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc && argv[i + 1][0] != '\0';
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--query") {
      options->query = true;
    } else if (arg == "--truth" || arg == "--map" || arg == "--vocabulary" || arg == "--sweep" ||
               arg == "--threshold") {
      if (!hasValue) return Usage(arg + " needs a value");
      const char* value = argv[++i];
      if (arg == "--truth") {
        options->truth = value;
      } else if (arg == "--map") {
        options->maps.push_back(value);
      } else if (arg == "--vocabulary") {
        options->vocabulary = value;
      } else if (arg == "--sweep") {
        options->sweep = value;
      } else {
        char* end = nullptr;
        const double t = std::strtod(value, &end);
        if (*end != '\0' || !(t > 0 && t <= 1)) {
          return Usage(std::string("--threshold needs a number above 0 and at most 1, not ") +
                       value);
        }
        options->threshold = t;
      }
    } else if (!arg.empty() && arg[0] == '-') {
      return Usage("unknown option " + arg);
    } else {
      options->videos.push_back(arg);
    }
  }
  if (options->truth == nullptr) return Usage("--truth is needed");
  if (options->maps.empty()) return Usage("at least one --map is needed");
  if (options->query && options->sweep != nullptr) return Usage("--sweep is for the online run");
  if (options->query && options->videos.empty()) return Usage("--query needs videos to search");
  return -1;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Seconds spent per stage, over all frames.
struct StageTimes {
  double decode = 0;
  double orb = 0;
  double quantise = 0;
  double search = 0;
  int64_t frames = 0;    // described and quantised
  int64_t searches = 0;  // searched (in --query, the query frames only)
};

// Reads a video frame by frame as Placetrace does (the FFmpeg back end, else
// any; a seek to the end and back to the start first; when the first read
// after it fails, the file is reopened, which starts it at its first frame).
class FrameReader {
 public:
  bool Open(const std::string& name) {
    name_ = name;
    if (!OpenAny()) return false;
    capture_.set(cv::CAP_PROP_POS_AVI_RATIO, 1.0);
    capture_.set(cv::CAP_PROP_POS_AVI_RATIO, 0.0);
    first_ = true;
    return true;
  }

  bool Read(cv::Mat& frame) {
    const bool first = first_;
    first_ = false;
    if (ReadOnce(frame)) return true;
    if (!first) return false;
    capture_.release();
    return OpenAny() && ReadOnce(frame);
  }

 private:
  bool OpenAny() {
    try {
      return capture_.open(name_, cv::CAP_FFMPEG) || capture_.open(name_, cv::CAP_ANY);
    } catch (const cv::Exception&) {
      return false;
    }
  }
  bool ReadOnce(cv::Mat& frame) {
    try {
      return capture_.grab() && capture_.retrieve(frame) && !frame.empty();
    } catch (const cv::Exception&) {
      return false;
    }
  }

  cv::VideoCapture capture_;
  std::string name_;
  bool first_ = false;
};

// Grays and flips a frame as Placetrace's frame processor does, then
// describes it by ORB features.
class FrameDescriber {
 public:
  FrameDescriber() : orb_(cv::ORB::create(kFeatures)) {}

  const cv::Mat& Describe(const cv::Mat& frame) {
    switch (frame.channels()) {
      case 3:
        cv::cvtColor(frame, unflipped_, cv::COLOR_BGR2GRAY);
        break;
      case 4:
        cv::cvtColor(frame, unflipped_, cv::COLOR_BGRA2GRAY);
        break;
      default:
        frame.copyTo(unflipped_);
    }
    cv::flip(unflipped_, gray_, 0);
    orb_->detectAndCompute(gray_, cv::noArray(), keypoints_, descriptors_);
    return descriptors_;
  }

 private:
  cv::Ptr<cv::ORB> orb_;
  cv::Mat unflipped_;
  cv::Mat gray_;
  std::vector<cv::KeyPoint> keypoints_;
  cv::Mat descriptors_;
};

// Calls `each(descriptors, place)` for every frame of `video`, timing the
// decoding and the ORB features. False when the video cannot be read at all,
// after saying so.
template <typename Each>
bool ForEachFrame(const std::string& video, const GroundTruth& truth, FrameDescriber& describer,
                  StageTimes& times, Each each) {
  FrameReader reader;
  if (!reader.Open(video)) {
    std::fprintf(stderr, "BowBaseline: cannot open %s as a video; going on without it\n",
                 video.c_str());
    return false;
  }
  const GroundTruth::VideoPlaces* places = truth.PlacesOf(video);
  cv::Mat frame;
  int64_t frames = 0;
  for (;;) {
    auto start = std::chrono::steady_clock::now();
    if (!reader.Read(frame)) break;
    times.decode += Seconds(start);
    start = std::chrono::steady_clock::now();
    const cv::Mat& descriptors = describer.Describe(frame);
    times.orb += Seconds(start);
    each(descriptors, GroundTruth::PlaceIn(places, frames));
    ++frames;
  }
  times.frames += frames;
  if (frames == 0) {
    std::fprintf(stderr, "BowBaseline: no frame could be read from %s; going on without it\n",
                 video.c_str());
    return false;
  }
  std::fprintf(stderr, "BowBaseline: %s: %lld frames\n", video.c_str(),
               static_cast<long long>(frames));
  return true;
}

// 64-bit FNV-1a of a file's bytes; false when it cannot be read.
bool HashFile(const std::string& path, uint64_t* hash, uint64_t* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  uint64_t h = 14695981039346656037ull;
  uint64_t n = 0;
  char buffer[1 << 16];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    const std::streamsize got = in.gcount();
    for (std::streamsize i = 0; i < got; ++i) {
      h = (h ^ static_cast<unsigned char>(buffer[i])) * 1099511628211ull;
    }
    n += static_cast<uint64_t>(got);
  }
  if (in.bad()) return false;
  *hash = h;
  *bytes = n;
  return true;
}

// What the vocabulary is learnt from and how: a cache with another key is
// stale. The map recordings are named by content, in order, so that a video
// replaced under the same name is noticed and a copy under another name is
// not.
std::string VocabularyKey(const std::vector<std::string>& maps) {
  std::string key = "orb " + std::to_string(kFeatures) + ", k-majority " + std::to_string(kWords) +
                    " words, " + std::to_string(kIterations) + " rounds, seed " +
                    std::to_string(kSeed) + ", OpenCV " CV_VERSION;
  for (const std::string& map : maps) {
    uint64_t hash = 0;
    uint64_t bytes = 0;
    if (!HashFile(map, &hash, &bytes)) return std::string();
    char text[64];
    std::snprintf(text, sizeof text, "; %llu bytes fnv1a %016llx",
                  static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(hash));
    key += text;
  }
  return key;
}

// Loads the vocabulary from the cache or learns it; returns false (after
// saying why) when the cache file cannot be used.
bool MakeVocabulary(const Options& options, const std::vector<BinaryWord>& descriptors,
                    BowVocabulary* vocabulary) {
  const std::string key = VocabularyKey(options.maps);
  std::string error;
  if (options.vocabulary != nullptr && !key.empty()) {
    switch (vocabulary->Load(options.vocabulary, key, &error)) {
      case BowVocabulary::LoadResult::kLoaded:
        std::fprintf(stderr, "BowBaseline: vocabulary of %d words from %s\n", vocabulary->size(),
                     options.vocabulary);
        return true;
      case BowVocabulary::LoadResult::kRefused:
        std::fprintf(stderr, "BowBaseline: the vocabulary file %s %s; it is left as it was\n",
                     options.vocabulary, error.c_str());
        return false;
      case BowVocabulary::LoadResult::kStale:
        std::fprintf(stderr,
                     "BowBaseline: the vocabulary in %s was learnt from other "
                     "recordings or settings; learning it again\n",
                     options.vocabulary);
        break;
      case BowVocabulary::LoadResult::kMissing:
        break;
    }
  }
  if (descriptors.size() < static_cast<size_t>(kWords)) {
    std::fprintf(stderr,
                 "BowBaseline: the map recordings give %zu features, fewer than the %d words "
                 "to learn\n",
                 descriptors.size(), kWords);
    return false;
  }
  const auto start = std::chrono::steady_clock::now();
  *vocabulary = BowVocabulary::Learn(descriptors, kWords, kIterations, kSeed);
  std::fprintf(stderr, "BowBaseline: learnt %d words from %zu features in %.1f s\n",
               vocabulary->size(), descriptors.size(), Seconds(start));
  if (options.vocabulary != nullptr) {
    if (key.empty()) {
      std::fprintf(stderr,
                   "BowBaseline: a map recording cannot be read to key the cache; "
                   "%s is not written\n",
                   options.vocabulary);
    } else if (!vocabulary->Save(options.vocabulary, key, &error)) {
      // The words are still good for this run; only the cache is missing.
      std::fprintf(stderr, "BowBaseline: the vocabulary file %s %s\n", options.vocabulary,
                   error.c_str());
    }
  }
  return true;
}

void PrintTimes(const StageTimes& times) {
  const double n = times.frames > 0 ? static_cast<double>(times.frames) : 1.0;
  const double orb = times.orb / n * 1e3;
  const double quantise = times.quantise / n * 1e3;
  const double search =
      times.search / (times.searches > 0 ? static_cast<double>(times.searches) : 1.0) * 1e3;
  std::printf(
      "time a frame: %.3f ms (ORB %.3f, quantisation %.3f, search %.3f; decoding %.3f "
      "apart), mean over %lld frames (search: %lld)\n",
      orb + quantise + search, orb, quantise, search, times.decode / n * 1e3,
      static_cast<long long>(times.frames), static_cast<long long>(times.searches));
}

}  // namespace

int main(int argc, char** argv) {
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  Options options;
  const int status = ParseOptions(argc, argv, &options);
  if (status >= 0) return status;

  GroundTruth truth;
  std::string error;
  if (!truth.Load(options.truth, &error)) {
    std::fprintf(stderr, "BowBaseline: the truth file %s %s\n", options.truth, error.c_str());
    return 2;
  }

  bool allRead = true;
  StageTimes times;
  FrameDescriber describer;
  // The map recordings' frames are read first: their features teach the
  // vocabulary, which every frame's vector needs.
  std::vector<cv::Mat> mapDescriptors;
  std::vector<int32_t> mapPlaces;
  std::vector<BinaryWord> learning;
  for (const std::string& map : options.maps) {
    allRead &= ForEachFrame(map, truth, describer, times, [&](const cv::Mat& d, int32_t place) {
      mapDescriptors.push_back(d.clone());
      mapPlaces.push_back(place);
      AppendDescriptors(d, &learning);
    });
  }
  BowVocabulary vocabulary;
  if (!MakeVocabulary(options, learning, &vocabulary)) return 2;
  learning = std::vector<BinaryWord>();

  std::vector<std::vector<uint32_t>> mapWords(mapDescriptors.size());
  std::vector<double> mapQuantise(mapDescriptors.size());
  for (size_t f = 0; f < mapDescriptors.size(); ++f) {
    const auto start = std::chrono::steady_clock::now();
    vocabulary.Quantise(mapDescriptors[f], &mapWords[f]);
    mapQuantise[f] = Seconds(start);
  }
  mapDescriptors = std::vector<cv::Mat>();
  const TfIdf weights = TfIdf::Learn(mapWords, vocabulary.size());

  std::vector<uint32_t> counts;
  std::vector<uint32_t> words;
  BowVector vector;
  // Weighs a frame's words into `vector`, timed as part of quantisation.
  auto weigh = [&](const std::vector<uint32_t>& frameWords, double quantiseSeconds) {
    const auto start = std::chrono::steady_clock::now();
    weights.Weigh(frameWords, &counts, &vector);
    times.quantise += quantiseSeconds + Seconds(start);
  };
  auto quantise = [&](const cv::Mat& d) {
    const auto start = std::chrono::steady_clock::now();
    vocabulary.Quantise(d, &words);
    weigh(words, Seconds(start));
  };

  if (options.query) {
    QueryRecall recall(vocabulary.size());
    for (size_t f = 0; f < mapWords.size(); ++f) {
      weigh(mapWords[f], mapQuantise[f]);
      recall.Store(vector, mapPlaces[f]);
    }
    int64_t searched = 0;
    for (const std::string& video : options.videos) {
      allRead &= ForEachFrame(video, truth, describer, times, [&](const cv::Mat& d, int32_t place) {
        quantise(d);
        const auto start = std::chrono::steady_clock::now();
        recall.Search(vector, place);
        times.search += Seconds(start);
        ++times.searches;
        ++searched;
      });
    }
    std::printf(
        "query: %lld of %lld query frames counted (their place is stored), database of "
        "%zu frames\n",
        static_cast<long long>(recall.counted()), static_cast<long long>(searched),
        mapWords.size());
    std::printf("recall@1: %s recall@5: %s recall@10: %s\n", FormatRatio(recall.Recall(0)).c_str(),
                FormatRatio(recall.Recall(1)).c_str(), FormatRatio(recall.Recall(2)).c_str());
    PrintTimes(times);
    return allRead ? 0 : 1;
  }

  BowRecogniser recogniser(vocabulary.size(), options.threshold);
  BowSweep sweep(vocabulary.size(), BowSweep::Thresholds());
  auto recognise = [&](int32_t place) {
    const auto start = std::chrono::steady_clock::now();
    recogniser.Process(vector, place);
    times.search += Seconds(start);
    ++times.searches;
    sweep.Process(vector, place);
  };
  const auto sweepStart = std::chrono::steady_clock::now();
  for (size_t f = 0; f < mapWords.size(); ++f) {
    weigh(mapWords[f], mapQuantise[f]);
    recognise(mapPlaces[f]);
  }
  for (const std::string& video : options.videos) {
    allRead &= ForEachFrame(video, truth, describer, times, [&](const cv::Mat& d, int32_t place) {
      quantise(d);
      recognise(place);
    });
  }
  std::fprintf(stderr, "BowBaseline: %lld frames recognised in %.1f s with the sweep\n",
               static_cast<long long>(times.frames), Seconds(sweepStart));

  std::printf("evaluation: %s (threshold %.2f, %zu places stored)\n",
              recogniser.counts().Line().c_str(), options.threshold, recogniser.places());
  size_t best = 0;
  if (BestF1(sweep, &best)) {
    const EvaluationCounts& c = sweep.counts(best);
    std::printf("best f1: %s (threshold %.2f, precision %s, recall %s)\n",
                FormatRatio(c.F1()).c_str(), sweep.threshold(best),
                FormatRatio(c.Precision()).c_str(), FormatRatio(c.Recall()).c_str());
  } else {
    std::printf("best f1: none (no threshold counted a frame)\n");
  }
  double recall = 0;
  double at = 0;
  if (RecallAtFullPrecision(sweep, &recall, &at)) {
    std::printf("recall at 100%% precision: %s (threshold %.2f)\n", FormatRatio(recall).c_str(),
                at);
  } else {
    std::printf("recall at 100%% precision: none (no threshold reaches 100%% precision)\n");
  }
  PrintTimes(times);
  if (options.sweep != nullptr) {
    const std::string table = SweepTable(sweep);
    FILE* out = std::fopen(options.sweep, "wb");
    bool ok = out != nullptr && std::fwrite(table.data(), 1, table.size(), out) == table.size();
    if (out != nullptr && std::fclose(out) != 0) ok = false;
    if (!ok) {
      std::fprintf(stderr, "BowBaseline: cannot write the sweep to %s: %s\n", options.sweep,
                   std::strerror(errno));
      return 1;
    }
  }
  return allRead ? 0 : 1;
}
