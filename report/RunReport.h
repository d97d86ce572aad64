// RunReport: Placetrace's report page, one self-contained HTML file that
// shows a person what a run found: the run, a timeline per video coloured by
// place, every place of the map with its picture, with a ground truth the
// evaluation, its precision-recall curve and the false positives side by
// side, and a sample of the matches side by side.
//
// The page needs nothing but itself: pictures are data: URIs, the style is
// inline and nothing runs. It stays small for a run of any length:
//   - a timeline is one image of at most kTimelineColumns columns; past that
//     many frames each column stands for a group of consecutive frames and
//     takes the colour of the place most of them show;
//   - each place's picture is in the page once (a style class), however often
//     it is shown; at most kMaxPlacePictures places (the most recognised) are
//     shown with their pictures, the others are listed in a table;
//   - of the recognised frames only the kSample least similar matches keep a
//     picture, and of the false positives the kSample least similar; a frame
//     gets a picture only when it enters a sample.
//
// The colour of a place is a fixed function of its location index
// (PlaceColour), the same everywhere on the page and in every run.
//
// Not thread-safe; fed on the thread that recognises, in frame order.

#ifndef REPORT_RUNREPORT_H_
#define REPORT_RUNREPORT_H_

#include <cstdint>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "PlaceMap.h"
#include "PrCurvePlot.h"

namespace placefinder {

// The colour of location `location` as red, green, blue: hues a golden ratio
// of the circle apart, so that indices close together look different.
cv::Vec3b PlaceColour(uint32_t location);

// What the page says about the run as a whole.
struct RunSummary {
  std::string commandLine;  // the program's arguments, as given
  std::string startedAt;    // local time, "2026-12-10 15:26:20"
  double seconds = 0;       // the run's wall time
  long long frames = 0;
  long long recorded = 0;
  long long recognised = 0;
  double threshold = 0;
  int32_t width = 0;
  int32_t cells = 1;  // the grid the boxes were counted over
  std::string placesFile;  // empty: no map file
  // With a ground truth: the evaluation line and the sweep's curve.
  std::string evaluation;
  std::vector<PrPoint> curve;
};

class RunReport {
 public:
  static constexpr size_t kSample = 48;
  static constexpr int kTimelineColumns = 1000;
  static constexpr int kTimelineHeight = 28;
  static constexpr size_t kMaxPlacePictures = 200;

  // The frames that follow are of `video`.
  void BeginVideo(const std::string& video);
  // Counts frame `frame` of the current video with what it was recognised or
  // recorded as; `picture` is the frame as read, shrunk only if the frame
  // enters a sample. `falsePositive`: the truth says the match is wrong.
  void Count(const Recognition& found, int64_t frame, const cv::Mat& picture, bool falsePositive);

  // The whole page, with the places `places` holds at the end of the run.
  std::string Page(const PlaceMap& places, const RunSummary& summary) const;

 private:
  struct Match {
    double similarity;
    int64_t order;  // the frame's place in the run: of equal similarities the earlier stays
    size_t video;
    int64_t frame;
    uint32_t location;
    std::string jpeg;
  };
  struct Video {
    std::string name;
    std::vector<int64_t> places;  // by frame: the place recognised or recorded, -1 none
  };
  // Keeps the kSample least similar matches, a max-heap by (similarity, order).
  struct Sample {
    std::vector<Match> heap;
    long long seen = 0;
    bool Wants(double similarity) const;
    void Add(Match match);
    std::vector<Match> Sorted() const;  // least similar first
  };

  std::string TimelinePng(const Video& video) const;

  std::vector<Video> videos_;
  std::unordered_map<uint32_t, long long> recognisedAs_;
  Sample matches_;
  Sample falsePositives_;
  int64_t order_ = 0;
};

}  // namespace placefinder

#endif  // REPORT_RUNREPORT_H_
