// iIdTraits<Element>: how an identifier string reads the id of a list element.
//
// An iMarkrun is built from an iList whose elements carry an id. For integer
// elements the element is the id itself; other element types (for instance a
// detection record) specialise iIdTraits next to their own definition:
//
//   template <> struct iIdTraits<Detection> {
//     static int16_t Id(const Detection& d) { return d.id; }
//   };

#ifndef IDENTIFIERS_IIDTRAITS_H_
#define IDENTIFIERS_IIDTRAITS_H_

namespace placefinder {

template <typename Element>
struct iIdTraits {
  static const Element& Id(const Element& element) { return element; }
};

}  // namespace placefinder

#endif  // IDENTIFIERS_IIDTRAITS_H_
