// OutputFile: writing a program's output files without harming its inputs or
// what was there before.
//
// SameFile() and OutputsThatAreInputs() let a program refuse, before it does
// any work, an output named so that it is one of its inputs (the same name, a
// symbolic link or a hard link to it). ReplaceFile() writes an output whole or
// not at all: a failed write (a full disk, a folder that takes no new files)
// leaves what the name held before, and no temporary file.

#ifndef EVAL_OUTPUTFILE_H_
#define EVAL_OUTPUTFILE_H_

#include <string>
#include <vector>

namespace placefinder {

// True when `a` and `b` both name one existing file (the same device and
// inode, following symbolic links).
bool SameFile(const std::string& a, const std::string& b);

struct OutputInput {
  size_t output;  // index into the outputs
  size_t input;   // index into the inputs
};

// Every pair of an output and an input that name the same existing file, in
// the order of the outputs, then of the inputs. Names that do not exist
// match nothing.
std::vector<OutputInput> OutputsThatAreInputs(const std::vector<std::string>& outputs,
                                              const std::vector<std::string>& inputs);

// Replaces the contents of the file `path` by `bytes`: they are written to a
// temporary file beside it (beside the real file, for a symbolic link, which
// stays), synced and renamed into place, so that `path` holds the old
// contents or the new ones, never a part. An existing file keeps its
// permission bits (and, where the process may, its owner); a new one gets
// the mode any new file of the user's gets. A name that is not a regular file
// (/dev/null, a pipe) is written directly. Returns false with a message that
// reads after the file's name ("cannot be written: No space left on device").
bool ReplaceFile(const std::string& path, const std::string& bytes, std::string* error);

}  // namespace placefinder

#endif  // EVAL_OUTPUTFILE_H_
