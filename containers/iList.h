// iList<T>: a doubly linked list with public fields and a built-in cursor.
//
// The list owns its nodes; each node holds the list's own copy of an element.
// Walking, inserting in the middle and removing the node under the cursor all
// go through the one cursor field `current`, so a walk changes the list's state
// and one list supports one walk at a time. A nested walk must use the static
// helper Advance() or follow the raw `next`/`prev` links.
//
// Cursor states: none (before the first node), on a node, or on the last node
// after GetNext() has reported the end by returning none.
//
// Allocation failure propagates as std::bad_alloc. Every node is allocated and
// its element constructed before anything is linked, so a failed add leaves the
// list exactly as it was.
//
// Not thread-safe: even a read-only walk through GetNext() writes `current`.

#ifndef CONTAINERS_ILIST_H_
#define CONTAINERS_ILIST_H_

#include <cstdint>
#include <new>
#include <utility>

#include "iNodeAllocator.h"

namespace placefinder {

template <typename T>
struct iListNode {
  T value;
  iListNode* next;
  iListNode* prev;
};

template <typename T>
class iList {
 public:
  using Node = iListNode<T>;

  int32_t count = 0;        // number of nodes
  Node* head = nullptr;     // first node; none when empty
  Node* current = nullptr;  // the cursor; none means before the first node
  Node* tail = nullptr;     // last node; none when empty

  iList() = default;
  ~iList() { RemoveAll(); }

  // Lists are copied explicitly with AddList(); a list returned by value moves
  // its nodes over as TakeOver() does.
  iList(const iList&) = delete;
  iList& operator=(const iList&) = delete;
  iList(iList&& other) noexcept { TakeOver(other); }
  iList& operator=(iList&& other) noexcept { return TakeOver(other); }

  // Appends a copy of `value` at the tail and returns its node. The cursor is
  // unchanged.
  Node* AddTail(const T& value) { return LinkTail(NewNode(value)); }
  Node* AddTail(T&& value) { return LinkTail(NewNode(std::move(value))); }

  // Puts a copy of `value` just before `current` (at the head when `current`
  // is none) and returns its node. The cursor stays on the node after it.
  Node* InsertBefore(const T& value) { return LinkBefore(NewNode(value)); }
  Node* InsertBefore(T&& value) { return LinkBefore(NewNode(std::move(value))); }

  // Advances the cursor and returns the node it reaches. From none the cursor
  // goes to `head`. At the last node it returns none and stays there; it never
  // wraps.
  Node* GetNext() {
    if (current == nullptr) {
      current = head;
      return current;
    }
    if (current->next == nullptr) return nullptr;
    current = current->next;
    return current;
  }

  // Unlinks and frees `node` (none is ignored). `current` is not looked at:
  // the caller must not pass the node under the cursor (use RemoveCurrent()).
  void Remove(Node* node) {
    if (node == nullptr) return;
    if (node == head) {
      if (node == tail) tail = nullptr;
      head = node->next;
      if (head != nullptr) head->prev = nullptr;
    } else if (node == tail) {
      tail = node->prev;
      tail->next = nullptr;
    } else {
      node->prev->next = node->next;
      node->next->prev = node->prev;
    }
    DeleteNode(node);
    --count;
  }

  // Removes the node under the cursor and moves the cursor to its successor
  // (none after removing the last node, so the next GetNext() starts over).
  void RemoveCurrent() {
    if (current == nullptr) return;
    Node* node = current;
    current = node->next;
    Remove(node);
  }

  // Frees the nodes from the tail to the head: a recycling allocator hands
  // the last freed node out first, so the next list built gets them back in
  // the same memory order, head first.
  void RemoveAll() {
    Node* node = tail;
    while (node != nullptr) {
      Node* prev = node->prev;
      DeleteNode(node);
      node = prev;
    }
    count = 0;
    head = current = tail = nullptr;
  }

  void Rewind() { current = nullptr; }

  // `node` must belong to this list, or be none.
  void SetCurrent(Node* node) { current = node; }

  // Returns the node at `position` and moves `position` on to its successor,
  // without touching any list's cursor. Returns none at the end.
  static Node* Advance(Node*& position) {
    Node* node = position;
    if (node == nullptr) return nullptr;
    position = node->next;
    return node;
  }
  // Accepts a pointer to the position as well; a null pointer yields none.
  static Node* Advance(Node** position) {
    return position == nullptr ? nullptr : Advance(*position);
  }

  // Appends a copy of every element of `other`, in order. `other` (and its
  // cursor) is unchanged. Appending a list to itself copies it once.
  iList& AddList(const iList& other) {
    Node* position = other.head;
    for (int32_t left = other.count; left > 0; --left) AddTail(Advance(position)->value);
    return *this;
  }

  // Takes all of `other`'s nodes and its cursor as they are, and leaves
  // `other` empty. No node is copied. Nodes this list held before are freed
  // first, so none is lost; taking over a list from itself changes nothing.
  iList& TakeOver(iList& other) {
    if (this == &other) return *this;
    RemoveAll();
    count = other.count;
    head = other.head;
    current = other.current;
    tail = other.tail;
    other.count = 0;
    other.head = other.current = other.tail = nullptr;
    return *this;
  }

 private:
  // Allocates a node and constructs its element; if the element's copy throws,
  // the memory is returned and nothing has been linked.
  template <typename V>
  static Node* NewNode(V&& value) {
    void* memory = iNodeAllocator<T>::Allocate();
    try {
      return new (memory) Node{std::forward<V>(value), nullptr, nullptr};
    } catch (...) {
      iNodeAllocator<T>::Free(memory);
      throw;
    }
  }

  static void DeleteNode(Node* node) noexcept {
    node->~Node();
    iNodeAllocator<T>::Free(node);
  }

  Node* LinkTail(Node* node) {
    if (head == nullptr) head = node;
    if (tail != nullptr) {
      node->prev = tail;
      tail->next = node;
    }
    tail = node;
    ++count;
    return node;
  }

  Node* LinkBefore(Node* node) {
    if (head == nullptr) return LinkTail(node);
    if (current != nullptr) {
      node->prev = current->prev;
      if (node->prev != nullptr) node->prev->next = node;
      current->prev = node;
      node->next = current;
      if (current == head) head = node;
    } else {
      node->next = head;
      head->prev = node;
      head = node;
    }
    ++count;
    return node;
  }
};

}  // namespace placefinder

#endif  // CONTAINERS_ILIST_H_
