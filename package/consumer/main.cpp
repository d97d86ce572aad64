// Uses each installed library once and checks the answers it can know: a list
// built here, a string's similarity to itself, boxes on a synthetic frame, the
// same frame recognised the second time it is processed, and a video file that
// is not there refused.

#include <FrameProcessor.h>
#include <LocationDetector.h>
#include <MatchSimilar.h>
#include <VideoSource.h>
#include <iList.h>
#include <iMarkrun.h>

#include <cstdio>
#include <opencv2/core.hpp>

int main() {
  int failures = 0;
  auto check = [&](bool ok, const char* what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok) ++failures;
  };

  iList<int> list;
  for (int i = 0; i < 3; ++i) list.AddTail(i);
  check(list.count == 3 && list.tail->value == 2, "containers: iList");

  // A dark frame with bright squares, which the detector reports.
  cv::Mat frame(240, 320, CV_8UC1, cv::Scalar(20));
  for (int y = 20; y < 220; y += 50) {
    for (int x = 20; x < 300; x += 70) frame(cv::Rect(x, y, 24, 24)).setTo(230);
  }
  LocationDetector detector;
  iList<Detection> boxes = detector.DetectAllShapes(frame);
  check(boxes.count > 0, "detect: boxes found on a synthetic frame");

  iMarkrun<int16_t> string;
  string.SetIds(boxes, false);
  check(string.RunCount() > 0 && Similarity(string, string) == 1.0, "identifiers: similarity");

  FrameProcessor processor(/*annotate=*/false);
  const bool recorded = processor.Process(frame).newLocation == 0u;
  const FrameResult& again = processor.Process(frame);
  check(recorded && again.location == 0u && again.similarity == 1.0,
        "frame: a frame seen before is recognised");

  VideoSource source;
  check(!source.OpenFile("no such video.avi", cv::CAP_FFMPEG),
        "frame: a missing video does not open");
  return failures == 0 ? 0 : 1;
}
