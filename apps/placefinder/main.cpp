// Placefinder: plays an AVI file or a capture device, recognises places by the
// pattern of bright and dark boxes in each frame, and shows the annotated
// frames in the window "Result" (optionally writing them to "<name>_out.avi").
// Any key ends it. The per-frame work is FrameProcessor's; this file is the
// command line, the source, the window, the writer and the console.

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <optional>
#include <string>

#include "FrameProcessor.h"
#include "PlaybackPosition.h"
#include "VideoSource.h"

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

// The output video, and what this run did at its name.
struct Output {
  cv::VideoWriter writer;
  std::string name;
  bool created = false;  // nothing stood at `name` before this run
  long long framesWritten = 0;
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
  const auto open = [&](const std::string& name) {
    return Quietly([&] { return source.video.OpenFile(name, cv::CAP_FFMPEG); });
  };
  source.baseName = args.source.substr(0, args.avi);
  if (!open(args.source)) {
    if (args.given == args.source || !open(args.given)) {
      std::printf("Can't find file %s.avi\n", source.baseName.c_str());
      return false;
    }
    // Found under its own spelling: the output goes into the folder as it was
    // found, under the lower-cased file name. The two names differ only in
    // case, so ".avi" and the last '/' stand at the same places in both.
    const size_t folder = source.baseName.rfind('/') + 1;  // 0 when there is none
    source.baseName.replace(0, folder, args.given, 0, folder);
  }
  source.video.StartupSeek();
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

// Opens the writer at `name` with one codec; the back end's messages and
// exceptions are kept off the console.
bool TryWriter(cv::VideoWriter& writer, const std::string& name, int codec, double fps,
               cv::Size size) {
  return Quietly([&] {
    try {
      return writer.open(name, codec, fps, size, true);
    } catch (const cv::Exception&) {
      return false;
    }
  });
}

// Whether the run may write at `name`: where nothing stands, or over a
// regular file that is writable for the user and has a write permission bit
// (root may write any file, but a read-only one is somebody's to keep). A
// directory, a symlink that leads nowhere or to no regular file, or anything
// else is left alone.
bool MayWriteAt(const std::string& name, bool& absent) {
  struct stat st;
  absent = false;
  if (lstat(name.c_str(), &st) != 0) {
    absent = errno == ENOENT;
    return absent;
  }
  if (stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0 && access(name.c_str(), W_OK) == 0;
}

// Opens the output video: "cvid" first, then the back end's own choice (-1),
// then Motion-JPEG, which OpenCV's own AVI writer always supports. Says on
// standard error when the fallback was needed or nothing can be written.
void OpenOutput(const Source& source, Output& output) {
  output.name = source.baseName + "_out.avi";
  bool absent = false;
  bool opened = false;
  if (MayWriteAt(output.name, absent)) {
    for (const int codec : {cv::VideoWriter::fourcc('c', 'v', 'i', 'd'), -1}) {
      opened = TryWriter(output.writer, output.name, codec, source.fps, source.frameSize);
      if (opened) break;
    }
    if (!opened &&
        TryWriter(output.writer, output.name, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'),
                  source.fps, source.frameSize)) {
      opened = true;
      std::fprintf(stderr, "Warning: codec cvid is not available, writing %s with codec MJPG.\n",
                   output.name.c_str());
    }
  }
  // Only what this run put at the name may be taken away again.
  struct stat st;
  output.created = absent && lstat(output.name.c_str(), &st) == 0;
  if (!opened) {
    std::fprintf(stderr, "Warning: cannot write %s; frames are shown but not written.\n",
                 output.name.c_str());
  }
}

// Plays the source until a key is pressed (status 0) or it fails.
int RunLoop(Source& source, FrameProcessor& processor, Output& output, const Arguments& args) {
  int failedReads = 0;
  cv::Mat frame;
  cv::Mat resized;
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
      processor.Process(frame);
    } catch (const cv::Exception& e) {
      std::fprintf(stderr, "Cannot process a frame: %s\n", e.what());
      return kExitFailure;
    }
    const cv::Mat& image = processor.image();

    std::fputs(PositionLine(PositionMilliseconds(source.video.Get(cv::CAP_PROP_POS_MSEC))).c_str(),
               stdout);

    int key = -1;
    try {
      cv::imshow(kWindow, image);
      if (output.writer.isOpened()) {
        // Frames of another size than the first are scaled to the video's size.
        if (image.size() == source.frameSize) {
          output.writer.write(image);
        } else {
          cv::resize(image, resized, source.frameSize);
          output.writer.write(resized);
        }
        ++output.framesWritten;
      }
      key = cv::waitKey(kKeyWaitMs);
    } catch (const cv::Exception& e) {
      std::fprintf(stderr, "Window error: %s\n", e.what());
      return kExitFailure;
    }
    if (key >= 0) return 0;
  }
}

// Closes the output and the source. A run that wrote no frame leaves no empty
// video behind, but takes away only a file that it created itself.
void Teardown(Source& source, Output& output) {
  output.writer.release();
  struct stat st;
  if (output.created && output.framesWritten == 0 && lstat(output.name.c_str(), &st) == 0 &&
      S_ISREG(st.st_mode)) {
    std::remove(output.name.c_str());
  }
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

  // Teardown() releases the writer and the source; the processor's images and
  // detector (its known strings, then its sum matrix) go when main returns.
  FrameProcessor processor;

  if (!DisplayReachable()) {
    std::fprintf(stderr,
                 "No display: the window \"%s\" needs an X display (set DISPLAY, or run under "
                 "xvfb-run).\n",
                 kWindow);
    return kExitFailure;
  }

  Output output;
  if (args.write) OpenOutput(source, output);

  try {
    cv::namedWindow(kWindow, cv::WINDOW_AUTOSIZE);
  } catch (const cv::Exception& e) {
    std::fprintf(stderr, "Cannot create the window \"%s\": %s\n", kWindow, e.what());
    Teardown(source, output);
    return kExitFailure;
  }

  const int status = RunLoop(source, processor, output, args);
  Teardown(source, output);
  return status;
}
