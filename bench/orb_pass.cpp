// A reference pass for comparing Placetrace's speed with the first stage of
// the common bag-of-words place recognisers: decode every frame of a video,
// flip and gray it as the programs do, and extract 500 ORB features.
//
//   orb_pass VIDEO        prints frames, keypoints in all, and seconds

#include <chrono>
#include <cstdio>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: orb_pass VIDEO\n");
    return 2;
  }
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  const auto start = std::chrono::steady_clock::now();
  cv::VideoCapture capture(argv[1], cv::CAP_FFMPEG);
  if (!capture.isOpened()) {
    std::fprintf(stderr, "orb_pass: cannot open %s\n", argv[1]);
    return 1;
  }
  cv::Ptr<cv::ORB> orb = cv::ORB::create(500);
  cv::Mat frame, gray, descriptors;
  std::vector<cv::KeyPoint> keypoints;
  long frames = 0, found = 0;
  while (capture.read(frame)) {
    cv::flip(frame, frame, 0);
    cv::cvtColor(frame, gray, cv::COLOR_BGR2GRAY);
    orb->detectAndCompute(gray, cv::noArray(), keypoints, descriptors);
    found += static_cast<long>(keypoints.size());
    ++frames;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("orb_pass: %ld frames, %ld keypoints, %.3f s\n", frames, found, seconds);
  return 0;
}
