#include "fuzz/FuzzTransport.h"

#include <cstdio>
#include <cstdlib>
#include <set>

#include "BasePlatform/Transport.h"
#include "protocol/PacketFramer.h"

namespace kdl::fuzz {
namespace {

using PacketZVDiskless::CPacketFramer;
using PacketZVDiskless::kMaxPacketSize;
using PacketZVDiskless::kPacketHeadSize;

constexpr const char* kServerIP = "10.0.0.5";
constexpr uint16_t kServerPort = 800;

struct State {
  TcpEventCallbackFn tcp = nullptr;
  UdpEventCallbackFn udp = nullptr;
  std::set<uint32_t> liveTcp, liveUdp;
  std::set<uint32_t> shutTcp;             // live links that TcpShutdown ended
  uint32_t nextHandle = 1;
  std::vector<uint8_t> answer;            // whole packet for the next TcpSend
  const CStreamInput* feed = nullptr;     // stream for the next send
};

State& S() {
  static State s;
  return s;
}

[[noreturn]] void Fail(const char* what, size_t a, size_t b) {
  std::fprintf(stderr, "fuzz transport: %s (%zu, %zu)\n", what, a, b);
  std::abort();
}

void TcpEvent(uint32_t kind, uint32_t link, const void* data) {
  TransportEventHead head{kind, link};
  if (S().tcp) S().tcp(&head, data);
}

void UdpEvent(uint32_t kind, uint32_t endpoint, const void* data) {
  TransportEventHead head{kind, endpoint};
  if (S().udp) S().udp(&head, data);
}

// One packet to the callback; false once a live link is gone (bytes for a
// handle the double never gave out are all delivered).
bool DeliverPacket(uint32_t link, const uint8_t* data, uint32_t size) {
  const bool live = S().liveTcp.count(link) != 0;
  const TcpDataEvent event{TCP_DATA_SUBKIND_PACKET, data, size};
  TcpEvent(TCP_EVENT_DATA, link, &event);
  return !live || S().liveTcp.count(link) != 0;
}

uint32_t ReadLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Hands out the cutter's whole packets and checks each against the stream's
// rules. False when the link is gone or the stream cannot go on.
bool DrainCutter(uint32_t link, CPacketFramer& cutter, size_t& handedOut, size_t committed) {
  for (;;) {
    const uint8_t* packet = nullptr;
    uint32_t size = 0;
    const CPacketFramer::Result r = cutter.Next(&packet, &size);
    if (r == CPacketFramer::Result::kNeedMore) break;
    if (r == CPacketFramer::Result::kBadLength) {
      const uint32_t bad = cutter.PendingLength();
      if (bad >= kPacketHeadSize && bad <= kMaxPacketSize)
        Fail("cutter refused a good Length", bad, 0);
      TcpEvent(TCP_EVENT_ERR_PROTOCOL, link, nullptr);
      TcpEvent(TCP_EVENT_CLOSED, link, nullptr);
      return false;
    }
    if (size < kPacketHeadSize || ReadLe32(packet + 8) != size)
      Fail("packet size is not its Length", size, ReadLe32(packet + 8));
    handedOut += size;
    if (!DeliverPacket(link, packet, size)) return false;
  }
  if (handedOut + cutter.Pending() != committed)
    Fail("cutter lost or made up bytes", handedOut + cutter.Pending(), committed);
  return true;
}

// The TCP component's read loop over the input's chunks: each read takes
// what fits of the current chunk.
bool FeedCutter(uint32_t link, const CStreamInput& input) {
  CPacketFramer cutter;
  size_t committed = 0, handedOut = 0;
  bool going = true;
  input.ForEachChunk([&](const uint8_t* data, size_t n) {
    while (going && n > 0) {
      const size_t space = cutter.WriteSpace();
      if (space == 0) Fail("no room to read into", committed, 0);
      const size_t take = n < space ? n : space;
      std::copy(data, data + take, cutter.WritePtr());
      cutter.Commit(take);
      committed += take;
      data += take;
      n -= take;
      going = DrainCutter(link, cutter, handedOut, committed);
    }
    return going;
  });
  return going;
}

void FeedDatagrams(uint32_t endpoint, const CStreamInput& input) {
  const bool live = S().liveUdp.count(endpoint) != 0;
  input.ForEachChunk([&](const uint8_t* data, size_t n) {
    const UdpDataEvent event{data, static_cast<uint32_t>(n), kServerIP, kServerPort};
    UdpEvent(UDP_EVENT_DATA, endpoint, &event);
    return !live || S().liveUdp.count(endpoint) != 0;
  });
}

}  // namespace

void AnswerNextSend(std::vector<uint8_t> packet) { S().answer = std::move(packet); }
void FeedNextSend(const CStreamInput* input) { S().feed = input; }
void ForgetAnswer() {
  S().answer.clear();
  S().feed = nullptr;
}

void FeedTcp(uint32_t link, const CStreamInput& input) { FeedCutter(link, input); }
void FeedUdp(uint32_t endpoint, const CStreamInput& input) { FeedDatagrams(endpoint, input); }
void CloseTcp(uint32_t link) { TcpEvent(TCP_EVENT_CLOSED, link, nullptr); }

}  // namespace kdl::fuzz

// ---- the functions of Transport.h ------------------------------------------

using kdl::fuzz::S;

uint32_t TcpInit(TcpEventCallbackFn callback) {
  S().tcp = callback;
  return 1;
}

uint32_t TcpCreate(TcpEventCallbackFn callback, const char*, uint32_t) {
  if (callback) S().tcp = callback;
  S().liveTcp.insert(S().nextHandle);
  return S().nextHandle++;
}

uint32_t TcpConnect(uint32_t link, const char*, uint32_t) { return S().liveTcp.count(link); }

uint32_t TcpSend(uint32_t link, const void*, uint32_t, uint32_t) {
  if (!S().liveTcp.count(link) || S().shutTcp.count(link)) return 0;
  std::vector<uint8_t> answer;
  answer.swap(S().answer);
  const kdl::fuzz::CStreamInput* feed = S().feed;
  S().feed = nullptr;
  if (!answer.empty()) {
    kdl::fuzz::DeliverPacket(link, answer.data(), static_cast<uint32_t>(answer.size()));
  } else if (feed) {
    // A stream that ended in a bad Length has closed the link already.
    if (kdl::fuzz::FeedCutter(link, *feed) && S().liveTcp.count(link))
      kdl::fuzz::TcpEvent(TCP_EVENT_CLOSED, link, nullptr);
  }
  return 1;
}

uint32_t TcpGetLinkAddr(uint32_t, uint32_t, uint32_t* address, uint32_t* port) {
  if (address) *address = 0x0A000005;
  if (port) *port = 8000;
  return 1;
}

uint32_t TcpDestroy(uint32_t link) { return S().liveTcp.erase(link) ? 1 : 0; }

// Reports the close at once, on the calling thread, as this double delivers
// every event: the manager must take a close that comes before the call
// returns, as it may on the real transport's threads.
uint32_t TcpShutdown(uint32_t link) {
  if (!S().liveTcp.count(link) || S().shutTcp.count(link)) return 0;
  S().shutTcp.insert(link);
  kdl::fuzz::TcpEvent(TCP_EVENT_CLOSED, link, nullptr);
  return 1;
}
uint32_t TcpUninit() { return 1; }

uint32_t UdpInit(UdpEventCallbackFn callback) {
  S().udp = callback;
  return 1;
}

uint32_t UdpCreate(UdpEventCallbackFn callback, const char*, uint32_t, uint32_t) {
  if (callback) S().udp = callback;
  S().liveUdp.insert(S().nextHandle);
  return S().nextHandle++;
}

uint32_t UdpSendTo(uint32_t endpoint, const void*, uint32_t, uint32_t, const char*, uint32_t) {
  if (!S().liveUdp.count(endpoint)) return 0;
  const kdl::fuzz::CStreamInput* feed = S().feed;
  S().feed = nullptr;
  if (feed) {
    kdl::fuzz::FeedDatagrams(endpoint, *feed);
    if (S().liveUdp.count(endpoint)) kdl::fuzz::UdpEvent(UDP_EVENT_CLOSED, endpoint, nullptr);
  }
  return 1;
}

uint32_t UdpDestroy(uint32_t endpoint) { return S().liveUdp.erase(endpoint) ? 1 : 0; }
uint32_t UdpUninit() { return 1; }

// Events come at once on the calling thread anyway: every claim is refused.
uint32_t TcpClaimRead(uint32_t) { return 0; }
uint32_t TcpPollRead(uint32_t, uint32_t, uint32_t) { return 0; }
uint32_t UdpClaimRead(uint32_t) { return 0; }
uint32_t UdpPollRead(uint32_t, uint32_t, uint32_t) { return 0; }
