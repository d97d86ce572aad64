// Uses each installed library once and checks the answers it can know: a list
// built here, a string's similarity to itself, boxes on a synthetic frame, the
// same frame recognised the second time it is analyzed, and a video file that
// is not there refused. It also has types of its own named like the
// library's, which the library's namespace keeps apart.

#include <placefinder/FrameAnalyzer.h>
#include <placefinder/LocationDetector.h>
#include <placefinder/MatchSimilar.h>
#include <placefinder/PlaceMap.h>
#include <placefinder/VideoSource.h>
#include <placefinder/iList.h>
#include <placefinder/iMarkrun.h>

#include <cstdio>
#include <opencv2/core.hpp>

// A user's own types of the same names as the library's.
struct Detection {
  int x = 0;
};
class GroundTruth {};

int main() {
  int failures = 0;
  auto check = [&](bool ok, const char* what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok) ++failures;
  };

  placefinder::iList<int> list;
  for (int i = 0; i < 3; ++i) list.AddTail(i);
  check(list.count == 3 && list.tail->value == 2, "containers: iList");

  // A dark frame with bright squares, which the detector reports.
  cv::Mat frame(240, 320, CV_8UC1, cv::Scalar(20));
  for (int y = 20; y < 220; y += 50) {
    for (int x = 20; x < 300; x += 70) frame(cv::Rect(x, y, 24, 24)).setTo(230);
  }
  placefinder::LocationDetector detector;
  placefinder::iList<placefinder::Detection> boxes = detector.DetectAllShapes(frame);
  check(boxes.count > 0, "detect: boxes found on a synthetic frame");

  placefinder::iMarkrun<int16_t> string;
  string.SetIds(boxes, false);
  check(string.RunCount() > 0 && placefinder::Similarity(string, string) == 1.0,
        "identifiers: similarity");

  placefinder::FrameAnalyzer analyzer;
  placefinder::PlaceMap places;
  const bool recorded =
      places.Recognise(analyzer.Analyze(frame).frameString, "synthetic", 0).newLocation == 0u;
  const placefinder::Recognition again =
      places.Recognise(analyzer.Analyze(frame).frameString, "synthetic", 1);
  check(recorded && again.location == 0u && again.similarity == 1.0 && again.origin != nullptr &&
            again.origin->frame == 0,
        "frame and placemap: a frame seen before is recognised");

  placefinder::VideoSource source;
  check(!source.OpenFile("no such video.avi", cv::CAP_FFMPEG),
        "video: a missing video does not open");

  Detection mine;
  GroundTruth truth;
  (void)truth;
  check(mine.x == 0, "a user's own Detection and GroundTruth stand beside the library's");
  return failures == 0 ? 0 : 1;
}
