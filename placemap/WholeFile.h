// WholeFile: the steps shared by everything that writes a file whole or not
// at all (the place map's new maps and side files, a run's output files):
// names of a path's parts, a write that finishes, and giving a file written
// without a name (O_TMPFILE) its name only once it is complete.

#ifndef PLACEMAP_WHOLEFILE_H_
#define PLACEMAP_WHOLEFILE_H_

#include <string>

namespace placefinder {

// The folder of `path` ("." for a bare name, "/" at the root) and its last
// part.
std::string FolderOf(const std::string& path);
std::string BaseNameOf(const std::string& path);

// Writes all of `bytes` to `fd`, through short writes and interruptions.
// False with errno set on failure.
bool WriteAll(int fd, const std::string& bytes);

// Gives the unnamed file `fd` the name `path`, which must be free. False with
// errno set (EEXIST when the name is taken).
bool LinkUnnamed(int fd, const std::string& path);

}  // namespace placefinder

#endif  // PLACEMAP_WHOLEFILE_H_
