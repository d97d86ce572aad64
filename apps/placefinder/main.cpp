// Placefinder: plays an AVI file or a capture device, recognises places by the
// pattern of bright and dark boxes in each frame, and shows the annotated
// frames in the window "Result" (optionally writing them to "<name>_out.avi").
// Any key ends it. The per-frame work is the library's (FrameAnalyzer,
// PlaceMap, FrameAnnotator); this file is the command line, the window, the
// console and the loop.

#include <dlfcn.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/videoio.hpp>
#include <optional>
#include <string>

#include "FrameAnalyzer.h"
#include "FrameAnnotator.h"
#include "OutputVideo.h"
#include "PlaceMap.h"
#include "PlayFile.h"
#include "PlaybackPosition.h"
#include "Quietly.h"
#include "VideoSource.h"

namespace {

using namespace placefinder;

constexpr int kExitFailure = -1;
// Consecutive failed grabs, each followed by a rewind, after which the source
// is given up: a file reaches its end once per round, so only a source that
// delivers nothing at all gets this far.
constexpr int kMaxGrabFailures = 100;
constexpr int kKeyWaitMs = 10;
const char kWindow[] = "Result";

void PrintHelp() {
  std::fputs(
      "\n\n=== Place finding help ===\n\n"
      "Placefinder.exe [file.avi | 0..9] [/w ]\n"
      " 0..9 - capture device number\n"
      " /w   - write result in file_out.avi\n",
      stdout);
}

// True when an X display can be reached. The window toolkit aborts the whole
// process when it cannot connect, so this is asked before any window call.
bool DisplayReachable() {
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') return false;
  void* x11 = dlopen("libX11.so.6", RTLD_LAZY | RTLD_LOCAL);
  if (x11 == nullptr) return true;  // cannot ask; leave it to the toolkit
  using OpenFn = void* (*)(const char*);
  using CloseFn = int (*)(void*);
  auto open_display = reinterpret_cast<OpenFn>(dlsym(x11, "XOpenDisplay"));
  auto close_display = reinterpret_cast<CloseFn>(dlsym(x11, "XCloseDisplay"));
  bool reachable = true;
  if (open_display != nullptr && close_display != nullptr) {
    void* connection = open_display(nullptr);
    reachable = connection != nullptr;
    if (connection != nullptr) close_display(connection);
  }
  dlclose(x11);
  return reachable;
}

// What the command line asks for.
struct Arguments {
  std::string given;   // the first argument as given
  std::string source;  // the first argument lower-cased
  bool device = false;
  size_t avi = std::string::npos;  // where ".avi" begins in `source`
  bool write = false;
};

// The opened source and what it tells about its frames.
struct Source {
  VideoSource video;
  std::string baseName;  // the output video's name up to "_out.avi"
  double fps = 12.0;
  cv::Size frameSize;
};

// Lower-cases A to Z only, as the program always has.
void LowerCase(std::string& text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
}

// Reads the command line. Returns the exit status when the program ends here
// (help, or a name that is no AVI file).
std::optional<int> ParseArguments(int argc, char** argv, Arguments& args) {
  if (argc < 2 || (argc == 2 && std::strstr(argv[1], "/?") != nullptr)) {
    PrintHelp();
    return 0;
  }
  // The first argument is lower-cased whole, directory included. File names
  // on this system are case-sensitive, so the name as given is kept too: it
  // is tried when the lower-cased one does not open.
  args.given = argv[1];
  args.source = args.given;
  LowerCase(args.source);
  args.device = std::isdigit(static_cast<unsigned char>(args.source[0])) != 0;
  args.avi = args.source.find(".avi");
  if (args.avi == std::string::npos && !args.device) {
    std::printf("AVI files are processing only!\n\n");
    return kExitFailure;
  }
  std::string switches;
  for (int i = 2; i < argc; ++i) switches += argv[i];
  args.write = switches.find("/w") != std::string::npos;
  return std::nullopt;
}

bool OpenDevice(const Arguments& args, Source& source) {
  std::printf("Processing capture...\n");
  std::fflush(stdout);
  const int number = args.source[0] - '0';
  if (!Quietly([&] { return source.video.OpenDevice(number, cv::CAP_V4L2); })) {
    std::fprintf(stderr, "Could not initialize capturing...\n");
    return false;
  }
  // The first frame tells the size and is not shown.
  cv::Mat first;
  if (!source.video.Read(first)) {
    std::fprintf(stderr, "Capture device %d delivered no frame.\n", number);
    return false;
  }
  source.frameSize = first.size();
  return true;
}

bool OpenFile(const Arguments& args, Source& source) {
  std::printf("Processing avi file...\n");
  std::fflush(stdout);
  if (!OpenPlayFile(source.video, args.given, args.source, args.avi, &source.baseName)) {
    std::printf("Can't find file %s.avi\n", source.baseName.c_str());
    return false;
  }
  const double w = source.video.Get(cv::CAP_PROP_FRAME_WIDTH);
  const double h = source.video.Get(cv::CAP_PROP_FRAME_HEIGHT);
  const int32_t width = w >= 1 && w < 1e6 ? static_cast<int32_t>(w) : 0;
  const int32_t height = h >= 1 && h < 1e6 ? static_cast<int32_t>(h) : 0;
  source.fps = source.video.Get(cv::CAP_PROP_FPS);
  if (width <= 0 || height <= 0) {
    std::fprintf(stderr, "The file %s reports no frame size; it cannot be played.\n",
                 args.source.c_str());
    return false;
  }
  source.frameSize = cv::Size(width, height);
  return true;
}

// Opens the output video, saying on standard error when it takes the
// fallback codec or cannot be written.
void OpenOutput(const Source& source, OutputVideo& output) {
  std::string warning;
  output.Open(source.baseName + "_out.avi", source.fps, source.frameSize, &warning);
  if (!warning.empty()) std::fprintf(stderr, "%s\n", warning.c_str());
}

// Plays the source until a key is pressed (status 0) or it fails.
int RunLoop(Source& source, OutputVideo& output, const Arguments& args) {
  // The analysis, what the program remembers, and the drawing, for the run.
  FrameAnalyzer analyzer;
  PlaceMap places;
  FrameAnnotator annotator;
  int64_t shown = 0;
  int failedReads = 0;
  cv::Mat frame;
  cv::Mat image;
  for (;;) {
    if (!source.video.Read(frame)) {
      // The end of a file: play it again from the start.
      source.video.Rewind();
      if (++failedReads >= kMaxGrabFailures) {
        std::fprintf(stderr, "No frame could be read from %s; giving up.\n", args.source.c_str());
        return kExitFailure;
      }
      // Only a source that keeps failing gets here twice in a row; keys stay
      // live while it is retried.
      if (failedReads > 1 && cv::waitKey(kKeyWaitMs) >= 0) return 0;
      continue;
    }
    failedReads = 0;

    try {
      const AnalyzedFrame& analyzed = analyzer.Analyze(frame, &image);
      const Recognition found = places.Recognise(analyzed.frameString, args.source, shown++);
      annotator.Draw(image, analyzed.detections, analyzed.identifierLine, found.location);
    } catch (const cv::Exception& e) {
      std::fprintf(stderr, "Cannot process a frame: %s\n", e.what());
      return kExitFailure;
    }

    std::fputs(PositionLine(PositionMilliseconds(source.video.Get(cv::CAP_PROP_POS_MSEC))).c_str(),
               stdout);

    int key = -1;
    try {
      cv::imshow(kWindow, image);
      // Frames of another size than the first are scaled to the video's size.
      if (output.isOpened()) output.Write(image);
      key = cv::waitKey(kKeyWaitMs);
    } catch (const cv::Exception& e) {
      std::fprintf(stderr, "Window error: %s\n", e.what());
      return kExitFailure;
    }
    if (key >= 0) return 0;
  }
}

// Closes the output, saying when it could not be written completely, and
// the source.
void Teardown(Source& source, OutputVideo& output) {
  std::string problem;
  if (!output.Close(&problem)) std::fprintf(stderr, "%s\n", problem.c_str());
  source.video.Release();
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  // Only the program's own messages reach the console: OpenCV's log and the
  // window toolkit's warnings (about its runtime directory, for instance) are
  // silenced unless the user asked for toolkit logging.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  setenv("OPENCV_FFMPEG_LOGLEVEL", "-8", 0);  // the decoder's own messages too
  setenv("QT_LOGGING_RULES", "*.debug=false;*.info=false;*.warning=false", 0);

  Arguments args;
  if (const std::optional<int> status = ParseArguments(argc, argv, args)) return *status;

  Source source;
  if (!(args.device ? OpenDevice(args, source) : OpenFile(args, source))) return kExitFailure;

  if (!DisplayReachable()) {
    std::fprintf(stderr,
                 "No display: the window \"%s\" needs an X display (set DISPLAY, or run under "
                 "xvfb-run).\n",
                 kWindow);
    return kExitFailure;
  }

  OutputVideo output;
  if (args.write) OpenOutput(source, output);

  try {
    cv::namedWindow(kWindow, cv::WINDOW_AUTOSIZE);
  } catch (const cv::Exception& e) {
    std::fprintf(stderr, "Cannot create the window \"%s\": %s\n", kWindow, e.what());
    Teardown(source, output);
    return kExitFailure;
  }

  const int status = RunLoop(source, output, args);
  Teardown(source, output);
  return status;
}
