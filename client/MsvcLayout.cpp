// Building and freeing the Visual C++ layout list and map.
#include "client/MsvcLayout.h"

#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "platform/Platform.h"

namespace kdl {
namespace msvc {
namespace {

// The heads of containers whose own head could not be allocated. Never
// freed; reset to empty whenever a container lets go of one.
ListNode g_sharedListHead;
MapNode g_sharedMapHead;

// A zero-filled block of the process heap for one node; throws on no memory.
template <class Node>
Node* NewNode() {
  void* block = kdl::plat::ProcessHeapAlloc(sizeof(Node));
  if (!block) throw std::bad_alloc();
  std::memset(block, 0, sizeof(Node));
  return static_cast<Node*>(block);
}

ListNode* EmptyListHead(ListNode* head) {
  head->next = head;
  head->prev = head;
  return head;
}

MapNode* EmptyMapHead(MapNode* head) {
  head->left = head->parent = head->right = head;
  head->color = kBlack;
  head->isNil = 1;
  return head;
}

template <class Node, class Reset>
Node* HeadOrShared(Node& shared, Reset reset) {
  void* block = kdl::plat::ProcessHeapAlloc(sizeof(Node));
  if (!block) return reset(&shared);
  std::memset(block, 0, sizeof(Node));
  return reset(static_cast<Node*>(block));
}

void FreeListNodes(ListNode* head) {
  for (ListNode* n = head->next; n != head;) {
    ListNode* next = n->next;
    kdl::plat::ProcessHeapFree(n);
    n = next;
  }
}

void ReleaseListHead(ListNode* head) {
  if (head == &g_sharedListHead) {
    EmptyListHead(head);
  } else {
    kdl::plat::ProcessHeapFree(head);
  }
}

// Post-order, so that no node is read after it was freed. The depth of a
// red-black tree stays below twice the logarithm of its size.
void FreeSubtree(MapNode* n) {
  if (n->isNil) return;
  FreeSubtree(n->left);
  FreeSubtree(n->right);
  kdl::plat::ProcessHeapFree(n);
}

void ReleaseMapHead(MapNode* head) {
  if (head == &g_sharedMapHead) {
    EmptyMapHead(head);
  } else {
    kdl::plat::ProcessHeapFree(head);
  }
}

// The levels of a tree of `count` nodes cut at the middle, each subtree
// again: all but the deepest level are full, and the full ones number
// floor(log2(count + 1)).
int FullLevels(size_t count) {
  int levels = 0;
  for (size_t n = count + 1; n > 1; n >>= 1) ++levels;
  return levels;
}

// Links nodes[0..count) (in key order) into a subtree below `parent` and
// returns its root, or the head when empty. Nodes below the full levels are
// red, all others black: every path from the root to a missing child then
// counts the same black nodes, and no red node has a red child, since red
// nodes only form the deepest level.
MapNode* LinkBalanced(MapNode* const* nodes, size_t count, MapNode* parent, MapNode* head,
                      int depth, int fullLevels) {
  if (count == 0) return head;
  const size_t mid = count / 2;
  MapNode* n = nodes[mid];
  n->parent = parent;
  n->color = depth > fullLevels ? kRed : kBlack;
  n->left = LinkBalanced(nodes, mid, n, head, depth + 1, fullLevels);
  n->right = LinkBalanced(nodes + mid + 1, count - mid - 1, n, head, depth + 1, fullLevels);
  return n;
}

}  // namespace

// ---- ImageList --------------------------------------------------------------------

ImageList::ImageList() noexcept
    : m_head(HeadOrShared(g_sharedListHead, EmptyListHead)), m_size(0) {}

ImageList::~ImageList() {
  FreeListNodes(m_head);
  ReleaseListHead(m_head);
}

ImageList& ImageList::operator=(const std::list<Kelvane::_IN_IMAGE_INFO>& items) {
  ListNode* head = EmptyListHead(NewNode<ListNode>());
  try {
    for (const Kelvane::_IN_IMAGE_INFO& item : items) {
      ListNode* n = NewNode<ListNode>();
      n->value = item;
      n->next = head;
      n->prev = head->prev;
      head->prev->next = n;
      head->prev = n;
    }
  } catch (const std::bad_alloc&) {
    FreeListNodes(head);
    kdl::plat::ProcessHeapFree(head);
    throw;
  }
  FreeListNodes(m_head);
  ReleaseListHead(m_head);
  m_head = head;
  m_size = items.size();
  return *this;
}

void ImageList::swap(ImageList& other) noexcept {
  std::swap(m_head, other.m_head);
  std::swap(m_size, other.m_size);
}

void ImageList::clear() noexcept {
  FreeListNodes(m_head);
  EmptyListHead(m_head);
  m_size = 0;
}

// ---- SnapMap ----------------------------------------------------------------------

SnapMap::SnapMap() noexcept : m_head(HeadOrShared(g_sharedMapHead, EmptyMapHead)), m_size(0) {}

SnapMap::~SnapMap() {
  FreeSubtree(m_head->parent);
  ReleaseMapHead(m_head);
}

SnapMap& SnapMap::operator=(const std::map<unsigned long, Kelvane::_IN_SNAP_INFO>& items) {
  std::vector<MapNode*> nodes;
  nodes.reserve(items.size() + 1);  // throws before any block is taken
  try {
    nodes.push_back(EmptyMapHead(NewNode<MapNode>()));
    for (const auto& item : items) {
      MapNode* n = NewNode<MapNode>();
      n->value.first = static_cast<uint32_t>(item.first);
      n->value.second = item.second;
      nodes.push_back(n);
    }
  } catch (const std::bad_alloc&) {
    for (MapNode* n : nodes) kdl::plat::ProcessHeapFree(n);
    throw;
  }
  MapNode* head = nodes[0];
  const size_t count = items.size();
  head->parent = LinkBalanced(nodes.data() + 1, count, head, head, 1, FullLevels(count));
  if (count > 0) {
    head->left = nodes[1];
    head->right = nodes[count];
  }
  FreeSubtree(m_head->parent);
  ReleaseMapHead(m_head);
  m_head = head;
  m_size = count;
  return *this;
}

void SnapMap::swap(SnapMap& other) noexcept {
  std::swap(m_head, other.m_head);
  std::swap(m_size, other.m_size);
}

void SnapMap::clear() noexcept {
  FreeSubtree(m_head->parent);
  EmptyMapHead(m_head);
  m_size = 0;
}

}  // namespace msvc
}  // namespace kdl
