#include "OutputFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace placefinder {

namespace {

// A fresh, empty folder for one test, removed afterwards; with `bytes`, a
// tmpfs of that size mounted there (for full disks; mounting needs root).
class TempDir {
 public:
  explicit TempDir(size_t bytes = 0) {
    char name[] = "/tmp/outputfile_test-XXXXXX";
    path_ = mkdtemp(name);
    if (bytes > 0) {
      const std::string options = "size=" + std::to_string(bytes);
      mounted_ = mount("tmpfs", path_.c_str(), "tmpfs", 0, options.c_str()) == 0;
      if (!mounted_) why_ = std::strerror(errno);
    }
  }
  ~TempDir() {
    if (mounted_) umount2(path_.c_str(), MNT_DETACH);
    std::system(("rm -rf '" + path_ + "'").c_str());
  }
  bool mounted() const { return mounted_; }
  const std::string& why() const { return why_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  std::string Listing() const {
    std::string out;
    FILE* p = popen(("ls -A '" + path_ + "'").c_str(), "r");
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, p) != nullptr) out += buffer;
    pclose(p);
    return out;
  }

 private:
  std::string path_;
  bool mounted_ = false;
  std::string why_;
};

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

mode_t Mode(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

TEST(OutputFileTest, SameFileFollowsLinksAndNeedsAnExistingFile) {
  TempDir dir;
  WriteBytes(dir.File("a"), "a");
  WriteBytes(dir.File("b"), "a");  // equal contents, another file
  ASSERT_EQ(symlink("a", dir.File("soft").c_str()), 0);
  ASSERT_EQ(link(dir.File("a").c_str(), dir.File("hard").c_str()), 0);
  ASSERT_EQ(mkdir(dir.File("sub").c_str(), 0755), 0);
  const struct {
    std::string x, y;
    bool same;
  } cases[] = {
      {dir.File("a"), dir.File("a"), true},
      {dir.File("a"), dir.File("sub/../a"), true},
      {dir.File("a"), dir.File("soft"), true},
      {dir.File("hard"), dir.File("soft"), true},
      {dir.File("a"), dir.File("b"), false},
      {dir.File("missing"), dir.File("missing"), false},
      {dir.File("a"), dir.File("a") + std::string("\0x", 2), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SameFile(c.x, c.y), c.same) << c.x << " and " << c.y;
  }
  // Placetrace's outputs against its inputs: the truth file, the map, a video.
  const std::vector<std::string> outputs = {dir.File("new.tsv"), dir.File("soft"), dir.File("b"),
                                            dir.File("sub/../hard")};
  const std::vector<std::string> inputs = {dir.File("a"), dir.File("b"), dir.File("missing")};
  const std::vector<OutputInput> same = OutputsThatAreInputs(outputs, inputs);
  ASSERT_EQ(same.size(), 3u);
  EXPECT_EQ(same[0].output, 1u);
  EXPECT_EQ(same[0].input, 0u);
  EXPECT_EQ(same[1].output, 2u);
  EXPECT_EQ(same[1].input, 1u);
  EXPECT_EQ(same[2].output, 3u);
  EXPECT_EQ(same[2].input, 0u);
  EXPECT_TRUE(OutputsThatAreInputs({dir.File("new.tsv")}, {dir.File("new.tsv")}).empty());
}

TEST(OutputFileTest, ReplaceFileWritesWholeOrLeavesWhatWasThere) {
  const mode_t mask = umask(022);
  std::string error;
  {
    SCOPED_TRACE("a new file gets the user's mode");
    TempDir dir;
    ASSERT_TRUE(ReplaceFile(dir.File("out"), "new", &error)) << error;
    EXPECT_EQ(ReadBytes(dir.File("out")), "new");
    EXPECT_EQ(Mode(dir.File("out")) & 07777, 0644u);
    EXPECT_EQ(dir.Listing(), "out\n");
  }
  {
    SCOPED_TRACE("an existing file keeps its permission bits");
    TempDir dir;
    WriteBytes(dir.File("out"), "old contents, longer than the new");
    ASSERT_EQ(chmod(dir.File("out").c_str(), 0604), 0);
    ASSERT_TRUE(ReplaceFile(dir.File("out"), "new", &error)) << error;
    EXPECT_EQ(ReadBytes(dir.File("out")), "new");
    EXPECT_EQ(Mode(dir.File("out")) & 07777, 0604u);
    EXPECT_EQ(dir.Listing(), "out\n");
  }
  {
    SCOPED_TRACE("a symbolic link stays and its file is replaced");
    TempDir dir;
    ASSERT_EQ(mkdir(dir.File("real").c_str(), 0755), 0);
    WriteBytes(dir.File("real/out"), "old");
    ASSERT_EQ(symlink("real/out", dir.File("link").c_str()), 0);
    ASSERT_TRUE(ReplaceFile(dir.File("link"), "new", &error)) << error;
    EXPECT_TRUE(S_ISLNK([&] {
      struct stat st;
      lstat(dir.File("link").c_str(), &st);
      return st.st_mode;
    }()));
    EXPECT_EQ(ReadBytes(dir.File("real/out")), "new");
    EXPECT_EQ(dir.Listing(), "link\nreal\n");
  }
  {
    SCOPED_TRACE("a device is written, not replaced");
    ASSERT_TRUE(ReplaceFile("/dev/null", "new", &error)) << error;
    EXPECT_TRUE(S_ISCHR(Mode("/dev/null")));
  }
  {
    SCOPED_TRACE("refusals leave nothing");
    TempDir dir;
    EXPECT_FALSE(ReplaceFile(dir.File("missing/out"), "new", &error));
    EXPECT_EQ(error, "cannot be written: No such file or directory");
    ASSERT_EQ(mkdir(dir.File("folder").c_str(), 0755), 0);
    EXPECT_FALSE(ReplaceFile(dir.File("folder"), "new", &error));
    EXPECT_EQ(error, "is a directory, not a file");
    EXPECT_FALSE(ReplaceFile(dir.File("out") + std::string("\0x", 2), "new", &error));
    EXPECT_EQ(error, "cannot be written: the name contains a NUL byte");
    EXPECT_EQ(dir.Listing(), "folder\n");
  }
  {
    SCOPED_TRACE("a full disk leaves the old contents and no temporary file");
    TempDir disk(256 << 10);
    if (!disk.mounted()) {
      std::printf("full disk not tested: a small tmpfs cannot be mounted here (%s)\n",
                  disk.why().c_str());
    } else {
      WriteBytes(disk.File("out"), "old");
      const std::string big(300 << 10, 'x');
      EXPECT_FALSE(ReplaceFile(disk.File("out"), big, &error));
      EXPECT_EQ(error, "cannot be written: No space left on device");
      EXPECT_EQ(ReadBytes(disk.File("out")), "old");
      EXPECT_EQ(disk.Listing(), "out\n");
      ASSERT_TRUE(ReplaceFile(disk.File("out"), std::string(100 << 10, 'y'), &error)) << error;
      EXPECT_EQ(ReadBytes(disk.File("out")).size(), 100u << 10);
      EXPECT_EQ(disk.Listing(), "out\n");
    }
  }
  umask(mask);
}

}  // namespace

}  // namespace placefinder
