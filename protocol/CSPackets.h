// CS family (0x0007xxxx): main-server declaration, configuration sync, I/O and detail reports.
#pragma once

#include "protocol/PacketTable.h"
#include "protocol/ToolPackets.h"

namespace PacketZVDiskless {}  // namespace PacketZVDiskless

// Code table of the family (filled as its classes are written).
#define KELVANE_CS_PACKETS(ROW)
