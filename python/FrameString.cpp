#include "FrameString.h"

#include <utility>

namespace {

uint32_t Count(const unsigned char* run) {
  return static_cast<uint32_t>(run[2]) | static_cast<uint32_t>(run[3]) << 8 |
         static_cast<uint32_t>(run[4]) << 16 | static_cast<uint32_t>(run[5]) << 24;
}

int16_t Id(const unsigned char* run) {
  return static_cast<int16_t>(static_cast<uint16_t>(run[0] | run[1] << 8));
}

}  // namespace

FrameString FrameString::Of(const placefinder::iMarkrun<int16_t>& s) {
  FrameString out;
  out.length = s.length;
  out.runs.resize(static_cast<size_t>(s.RunCount()) * kRunBytes);
  char* p = out.runs.data();
  for (const auto* node = s.runs.entries->head; node != nullptr; node = node->next) {
    const uint16_t id = static_cast<uint16_t>(node->value.key);
    const uint32_t count = static_cast<uint32_t>(node->value.data);
    p[0] = static_cast<char>(id & 0xFF);
    p[1] = static_cast<char>(id >> 8);
    p[2] = static_cast<char>(count & 0xFF);
    p[3] = static_cast<char>((count >> 8) & 0xFF);
    p[4] = static_cast<char>((count >> 16) & 0xFF);
    p[5] = static_cast<char>(count >> 24);
    p += kRunBytes;
  }
  return out;
}

bool FrameString::From(int64_t length, std::string runs, FrameString* out, std::string* why) {
  if (length < 0 || length > INT32_MAX) {
    *why = "a length of " + std::to_string(length);
    return false;
  }
  if (runs.size() % kRunBytes != 0) {
    *why = "runs of " + std::to_string(runs.size()) + " bytes, not whole (id, count) pairs";
    return false;
  }
  const auto* p = reinterpret_cast<const unsigned char*>(runs.data());
  const size_t n = runs.size() / kRunBytes;
  int64_t sum = 0;
  for (size_t i = 0; i < n; ++i, p += kRunBytes) {
    const uint32_t count = Count(p);
    if (count < 1 || count > INT32_MAX) {
      *why = "run " + std::to_string(i) + " has the count " +
             std::to_string(static_cast<int32_t>(count));
      return false;
    }
    if (i > 0 && !(Id(p - kRunBytes) < Id(p))) {
      *why = "run " + std::to_string(i) + " does not follow the ids before it in ascending order";
      return false;
    }
    sum += count;
    if (sum > length) {
      *why = "counts that add up to more than its length " + std::to_string(length);
      return false;
    }
  }
  out->length = static_cast<int32_t>(length);
  out->runs = std::move(runs);
  return true;
}

void FrameString::Into(placefinder::iMarkrun<int16_t>& s) const {
  s.runs.RemoveAll();
  s.length = length;
  const auto* p = reinterpret_cast<const unsigned char*>(runs.data());
  for (int32_t i = 0; i < RunCount(); ++i, p += kRunBytes) {
    s.runs.Append(Id(p), static_cast<int32_t>(Count(p)));
  }
}
