// CS family (0x0007xxxx): main-server declaration, configuration
// synchronisation between servers, I/O and detail reports.
#pragma once

#include <cstdint>

#include "protocol/ConsolePackets.h"
#include "protocol/PacketTable.h"

namespace PacketZVDiskless {

// Declares the main server (44 bytes).
class CPktCSDeclareMainServer : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x00070001;
  uint32_t Word1 = 0;
  uint32_t Word2 = 0;
  uint32_t Word3 = 0;
  uint32_t Word4 = 0;
  uint32_t Word5 = 0;
  CPktCSDeclareMainServer() { Type = kCode; Length = Size(); }
  explicit CPktCSDeclareMainServer(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.U32("word1", Word1) || v.U32("word2", Word2) || v.U32("word3", Word3) ||
           v.U32("word4", Word4) || v.U32("word5", Word5);
  }
  KPKT_PACKET_OPS()
};

// Configuration to synchronise: servers, client groups, client
// configurations and server I/O settings
// (48 + 292a + 524b + 134c + 52d bytes).
class CPktCSSynchronousConfigData : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x00070004;
  uint32_t Word1 = 0;
  uint32_t Word2 = 0;
  TVarLengthField<CCSServerBaseInfo> Servers;
  TVarLengthField<CPClientGroupInfo> Groups;
  TVarLengthField<CPClientConfigInformation> Clients;
  TVarLengthField<CServerConfigIOInfor> IOConfigs;
  CPktCSSynchronousConfigData() { Type = kCode; Length = Size(); }
  explicit CPktCSSynchronousConfigData(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.U32("word1", Word1) || v.U32("word2", Word2) || v.Array("servers", Servers) ||
           v.Array("groups", Groups) || v.Array("clients", Clients) ||
           v.Array("ioConfigs", IOConfigs);
  }
  KPKT_PACKET_OPS()
};

// Declares the main server with the server list
// (40 + 292n bytes).
class CPktCSDeclareSetMainServer : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x00070006;
  uint32_t Word1 = 0;
  uint32_t Word2 = 0;
  uint32_t Word3 = 0;
  TVarLengthField<CCSServerBaseInfo> Servers;
  CPktCSDeclareSetMainServer() { Type = kCode; Length = Size(); }
  explicit CPktCSDeclareSetMainServer(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.U32("word1", Word1) || v.U32("word2", Word2) || v.U32("word3", Word3) ||
           v.Array("servers", Servers);
  }
  KPKT_PACKET_OPS()
};

// Main-server declaration reply (40 bytes).
class CPktCSDeclareMainServerAck : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x80070001;
  uint32_t Word1 = 0;
  uint32_t Word2 = 0;
  uint32_t Word3 = 0;
  uint32_t Word4 = 0;
  CPktCSDeclareMainServerAck() { Type = kCode; Length = Size(); }
  explicit CPktCSDeclareMainServerAck(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.U32("word1", Word1) || v.U32("word2", Word2) || v.U32("word3", Word3) ||
           v.U32("word4", Word4);
  }
  KPKT_PACKET_OPS()
};

// I/O report (40 + 60a + 72b + 48c + 28d bytes). The layout of
// the console's server I/O reply, kept as a type of its own so that the two
// codes stay distinct classes.
class CPktCSAskReportIOInformationAck : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x80070003;
  TVarLengthField<CSvrIORecordA> RecordsA;
  TVarLengthField<CSvrIORecordB> RecordsB;
  TVarLengthField<CSvrIORecordC> RecordsC;
  TVarLengthField<CSvrIORecordD> RecordsD;
  CPktCSAskReportIOInformationAck() { Type = kCode; Length = Size(); }
  explicit CPktCSAskReportIOInformationAck(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.Array("recordsA", RecordsA) || v.Array("recordsB", RecordsB) ||
           v.Array("recordsC", RecordsC) || v.Array("recordsD", RecordsD);
  }
  KPKT_PACKET_OPS()
};

// Configuration synchronisation reply (288 bytes).
class CPktCSSynchronousConfigDataAck : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x80070004;
  uint32_t Word1 = 0;
  char Bytes1[260] = {};
  CPktCSSynchronousConfigDataAck() { Type = kCode; Length = Size(); }
  explicit CPktCSSynchronousConfigDataAck(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) { return v.U32("word1", Word1) || v.Text("bytes1", Bytes1); }
  KPKT_PACKET_OPS()
};

// Detail report to the main server (40 bytes). Words 3 and 4
// travel in memory order, unaffected by the stream's byte order.
class CPktServerDetailReportToMCSAck : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x80070009;
  uint32_t Word1 = 0;
  uint32_t Word2 = 0;
  uint32_t Word3 = 0;
  uint32_t Word4 = 0;
  CPktServerDetailReportToMCSAck() { Type = kCode; Length = Size(); }
  explicit CPktServerDetailReportToMCSAck(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.U32("word1", Word1) || v.U32("word2", Word2) || v.Verbatim32("word3", Word3) ||
           v.Verbatim32("word4", Word4);
  }
  KPKT_PACKET_OPS()
};

}  // namespace PacketZVDiskless

// CS family code table (12 codes).
#define KELVANE_CS_PACKETS(ROW)                                                              \
  ROW(CPktCSDeclareMainServer::kCode, OWN, CPktCSDeclareMainServer, FIELDS)                  \
  ROW(0x00070002, VLF, CCSServerBaseInfo, FIELDS)                                            \
  ROW(0x00070003, HEAD, 0, FIELDS)                                                           \
  ROW(CPktCSSynchronousConfigData::kCode, OWN, CPktCSSynchronousConfigData, FIELDS)          \
  ROW(CPktCSDeclareSetMainServer::kCode, OWN, CPktCSDeclareSetMainServer, FIELDS)            \
  ROW(0x00070009, HEAD, 0, FIELDS)                                                           \
  ROW(CPktCSDeclareMainServerAck::kCode, OWN, CPktCSDeclareMainServerAck, FIELDS)            \
  ROW(0x80070002, VLF, CCSServerBaseInfo, FIELDS)                                            \
  ROW(CPktCSAskReportIOInformationAck::kCode, OWN, CPktCSAskReportIOInformationAck, FIELDS)  \
  ROW(CPktCSSynchronousConfigDataAck::kCode, OWN, CPktCSSynchronousConfigDataAck, FIELDS)    \
  ROW(0x80070006, HEAD, 0, FIELDS)                                                           \
  ROW(CPktServerDetailReportToMCSAck::kCode, OWN, CPktServerDetailReportToMCSAck, FIELDS)
