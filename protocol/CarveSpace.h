// Storage for the flat record arrays nested in the records of an array that
// is being decoded (the snapshots of each image in a list of images).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

namespace PacketZVDiskless::detail {

// A chunk starts with the link to the next chunk of its chain and its size.
inline void* ChunkLink(void* c) {
  void* next;
  std::memcpy(&next, c, sizeof(next));
  return next;
}
inline size_t ChunkSize(void* c) {
  size_t size;
  std::memcpy(&size, static_cast<unsigned char*>(c) + sizeof(void*), sizeof(size));
  return size;
}
inline void FreeChunks(void* chain) {
  while (chain != nullptr) {
    void* next = ChunkLink(chain);
    ::operator delete(chain);
    chain = next;
  }
}

// The chunks kept for the next decode; freed when the module unloads.
struct CSpareChunks {
  std::atomic<void*> chain{nullptr};
  ~CSpareChunks() { FreeChunks(chain.exchange(nullptr)); }
};

// While an array of records decodes them one by one, the flat arrays nested
// in those records are carved from a few chunks that the outer array owns,
// instead of one allocation each. Chunks start at 4 KiB and double up to
// 16 KiB, none larger than the bytes left in the message unless one array
// needs more. An array that finds no current space, or no memory, allocates
// for itself.
//
// The chunks of a released array are kept (up to 1 MiB) for the next decode
// instead of going back to the allocator: freeing a few hundred KiB at once
// made it hand the top of the heap back to the system, and the next decode
// take it again, a system call and page faults per message.
class CCarveSpace {
 public:
  // Makes this space current on the calling thread until it is destroyed.
  // Chunks it uses are linked in front of *chain, for Retire. `bound` is the
  // number of bytes left in the message.
  CCarveSpace(void** chain, size_t bound)
      : m_ppChain(chain), m_pSpare(s_Spare.chain.exchange(nullptr)),
        m_nNext(bound < kFirstChunk ? bound : kFirstChunk), m_pPrevious(s_pCurrent) {
    s_pCurrent = this;
  }
  ~CCarveSpace() {
    Retire(m_pSpare);
    s_pCurrent = m_pPrevious;
  }
  CCarveSpace(const CCarveSpace&) = delete;
  CCarveSpace& operator=(const CCarveSpace&) = delete;

  static CCarveSpace* Current() { return s_pCurrent; }

  // Uninitialised room for n (> 0) records of T, or null.
  template <class T>
  T* Take(uint32_t n) {
    static_assert(alignof(T) <= kHeader, "chunks align to the header size only");
    const size_t bytes = size_t(n) * sizeof(T);
    size_t at = AlignUp(m_nUsed, alignof(T));
    if (m_pChunk == nullptr || at > m_nSize || bytes > m_nSize - at) {
      if (!NextChunk(bytes)) return nullptr;
      at = 0;
    }
    m_nUsed = at + bytes;
    return reinterpret_cast<T*>(m_pChunk + at);
  }

  // Ends the use of the chunks linked from `chain`: kept for the next
  // decode when they are few, else freed.
  static void Retire(void* chain) {
    size_t total = 0;
    for (void* c = chain; c != nullptr; c = Link(c)) total += SizeOf(c);
    if (total > kSpareBytes) {
      FreeAll(chain);
    } else if (chain != nullptr) {
      FreeAll(s_Spare.chain.exchange(chain));
    }
  }

 private:
  // A chunk: its link and its size, then the records.
  static constexpr size_t kHeader = 16;
  static_assert(alignof(std::max_align_t) <= kHeader && sizeof(void*) + sizeof(size_t) <= kHeader,
                "a chunk header holds the link and the size and keeps the alignment");
  static constexpr size_t kFirstChunk = 4096;
  static constexpr size_t kLargestChunk = 16384;
  static constexpr size_t kSpareBytes = size_t(1) << 20;

  static size_t AlignUp(size_t v, size_t a) { return (v + a - 1) / a * a; }
  static void* Link(void* c) { return ChunkLink(c); }
  static size_t SizeOf(void* c) { return ChunkSize(c); }
  static void FreeAll(void* chain) { FreeChunks(chain); }

  // Makes a chunk of at least `bytes` current: a spare one, else a new one.
  bool NextChunk(size_t bytes) {
    unsigned char* c = nullptr;
    while (m_pSpare != nullptr && c == nullptr) {
      void* s = m_pSpare;
      m_pSpare = Link(s);
      if (SizeOf(s) >= bytes) {
        c = static_cast<unsigned char*>(s);
      } else {
        ::operator delete(s);
      }
    }
    if (c == nullptr) {
      const size_t size = bytes > m_nNext ? bytes : m_nNext;
      c = static_cast<unsigned char*>(::operator new(kHeader + size, std::nothrow));
      if (c == nullptr) return false;
      std::memcpy(c + sizeof(void*), &size, sizeof(size));
      if (m_nNext < kLargestChunk) m_nNext *= 2;
    }
    std::memcpy(c, m_ppChain, sizeof(void*));
    *m_ppChain = c;
    m_pChunk = c + kHeader;
    m_nSize = SizeOf(c);
    m_nUsed = 0;
    return true;
  }

  void** m_ppChain;
  void* m_pSpare;
  unsigned char* m_pChunk = nullptr;
  size_t m_nSize = 0;
  size_t m_nUsed = 0;
  size_t m_nNext;
  CCarveSpace* m_pPrevious;
  static inline thread_local CCarveSpace* s_pCurrent = nullptr;
  static inline CSpareChunks s_Spare;
};

}  // namespace PacketZVDiskless::detail
