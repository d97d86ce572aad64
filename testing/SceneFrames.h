// Synthetic video frames for tests. SceneFrame: frames in which places come back.
// Frame i shows scene (i * 7) % scenes, a blocky random picture (40 x 30
// blocks) scaled to `size`, with noise of its own of up to `noise` per
// channel, so that some frames of a run are recognised and some recorded.

#ifndef FRAME_SCENEFRAMES_H_
#define FRAME_SCENEFRAMES_H_

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace placefinder {

inline cv::Mat SceneFrame(int i, int scenes, cv::Size size, int noise) {
  cv::Mat small(30, 40, CV_8UC3);
  cv::theRNG().state = 1000 + (i * 7) % scenes;
  cv::randu(small, 0, 256);
  cv::Mat frame;
  cv::resize(small, frame, size, 0, 0, cv::INTER_NEAREST);
  cv::Mat grain(frame.size(), CV_8UC3);
  cv::theRNG().state = 5000 + i;
  cv::randu(grain, 0, noise);
  return frame + grain;
}

// A BGR frame of random 8 x 8 blocks (seeded): thousands of detections, and
// strings that differ from seed to seed.
inline cv::Mat NoiseFrame(cv::Size size, unsigned seed) {
  cv::Mat small(size.height / 8, size.width / 8, CV_8UC3);
  cv::theRNG().state = seed;
  cv::randu(small, 0, 256);
  cv::Mat frame;
  cv::resize(small, frame, size, 0, 0, cv::INTER_NEAREST);
  return frame;
}

}  // namespace placefinder

#endif  // FRAME_SCENEFRAMES_H_
