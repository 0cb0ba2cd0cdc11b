// The replies that one TCP link still owes to requests that timed out on it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "BasePlatform/Transport.h"

// The packet head carries no request number, and the server answers the
// requests of a link in order: a reply that comes after its request timed
// out looks exactly like the answer to the next request of its kind. These
// counts, per reply type, let the manager drop as many replies of each type
// as the link still owes. They belong to one link; another link owes nothing.
// Not thread-safe: the manager holds its store lock around every call.
class COwedReplies {
 public:
  // True when `link` owes a reply of `type`.
  bool Owes(uint32_t link, uint32_t type) const {
    const Owed* o = Find(link, type);
    return o && o->count != 0;
  }

  // A request that awaited `type` timed out on `link`: one more reply of
  // that type is owed. Counts of another link are forgotten first. False
  // when no room is left for another type (nothing recorded).
  bool Add(uint32_t link, uint32_t type) {
    if (link != m_hLink) Forget();
    m_hLink = link;
    Owed* o = Find(link, type);
    for (size_t i = 0; !o && i < kTypes; ++i) {
      if (m_owed[i].count == 0) {
        o = &m_owed[i];
        o->type = type;
      }
    }
    if (!o) return false;
    ++o->count;
    return true;
  }

  // A reply of `type` came on `link`: true when it was owed (and is now
  // settled), false when it may answer a request.
  bool Settle(uint32_t link, uint32_t type) {
    Owed* o = Find(link, type);
    if (!o || o->count == 0) return false;
    --o->count;
    return true;
  }

  // The link closed or was released: nothing is owed any more.
  void Forget() {
    m_hLink = kInvalidHandle;
    for (Owed& o : m_owed) o = Owed();
  }

  // Room for every reply type a TCP request awaits (checked against the
  // request table).
  static constexpr size_t kTypes = 8;

 private:
  struct Owed {
    uint32_t type = 0;
    uint32_t count = 0;
  };

  const Owed* Find(uint32_t link, uint32_t type) const {
    if (link == kInvalidHandle || link != m_hLink) return nullptr;
    for (const Owed& o : m_owed) {
      if (o.count != 0 && o.type == type) return &o;
    }
    return nullptr;
  }
  Owed* Find(uint32_t link, uint32_t type) {
    return const_cast<Owed*>(static_cast<const COwedReplies*>(this)->Find(link, type));
  }

  uint32_t m_hLink = kInvalidHandle;
  Owed m_owed[kTypes];
};
