// Writes a small Motion-JPEG AVI for the end-to-end tests: bright and dark
// squares and bars moving over a mid-gray ground, so that every frame has
// detections and consecutive frames resemble each other.
//
//   MakeTestVideo OUT.avi FRAMES [WIDTH HEIGHT]
//   MakeTestVideo --count VIDEO      prints the number of frames that decode

#include <cstdio>
#include <cstdlib>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <string>

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--count") {
    cv::VideoCapture capture(argv[2], cv::CAP_FFMPEG);
    if (!capture.isOpened()) {
      std::fprintf(stderr, "MakeTestVideo: cannot read %s\n", argv[2]);
      return 1;
    }
    int frames = 0;
    cv::Mat frame;
    while (capture.read(frame)) ++frames;
    std::printf("%d\n", frames);
    return 0;
  }
  if (argc != 3 && argc != 5) {
    std::fprintf(stderr, "usage: MakeTestVideo OUT.avi FRAMES [WIDTH HEIGHT]\n");
    return 2;
  }
  const int frames = std::atoi(argv[2]);
  const cv::Size size(argc == 5 ? std::atoi(argv[3]) : 192, argc == 5 ? std::atoi(argv[4]) : 144);
  cv::VideoWriter writer(argv[1], cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25.0, size, true);
  if (!writer.isOpened()) {
    std::fprintf(stderr, "MakeTestVideo: cannot write %s\n", argv[1]);
    return 1;
  }
  cv::Mat frame(size, CV_8UC3);
  for (int i = 0; i < frames; ++i) {
    frame.setTo(cv::Scalar(110, 110, 110));
    const int dx = (i * 3) % size.width;
    cv::rectangle(frame, cv::Rect(dx, 40, 20, 20), cv::Scalar(250, 250, 250), cv::FILLED);
    cv::rectangle(frame, cv::Rect(size.width - 1 - dx, 80, 24, 24), cv::Scalar(10, 10, 10),
                  cv::FILLED);
    cv::rectangle(frame, cv::Rect(30, (i * 2) % size.height, 40, 12), cv::Scalar(230, 230, 230),
                  cv::FILLED);
    writer.write(frame);
  }
  return 0;
}
