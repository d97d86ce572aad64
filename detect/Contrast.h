// ContrastDecision: whether a box is markedly brighter or darker than its
// ring, decided in integers.
//
// The response r of a box whose pixels sum to `inner` and whose ring sums to
// `ring` (both >= 0) is a signed 16-bit value:
//   inner > ring:              r = 32767 - floor(32767 * ring / inner)   (1 .. 32767)
//   inner <= ring, ring != 0:  r = floor(32767 * inner / ring) - 32767   (-32767 .. 0)
//   ring == 0 (so inner == 0): r = 0
// A box is reported when |r| > threshold.
//
// Why the division can go: with small = min(inner, ring) and large =
// max(inner, ring), the first two cases both give
//   |r| = 32767 - floor(32767 * small / large),   large > 0,
// and the third case is exactly large == 0. For 0 <= threshold < 32767 let
// limit = 32767 - threshold (1 .. 32767). For large > 0,
//   |r| > threshold  <=>  floor(32767 * small / large) < limit
//                    <=>  32767 * small / large < limit   (limit is an integer)
//                    <=>  32767 * small < limit * large   (large > 0).
// When large == 0 both products are 0, the test is false, and so is
// |0| > threshold. A negative threshold reports every box, zero responses
// included; a threshold of 32767 or more reports none, as |r| <= 32767.
//
// The ordering of the sums would cost a branch that a scan cannot predict.
// With outer = inner + ring and d = inner - ring = 2 * inner - outer,
// 2 * small = outer - |d| and 2 * large = outer + |d|, so (doubling both sides)
//   32767 * small < limit * large
//   <=>  32767 * (outer - |d|) < (32767 - threshold) * (outer + |d|)
//   <=>  threshold * outer < (65534 - threshold) * |2 * inner - outer|,
// one comparison of two products, with no ring and no ordering. The products
// need 64 bits; sums below 2^46 keep them below 2^63.

#ifndef DETECT_CONTRAST_H_
#define DETECT_CONTRAST_H_

#include <cstdint>

namespace placefinder {

class ContrastDecision {
 public:
  static constexpr int32_t kMaxResponse = 32767;

  explicit ContrastDecision(int32_t threshold) : threshold_(threshold) {}

  // Every box is reported, whatever its sums (threshold < 0).
  bool ReportsAll() const { return threshold_ < 0; }
  // No box can be reported (threshold >= 32767).
  bool ReportsNone() const { return threshold_ >= kMaxResponse; }
  int32_t threshold() const { return threshold_; }

  // |r| > threshold for a box with the given inner and outer sums.
  // REQUIRES: 0 <= threshold <= 32766 and 0 <= inner <= outer < 2^46.
  static bool Exceeds(int64_t inner, int64_t outer, int64_t threshold) {
    const int64_t d = 2 * inner - outer;
    return threshold * outer < (2 * kMaxResponse - threshold) * (d < 0 ? -d : d);
  }

  // |r| > threshold for the sums of one box, any threshold.
  // REQUIRES: 0 <= inner, ring and inner + ring < 2^46.
  bool Reports(int64_t inner, int64_t ring) const {
    if (ReportsAll()) return true;
    if (ReportsNone()) return false;
    return Exceeds(inner, inner + ring, threshold_);
  }

 private:
  int32_t threshold_;
};

}  // namespace placefinder

#endif  // DETECT_CONTRAST_H_
