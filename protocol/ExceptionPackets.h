// Exception family (0x0008xxxx, and one reply outside it): exception reports
// and their handling. The reports travel in CPktSimpleExcpPacket instances.
// The reply to the third request carries family bits 0x0000 rather than
// 0x0008: its row in the table below is the one code of the family that
// does not read 0x8008xxxx.
#pragma once

#include <cstdint>

#include "protocol/PacketTable.h"

namespace PacketZVDiskless {

// One exception report (284 bytes): two words, two 128-byte texts, five words.
struct CPktExceptionBaseInformation {
  static constexpr uint32_t kWireSize = 284;
  uint32_t Word1 = 0;
  uint32_t Word2 = 0;
  char Bytes1[128] = {};
  char Bytes2[128] = {};
  uint32_t Word3 = 0;
  uint32_t Word4 = 0;
  uint32_t Word5 = 0;
  uint32_t Word6 = 0;
  uint32_t Word7 = 0;
  template <class V>
  int Fields(V& v) {
    return v.U32("word1", Word1) || v.U32("word2", Word2) || v.Text("bytes1", Bytes1) ||
           v.Text("bytes2", Bytes2) || v.U32("word3", Word3) || v.U32("word4", Word4) ||
           v.U32("word5", Word5) || v.U32("word6", Word6) || v.U32("word7", Word7);
  }
  KPKT_RECORD_OPS()
};

// Marks one exception as handled (136 bytes). Polymorphic record: its array
// sums the records' own sizes.
class CPktConsleSetExceptionHandled {
 public:
  uint32_t Word1 = 0;
  uint32_t Word2 = 0;
  char Bytes1[128] = {};
  virtual ~CPktConsleSetExceptionHandled() = default;
  template <class V>
  int Fields(V& v) {
    return v.U32("word1", Word1) || v.U32("word2", Word2) || v.Text("bytes1", Bytes1);
  }
  KPKT_RECORD_VIRTUAL_OPS()
};

// Error count of one console (8 bytes). Polymorphic record.
class CPktSingleConsoleAskErrorCountAck {
 public:
  uint32_t Word1 = 0;
  uint32_t Word2 = 0;
  virtual ~CPktSingleConsoleAskErrorCountAck() = default;
  template <class V>
  int Fields(V& v) { return v.U32("word1", Word1) || v.U32("word2", Word2); }
  KPKT_RECORD_VIRTUAL_OPS()
};

}  // namespace PacketZVDiskless

// Exception family code table (12 codes).
#define KELVANE_EXCEPTION_PACKETS(ROW)                             \
  ROW(0x00080001, EXCP_REC, CPktExceptionBaseInformation, FIELDS)  \
  ROW(0x00080002, HEAD, 0, FIELDS)                                 \
  ROW(0x00080003, HEAD, 0, FIELDS)                                 \
  ROW(0x00080004, VLF, CPktConsleSetExceptionHandled, FIELDS)      \
  ROW(0x00080005, HEAD, 0, FIELDS)                                 \
  ROW(0x00080006, VLF, CPktConsleSetExceptionHandled, FIELDS)      \
  ROW(0x80008003, EXCP_VLF, CPktExceptionBaseInformation, FIELDS)  \
  ROW(0x80080001, HEAD, 0, FIELDS)                                 \
  ROW(0x80080002, EXCP_VLF, CPktExceptionBaseInformation, FIELDS)  \
  ROW(0x80080004, HEAD, 0, FIELDS)                                 \
  ROW(0x80080005, VLF, CPktSingleConsoleAskErrorCountAck, FIELDS)  \
  ROW(0x80080006, HEAD, 0, FIELDS)
