// The interface of the two transport components: a TCP client link
// (TcpTransport) and a UDP endpoint (UdpTransport). Each reports what happens
// on its links through one event callback, on the component's own threads.
//
// Handles are unsigned 32-bit values; kInvalidHandle (-1) means none.
#pragma once

#include <cstdint>

constexpr uint32_t kInvalidHandle = 0xFFFFFFFFu;

// First argument of every event callback.
struct TransportEventHead {
  uint32_t Kind;    // event kind, see below
  uint32_t Handle;  // link or endpoint handle
};

// TCP event kinds.
enum : uint32_t {
  TCP_EVENT_1 = 1,
  TCP_EVENT_CLOSED = 2,   // the link is closed
  TCP_EVENT_3 = 3,        // data: one u32 value
  TCP_EVENT_4 = 4,
  TCP_EVENT_5 = 5,
  TCP_EVENT_DATA = 6,     // data: TcpDataEvent
  TCP_EVENT_ERR_PROTOCOL = 16,
};
constexpr uint32_t TCP_DATA_SUBKIND_PACKET = 3;

// Event data of TCP kind 6: one whole received packet when SubKind is 3.
struct TcpDataEvent {
  uint32_t SubKind;
  const uint8_t* pData;
  uint32_t Size;
};

// UDP event kinds.
enum : uint32_t {
  UDP_EVENT_1 = 1,
  UDP_EVENT_CLOSED = 2,
  UDP_EVENT_DATA = 3,  // data: UdpDataEvent
};

// Event data of UDP kind 3: one datagram and its sender.
struct UdpDataEvent {
  const uint8_t* pData;
  uint32_t Size;
  const char* pszSenderIP;  // dotted text
  uint16_t SenderPort;
};

// Both callbacks receive the event head and the kind's event data (or null).
// The bytes and texts they point to are valid during the call only.
using TcpEventCallbackFn = void (*)(const TransportEventHead* head, const void* data);
using UdpEventCallbackFn = void (*)(const TransportEventHead* head, const void* data);

// TcpTransport. Results that the library examines: TcpCreate (-1 = failure),
// TcpConnect (0 = failure), TcpSend (0 = failure, including handle -1).
//
// Behaviour of the implementation in transport/: events come on the
// component's own threads (two per Init..Uninit), those of one link one at a
// time and in order. TcpCreate's callback is used for its link; a null one
// falls back to TcpInit's. TcpConnect blocks the caller until connected,
// refused, or 3000 ms. Kind 6 carries one whole packet (cut by the head's
// Length); a Length below 24 or above 16 MiB gives kind 16, then kind 2. A
// peer close or reset gives kind 2 once, as does TcpShutdown (below). TcpSend copies the bytes and queues
// them in order. TcpGetLinkAddr selector 1 is the local end, 2 the remote.
// After TcpDestroy, TcpUninit (and the Udp counterparts) return, no event of
// the handle starts any more; they may be called from inside a callback, and
// then do not wait for callbacks running on other threads. Handles count up
// from 1 and are never reused within a process.
uint32_t TcpInit(TcpEventCallbackFn callback);
uint32_t TcpCreate(TcpEventCallbackFn callback, const char* localIP, uint32_t reserved);
uint32_t TcpConnect(uint32_t link, const char* serverIP, uint32_t port);
uint32_t TcpSend(uint32_t link, const void* data, uint32_t size, uint32_t flags);
// selector 2: the remote end. Address as a number (first octet most
// significant), port in the low 16 bits.
uint32_t TcpGetLinkAddr(uint32_t link, uint32_t selector, uint32_t* address, uint32_t* port);
uint32_t TcpDestroy(uint32_t link);
uint32_t TcpUninit();

// UdpTransport. UdpCreate -1 = failure; UdpSendTo 0 = failure.
uint32_t UdpInit(UdpEventCallbackFn callback);
uint32_t UdpCreate(UdpEventCallbackFn callback, const char* localIP, uint32_t localPort,
                   uint32_t reserved);
uint32_t UdpSendTo(uint32_t endpoint, const void* data, uint32_t size, uint32_t flags,
                   const char* destIP, uint32_t destPort);
uint32_t UdpDestroy(uint32_t endpoint);
uint32_t UdpUninit();

// ---- Extension of this implementation -----------------------------------
// Not a function of the components described above: the library's own
// transport (transport/) offers it, and so must every transport the library
// is linked with (the test and fuzz doubles do).

// Ends a connected link as a close by the peer would: the connection is shut
// down at once, and the link reports kind 2 once, later, on a component
// thread, through its callback, also when memory runs out. The handle stays
// valid until TcpDestroy; a TcpDestroy before the report means there is none.
// 1 when this call ended the link; 0 for an unknown handle, a link not
// connected, or one already closed (its kind 2 is delivered or on its way).
uint32_t TcpShutdown(uint32_t link);

// Reads on the waiting thread. A thread that waits for a reply may read the
// link (or endpoint) itself: no component thread is then woken for the
// reply, and the reply is delivered on the thread that waits for it. A
// component that does not offer this (the Windows build, test doubles)
// refuses every claim, and its events come on its own threads as always.

// Takes the link's reads over from the component's threads for the calling
// thread, which must then call TcpPollRead once. 1 when taken; 0 when the
// link cannot be read so just now (unknown, not connected, closed, being
// served by a component thread, bytes queued for writing) or the component
// does not offer it.
uint32_t TcpClaimRead(uint32_t link);
// Reads the claimed link on the calling thread: without sleeping for up to
// `spinUs` (not where the calling thread and the component's threads share a
// single CPU), then asleep, `waitUs` in all. Each whole packet read comes as
// a kind 6 event on this thread; returns 1 once at least one was delivered,
// 0 when none came in time. Everything else, a close or a protocol error
// included, is reported on a component thread as ever. Gives the reads back
// to the component's threads before it returns. 0 without a claim.
uint32_t TcpPollRead(uint32_t link, uint32_t spinUs, uint32_t waitUs);
// The same for a UDP endpoint: datagrams come as kind 3 events on the
// calling thread; a close (kind 2) on a component thread.
uint32_t UdpClaimRead(uint32_t endpoint);
uint32_t UdpPollRead(uint32_t endpoint, uint32_t spinUs, uint32_t waitUs);
