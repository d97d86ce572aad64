#include "markrun_demo.h"

namespace placefinder {

namespace {

constexpr uint32_t kStrings = 50;
constexpr uint32_t kMaxIds = 20;  // a string is built from 0 to kMaxIds - 1 ids
constexpr uint32_t kExtension = 3;
constexpr double kThreshold = 0.7;

}  // namespace

void RandomIds(iList<int32_t>& ids, uint32_t n, MarkrunRandom& random) {
  for (uint32_t k = 0; k < n; ++k) ids.AddTail(static_cast<int32_t>(random.Draw() % 256));
  ids.Rewind();
}

void PrintCollection(const iMarkrunCollection<int32_t>& collection, FILE* out) {
  for (const auto* node = collection.entries->head; node != nullptr; node = node->next) {
    node->value.key.Print(out, true);
  }
}

void RunMarkrunDemo(MarkrunRandom& random, FILE* out) {
  iMarkrun<int32_t> saved;
  iMarkrunCollection<int32_t> collection;
  const uint32_t chosen = random.Draw() % kStrings;

  std::fputs("\n========- iMarkrun test -========\n\n", out);
  std::fputs("Input identifier array:\n\n", out);

  // One sequence and one string serve every round: a rebuild empties them.
  iList<int32_t> ids;
  iMarkrun<int32_t> string;
  for (uint32_t d = 0; d < kStrings; ++d) {
    RandomIds(ids, random.Draw() % kMaxIds, random);
    string.SetIds(ids, false);
    collection.Add(string, d, nullptr, nullptr);
    if (d == chosen) saved = string;
    std::fprintf(out, "[%2.2u]: ", static_cast<unsigned int>(d));
    string.Print(out, true);
    ids.RemoveAll();
  }

  std::fputs("\nSorted:\n\n", out);
  PrintCollection(collection, out);

  std::fputs("\nBefore addition:\n", out);
  saved.Print(out, true);

  RandomIds(ids, kExtension, random);
  saved.SetIds(ids, true);
  ids.RemoveAll();

  const uint32_t* found = collection.Find(saved, &MatchSimilar<int32_t>, &kThreshold);
  if (found != nullptr) {
    std::fputs("\nId string is found:\n", out);
    saved.Print(out, false);
    std::fprintf(out, " -> [%2.2u]\n", static_cast<unsigned int>(*found));
  } else {
    std::fputs("\nId string is not found!!!\n", out);
    saved.Print(out, true);
  }
}

}  // namespace placefinder
