// The protocol event handler: turns the events of the two transport
// components into calls of a fourteen-slot event interface, decodes received
// bytes into packets and reports what does not decode.
//
//   CNetEvent                      slots 0-9, the transport-level events
//   CNetProtocolEvent<Packet>      slots 10-13, the packet-level events; owns
//                                  the receive path (5, 9) and the reports
//                                  (6, 11, 13)
//   CNetHandler<Event>             the registered instance and the two static
//                                  callbacks handed to the transports
//
// The owner (CNetManager) derives from CNetHandler and implements the rest.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "BasePlatform/CountedPtr.h"
#include "BasePlatform/Transport.h"
#include "log/LogRateLimit.h"
#include "protocol/PacketHead.h"

// Transport-level events. Link and endpoint handles are unsigned 32-bit;
// received bytes and texts are valid during the call only.
class CNetEvent {
 public:
  virtual void OnTcpEvent1(uint32_t link) = 0;                                      // 0
  virtual void OnTcpClosed(uint32_t link) = 0;                                      // 1
  virtual void OnTcpEvent3(uint32_t link, uint32_t value) = 0;                      // 2
  virtual void OnTcpEvent4(uint32_t link) = 0;                                      // 3
  virtual void OnTcpEvent5(uint32_t link) = 0;                                      // 4
  virtual void OnTcpRecv(uint32_t link, const uint8_t* data, uint32_t size) = 0;    // 5
  virtual void OnTcpErrProtocol(uint32_t link) = 0;                                 // 6
  virtual void OnUdpEvent1(uint32_t endpoint) = 0;                                  // 7
  virtual void OnUdpClosed(uint32_t endpoint) = 0;                                  // 8
  virtual void OnUdpRecv(uint32_t endpoint, const uint8_t* data, uint32_t size,     // 9
                         const char* senderIP, uint16_t senderPort) = 0;

 protected:
  // Never deleted through this interface.
  ~CNetEvent() = default;
};

// Packet-level events and the receive path. The only instantiation is
// Packet = PacketZVDiskless::CPacketHead (see NetHandler2.cpp).
template <class Packet>
class CNetProtocolEvent : public CNetEvent {
 public:
  virtual void OnTcpRecvPacket(uint32_t link, TCountedPtr<Packet>& packet) = 0;    // 10
  virtual void OnTcpRecvUnkownPacket(uint32_t link, const uint8_t* data,           // 11
                                     uint32_t size);
  virtual void OnUdpRecvPacket(uint32_t endpoint, TCountedPtr<Packet>& packet,     // 12
                               const char* senderIP, uint16_t senderPort) = 0;
  virtual void OnUdpRecvUnkownPacket(uint32_t endpoint, const uint8_t* data,       // 13
                                     uint32_t size, const char* senderIP,
                                     uint16_t senderPort);

  // Receive path: decode, check Length, hand the packet to slot 10 / 12.
  void OnTcpRecv(uint32_t link, const uint8_t* data, uint32_t size) override;
  void OnUdpRecv(uint32_t endpoint, const uint8_t* data, uint32_t size, const char* senderIP,
                 uint16_t senderPort) override;
  // Logs the remote end of a link on which the transport saw a protocol error.
  void OnTcpErrProtocol(uint32_t link) override;

  // Logs a hex dump of the first bytes of a buffer (at most nine lines of 32).
  static void DumpHex(const void* data, uint32_t size);

  // The dump text: written into `out` (kHexDumpBufferSize bytes, NUL
  // terminated); returns its length.
  static constexpr size_t kHexDumpBufferSize = 1036;
  static size_t FormatHexDump(const void* data, uint32_t size, char* out);

  bool NetOrder() const { return m_bNetOrder.load(std::memory_order_relaxed); }

 protected:
  ~CNetProtocolEvent() = default;

  // Byte order of every reader built over received bytes. Set at
  // construction; the owner clears it before it creates any link.
  std::atomic<bool> m_bNetOrder{true};

 private:
  // What the receive path makes of one message.
  enum class RecvOutcome {
    kUnknown,    // no packet decodes from the bytes
    kDropped,    // decoded, but no memory to share it; already destroyed
    kBadLength,  // decoded, but its Length is not the size received
    kAccepted,   // ready for the owner
  };
  // Builds the packet of the bytes under `reader` into *packet, which holds
  // it for the outcomes kBadLength and kAccepted.
  static RecvOutcome Decode(PacketZVDiskless::CPktReadStream& reader, uint32_t size,
                            TCountedPtr<Packet>* packet);

  // One bound per kind of report on bytes that do not make a packet.
  kdl::log::CLogRateLimit m_limitTcpUnknown, m_limitUdpUnknown, m_limitTcpLength,
      m_limitUdpLength;
};

namespace kdl::netevent {

// True while the calling thread runs inside one of the handler's event
// callbacks (the transports' threads, with their callers further up). Such a
// thread must never wait for the transports to finish their callbacks: one of
// them is its own.
bool InsideEventCallback();

// Marks the calling thread as inside an event callback while it lives.
class CEventCallbackScope {
 public:
  CEventCallbackScope();
  ~CEventCallbackScope();
  CEventCallbackScope(const CEventCallbackScope&) = delete;
  CEventCallbackScope& operator=(const CEventCallbackScope&) = delete;
};

}  // namespace kdl::netevent

// Registers itself as the receiver of every transport event and provides the
// two callbacks that the owner hands to TcpInit/TcpCreate and
// UdpInit/UdpCreate. One static instance pointer per instantiation.
template <class Event>
class CNetHandler : public Event {
 public:
  static std::atomic<CNetHandler*> s_pInstance;

  static void TcpEventCallback(const TransportEventHead* head, const void* data);
  static void UdpEventCallback(const TransportEventHead* head, const void* data);

 protected:
  CNetHandler() {
    this->m_bNetOrder.store(true, std::memory_order_relaxed);
    s_pInstance.store(this, std::memory_order_release);
  }
  ~CNetHandler() {
    CNetHandler* self = this;
    s_pInstance.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
  }
  CNetHandler(const CNetHandler&) = delete;
  CNetHandler& operator=(const CNetHandler&) = delete;
};

template <class Event>
std::atomic<CNetHandler<Event>*> CNetHandler<Event>::s_pInstance{nullptr};

template <class Event>
void CNetHandler<Event>::TcpEventCallback(const TransportEventHead* head, const void* data) {
  CNetHandler* self = s_pInstance.load(std::memory_order_acquire);
  if (!self || !head) return;
  kdl::netevent::CEventCallbackScope scope;
  // Nothing may unwind into a transport thread.
  try {
    const uint32_t link = head->Handle;
    switch (head->Kind) {
      case TCP_EVENT_1:
        self->OnTcpEvent1(link);
        break;
      case TCP_EVENT_CLOSED:
        self->OnTcpClosed(link);
        break;
      case TCP_EVENT_3:
        if (data) {
          uint32_t value;
          std::memcpy(&value, data, sizeof(value));
          self->OnTcpEvent3(link, value);
        }
        break;
      case TCP_EVENT_4:
        self->OnTcpEvent4(link);
        break;
      case TCP_EVENT_5:
        self->OnTcpEvent5(link);
        break;
      case TCP_EVENT_DATA: {
        const TcpDataEvent* ev = static_cast<const TcpDataEvent*>(data);
        if (ev && ev->SubKind == TCP_DATA_SUBKIND_PACKET)
          self->OnTcpRecv(link, ev->pData, ev->pData ? ev->Size : 0);
        break;
      }
      case TCP_EVENT_ERR_PROTOCOL:
        self->OnTcpErrProtocol(link);
        break;
      default:
        break;
    }
  } catch (...) {
  }
}

template <class Event>
void CNetHandler<Event>::UdpEventCallback(const TransportEventHead* head, const void* data) {
  CNetHandler* self = s_pInstance.load(std::memory_order_acquire);
  if (!self || !head) return;
  kdl::netevent::CEventCallbackScope scope;
  try {
    const uint32_t endpoint = head->Handle;
    switch (head->Kind) {
      case UDP_EVENT_1:
        self->OnUdpEvent1(endpoint);
        break;
      case UDP_EVENT_CLOSED:
        self->OnUdpClosed(endpoint);
        break;
      case UDP_EVENT_DATA: {
        const UdpDataEvent* ev = static_cast<const UdpDataEvent*>(data);
        if (ev)
          self->OnUdpRecv(endpoint, ev->pData, ev->pData ? ev->Size : 0,
                          ev->pszSenderIP ? ev->pszSenderIP : "", ev->SenderPort);
        break;
      }
      default:
        break;
    }
  } catch (...) {
  }
}

// The library's one handler type.
using CNetProtocolHandler = CNetHandler<CNetProtocolEvent<PacketZVDiskless::CPacketHead>>;
