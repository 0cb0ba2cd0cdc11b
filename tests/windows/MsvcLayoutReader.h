// A reader of Visual C++'s release-mode std::list and std::map written from
// the layout facts alone (not from client/MsvcLayout.h), walking raw memory
// as that library's iterators do. With P the size of a pointer: object
// {head at 0, size at P}; list node {next, prev, value at 2P}; map node
// {left, parent, right, colour at 3P (red 0, black 1), is-nil at 3P+1, pair
// {32-bit key, value} at 3P+4}; the map's head is black with is-nil 1, its
// parent the root, left the smallest and right the largest node (itself
// when empty), every missing child the head.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace kdl::test::msvcread {

using Node = const unsigned char*;
constexpr size_t P = sizeof(void*), kColour = 3 * P, kIsNil = 3 * P + 1, kKey = 3 * P + 4;

template <class T = Node>
T Read(const void* at, size_t offset) {
  T v;
  std::memcpy(&v, static_cast<Node>(at) + offset, sizeof(v));
  return v;
}
inline Node L(Node n) { return Read(n, 0); }  // list: next; map: left
inline Node Up(Node n) { return Read(n, P); }  // list: prev; map: parent (head: root)
inline Node R(Node n) { return Read(n, 2 * P); }
inline uint32_t Key(Node n) { return Read<uint32_t>(n, kKey); }
inline bool Red(Node n) { return n[kColour] == 0; }

// The list's nodes front to back, when the walks both ways and the size
// agree ("" then, else what did not).
inline std::string ReadList(const void* object, std::vector<Node>* nodes) {
  const Node head = Read(object, 0);
  const size_t size = Read<size_t>(object, P);
  nodes->clear();
  for (Node n = L(head); n != head; n = L(n)) {
    if (!n || nodes->size() == size || L(Up(n)) != n) return "forward walk";
    nodes->push_back(n);
  }
  size_t i = nodes->size();
  for (Node n = Up(head); n != head; n = Up(n)) {
    if (i == 0 || n != (*nodes)[--i]) return "backward walk";
  }
  return i == 0 && nodes->size() == size ? "" : "walks and size disagree";
}

// The subtree at `n` with keys in (lo, hi), which also ends any cycle: its
// black height, or -1 when a rule is broken.
inline int Check(Node head, Node n, Node parent, int64_t lo, int64_t hi, size_t* count) {
  if (n == head) return 1;
  if (!n || n[kIsNil] || Up(n) != parent || n[kColour] > 1 || Key(n) <= lo || Key(n) >= hi)
    return -1;
  ++*count;
  if (Red(n) && ((L(n) != head && Red(L(n))) || (R(n) != head && Red(R(n))))) return -1;
  const int bl = Check(head, L(n), n, lo, Key(n), count);
  const int br = Check(head, R(n), n, Key(n), hi, count);
  return bl < 0 || bl != br ? -1 : bl + !Red(n);
}

// The node of `key` found from the root as the library's find does, or null.
inline Node Find(const void* object, uint32_t key) {
  const Node head = Read(object, 0);
  Node best = head;
  for (Node n = Up(head); !n[kIsNil];) n = Key(n) < key ? R(n) : (best = n, L(n));
  return best != head && Key(best) == key ? best : nullptr;
}

// The map's nodes in the order of the library's iterator steps, after
// checking the head, the red-black rules, the links, the size and a find
// per key ("" then, else the first fault).
inline std::string ReadMap(const void* object, std::vector<Node>* nodes) {
  const Node head = Read(object, 0), root = Up(head);
  size_t count = 0;
  nodes->clear();
  if (head[kIsNil] != 1 || head[kColour] != 1) return "head not black with is-nil 1";
  if (root != head && (Red(root) || Check(head, root, head, -1, int64_t(1) << 32, &count) < 0))
    return "not a red-black tree of ordered keys";
  Node min = root, max = root;  // the leftmost and rightmost nodes
  for (; min != head && L(min) != head; min = L(min)) {}
  for (; max != head && R(max) != head; max = R(max)) {}
  if (L(head) != min || R(head) != max) return "head's left or right";
  for (Node n = min; n != head && nodes->size() <= count;) {
    nodes->push_back(n);
    Node next = Up(n);  // the successor of n
    if (!R(n)[kIsNil]) {
      for (next = R(n); !L(next)[kIsNil];) next = L(next);
    } else {
      for (; !next[kIsNil] && n == R(next); next = Up(next)) n = next;
    }
    n = next;
  }
  if (count != Read<size_t>(object, P) || nodes->size() != count) return "size";
  for (Node n : *nodes) {
    if (Find(object, Key(n)) != n) return "find misses key " + std::to_string(Key(n));
  }
  return "";
}

}  // namespace kdl::test::msvcread
