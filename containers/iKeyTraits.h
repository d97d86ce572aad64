// iKeyTraits<Key>: what an iAssociatedList needs to know about its key type.
//
//   static double NumericKey(const Key&)   the key's position on a number line;
//                                          only this enters the key range and
//                                          the interpolation of Find()
//   static bool Less(const Key&, const Key&)   the strict order of the entries
//   static bool Equal(const Key&, const Key&)  the identity test of Add/Remove
//
// Integer keys are provided here: NumericKey is the value converted to double
// (unsigned types convert as unsigned), the order and equality are the
// built-in ones. Other key types specialise iKeyTraits next to their own
// definition (see iMarkrun.h).

#ifndef CONTAINERS_IKEYTRAITS_H_
#define CONTAINERS_IKEYTRAITS_H_

#include <type_traits>

namespace placefinder {

template <typename Key, typename Enable = void>
struct iKeyTraits;

template <typename Key>
struct iKeyTraits<Key, std::enable_if_t<std::is_integral_v<Key>>> {
  static double NumericKey(const Key& key) { return static_cast<double>(key); }
  static bool Less(const Key& a, const Key& b) { return a < b; }
  static bool Equal(const Key& a, const Key& b) { return a == b; }
};

}  // namespace placefinder

#endif  // CONTAINERS_IKEYTRAITS_H_
