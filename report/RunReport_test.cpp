#include "RunReport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <opencv2/imgcodecs.hpp>
#include <random>
#include <regex>
#include <string>
#include <vector>

namespace placefinder {

namespace {

std::string FromBase64(const std::string& text) {
  std::string out;
  int bits = 0;
  uint32_t value = 0;
  for (const char c : text) {
    int v;
    if (c >= 'A' && c <= 'Z')
      v = c - 'A';
    else if (c >= 'a' && c <= 'z')
      v = c - 'a' + 26;
    else if (c >= '0' && c <= '9')
      v = c - '0' + 52;
    else if (c == '+')
      v = 62;
    else if (c == '/')
      v = 63;
    else
      break;
    value = value << 6 | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((value >> bits) & 0xFF);
    }
  }
  return out;
}

// The timeline image of `video` in `page`, decoded (BGR).
cv::Mat Timeline(const std::string& page, const std::string& video) {
  const std::string marker = "alt=\"timeline of " + video + "\" src=\"data:image/png;base64,";
  const size_t at = page.find(marker);
  if (at == std::string::npos) return cv::Mat();
  const std::string png = FromBase64(page.substr(at + marker.size()));
  return cv::imdecode(std::vector<uchar>(png.begin(), png.end()), cv::IMREAD_COLOR);
}

// The frame numbers of the pairs shown under `heading`, in page order.
std::vector<int64_t> PairedFrames(const std::string& page, const std::string& heading) {
  std::vector<int64_t> frames;
  size_t at = page.find(heading);
  if (at == std::string::npos) return frames;
  const size_t end = page.find("<h2>", at + 1);
  const std::string part = page.substr(at, end == std::string::npos ? std::string::npos : end - at);
  const std::regex pair("<br>frame ([0-9]+)<br>");
  for (auto it = std::sregex_iterator(part.begin(), part.end(), pair); it != std::sregex_iterator();
       ++it) {
    frames.push_back(std::stoll((*it)[1]));
  }
  return frames;
}

// Against plain models: the samples are the least similar matches (and
// false positives) of all, least similar first, of equal similarities the
// earlier; and each timeline column of a long video has the colour of the
// place most frames of its group show (of equal counts the first), grey for
// none.
TEST(RunReportTest, SamplesAndTimelinesAgreeWithPlainModels) {
  std::mt19937 rng(17);
  for (const int64_t frames : {int64_t{30}, int64_t{1000}, int64_t{2501}}) {
    SCOPED_TRACE(frames);
    RunReport report;
    report.BeginVideo("v.avi");
    const cv::Mat picture(48, 64, CV_8UC3, cv::Scalar(30, 90, 200));
    struct Seen {
      double similarity;
      int64_t frame;
    };
    std::vector<Seen> matches, wrong;
    std::vector<int64_t> places;
    for (int64_t f = 0; f < frames; ++f) {
      Recognition r;
      const int kind = static_cast<int>(rng() % 10);
      if (kind == 0) {
        r.newLocation = static_cast<uint32_t>(rng() % 6);
      } else if (kind > 1) {
        r.location = static_cast<uint32_t>(rng() % 6);
        // Few distinct values, so that ties are common.
        r.similarity = 0.67 + 0.01 * static_cast<double>(rng() % 20);
      }
      const bool falsePositive = r.location.has_value() && rng() % 4 == 0;
      report.Count(r, f, picture, falsePositive);
      places.push_back(r.newLocation ? int64_t{*r.newLocation}
                       : r.location  ? int64_t{*r.location}
                                     : int64_t{-1});
      if (r.location) matches.push_back({*r.similarity, f});
      if (falsePositive) wrong.push_back({*r.similarity, f});
    }
    PlaceMap map;
    RunSummary summary;
    summary.evaluation = "tp=0 fp=0 fn=0 tn=0 precision=nan recall=nan f1=nan";
    const std::string page = report.Page(map, summary);
    auto least = [](std::vector<Seen> seen) {
      std::stable_sort(seen.begin(), seen.end(),
                       [](const Seen& a, const Seen& b) { return a.similarity < b.similarity; });
      std::vector<int64_t> frames;
      for (size_t i = 0; i < std::min(seen.size(), RunReport::kSample); ++i) {
        frames.push_back(seen[i].frame);
      }
      return frames;
    };
    EXPECT_EQ(PairedFrames(page, "<h2>Matches"), least(matches));
    EXPECT_EQ(PairedFrames(page, "<h2>False positives"), least(wrong));

    const cv::Mat timeline = Timeline(page, "v.avi");
    ASSERT_FALSE(timeline.empty());
    const int64_t columns = std::min<int64_t>(frames, RunReport::kTimelineColumns);
    const int64_t group = (frames + columns - 1) / columns;
    const int step = std::max(1, RunReport::kTimelineColumns / static_cast<int>(columns));
    ASSERT_EQ(timeline.cols, columns * step);
    ASSERT_EQ(timeline.rows, RunReport::kTimelineHeight);
    int wrongColumns = 0;
    for (int64_t c = 0; c < columns; ++c) {
      std::map<int64_t, int> votes;
      int64_t best = -1;
      int most = 0;
      for (int64_t f = c * group; f < std::min(frames, (c + 1) * group); ++f) {
        if (++votes[places[f]] > most) {
          most = votes[places[f]];
          best = places[f];
        }
      }
      const cv::Vec3b rgb =
          best < 0 ? cv::Vec3b(0xd8, 0xd8, 0xd8) : PlaceColour(static_cast<uint32_t>(best));
      for (const int y : {0, RunReport::kTimelineHeight - 1}) {
        const cv::Vec3b bgr = timeline.at<cv::Vec3b>(y, static_cast<int>(c * step + step - 1));
        const bool differs = bgr != cv::Vec3b(rgb[2], rgb[1], rgb[0]);
        if (differs && wrongColumns < 6) {
          ADD_FAILURE() << "column " << c << " row " << y << ": " << bgr << ", expected place "
                        << best << " " << rgb;
        }
        wrongColumns += differs;
      }
    }
    EXPECT_EQ(wrongColumns, 0);
  }
}

// Distinct places close in index get colours far apart, and every colour is
// a fixed function of the index.
TEST(RunReportTest, PlaceColoursTellNeighbouringPlacesApart) {
  for (uint32_t a = 0; a < 200; ++a) {
    const cv::Vec3b x = PlaceColour(a), y = PlaceColour(a + 1);
    const int distance = std::abs(x[0] - y[0]) + std::abs(x[1] - y[1]) + std::abs(x[2] - y[2]);
    EXPECT_GT(distance, 100) << a;
    EXPECT_EQ(PlaceColour(a), x);
  }
}

}  // namespace

}  // namespace placefinder
