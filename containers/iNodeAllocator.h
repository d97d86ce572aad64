// iNodeAllocator<T>: where iList<T> gets the memory for its nodes.
//
// By default every node comes from the global heap, one at a time. An element
// type whose lists are built and freed in bulk again and again (a frame's
// detections, tens of thousands per frame) can opt into recycling by
// specialising iNodeAllocator next to its own definition:
//
//   template <> struct iNodeAllocator<Detection> : iRecyclingNodeAllocator<Detection> {};
//
// Recycled nodes are kept per thread, up to a bound, and handed out again
// before the heap is asked (last freed, first reused); lists behave exactly
// the same either way. A list walk is fastest when its nodes lie close
// together in memory in list order (forwards or backwards), so users free a
// whole list before building the next one: building it while the old one is
// alive interleaves the two and, list after list, scatters the nodes.

#ifndef CONTAINERS_INODEALLOCATOR_H_
#define CONTAINERS_INODEALLOCATOR_H_

#include <cstddef>
#include <new>

namespace placefinder {

template <typename T>
struct iListNode;

template <typename T>
struct iNodeAllocator {
  static void* Allocate() { return ::operator new(sizeof(iListNode<T>)); }
  static void Free(void* node) noexcept { ::operator delete(node); }
};

// Keeps up to kMaxCached freed nodes of one element type per thread on a free
// list (threaded through the nodes' own memory) and reuses them. Memory
// beyond the bound goes back to the heap.
template <typename T, size_t kMaxCached = size_t{1} << 18>
struct iRecyclingNodeAllocator {
  static void* Allocate() {
    Cache& cache = TheCache();
    if (cache.top != nullptr) {
      FreeNode* node = cache.top;
      cache.top = node->next;
      --cache.size;
      return node;
    }
    return ::operator new(sizeof(iListNode<T>));
  }

  static void Free(void* memory) noexcept {
    static_assert(sizeof(iListNode<T>) >= sizeof(FreeNode), "a node must hold a link");
    Cache& cache = TheCache();
    if (cache.size >= kMaxCached) {
      ::operator delete(memory);
      return;
    }
    FreeNode* node = static_cast<FreeNode*>(memory);
    node->next = cache.top;
    cache.top = node;
    ++cache.size;
  }

 private:
  struct FreeNode {
    FreeNode* next;
  };

  // Returns the cached nodes to the heap when the thread ends.
  struct Cache {
    FreeNode* top = nullptr;
    size_t size = 0;
    ~Cache() {
      while (top != nullptr) {
        FreeNode* next = top->next;
        ::operator delete(top);
        top = next;
      }
    }
  };

  static Cache& TheCache() {
    thread_local Cache cache;
    return cache;
  }
};

}  // namespace placefinder

#endif  // CONTAINERS_INODEALLOCATOR_H_
