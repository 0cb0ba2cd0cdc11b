// The image list and the snapshot map of the DLL for Visual C++ hosts
// (KELVANE_HOST_STL msvc). A MinGW-w64 build cannot hand such a host its own
// std::list and std::map, so these two classes lay their objects and nodes
// out exactly as the Microsoft C++ standard library lays out
// std::list<Kelvane::_IN_IMAGE_INFO> and
// std::map<unsigned long, Kelvane::_IN_SNAP_INFO> in a release build
// (_ITERATOR_DEBUG_LEVEL 0, default allocator), and the host reads them in
// place with its own container code.
//
// The layout is that of the Microsoft C++ standard library's release-mode
// list and map: public, documented layout facts of its open-source
// implementation, unchanged and binary-compatible since Visual Studio 2015:
//  - list object {head node pointer, size}; node {next, prev, value}; the
//    head is a sentinel node whose next and prev point to itself when the
//    list is empty; begin() is head->next.
//  - map object {head node pointer, size}; node {left, parent, right,
//    char colour, char is-nil, value}, colour red 0 and black 1, the value a
//    std::pair<const unsigned long, V>. The head is black with is-nil 1, its
//    parent is the root (the head itself when empty), its left the smallest
//    and its right the largest node; every missing child of a real node
//    points to the head; real nodes have is-nil 0; the root is black and the
//    whole a valid red-black tree.
//  - unsigned long is 32 bits on Windows under both compilers.
// The static_asserts below pin every offset and size for x86 and x64.
//
// Heads and nodes are single blocks of the process heap
// (kdl::plat::ProcessHeapAlloc), where the host's release runtime allocates
// too: a host that erases, inserts or clears frees and allocates blocks of
// the same heap. Each reply replaces a container whole (all or nothing).
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>

#include "client/KelvaneDll.h"

namespace kdl {
namespace msvc {

struct ListNode {
  ListNode* next;
  ListNode* prev;
  Kelvane::_IN_IMAGE_INFO value;
};

// std::pair<const unsigned long, Kelvane::_IN_SNAP_INFO> of a Windows host.
struct SnapPair {
  uint32_t first;
  Kelvane::_IN_SNAP_INFO second;
};

constexpr char kRed = 0;
constexpr char kBlack = 1;

struct MapNode {
  MapNode* left;
  MapNode* parent;
  MapNode* right;
  char color;  // kRed or kBlack
  char isNil;  // 1 only in the head
  SnapPair value;
};

// std::list<Kelvane::_IN_IMAGE_INFO> of a release-mode Visual C++ host.
class ImageList {
 public:
  // An empty list with a head of its own. Never fails: when no head can be
  // allocated, the list shares a static empty head until it is assigned.
  ImageList() noexcept;
  ~ImageList();
  ImageList(const ImageList&) = delete;
  ImageList& operator=(const ImageList&) = delete;

  // Replaces the contents by `items`, in order, with a new head and new
  // nodes. All or nothing: when a block cannot be allocated, throws
  // std::bad_alloc and keeps the old contents.
  ImageList& operator=(const std::list<Kelvane::_IN_IMAGE_INFO>& items);
  void swap(ImageList& other) noexcept;
  // Frees every node; the head stays, linked to itself.
  void clear() noexcept;
  size_t size() const noexcept { return m_size; }
  bool empty() const noexcept { return m_size == 0; }

 private:
  ListNode* m_head;
  size_t m_size;
};

// std::map<unsigned long, Kelvane::_IN_SNAP_INFO> of a release-mode Visual
// C++ host.
class SnapMap {
 public:
  // As ImageList().
  SnapMap() noexcept;
  ~SnapMap();
  SnapMap(const SnapMap&) = delete;
  SnapMap& operator=(const SnapMap&) = delete;

  // Replaces the contents by `items` (keys below 2^32), as a balanced
  // red-black tree of new nodes under a new head. All or nothing, as
  // ImageList's.
  SnapMap& operator=(const std::map<unsigned long, Kelvane::_IN_SNAP_INFO>& items);
  void swap(SnapMap& other) noexcept;
  // Frees every node; the head stays, linked to itself.
  void clear() noexcept;
  size_t size() const noexcept { return m_size; }
  bool empty() const noexcept { return m_size == 0; }

 private:
  MapNode* m_head;
  size_t m_size;
};

// Offsets and sizes from the facts above: pointers of 4 (x86) or 8 (x64)
// bytes, the values 4-byte aligned. Linux x86-64 lays these structures out
// as Windows x64 does, so its tests check the x64 numbers.
constexpr size_t kPtr = sizeof(void*);
static_assert(kPtr == 4 || kPtr == 8, "x86 or x64");
static_assert(sizeof(SnapPair) == 4 + sizeof(Kelvane::_IN_SNAP_INFO), "pair layout");
static_assert(offsetof(SnapPair, second) == 4, "pair layout");
static_assert(offsetof(ListNode, next) == 0 && offsetof(ListNode, prev) == kPtr,
              "list node layout");
static_assert(offsetof(ListNode, value) == (kPtr == 4 ? 8 : 16), "list node value");
static_assert(sizeof(ListNode) == (kPtr == 4 ? 88 : 96), "list node size");
static_assert(offsetof(MapNode, parent) == kPtr && offsetof(MapNode, right) == 2 * kPtr,
              "map node links");
static_assert(offsetof(MapNode, color) == (kPtr == 4 ? 12 : 24), "map node colour");
static_assert(offsetof(MapNode, isNil) == (kPtr == 4 ? 13 : 25), "map node is-nil");
static_assert(offsetof(MapNode, value) == (kPtr == 4 ? 16 : 28), "map node value");
static_assert(sizeof(MapNode) == (kPtr == 4 ? 328 : 344), "map node size");
static_assert(sizeof(ImageList) == 2 * kPtr && sizeof(SnapMap) == 2 * kPtr,
              "container objects: head pointer, then size");
#if defined(_WIN32)
static_assert(sizeof(unsigned long) == 4, "unsigned long is 32 bits on Windows");
#endif

}  // namespace msvc
}  // namespace kdl
