// Row kinds of the packet code tables.
//
// Each family header lists its codes as one table macro of rows
//
//   ROW(code, KIND, arg, TAIL)
//
// `code` is the type code: the kCode of the class that defines it, or the
// number itself for a code that has no class name of its own. KIND names the
// class a received code is built as:
//
//   HEAD      CSimplePacketHead<code>                          (arg unused: 0)
//   HEAD_AS   CSimplePacketHead<arg>: the branch of another code; the packet
//             keeps the Type it was received with
//   VLF       CSimpleVLFPacketHead<TVarLengthField<arg>, code>
//   OWN       the named class `arg`
//   EXCP_REC  CPktSimpleExcpPacket<code, arg>
//   EXCP_VLF  CPktSimpleExcpPacket<code, TVarLengthField<arg>>
//
// and TAIL says what follows the class's fields in a message:
//
//   FIELDS    nothing: Unpack reads the whole body
//   DATA      data that the class leaves in the stream for the receiver (the
//             disk-I/O data, the version data, the PnP file data), so the
//             bytes after the fields are data and Pack and Unpack are not
//             mirror images
//
// The factory, the dissector and the tests all expand the same tables, so
// the code-to-class map is written exactly once.
#pragma once

#include "protocol/PacketTemplates.h"

#define KPKT_TYPE(code, KIND, arg) KPKT_TYPE_##KIND(code, arg)
#define KPKT_TYPE_HEAD(code, arg) ::PacketZVDiskless::CSimplePacketHead<code>
#define KPKT_TYPE_HEAD_AS(code, arg) ::PacketZVDiskless::CSimplePacketHead<arg>
#define KPKT_TYPE_VLF(code, arg) \
  ::PacketZVDiskless::CSimpleVLFPacketHead<::PacketZVDiskless::TVarLengthField<arg>, code>
#define KPKT_TYPE_OWN(code, arg) arg
#define KPKT_TYPE_EXCP_REC(code, arg) ::PacketZVDiskless::CPktSimpleExcpPacket<code, arg>
#define KPKT_TYPE_EXCP_VLF(code, arg) \
  ::PacketZVDiskless::CPktSimpleExcpPacket<code, ::PacketZVDiskless::TVarLengthField<arg>>

// Whether a row's class leaves data in the stream after its fields.
#define KPKT_KEEPS_DATA(TAIL) KPKT_KEEPS_DATA_##TAIL
#define KPKT_KEEPS_DATA_FIELDS false
#define KPKT_KEEPS_DATA_DATA true

// Human-readable class name of a row, as the dissector prints it.
#define KPKT_NAME(code, KIND, arg) KPKT_NAME_##KIND(code, arg)
#define KPKT_NAME_HEAD(code, arg) "CSimplePacketHead"
#define KPKT_NAME_HEAD_AS(code, arg) "CSimplePacketHead"
#define KPKT_NAME_VLF(code, arg) "CSimpleVLFPacketHead<" #arg ">"
#define KPKT_NAME_OWN(code, arg) #arg
#define KPKT_NAME_EXCP_REC(code, arg) "CPktSimpleExcpPacket<" #arg ">"
#define KPKT_NAME_EXCP_VLF(code, arg) "CPktSimpleExcpPacket<TVarLengthField<" #arg ">>"
