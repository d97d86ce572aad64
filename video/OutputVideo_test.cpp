#include "OutputVideo.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace placefinder {

namespace {

const cv::Size kSize(64, 48);

// A frame whose noise keeps the Motion-JPEG frames from compressing to
// nothing, so that a few hundred of them fill a small file size limit.
cv::Mat NoiseFrame(int seed) {
  cv::Mat frame(kSize, CV_8UC3);
  cv::theRNG().state = static_cast<uint64_t>(seed) + 1;
  cv::randu(frame, 0, 256);
  return frame;
}

std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

int FramesIn(const std::string& path) {
  cv::VideoCapture capture(path, cv::CAP_FFMPEG);
  int frames = 0;
  while (capture.isOpened() && capture.grab()) ++frames;
  return frames;
}

class OutputVideoTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::TempDir() + "OutputVideo" + std::to_string(getpid());
    ASSERT_EQ(system(("rm -rf '" + dir_ + "' && mkdir -p '" + dir_ + "'").c_str()), 0);
  }
  void TearDown() override { system(("chmod -R u+w '" + dir_ + "'; rm -rf '" + dir_ + "'").c_str()); }
  std::string dir_;
};

TEST_F(OutputVideoTest, WritesEveryFrameAndTakesAwayOnlyAnEmptyFileItCreated) {
  struct Case {
    const char* what;
    bool existing;  // a writable file stands at the name before
    int frames;
    bool fileAfter;
  };
  const Case cases[] = {
      {"new file, three frames", false, 3, true},
      {"new file, no frame", false, 0, false},
      {"existing file, no frame", true, 0, true},
      {"existing file, two frames", true, 2, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = dir_ + "/out.avi";
    std::remove(name.c_str());
    if (c.existing) std::ofstream(name) << "old";
    {
      OutputVideo output;
      std::string warning;
      ASSERT_TRUE(output.Open(name, 25.0, kSize, &warning));
      for (int i = 0; i < c.frames; ++i) output.Write(NoiseFrame(i));
      std::string problem;
      EXPECT_TRUE(output.Close(&problem)) << problem;
    }  // the writer's end takes nothing more away
    struct stat st;
    EXPECT_EQ(lstat(name.c_str(), &st) == 0, c.fileAfter);
    if (c.frames > 0) {
      EXPECT_EQ(FramesIn(name), c.frames);
    }
  }
}

TEST_F(OutputVideoTest, LeavesAloneWhatItMayNotWrite) {
  const std::string directory = dir_ + "/dir_out.avi";
  const std::string dangling = dir_ + "/link_out.avi";
  const std::string readOnly = dir_ + "/ro_out.avi";
  ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
  ASSERT_EQ(symlink((dir_ + "/nowhere").c_str(), dangling.c_str()), 0);
  std::ofstream(readOnly) << "keep me";
  ASSERT_EQ(chmod(readOnly.c_str(), 0444), 0);
  for (const std::string& name : {directory, dangling, readOnly}) {
    SCOPED_TRACE(name);
    OutputVideo output;
    std::string warning;
    EXPECT_FALSE(output.Open(name, 25.0, kSize, &warning));
    EXPECT_EQ(warning, "Warning: cannot write " + name + "; frames are shown but not written.");
    EXPECT_TRUE(output.Close(nullptr));
  }
  struct stat st;
  EXPECT_TRUE(stat(directory.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
  EXPECT_TRUE(lstat(dangling.c_str(), &st) == 0 && S_ISLNK(st.st_mode));
  EXPECT_EQ(Contents(readOnly), "keep me");
  EXPECT_NE(stat((dir_ + "/nowhere").c_str(), &st), 0) << "the link's target was created";
}

// A file size limit stands in for a full disk: past it every write fails (the
// signal it raises is ignored), just as on a disk with no room left. The
// writer says nothing of failed writes, so Close() must find out itself.
TEST_F(OutputVideoTest, SaysWhenTheFileHoldsFewerFramesThanWereWritten) {
  const std::string name = dir_ + "/full_out.avi";
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{60000, 60000};
    setrlimit(RLIMIT_FSIZE, &limit);
    OutputVideo output;
    std::string text;
    if (!output.Open(name, 25.0, kSize, &text)) _exit(3);
    for (int i = 0; i < 300; ++i) output.Write(NoiseFrame(i));
    text.clear();
    const bool complete = output.Close(&text);
    if (write(fds[1], text.data(), text.size()) < 0) _exit(4);
    _exit(complete ? 0 : 1);
  }
  close(fds[1]);
  std::string problem;
  char buffer[512];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) problem.append(buffer, n);
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1) << "a video cut short was reported as complete";
  EXPECT_NE(problem.find("Warning: " + name + " could not be written completely: it holds "),
            std::string::npos)
      << problem;
  EXPECT_NE(problem.find(" of the 300 frames written"), std::string::npos) << problem;
}

}  // namespace

}  // namespace placefinder
