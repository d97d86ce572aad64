#include "RunReport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <opencv2/imgcodecs.hpp>

#include "FramePicture.h"
#include "PlaceOrigins.h"
#include "Thumbnail.h"

namespace placefinder {

namespace {

// The border of every picture on the page, a colour nothing else has, so that
// a screenshot shows where the pictures are.
constexpr char kPictureBorder[] = "#1d2b53";
// Frames without a place in the timeline.
constexpr char kNoPlace[] = "#d8d8d8";
const cv::Vec3b kNoPlaceRgb(0xd8, 0xd8, 0xd8);

std::string Base64(const std::string& bytes) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const uint32_t v = static_cast<uint8_t>(bytes[i]) << 16 |
                       static_cast<uint8_t>(bytes[i + 1]) << 8 | static_cast<uint8_t>(bytes[i + 2]);
    out += kDigits[v >> 18];
    out += kDigits[(v >> 12) & 63];
    out += kDigits[(v >> 6) & 63];
    out += kDigits[v & 63];
  }
  if (i < bytes.size()) {
    uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    out += kDigits[v >> 18];
    out += kDigits[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? kDigits[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

// `text` as it can stand in HTML text or a quoted attribute.
std::string Escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string Hex(const cv::Vec3b& rgb) {
  char text[8];
  std::snprintf(text, sizeof text, "#%02x%02x%02x", rgb[0], rgb[1], rgb[2]);
  return text;
}

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// "1 frame recognised", "3 frames recognised".
std::string Recognised(long long frames) {
  return std::to_string(frames) + (frames == 1 ? " frame" : " frames") + " recognised";
}

std::string Png(const cv::Mat& image) {
  std::vector<uchar> png;
  cv::imencode(".png", image, png);
  return std::string(png.begin(), png.end());
}

}  // namespace

cv::Vec3b PlaceColour(uint32_t location) {
  // The golden ratio's fraction of a turn between consecutive indices.
  const double hue = std::fmod(0.1 + location * 0.6180339887498949, 1.0) * 6.0;
  const double s = 0.75;
  const double v = 0.85;
  const int sector = static_cast<int>(hue) % 6;
  const double f = hue - std::floor(hue);
  const double p = v * (1 - s), q = v * (1 - s * f), t = v * (1 - s * (1 - f));
  double r = v, g = t, b = p;
  switch (sector) {
    case 0:
      r = v;
      g = t;
      b = p;
      break;
    case 1:
      r = q;
      g = v;
      b = p;
      break;
    case 2:
      r = p;
      g = v;
      b = t;
      break;
    case 3:
      r = p;
      g = q;
      b = v;
      break;
    case 4:
      r = t;
      g = p;
      b = v;
      break;
    default:
      r = v;
      g = p;
      b = q;
      break;
  }
  auto byte = [](double x) { return static_cast<uchar>(std::lround(x * 255)); };
  return cv::Vec3b(byte(r), byte(g), byte(b));
}

bool RunReport::Sample::Wants(double similarity) const {
  return heap.size() < kSample || similarity < heap.front().similarity;
}

void RunReport::Sample::Add(Match match) {
  auto higher = [](const Match& a, const Match& b) {
    return a.similarity != b.similarity ? a.similarity < b.similarity : a.order < b.order;
  };
  heap.push_back(std::move(match));
  std::push_heap(heap.begin(), heap.end(), higher);
  if (heap.size() > kSample) {
    std::pop_heap(heap.begin(), heap.end(), higher);
    heap.pop_back();
  }
}

std::vector<RunReport::Match> RunReport::Sample::Sorted() const {
  std::vector<Match> sorted = heap;
  std::sort(sorted.begin(), sorted.end(), [](const Match& a, const Match& b) {
    return a.similarity != b.similarity ? a.similarity < b.similarity : a.order < b.order;
  });
  return sorted;
}

void RunReport::BeginVideo(const std::string& video) { videos_.push_back(Video{video, {}}); }

void RunReport::Count(const Recognition& found, int64_t frame, const cv::Mat& picture,
                      bool falsePositive) {
  Video& video = videos_.back();
  const int64_t order = order_++;
  if (found.newLocation) {
    video.places.push_back(*found.newLocation);
    return;
  }
  if (!found.location) {
    video.places.push_back(-1);
    return;
  }
  video.places.push_back(*found.location);
  ++recognisedAs_[*found.location];
  const double similarity = found.similarity.value_or(0);
  ++matches_.seen;
  if (falsePositive) ++falsePositives_.seen;
  const bool wanted = matches_.Wants(similarity);
  const bool wrongWanted = falsePositive && falsePositives_.Wants(similarity);
  if (!wanted && !wrongWanted) return;
  Match match{similarity, order,           videos_.size() - 1,
              frame,      *found.location, EncodePicture(SmallPicture(picture))};
  if (wrongWanted) falsePositives_.Add(match);
  if (wanted) matches_.Add(std::move(match));
}

std::string RunReport::TimelinePng(const Video& video) const {
  const int64_t frames = static_cast<int64_t>(video.places.size());
  const int columns = static_cast<int>(std::min<int64_t>(frames, kTimelineColumns));
  const int64_t group = (frames + columns - 1) / columns;
  const int step = std::max(1, kTimelineColumns / columns);
  cv::Mat image(kTimelineHeight, columns * step, CV_8UC3);
  std::unordered_map<int64_t, int> votes;
  for (int c = 0; c < columns; ++c) {
    // The place most of the group's frames show; of equal counts the first.
    votes.clear();
    int64_t best = -1;
    int bestVotes = 0;
    for (int64_t f = c * group; f < std::min(frames, (c + 1) * group); ++f) {
      const int n = ++votes[video.places[f]];
      if (n > bestVotes) {
        best = video.places[f];
        bestVotes = n;
      }
    }
    const cv::Vec3b rgb = best < 0 ? kNoPlaceRgb : PlaceColour(static_cast<uint32_t>(best));
    image(cv::Rect(c * step, 0, step, kTimelineHeight)).setTo(cv::Scalar(rgb[2], rgb[1], rgb[0]));
  }
  return Png(image);
}

std::string RunReport::Page(const PlaceMap& places, const RunSummary& summary) const {
  std::string page;
  page.reserve(1 << 20);
  page +=
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
      "<title>Placetrace report</title>\n<style>\n"
      "body{font:14px/1.35 sans-serif;margin:16px 20px;color:#222;background:#fff}\n"
      "h1{font-size:22px;margin:0 0 8px}h2{font-size:17px;margin:22px 0 8px}\n"
      "table.run td{padding:1px 14px 1px 0;vertical-align:top}\n"
      "table.list{border-collapse:collapse}table.list td,table.list th{padding:1px 10px;"
      "text-align:left}\n"
      ".timeline{display:block;margin:2px 0 10px;image-rendering:pixelated}\n"
      ".grid{display:flex;flex-wrap:wrap;gap:10px}\n"
      ".card{width:164px;font-size:12px}\n"
      ".pic{display:block;border:2px solid ";
  page += kPictureBorder;
  page +=
      ";background-repeat:no-repeat}\n"
      ".none{display:block;width:160px;height:90px;background:#f2f2f2;color:#888;"
      "text-align:center;line-height:90px;border:2px solid #f2f2f2}\n"
      ".swatch{display:inline-block;width:12px;height:12px;vertical-align:-1px;"
      "margin-right:4px}\n"
      ".pair{display:flex;gap:6px;align-items:flex-start;font-size:12px;margin:0 14px 12px 0}\n"
      ".pairs{display:flex;flex-wrap:wrap}\n"
      ".wrong{color:#b00000;font-weight:bold}\n";

  // Every place's picture once, as a class the place list and the matches use.
  std::vector<uint32_t> locations;
  for (const auto* node = places.strings().entries->head; node != nullptr; node = node->next) {
    locations.push_back(node->value.data);
  }
  std::sort(locations.begin(), locations.end());
  // Places this run recorded or recognised that the map no longer holds: a
  // later frame with the same ids replaced them under its own index. The
  // timelines show their colours, so the page shows them too.
  std::vector<uint32_t> replaced;
  {
    std::vector<uint32_t> seen;
    for (const Video& v : videos_) {
      for (const int64_t place : v.places) {
        if (place >= 0) seen.push_back(static_cast<uint32_t>(place));
      }
    }
    std::sort(seen.begin(), seen.end());
    seen.erase(std::unique(seen.begin(), seen.end()), seen.end());
    std::set_difference(seen.begin(), seen.end(), locations.begin(), locations.end(),
                        std::back_inserter(replaced));
    if (replaced.size() > kMaxPlacePictures) replaced.resize(kMaxPlacePictures);
  }
  auto recognisedAs = [&](uint32_t location) {
    const auto it = recognisedAs_.find(location);
    return it == recognisedAs_.end() ? 0LL : it->second;
  };
  // The places shown with their pictures: all of them, or the most
  // recognised when there are too many.
  std::vector<uint32_t> shown = locations;
  if (shown.size() > kMaxPlacePictures) {
    std::stable_sort(shown.begin(), shown.end(),
                     [&](uint32_t a, uint32_t b) { return recognisedAs(a) > recognisedAs(b); });
    shown.resize(kMaxPlacePictures);
    std::sort(shown.begin(), shown.end());
  }
  // Places in a sample need their pictures too.
  std::vector<uint32_t> pictured = shown;
  pictured.insert(pictured.end(), replaced.begin(), replaced.end());
  for (const Sample* sample : {&matches_, &falsePositives_}) {
    for (const Match& m : sample->heap) pictured.push_back(m.location);
  }
  std::sort(pictured.begin(), pictured.end());
  pictured.erase(std::unique(pictured.begin(), pictured.end()), pictured.end());
  std::unordered_map<uint32_t, bool> hasPicture;
  for (const uint32_t location : pictured) {
    const PlaceOrigin* origin = places.origins().Find(location);
    if (origin == nullptr || origin->thumbnail == nullptr) continue;
    std::string why;
    int width = 0, height = 0;
    if (!CheckThumbnail(origin->thumbnail->data(), origin->thumbnail->size(), &why, &width,
                        &height)) {
      continue;
    }
    hasPicture[location] = true;
    page += ".p" + std::to_string(location) + "{width:" + std::to_string(width) +
            "px;height:" + std::to_string(height) +
            "px;background-image:url(data:image/jpeg;base64," + Base64(*origin->thumbnail) + ")}\n";
  }
  page += "</style></head><body>\n<h1>Placetrace report</h1>\n";

  auto placePicture = [&](uint32_t location) -> std::string {
    if (hasPicture.count(location) > 0) {
      return "<div class=\"pic p" + std::to_string(location) + "\" title=\"place " +
             std::to_string(location) + "\"></div>";
    }
    return "<div class=\"none\">no picture</div>";
  };
  auto swatch = [](int64_t location) {
    return "<span class=\"swatch\" style=\"background:" +
           std::string(location < 0 ? kNoPlace
                                    : Hex(PlaceColour(static_cast<uint32_t>(location)))) +
           "\"></span>";
  };

  // The run.
  page += "<table class=\"run\">\n";
  auto row = [&](const std::string& name, const std::string& value) {
    page += "<tr><td>" + name + "</td><td>" + value + "</td></tr>\n";
  };
  std::string videoList;
  for (const Video& v : videos_) {
    if (!videoList.empty()) videoList += ", ";
    videoList += Escaped(v.name) + " (" + std::to_string(v.places.size()) + " frames)";
  }
  row("videos", videoList.empty() ? "none" : videoList);
  row("frames", std::to_string(summary.frames));
  row("places recorded", std::to_string(summary.recorded));
  row("frames recognised", std::to_string(summary.recognised));
  row("places in the map",
      std::to_string(locations.size()) + (summary.placesFile.empty()
                                              ? std::string(" (no map file)")
                                              : " (" + Escaped(summary.placesFile) + ")"));
  row("threshold", Format("%g", summary.threshold));
  row("frame width", summary.width == 0 ? std::string("as the frames came")
                                        : std::to_string(summary.width) + " pixels");
  row("boxes counted over", summary.cells <= 1 ? std::string("the whole frame")
                                               : "a " + std::to_string(summary.cells) + " x " +
                                                     std::to_string(summary.cells) + " grid");
  row("command line", "<code>" + Escaped(summary.commandLine) + "</code>");
  row("started", Escaped(summary.startedAt));
  row("took", Format("%.2f s", summary.seconds));
  page += "</table>\n";

  // The timelines.
  page +=
      "<h2>Timelines</h2>\n<p>One column per frame, coloured by the place it was "
      "recognised or recorded as (grey: none); a colour that comes back is a revisit.";
  bool grouped = false;
  for (const Video& v : videos_) grouped = grouped || v.places.size() > kTimelineColumns;
  if (grouped) {
    page += " A video of more than " + std::to_string(kTimelineColumns) +
            " frames has a column per group of frames, coloured by the place most of them show.";
  }
  page += "</p>\n";
  for (const Video& v : videos_) {
    page += "<div>" + Escaped(v.name) + ", " + std::to_string(v.places.size()) + " frames</div>\n";
    if (v.places.empty()) continue;
    const int columns = static_cast<int>(std::min<size_t>(v.places.size(), kTimelineColumns));
    const int width = columns * std::max(1, kTimelineColumns / columns);
    page += "<img class=\"timeline\" width=\"" + std::to_string(width) + "\" height=\"" +
            std::to_string(kTimelineHeight) + "\" alt=\"timeline of " + Escaped(v.name) +
            "\" src=\"data:image/png;base64," + Base64(TimelinePng(v)) + "\">\n";
  }

  // The places.
  page += "<h2>Places (" + std::to_string(locations.size()) + ")</h2>\n";
  if (shown.size() < locations.size()) {
    page += "<p>The " + std::to_string(shown.size()) +
            " places recognised most often, with their pictures; the others are listed "
            "below.</p>\n";
  }
  page += "<div class=\"grid\">\n";
  for (const uint32_t location : shown) {
    const PlaceOrigin* origin = places.origins().Find(location);
    page += "<div class=\"card\">" + placePicture(location) + swatch(location) + "place " +
            std::to_string(location) + "<br>" +
            (origin != nullptr ? Escaped(origin->video) + ", frame " + std::to_string(origin->frame)
                               : std::string("origin not known")) +
            "<br>" + Recognised(recognisedAs(location)) + "</div>\n";
  }
  page += "</div>\n";
  if (!replaced.empty()) {
    page +=
        "<p>Recorded or recognised in this run but no longer in the map (a later frame "
        "with the same ids replaced each under its own index):</p>\n<div class=\"grid\">\n";
    for (const uint32_t location : replaced) {
      const PlaceOrigin* origin = places.origins().Find(location);
      page +=
          "<div class=\"card\">" + placePicture(location) + swatch(location) + "place " +
          std::to_string(location) + " (replaced)<br>" +
          (origin != nullptr ? Escaped(origin->video) + ", frame " + std::to_string(origin->frame)
                             : std::string("origin not known")) +
          "<br>" + Recognised(recognisedAs(location)) + "</div>\n";
    }
    page += "</div>\n";
  }
  if (shown.size() < locations.size()) {
    page +=
        "<table class=\"list\"><tr><th>place</th><th>from</th><th>frames recognised</th></tr>\n";
    size_t next = 0;
    for (const uint32_t location : locations) {
      if (next < shown.size() && shown[next] == location) {
        ++next;
        continue;
      }
      const PlaceOrigin* origin = places.origins().Find(location);
      page +=
          "<tr><td>" + swatch(location) + std::to_string(location) + "</td><td>" +
          (origin != nullptr ? Escaped(origin->video) + ", frame " + std::to_string(origin->frame)
                             : std::string("not known")) +
          "</td><td>" + std::to_string(recognisedAs(location)) + "</td></tr>\n";
    }
    page += "</table>\n";
  }

  // The evaluation.
  if (!summary.evaluation.empty()) {
    page += "<h2>Evaluation against the ground truth</h2>\n<p><code>evaluation: " +
            Escaped(summary.evaluation) + "</code></p>\n";
    if (!summary.curve.empty()) {
      const cv::Mat plot = PrCurvePlot::Draw(summary.curve, summary.threshold,
                                             "precision-recall, thresholds 0.30-0.99");
      page += "<img alt=\"precision-recall curve\" width=\"" + std::to_string(plot.cols) +
              "\" height=\"" + std::to_string(plot.rows) + "\" src=\"data:image/png;base64," +
              Base64(Png(plot)) + "\">\n";
    }
  }

  auto pairs = [&](const Sample& sample, bool wrong) {
    page += "<div class=\"pairs\">\n";
    for (const Match& m : sample.Sorted()) {
      page += "<div class=\"pair\"><img class=\"pic\" alt=\"frame\" src=\"data:image/jpeg;base64," +
              Base64(m.jpeg) + "\">" + placePicture(m.location) + "<div>" +
              Escaped(videos_[m.video].name) + "<br>frame " + std::to_string(m.frame) + "<br>" +
              swatch(m.location) + "place " + std::to_string(m.location) + "<br>similarity " +
              Format("%.4f", m.similarity) +
              (wrong ? "<br><span class=\"wrong\">wrong place</span>" : "") + "</div></div>\n";
    }
    page += "</div>\n";
  };
  if (!summary.evaluation.empty()) {
    page += "<h2>False positives (" + std::to_string(falsePositives_.seen) + ")</h2>\n";
    if (falsePositives_.seen == 0) {
      page += "<p>None: every counted match was of the right place.</p>\n";
    } else {
      page += "<p>Each frame beside the place it was taken for, the least similar first" +
              std::string(falsePositives_.seen > static_cast<long long>(kSample)
                              ? " (the " + std::to_string(kSample) + " least similar)"
                              : "") +
              ".</p>\n";
      pairs(falsePositives_, true);
    }
  }

  // The matches.
  page += "<h2>Matches, the least similar first</h2>\n";
  if (matches_.seen == 0) {
    page += "<p>No frame was recognised.</p>\n";
  } else {
    page += "<p>Each recognised frame beside the place it was recognised as" +
            std::string(matches_.seen > static_cast<long long>(kSample)
                            ? ": the " + std::to_string(kSample) + " least similar of " +
                                  std::to_string(matches_.seen)
                            : "") +
            ".</p>\n";
    pairs(matches_, false);
  }
  page += "</body></html>\n";
  return page;
}

}  // namespace placefinder
