// Exception family (0x0008xxxx and 0x80008003): exception reports and their handling.
#pragma once

#include "protocol/PacketTable.h"
#include "protocol/ToolPackets.h"

namespace PacketZVDiskless {}  // namespace PacketZVDiskless

// Code table of the family (filled as its classes are written).
#define KELVANE_EXCEPTION_PACKETS(ROW)
