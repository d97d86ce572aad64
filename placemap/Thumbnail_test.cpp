#include "Thumbnail.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

namespace placefinder {

namespace {

std::string Encode(const cv::Mat& image, const std::vector<int>& params) {
  std::vector<uchar> jpeg;
  EXPECT_TRUE(cv::imencode(".jpg", image, jpeg, params));
  return std::string(jpeg.begin(), jpeg.end());
}

// The header check agrees with OpenCV's decoder on what OpenCV's encoder
// makes: every size up to the limit and past it, gray and colour, baseline,
// optimised and progressive; the size it reads is the decoded picture's.
TEST(ThumbnailTest, AgreesWithTheDecoderOnEncodedPictures) {
  const std::vector<std::vector<int>> kinds = {
      {},
      {cv::IMWRITE_JPEG_QUALITY, 10},
      {cv::IMWRITE_JPEG_PROGRESSIVE, 1},
      {cv::IMWRITE_JPEG_OPTIMIZE, 1},
  };
  cv::RNG rng(7);
  int accepted = 0;
  int refused = 0;
  for (const int side : {1, 2, 17, 120, 159, 160, 161, 300}) {
    for (const int other : {1, 90, 160}) {
      for (const int channels : {1, 3}) {
        for (const auto& params : kinds) {
          cv::Mat image(other, side, channels == 1 ? CV_8UC1 : CV_8UC3);
          rng.fill(image, cv::RNG::UNIFORM, 0, 255);
          const std::string jpeg = Encode(image, params);
          const cv::Mat decoded =
              cv::imdecode(std::vector<uchar>(jpeg.begin(), jpeg.end()), cv::IMREAD_UNCHANGED);
          ASSERT_FALSE(decoded.empty());
          std::string why;
          int width = 0, height = 0;
          const bool ok = CheckThumbnail(jpeg.data(), jpeg.size(), &why, &width, &height);
          const bool small = decoded.cols <= kMaxThumbnailSide && decoded.rows <= kMaxThumbnailSide;
          EXPECT_EQ(ok, small && jpeg.size() <= kMaxThumbnailBytes)
              << side << " x " << other << ": " << why;
          if (ok) {
            EXPECT_EQ(width, decoded.cols);
            EXPECT_EQ(height, decoded.rows);
            ++accepted;
          } else {
            EXPECT_NE(why.find(std::to_string(decoded.cols) + " x " + std::to_string(decoded.rows)),
                      std::string::npos)
                << why;
            ++refused;
          }
        }
      }
    }
  }
  EXPECT_GT(accepted, 0);
  EXPECT_GT(refused, 0);
}

// Whatever is cut from a picture, or put in its place, is refused or read as
// a picture within the limits; never read past its end (the sanitizers
// watch).
TEST(ThumbnailTest, RefusesWhatIsNotAWholeSmallJpeg) {
  cv::Mat image(90, 120, CV_8UC3, cv::Scalar(10, 200, 30));
  const std::string jpeg = Encode(image, {});
  std::string why;
  for (size_t cut = 0; cut < jpeg.size(); ++cut) {
    const std::string part = jpeg.substr(0, cut);
    EXPECT_FALSE(CheckThumbnail(part.data(), part.size(), &why)) << cut;
  }
  const std::string huge =
      jpeg.substr(0, jpeg.size() - 2) + std::string(kMaxThumbnailBytes, '\0') + "\xFF\xD9";
  EXPECT_FALSE(CheckThumbnail(huge.data(), huge.size(), &why));
  EXPECT_NE(why.find("more than 65536"), std::string::npos) << why;
  cv::RNG rng(3);
  for (int i = 0; i < 2000; ++i) {
    std::string bytes = jpeg;
    for (int k = 0; k < 4; ++k)
      bytes[rng.uniform(0, static_cast<int>(bytes.size()))] =
          static_cast<char>(rng.uniform(0, 256));
    int width = 0, height = 0;
    if (CheckThumbnail(bytes.data(), bytes.size(), &why, &width, &height)) {
      EXPECT_TRUE(width >= 1 && width <= kMaxThumbnailSide && height >= 1 &&
                  height <= kMaxThumbnailSide);
    }
  }
}

}  // namespace

}  // namespace placefinder
