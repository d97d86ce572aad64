// Quietly(f): runs f() with the process's standard output and standard error
// sent to /dev/null, and gives back what it returns. Video back ends print
// while they open files and probe codecs; the programs' own console stays
// theirs. Whatever the streams held is flushed first, so nothing of the
// program's own is lost.

#ifndef VIDEO_QUIETLY_H_
#define VIDEO_QUIETLY_H_

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace placefinder {

template <typename F>
auto Quietly(F f) {
  std::fflush(stdout);
  std::fflush(stderr);
  const int savedOut = dup(STDOUT_FILENO);
  const int savedErr = dup(STDERR_FILENO);
  const int null = open("/dev/null", O_WRONLY);
  if (null >= 0) {
    if (savedOut >= 0) dup2(null, STDOUT_FILENO);
    if (savedErr >= 0) dup2(null, STDERR_FILENO);
    close(null);
  }
  struct Restore {
    int fd, saved;
    ~Restore() {
      if (saved >= 0) {
        dup2(saved, fd);
        close(saved);
      }
    }
  };
  Restore restoreOut{STDOUT_FILENO, savedOut};
  Restore restoreErr{STDERR_FILENO, savedErr};
  struct Flush {
    ~Flush() {
      std::fflush(stdout);
      std::fflush(stderr);
    }
  } flush;  // destroyed first: what was printed goes to /dev/null
  return f();
}

}  // namespace placefinder

#endif  // VIDEO_QUIETLY_H_
