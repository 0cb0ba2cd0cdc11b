// Local-tools family (0x0006xxxx): local server state and server address.
#pragma once

#include "protocol/PacketTable.h"
#include "protocol/ToolPackets.h"

namespace PacketZVDiskless {}  // namespace PacketZVDiskless

// Code table of the family (filled as its classes are written).
#define KELVANE_LOCALTOOLS_PACKETS(ROW)
