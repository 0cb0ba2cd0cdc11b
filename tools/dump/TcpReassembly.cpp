#include "tools/dump/TcpReassembly.h"

namespace kdl::dump {

void TcpDirection::Add(uint32_t seq, bool syn, const uint8_t* p, size_t n, StreamSink& sink) {
  if (!m_bStarted) {
    if (!syn && n == 0) return;
    m_bStarted = true;
    m_nBase = syn ? seq + 1 : seq;
  }
  if (syn) ++seq;  // a SYN takes one sequence number before its data
  if (n == 0) return;
  // The offset nearest to the next expected byte that has this sequence
  // number: sequence numbers wrap every 4 GiB.
  int32_t delta = static_cast<int32_t>(seq - (m_nBase + static_cast<uint32_t>(m_nNext)));
  int64_t offset = static_cast<int64_t>(m_nNext) + delta;
  if (offset < 0) {
    if (static_cast<uint64_t>(-offset) >= n) return;
    p += -offset;
    n -= static_cast<size_t>(-offset);
    offset = 0;
  }
  uint64_t at = static_cast<uint64_t>(offset);
  if (at <= m_nNext) {
    Deliver(at, p, n, sink);
    Drain(sink);
    return;
  }
  auto& held = m_Held[at];
  if (held.size() < n) {
    m_nHeldBytes += n - held.size();
    held.assign(p, p + n);
  }
  if (m_nHeldBytes > kMaxHeld) SkipGap(sink);
}

void TcpDirection::Deliver(uint64_t offset, const uint8_t* p, size_t n, StreamSink& sink) {
  uint64_t end = offset + n;
  if (end <= m_nNext) return;  // all of it came before
  uint64_t skip = m_nNext - offset;
  sink.Bytes(m_nNext, p + skip, static_cast<size_t>(end - m_nNext), skip == 0);
  m_nNext = end;
}

void TcpDirection::Drain(StreamSink& sink) {
  while (!m_Held.empty() && m_Held.begin()->first <= m_nNext) {
    auto first = m_Held.begin();
    Deliver(first->first, first->second.data(), first->second.size(), sink);
    m_nHeldBytes -= first->second.size();
    m_Held.erase(first);
  }
}

void TcpDirection::SkipGap(StreamSink& sink) {
  uint64_t first = m_Held.begin()->first;
  sink.Gap(first - m_nNext);
  m_nNext = first;
  Drain(sink);
}

void TcpDirection::Finish(StreamSink& sink) {
  while (!m_Held.empty()) SkipGap(sink);
}

}  // namespace kdl::dump
