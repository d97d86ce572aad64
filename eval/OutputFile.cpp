#include "OutputFile.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>

#include "WholeFile.h"

namespace placefinder {

namespace {

bool Identify(const std::string& name, struct stat* st) {
  return name.find('\0') == std::string::npos && stat(name.c_str(), st) == 0;
}

// Gives the unnamed file `fd` a free name made from `pattern` (ending in
// XXXXXX), returned in `name`.
bool LinkUnnamedAs(int fd, const std::string& pattern, std::string* name) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::random_device seed;
  std::mt19937 rng(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    *name = pattern;
    for (size_t i = name->size() - 6; i < name->size(); ++i) {
      (*name)[i] = kLetters[rng() % (sizeof kLetters - 1)];
    }
    if (LinkUnnamed(fd, *name)) return true;
    if (errno != EEXIST) break;
  }
  name->clear();
  return false;
}

bool Fail(const char* what, std::string* error) {
  *error = std::string(what) + ": " + std::strerror(errno);
  return false;
}

}  // namespace

bool SameFile(const std::string& a, const std::string& b) {
  struct stat x;
  struct stat y;
  return Identify(a, &x) && Identify(b, &y) && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

std::vector<OutputInput> OutputsThatAreInputs(const std::vector<std::string>& outputs,
                                              const std::vector<std::string>& inputs) {
  // Each name is looked up once.
  std::vector<struct stat> in(inputs.size());
  std::vector<bool> inExists(inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) inExists[i] = Identify(inputs[i], &in[i]);
  std::vector<OutputInput> same;
  for (size_t o = 0; o < outputs.size(); ++o) {
    struct stat out;
    if (!Identify(outputs[o], &out)) continue;
    for (size_t i = 0; i < inputs.size(); ++i) {
      if (inExists[i] && in[i].st_dev == out.st_dev && in[i].st_ino == out.st_ino) {
        same.push_back({o, i});
      }
    }
  }
  return same;
}

bool ReplaceFile(const std::string& path, const std::string& bytes, std::string* error) {
  if (path.find('\0') != std::string::npos) {
    *error = "cannot be written: the name contains a NUL byte";
    return false;
  }
  // The real file is replaced, so that a symbolic link keeps pointing at it.
  std::string target = path;
  char real[PATH_MAX];
  struct stat st;
  const bool exists = stat(path.c_str(), &st) == 0;
  if (exists && realpath(path.c_str(), real) != nullptr) target = real;
  if (exists && S_ISDIR(st.st_mode)) {
    *error = "is a directory, not a file";
    return false;
  }
  if (exists && !S_ISREG(st.st_mode)) {
    // A device or a pipe cannot be replaced; renaming over /dev/null would
    // even remove the device.
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return Fail("cannot be written", error);
    const bool written = WriteAll(fd, bytes);
    const int writeErrno = errno;
    close(fd);
    errno = writeErrno;
    return written || Fail("cannot be written", error);
  }

  // The bytes go to a file without a name, which a kill cannot leave behind;
  // it gets a temporary name only for the moment of the rename.
  const std::string folder = FolderOf(target);
  const std::string pattern = folder + "/." + BaseNameOf(target) + ".new-XXXXXX";
  std::string temp;
  int fd = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
      return Fail("cannot be written", error);
    }
    temp = pattern;
    fd = mkstemp(&temp[0]);
    if (fd < 0) return Fail("cannot be written", error);
  }
  mode_t mode;
  if (exists) {
    mode = st.st_mode & 07777;
    // Kept where the process may; otherwise the file becomes the writer's.
    if (fchown(fd, st.st_uid, st.st_gid) != 0) mode &= 0777;
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  bool ok = fchmod(fd, mode) == 0 && WriteAll(fd, bytes) && fsync(fd) == 0;
  int failure = ok ? 0 : errno;
  if (ok && temp.empty()) {
    ok = LinkUnnamedAs(fd, pattern, &temp);
    if (!ok) failure = errno;
  }
  if (close(fd) != 0 && ok) {
    ok = false;
    failure = errno;
  }
  if (ok && rename(temp.c_str(), target.c_str()) != 0) {
    ok = false;
    failure = errno;
  }
  if (!ok) {
    if (!temp.empty()) unlink(temp.c_str());
    errno = failure;
    return Fail("cannot be written", error);
  }
  // The new name must survive a crash too.
  const int dir = open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

}  // namespace placefinder
