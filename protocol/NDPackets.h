// ND family (0x0100xxxx): ND configuration and per-user disk I/O information.
#pragma once

#include "protocol/PacketTable.h"
#include "protocol/ToolPackets.h"

namespace PacketZVDiskless {}  // namespace PacketZVDiskless

// Code table of the family (filled as its classes are written).
#define KELVANE_ND_PACKETS(ROW)
