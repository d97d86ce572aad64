// CheckRounds<Check>: the frame both randomised checks share. A check derives
// from it (CheckRounds<MyCheck>) and provides kName, kIterations, kDotEvery
// and the steps of a round: Grow(), DeleteAt(i, p) (compare the structures up
// to reference position p, then remove it from both) and CheckAfterDeleting(i),
// the last two returning false once they have reported a mismatch with
// Fail(), and ReferenceSize().

#ifndef APPS_MARKRUN_CHECK_ROUNDS_H_
#define APPS_MARKRUN_CHECK_ROUNDS_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "markrun_random.h"

namespace placefinder {

template <typename Check>
class CheckRounds {
 public:
  // Both structures of a check stay at or below this many elements.
  static constexpr size_t kMaxSize = 4000;

  // Prints the banner, runs `iterations` rounds with a progress dot before
  // every kDotEvery-th, and prints the closing line. Returns false as soon as
  // a mismatch was reported.
  bool Run(uint32_t iterations = Check::kIterations) {
    std::fprintf(out_, "\n========- %s test -========\n\n", Check::kName);
    for (uint32_t i = 0; i < iterations; ++i) {
      if (!Iterate(i)) return false;
      if (i % Check::kDotEvery == 0) {
        std::fputs(".", out_);
        std::fflush(out_);
      }
    }
    std::fprintf(out_, "\n>> %s test is finished successfully.\n\n", Check::kName);
    std::fflush(out_);
    return true;
  }

  // One round: grow, delete, compare.
  bool Iterate(uint32_t i) {
    Check& check = static_cast<Check&>(*this);
    check.Grow();
    return Delete(i) && check.CheckAfterDeleting(i);
  }

  // Deletes a random number of random positions, checking the way to each.
  bool Delete(uint32_t i) {
    Check& check = static_cast<Check&>(*this);
    const uint32_t m = random_.Draw() % (kMaxSize + 1 - check.ReferenceSize());
    for (uint32_t j = 0; j < m && check.ReferenceSize() != 0; ++j) {
      const size_t p = random_.Draw() % check.ReferenceSize();
      if (!check.DeleteAt(i, p)) return false;
    }
    return true;
  }

 protected:
  CheckRounds(MarkrunRandom& random, FILE* out) : random_(random), out_(out) {}

  // Reports a mismatch found in round i; returns false.
  bool Fail(uint32_t i, const char* what) {
    std::fprintf(out_, "Loop[%u]: %s\n", static_cast<unsigned int>(i), what);
    std::fflush(out_);
    return false;
  }

  MarkrunRandom& random_;
  FILE* out_;
};

}  // namespace placefinder

#endif  // APPS_MARKRUN_CHECK_ROUNDS_H_
