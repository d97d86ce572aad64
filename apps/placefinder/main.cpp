// Placefinder: plays an AVI file or a capture device, recognises places by the
// pattern of bright and dark boxes in each frame, and shows the annotated
// frames in the window "Result" (optionally writing them to "<name>_out.avi").
// Any key ends it. The per-frame work is FrameProcessor's; this file is the
// command line, the source, the window, the writer and the console.

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <string>

#include "FrameProcessor.h"
#include "PlaybackPosition.h"

namespace {

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

// Runs `f` with standard output and standard error sent to /dev/null, so
// that what the video back end prints while probing codecs (it lists every
// codec it knows for the codec code -1) does not reach the console.
template <typename F>
auto Quietly(F f) {
  std::fflush(stdout);
  std::fflush(stderr);
  const int savedOut = dup(STDOUT_FILENO);
  const int savedErr = dup(STDERR_FILENO);
  const int null = open("/dev/null", O_WRONLY);
  if (null >= 0) {
    if (savedOut >= 0) dup2(null, STDOUT_FILENO);
    if (savedErr >= 0) dup2(null, STDERR_FILENO);
    close(null);
  }
  struct Restore {
    int fd, saved;
    ~Restore() {
      if (saved >= 0) {
        dup2(saved, fd);
        close(saved);
      }
    }
  };
  Restore restoreOut{STDOUT_FILENO, savedOut};
  Restore restoreErr{STDERR_FILENO, savedErr};
  struct Flush {
    ~Flush() {
      std::fflush(stdout);
      std::fflush(stderr);
    }
  } flush;  // destroyed first: what was printed goes to /dev/null
  return f();
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

// Opens the output video: "cvid" first, then the back end's own choice (-1),
// then Motion-JPEG, which OpenCV's own AVI writer always supports. Says on
// standard error when the fallback was needed or nothing can be written.
void OpenWriter(cv::VideoWriter& writer, const std::string& name, double fps, cv::Size size) {
  const int codecs[] = {cv::VideoWriter::fourcc('c', 'v', 'i', 'd'), -1};
  for (const int codec : codecs) {
    const bool opened = Quietly([&] {
      try {
        return writer.open(name, codec, fps, size, true);
      } catch (const cv::Exception&) {
        return false;
      }
    });
    if (opened) return;
  }
  const bool opened = Quietly([&] {
    try {
      return writer.open(name, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), fps, size, true);
    } catch (const cv::Exception&) {
      return false;
    }
  });
  if (opened) {
    std::fprintf(stderr, "Warning: codec cvid is not available, writing %s with codec MJPG.\n",
                 name.c_str());
  } else {
    std::fprintf(stderr, "Warning: cannot write %s; frames are shown but not written.\n",
                 name.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Only the program's own messages reach the console: OpenCV's log and the
  // window toolkit's warnings (about its runtime directory, for instance) are
  // silenced unless the user asked for toolkit logging.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  setenv("OPENCV_FFMPEG_LOGLEVEL", "-8", 0);  // the decoder's own messages too
  setenv("QT_LOGGING_RULES", "*.debug=false;*.info=false;*.warning=false", 0);

  if (argc < 2 || (argc == 2 && std::strstr(argv[1], "/?") != nullptr)) {
    PrintHelp();
    return 0;
  }

  // The first argument is lower-cased whole (A to Z only), directory included.
  // File names on this system are case-sensitive, so the name as given is
  // kept too: it is tried when the lower-cased one does not open.
  const std::string given = argv[1];
  for (char* c = argv[1]; *c != '\0'; ++c) {
    if (*c >= 'A' && *c <= 'Z') *c = static_cast<char>(*c - 'A' + 'a');
  }
  const std::string source = argv[1];
  const bool device = std::isdigit(static_cast<unsigned char>(source[0])) != 0;
  const size_t avi = source.find(".avi");
  if (avi == std::string::npos && !device) {
    std::printf("AVI files are processing only!\n\n");
    return kExitFailure;
  }

  std::string switches;
  for (int i = 2; i < argc; ++i) switches += argv[i];
  const bool write = switches.find("/w") != std::string::npos;

  cv::VideoCapture capture;
  std::string baseName;
  double fps = 12.0;
  int32_t width = 0;
  int32_t height = 0;
  if (device) {
    std::printf("Processing capture...\n");
    std::fflush(stdout);
    const int number = source[0] - '0';
    const bool opened = Quietly([&] { return capture.open(number, cv::CAP_V4L2); });
    if (!opened) {
      std::fprintf(stderr, "Could not initialize capturing...\n");
      return kExitFailure;
    }
    // The first frame tells the size and is not shown.
    cv::Mat first;
    if (!capture.read(first) || first.empty()) {
      std::fprintf(stderr, "Capture device %d delivered no frame.\n", number);
      return kExitFailure;
    }
    width = first.cols;
    height = first.rows;
  } else {
    std::printf("Processing avi file...\n");
    std::fflush(stdout);
    baseName = source.substr(0, avi);
    auto open = [&](const std::string& name) {
      return Quietly([&] {
        try {
          return capture.open(name, cv::CAP_FFMPEG);
        } catch (const cv::Exception&) {
          return false;
        }
      });
    };
    if (!open(source)) {
      if (given == source || !open(given)) {
        std::printf("Can't find file %s.avi\n", baseName.c_str());
        return kExitFailure;
      }
      // Opened under its own name: the output goes beside it, under the same
      // spelling. The name differs from `source` only in case, so ".avi"
      // stands at the same place.
      baseName = given.substr(0, avi);
    }
    capture.set(cv::CAP_PROP_POS_AVI_RATIO, 1.0);
    capture.set(cv::CAP_PROP_POS_AVI_RATIO, 0.0);
    const double w = capture.get(cv::CAP_PROP_FRAME_WIDTH);
    const double h = capture.get(cv::CAP_PROP_FRAME_HEIGHT);
    width = w >= 1 && w < 1e6 ? static_cast<int32_t>(w) : 0;
    height = h >= 1 && h < 1e6 ? static_cast<int32_t>(h) : 0;
    fps = capture.get(cv::CAP_PROP_FPS);
    if (width <= 0 || height <= 0) {
      std::fprintf(stderr, "The file %s reports no frame size; it cannot be played.\n",
                   source.c_str());
      return kExitFailure;
    }
  }

  FrameProcessor processor;

  if (!DisplayReachable()) {
    std::fprintf(stderr,
                 "No display: the window \"%s\" needs an X display (set DISPLAY, or run under "
                 "xvfb-run).\n",
                 kWindow);
    return kExitFailure;
  }

  cv::VideoWriter writer;
  const cv::Size frameSize(width, height);
  const std::string outName = baseName + "_out.avi";
  long long framesWritten = 0;
  if (write) OpenWriter(writer, outName, fps, frameSize);

  try {
    cv::namedWindow(kWindow, cv::WINDOW_AUTOSIZE);
  } catch (const cv::Exception& e) {
    std::fprintf(stderr, "Cannot create the window \"%s\": %s\n", kWindow, e.what());
    return kExitFailure;
  }

  int status = 0;
  int failedGrabs = 0;
  cv::Mat frame;
  cv::Mat resized;
  for (;;) {
    if (!capture.grab() || !capture.retrieve(frame) || frame.empty()) {
      // The end of a file: play it again from the start.
      capture.set(cv::CAP_PROP_POS_MSEC, 0.0);
      if (++failedGrabs >= kMaxGrabFailures) {
        std::fprintf(stderr, "No frame could be read from %s; giving up.\n", source.c_str());
        status = kExitFailure;
        break;
      }
      // Only a source that keeps failing gets here twice in a row; keys stay
      // live while it is retried.
      if (failedGrabs > 1 && cv::waitKey(kKeyWaitMs) >= 0) break;
      continue;
    }
    failedGrabs = 0;

    try {
      processor.Process(frame);
    } catch (const cv::Exception& e) {
      std::fprintf(stderr, "Cannot process a frame: %s\n", e.what());
      status = kExitFailure;
      break;
    }
    const cv::Mat& image = processor.image();

    std::fputs(PositionLine(PositionMilliseconds(capture.get(cv::CAP_PROP_POS_MSEC))).c_str(),
               stdout);

    int key = -1;
    try {
      cv::imshow(kWindow, image);
      if (writer.isOpened()) {
        // Frames of another size than the first are scaled to the video's size.
        if (image.size() == frameSize) {
          writer.write(image);
        } else {
          cv::resize(image, resized, frameSize);
          writer.write(resized);
        }
        ++framesWritten;
      }
      key = cv::waitKey(kKeyWaitMs);
    } catch (const cv::Exception& e) {
      std::fprintf(stderr, "Window error: %s\n", e.what());
      status = kExitFailure;
      break;
    }
    if (key >= 0) break;
  }

  writer.release();
  // A source that gave no frame leaves no empty video behind.
  if (write && framesWritten == 0) std::remove(outName.c_str());
  capture.release();
  std::fflush(stdout);
  return status;
}
